// The connection manager's transport layer: identification lines, key exchange, NEWKEYS,
// the service request, disconnection and the two state numbers.
#include "ssh/manager.h"

#include "ssh/message_numbers.h"
#include "ssh/packet_codec.h"
#include "ssh/wire.h"

namespace SSH {

void Manager::ProcessIdentificationLine(CryptoPP::BufferedTransformation& in)
{
    transport_.ExpectTransportState(TransportStart);
    DecodeMessageNumber(in, IdentificationLineMessage);
    std::string line;
    line.resize(static_cast<std::size_t>(in.MaxRetrievable()));
    in.Get(reinterpret_cast<CryptoPP::byte*>(&line[0]), line.size());
    VersionInfo peer;
    if (!ParsePeerVersion(line, peer)) {
        // A text line before the identification; a peer that only sends such lines is cut off.
        if (++linesBeforeIdentification_ > MaxLinesBeforeIdentification)
            throw CauseToDisconnect(
                DisconnectProtocolError,
                "more than " + Uint64ToDecimal(MaxLinesBeforeIdentification) + " lines before the version line", "en");
        return;
    }
    transport_.SetPeerVersion(peer);
    SetTransportState(TransportPeerVersionTaken);
}

void Manager::ProcessKexMethodMessage(CryptoPP::BufferedTransformation& in)
{
    transport_.ExpectTransportState(TransportKexRunning);
    if (ignoreNextKexPacket_) {
        ignoreNextKexPacket_ = false;
        return;
    }
    transport_.ExpectKexState(KexInitSent);
    if (!transport_.ChosenKexHandler()->ProcessMessage(in, Output()))
        return;
    EncodeByte(Output(), SSH_MSG_NEWKEYS);
    EndMessage();
    transport_.SwitchOutgoingAlgorithms();
    transport_.ClearReexchangePending();
    OnNewKeysSent();
    OnKeyExchangeComplete(transport_.KexCount(), transport_.KexReason());
    SetKexState(transport_.ServiceStarted() ? KexServiceRunning : KexNewKeysSent);
    SetTransportState(TransportNewKeysSent);
}

void Manager::ProcessKexInit(CryptoPP::BufferedTransformation& in)
{
    const int t = transport_.TransportStateNumber();
    if (!(t == TransportPeerVersionTaken || t > TransportNewKeysSent))
        throw CauseToDisconnect(DisconnectProtocolError,
                                "received KexInit packet inappropriate for current transport state", "en");
    KexInit peer;
    peer.Decode(in);
    transport_.SetPeerKexInit(peer);
    bool wrongGuess = false;
    if (peer.firstKexPacketFollows) {
        const KexInit& ours = transport_.OurKexInit();
        wrongGuess = NameListFirst(peer.kexAlgorithms) != NameListFirst(ours.kexAlgorithms) ||
                     NameListFirst(peer.hostKeyAlgorithms) != NameListFirst(ours.hostKeyAlgorithms);
        for (bool serverToClient : {false, true})
            wrongGuess = wrongGuess || transport_.ChooseCipher(serverToClient).empty() ||
                         transport_.ChooseMac(serverToClient).empty() ||
                         transport_.ChooseCompression(serverToClient).empty();
    }
    ignoreNextKexPacket_ = wrongGuess;
    Log(&TransportLog::LogKex,
        wrongGuess ? "Will ignore first key exchange method packet" : "Will act on first key exchange method packet");
    SetTransportState(TransportKexRunning);
    if (transport_.KexStateNumber() > KexInitSent) {
        SendKexInit(transport_.OurKexInit(), true);
    } else {
        transport_.Negotiate();
        transport_.ChosenKexHandler()->Start(Output());
    }
}

void Manager::ProcessNewKeys(CryptoPP::BufferedTransformation& in)
{
    transport_.ExpectTransportState(TransportNewKeysSent);
    DecodeMessageNumber(in, SSH_MSG_NEWKEYS);
    transport_.SwitchIncomingAlgorithms();
    SetTransportState(transport_.ServiceStarted() ? TransportServiceRunning
                      : transport_.IsClient()     ? TransportClientAwaitsService
                                                  : TransportServerAwaitsService);
}

void Manager::ProcessServiceRequest(CryptoPP::BufferedTransformation& in)
{
    transport_.ExpectServer();
    transport_.ExpectTransportState(TransportServerAwaitsService);
    DecodeMessageNumber(in, SSH_MSG_SERVICE_REQUEST);
    std::string service;
    DecodeString(in, service);
    if (service != "ssh-userauth")
        throw CauseToDisconnect(DisconnectServiceNotAvailable, "", "en");
    EncodeByte(Output(), SSH_MSG_SERVICE_ACCEPT);
    EncodeString(Output(), service);
    EndMessage();
    ServiceStarted();
}

void Manager::SetTransportState(int n)
{
    const int previous = transport_.TransportStateNumber();
    transport_.SetTransportStateNumber(n);
    if (n != previous)
        OnTransportStateChanged(n);
}

void Manager::SetKexState(int n)
{
    const int previous = transport_.KexStateNumber();
    transport_.SetKexStateNumber(n);
    if (n != previous)
        OnKexStateChanged(n);
}

void Manager::SendVersion(const VersionInfo& ours)
{
    transport_.ExpectKexState(KexStart);
    PutText(Output(), ours.Line() + "\r\n");
    EndMessage();
    transport_.SetOurVersion(ours);
    SetKexState(KexVersionSent);
}

void Manager::SendDisconnect(const CauseToDisconnect& cause)
{
    if (transport_.TransportStateNumber() == TransportDisconnected)
        return;
    EncodeByte(Output(), SSH_MSG_DISCONNECT);
    EncodeUint32(Output(), cause.reason());
    EncodeString(Output(), cause.description());
    EncodeString(Output(), cause.language());
    EndMessage();
    SetTransportState(TransportDisconnected);
    SetKexState(KexDisconnected);
    disconnectOrigin_ = WeDisconnected;
    disconnectReason_ = cause.reason();
    disconnectDescription_ = cause.description();
    disconnectLanguage_ = cause.language();
}

void Manager::SendKexInit(KexInit kexInit, bool peerInitiated)
{
    transport_.Rng().GenerateBlock(kexInit.cookie, sizeof kexInit.cookie);
    kexInit.Encode(Output());
    EndMessage();
    transport_.SetOurKexInit(kexInit);
    SetKexState(KexInitSent);
    const int reason = transport_.KexCount() == 0 ? 0 : peerInitiated ? 2 : 1;
    transport_.BeginKeyExchange(reason);
    OnKexInitSent(transport_.KexCount(), reason);
    if (transport_.PeerKexInitReceived()) {
        transport_.Negotiate();
        transport_.ChosenKexHandler()->Start(Output());
    }
}

void Manager::SendIgnore()
{
    EncodeByte(Output(), SSH_MSG_IGNORE);
    EncodeUint32(Output(), 0);
    EndMessage();
}

void Manager::ServiceStarted()
{
    transport_.SetServiceStarted();
    SetTransportState(TransportServiceRunning);
    SetKexState(KexServiceRunning);
}

}  // namespace SSH
