// One end of an SSH connection in memory: a transport state with its packet encoder and
// decoder, and the transport steps of the connection manager (identification line, KEXINIT,
// key exchange, NEWKEYS and the switch of the filters), so that two ends can run the whole
// transport against each other. Messages past the transport layer are collected.
#pragma once

#include "ssh/dh_kex_handler.h"
#include "ssh/exceptions.h"
#include "ssh/message_numbers.h"
#include "ssh/packet_codec.h"
#include "ssh/transport_state.h"
#include "ssh/wire.h"
#include "key_fixtures.h"

#include <cryptopp/filters.h>
#include <cryptopp/queue.h>

#include <string>
#include <vector>

struct Proposal {
    std::string kex = "diffie-hellman-group1-sha1";
    std::string ciphers[2] = {"none", "none"};
    std::string macs[2] = {"none", "none"};
    std::string compressions[2] = {"none", "none"};
};

// Accepts every host key and remembers what it was asked.
class RecordingVerifier : public HostKeyVerifier {
public:
    bool Verify(const std::string& blob, const std::string& algorithm, bool reexchange) override
    {
        blobs.push_back(blob);
        algorithms.push_back(algorithm);
        reexchanges.push_back(reexchange);
        return accept;
    }
    bool accept = true;
    std::vector<std::string> blobs, algorithms;
    std::vector<bool> reexchanges;
};

class Endpoint : public CryptoPP::Bufferless<CryptoPP::Sink> {
public:
    // Client when verifier is given, else server.
    Endpoint(RecordingVerifier* verifier, const Proposal& proposal, TransportLog* log = nullptr,
             CryptoPP::RandomNumberGenerator& rng = TestRng())
        : state(rng, log, 1 << 20, 100, 6),
          handler(verifier ? new DhKexHandler(*verifier) : new DhKexHandler),
          encoder(state, new CryptoPP::ByteQueue),
          decoder(state, new CryptoPP::Redirector(*this))
    {
        state.AddKexHandler(*handler);
        kexInit.SetKexList(proposal.kex);
        for (int d = 0; d < 2; ++d) {
            kexInit.SetCipherList(proposal.ciphers[d], d);
            kexInit.SetMacList(proposal.macs[d], d);
            kexInit.SetCompressionList(proposal.compressions[d], d);
        }
    }

    // Fills in the host key list once the signers are added.
    void Start(const std::string& appName = "transport test")
    {
        if (kexInit.hostKeyAlgorithms.empty()) kexInit.SetHostKeyList(state.HostKeyAlgorithms());
        const VersionInfo ours(appName, false);
        state.ExpectKexState(SSH::KexStart);
        SSH::PutText(encoder, ours.Line() + "\r\n");
        encoder.MessageEnd();
        state.SetOurVersion(ours);
        state.SetKexStateNumber(SSH::KexVersionSent);
        SendKexInit(false);
    }

    void SendKexInit(bool peerInitiated)
    {
        state.Rng().GenerateBlock(kexInit.cookie, sizeof kexInit.cookie);
        kexInit.Encode(encoder);
        encoder.MessageEnd();
        state.SetOurKexInit(kexInit);
        state.SetKexStateNumber(SSH::KexInitSent);
        state.BeginKeyExchange(state.KexCount() == 0 ? 0 : peerInitiated ? 2 : 1);
        if (state.PeerKexInitReceived()) NegotiateAndStart();
    }

    void Send(const std::string& payload)
    {
        SSH::PutText(encoder, payload);
        encoder.MessageEnd();
    }

    CryptoPP::BufferedTransformation& Wire() { return *encoder.AttachedTransformation(); }

    std::size_t Put2(const CryptoPP::byte* data, std::size_t length, int messageEnd, bool) override
    {
        current.append(reinterpret_cast<const char*>(data), length);
        if (messageEnd) {
            std::string message;
            message.swap(current);
            Process(message);
        }
        return 0;
    }

    TransportState state;
    std::unique_ptr<DhKexHandler> handler;
    KexInit kexInit;
    PacketEncoder encoder;
    PacketDecoder decoder;
    std::vector<std::string> received;  // messages past the transport layer
    std::vector<std::string> ignoredLines;
    std::string current;

private:
    void NegotiateAndStart()
    {
        state.Negotiate();
        state.ChosenKexHandler()->Start(encoder);
    }

    void Process(const std::string& message)
    {
        CryptoPP::StringSource in(message, true);
        const unsigned number = message.empty() ? 0 : static_cast<unsigned char>(message[0]);
        if (number == SSH::IdentificationLineMessage) {
            state.ExpectTransportState(SSH::TransportStart);
            VersionInfo peer;
            if (!SSH::ParsePeerVersion(message.substr(1), peer)) {
                ignoredLines.push_back(message.substr(1));
                return;
            }
            state.SetPeerVersion(peer);
            state.SetTransportStateNumber(SSH::TransportPeerVersionTaken);
        } else if (number == SSH::SSH_MSG_KEXINIT) {
            const int t = state.TransportStateNumber();
            if (!(t == SSH::TransportPeerVersionTaken || t > SSH::TransportNewKeysSent))
                throw SSH::CauseToDisconnect(SSH::DisconnectProtocolError,
                                             "received KexInit packet inappropriate for current transport state", "en");
            KexInit peer;
            peer.Decode(in);
            state.SetPeerKexInit(peer);
            state.SetTransportStateNumber(SSH::TransportKexRunning);
            if (state.KexStateNumber() > SSH::KexInitSent)
                SendKexInit(true);
            else
                NegotiateAndStart();
        } else if (number >= SSH::SSH_MSG_KEX_FIRST && number <= SSH::SSH_MSG_KEX_LAST) {
            state.ExpectTransportState(SSH::TransportKexRunning);
            state.ExpectKexState(SSH::KexInitSent);
            if (state.ChosenKexHandler()->ProcessMessage(in, encoder)) {
                SSH::EncodeByte(encoder, SSH::SSH_MSG_NEWKEYS);
                encoder.MessageEnd();
                state.SwitchOutgoingAlgorithms();
                state.ClearReexchangePending();
                state.SetKexStateNumber(state.ServiceStarted() ? SSH::KexServiceRunning : SSH::KexNewKeysSent);
                state.SetTransportStateNumber(SSH::TransportNewKeysSent);
            }
        } else if (number == SSH::SSH_MSG_NEWKEYS) {
            state.ExpectTransportState(SSH::TransportNewKeysSent);
            state.SwitchIncomingAlgorithms();
            state.SetTransportStateNumber(state.IsClient() ? SSH::TransportClientAwaitsService
                                                           : SSH::TransportServerAwaitsService);
        } else {
            received.push_back(message);
        }
    }
};

// Moves bytes between two in-memory ends (anything with Wire() and a decoder) until neither
// has anything more to say.
template <class End>
void Pump(End& a, End& b)
{
    for (int rounds = 0; rounds < 200; ++rounds) {
        bool moved = false;
        for (End* from : {&a, &b}) {
            End& to = from == &a ? b : a;
            std::string bytes;
            CryptoPP::StringSink sink(bytes);
            from->Wire().TransferAllTo(sink);
            if (!bytes.empty()) {
                moved = true;
                to.decoder.Put(reinterpret_cast<const CryptoPP::byte*>(bytes.data()), bytes.size());
            }
        }
        if (!moved) return;
    }
}

// A client and a server with the given proposals and the server's host keys, both started.
struct Connection {
    // Host key lists left empty are the transport's own.
    Connection(const Proposal& clientProposal, const Proposal& serverProposal,
               std::vector<const Signer*> hostKeys = {&DsaKey()}, const std::string& clientHostKeys = "",
               const std::string& serverHostKeys = "")
        : client(&verifier, clientProposal), server(nullptr, serverProposal)
    {
        for (const Signer* key : hostKeys) server.state.AddSigner(*key);
        client.kexInit.SetHostKeyList(clientHostKeys);
        server.kexInit.SetHostKeyList(serverHostKeys);
        client.Start("client");
        server.Start("server");
    }
    void Run() { Pump(client, server); }

    RecordingVerifier verifier;
    Endpoint client;
    Endpoint server;
};
