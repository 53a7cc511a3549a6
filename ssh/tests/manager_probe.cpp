// A server connection under the connection loop on a localhost port, for the test with a real
// SSH client: it prints "port N" once it listens, takes one connection, offers only the
// "password" method (which a client in batch mode cannot use) and reports how the loop ended.
//
// manager_probe --hostkey-file PEM
#include "ssh/net/socket.h"
#include "ssh/net/network_address.h"
#include "ssh/dh_kex_handler.h"
#include "ssh/key_files.h"
#include "ssh/manager_with_loop.h"
#include "ssh/signer.h"

#include <cryptopp/files.h>
#include <cryptopp/osrng.h>

#include <cstdio>
#include <string>

namespace {

class PasswordOnly : public UserAuthState {
public:
    PasswordOnly() { methodsThatCanContinue = "password"; }
    void HandleRequest(SSH::Manager&, const std::string&, CryptoPP::BufferedTransformation&) override
    {
        state = Failure;
    }
};

class ProbeServer : public ManagerWithLoop {
public:
    using ManagerWithLoop::ManagerWithLoop;
    unsigned GetConnectionMaxWaitObjectCount() const override { return 0; }
    SSH::Channel* CreateChannel(const std::string&, CryptoPP::BufferedTransformation&) override { return nullptr; }
    void OnKeyExchangeComplete(std::uint32_t count, int reason) override
    {
        std::fprintf(stderr, "probe: key exchange %u complete, reason %d\n", count, reason);
    }
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3 || std::string(argv[1]) != "--hostkey-file") {
        std::fprintf(stderr, "usage: manager_probe --hostkey-file PEM\n");
        return 1;
    }
    try {
        WinsockSession winsock;
        CryptoPP::FileSource pem(argv[2], true);
        CryptoPP::ByteQueue body;
        const std::string type = ReadPemPrivateKey(pem, "", 0, body);
        Signer hostKey(body, type);

        Socket listener;
        listener.Create();
        NetworkAddress at;
        at.Set("127.0.0.1", 0);
        listener.Bind(at.ToSockAddr());
        listener.Listen();
        std::printf("port %u\n", unsigned(ntohs(listener.GetSockName().sin_port)));
        std::fflush(stdout);
        Socket accepted;
        while (!listener.Accept(accepted, nullptr, nullptr)) Sleep(10);

        CryptoPP::AutoSeededRandomPool rng;
        TransportState transport(rng, nullptr, 1 << 20, 1000, 6);
        DhKexHandler kex;
        transport.AddKexHandler(kex);
        transport.AddSigner(hostKey);
        PasswordOnly auth;
        ProbeServer server(transport, auth);
        SocketSource source;
        source.AccessSocket().AttachSocket(accepted.DetachSocket(), true);
        SocketSink sink;
        sink.ShareSocketOf(source);
        try {
            server.DoLoop(source.AccessSocket(), source, &sink, VersionInfo("manager probe", false));
        } catch (const SSH::RemoteDisconnect&) {
            std::fprintf(stderr, "probe: remote disconnect, reason %u: %s\n", server.DisconnectReason(),
                         server.DisconnectDescription().c_str());
            return 0;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "probe: %s\n", e.what());
        return 2;
    }
    return 3;
}
