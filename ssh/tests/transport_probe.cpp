// The server end of the transport on standard input and output, for the interoperability test
// with real SSH clients (run as their proxy command): it exchanges identification lines and
// keys, accepts the "ssh-userauth" service and ends the connection with SSH_MSG_DISCONNECT
// when the first authentication request arrives, which proves that it read a packet the
// client encrypted with the negotiated keys.
//
// transport_probe --host-key PEM --kex LIST --cipher LIST --mac LIST --compression LIST
// (the option names of sshprobe); --help prints that line, bad usage exits with 4.
#include "foundation/command_line.h"
#include "ssh/key_files.h"
#include "ssh/message_numbers.h"
#include "ssh/protocol_names.h"
#include "transport_peer.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

void WriteAll(HANDLE out, CryptoPP::BufferedTransformation& wire)
{
    std::string bytes;
    CryptoPP::StringSink sink(bytes);
    wire.TransferAllTo(sink);
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        if (!WriteFile(out, bytes.data() + done, DWORD(bytes.size() - done), &written, nullptr)) return;
        done += written;
    }
}

void SendDisconnect(Endpoint& server, std::uint32_t reason, const std::string& description)
{
    SSH::EncodeByte(server.encoder, SSH::SSH_MSG_DISCONNECT);
    SSH::EncodeUint32(server.encoder, reason);
    SSH::EncodeString(server.encoder, description);
    SSH::EncodeString(server.encoder, "en");
    server.encoder.MessageEnd();
}


const char Usage[] = "usage: ssh_transport_probe --host-key PEM --kex LIST --cipher LIST --mac LIST --compression LIST\n";

}  // namespace

int main()
{
    std::map<std::string, std::string> options;
    const char* const names[] = {"--host-key", "--kex", "--cipher", "--mac", "--compression"};
    const std::vector<std::string> args = Utf8Arguments();
    for (std::size_t i = 0; i < args.size(); i += 2) {
        const std::string& name = args[i];
        const bool known = std::find(std::begin(names), std::end(names), name) != std::end(names);
        if (name == "--help" || !known || i + 1 >= args.size()) {
            std::fputs(Usage, name == "--help" ? stdout : stderr);
            return name == "--help" ? 0 : 4;
        }
        options[name] = args[i + 1];
    }
    Proposal proposal;
    proposal.kex = options["--kex"];
    proposal.ciphers[0] = proposal.ciphers[1] = options["--cipher"];
    proposal.macs[0] = proposal.macs[1] = options["--mac"];
    proposal.compressions[0] = proposal.compressions[1] = options["--compression"];

    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    try {
        const std::string& keyFile = options["--host-key"];
        const std::unique_ptr<Signer> hostKey = DecodePrivateKeyFile(keyFile, ReadKeyFile(keyFile), nullptr, nullptr);

        Endpoint server(nullptr, proposal);
        server.state.AddSigner(*hostKey);
        server.Start("transport probe");
        WriteAll(out, server.Wire());
        bool reported = false;
        for (;;) {
            char buffer[4096];
            DWORD got = 0;
            if (!ReadFile(in, buffer, sizeof buffer, &got, nullptr) || got == 0) {
                std::fprintf(stderr, "probe: connection closed\n");
                return 1;
            }
            try {
                server.decoder.Put(reinterpret_cast<const CryptoPP::byte*>(buffer), got);
            } catch (const SSH::CauseToDisconnect& e) {
                std::fprintf(stderr, "probe: %s\n", e.what());
                SendDisconnect(server, e.reason(), e.description());
                WriteAll(out, server.Wire());
                return 2;
            }
            if (!reported && server.state.TransportStateNumber() == SSH::TransportServerAwaitsService) {
                reported = true;
                TransportState& s = server.state;
                std::fprintf(stderr, "probe: kex %s, host key %s, c2s %s %s %s, s2c %s %s %s\n",
                             s.ChooseKexAlgorithm().c_str(), s.ChooseHostKeyAlgorithm().c_str(),
                             s.ChooseCipher(false).c_str(), s.ChooseMac(false).c_str(), s.ChooseCompression(false).c_str(),
                             s.ChooseCipher(true).c_str(), s.ChooseMac(true).c_str(), s.ChooseCompression(true).c_str());
            }
            for (const std::string& message : server.received) {
                const unsigned char number = message.empty() ? 0 : static_cast<unsigned char>(message[0]);
                std::fprintf(stderr, "probe: received %s\n", SSH::MessageName(number).c_str());
                if (number == SSH::SSH_MSG_SERVICE_REQUEST) {
                    SSH::EncodeByte(server.encoder, SSH::SSH_MSG_SERVICE_ACCEPT);
                    SSH::EncodeString(server.encoder, "ssh-userauth");
                    server.encoder.MessageEnd();
                } else if (number == SSH::SSH_MSG_USERAUTH_REQUEST) {
                    SendDisconnect(server, SSH::DisconnectByApplication, "probe done");
                    WriteAll(out, server.Wire());
                    return 0;
                }
            }
            server.received.clear();
            WriteAll(out, server.Wire());
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "probe: %s\n", e.what());
        return 3;
    }
}
