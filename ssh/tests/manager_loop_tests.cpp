#include "ssh/manager_with_loop.h"
#include "ssh/dh_kex_handler.h"
#include "ssh/net/network_address.h"
#include "ssh/wire.h"
#include "key_fixtures.h"
#include "ssh/net/tests/winsock_environment.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace {

const auto* const winsock = ::testing::AddGlobalTestEnvironment(new WinsockEnvironment);

class AcceptAll : public HostKeyVerifier {
public:
    bool Verify(const std::string&, const std::string&, bool) override { return true; }
};

// Authentication is not what these tests are about: both ends start authenticated.
class Authenticated : public UserAuthState {
public:
    Authenticated() { state = Success; }
    void HandleRequest(SSH::Manager&, const std::string&, CryptoPP::BufferedTransformation&) override {}
};

// One end of a connection over a real socket; the client requests the service once its keys
// are in place. afterPass runs at the end of each pass of the connection layer.
class LoopEnd : public ManagerWithLoop {
public:
    LoopEnd(TransportState& transport, UserAuthState& auth) : ManagerWithLoop(transport, auth) {}

    unsigned GetConnectionMaxWaitObjectCount() const override { return 0; }
    SSH::Channel* CreateChannel(const std::string&, CryptoPP::BufferedTransformation&) override { return nullptr; }
    void OnTransportStateChanged(int n) override
    {
        // A re-exchange that starts before the service accept passes through 5 again.
        if (n == 5 && !serviceRequested) {
            serviceRequested = true;
            SSH::EncodeByte(Output(), 5);
            SSH::EncodeString(Output(), serviceName);
            Output().MessageEnd();
        }
    }
    void OnKeyExchangeComplete(std::uint32_t count, int) override { kexCount = count; }
    void OnKeepAliveDue() override { ++keepAlivesDue; }
    bool OnGlobalRequest(const std::string&, bool, CryptoPP::BufferedTransformation&, CryptoPP::ByteQueue&) override
    {
        return true;
    }
    void AfterChannelPump() override
    {
        if (afterPass) afterPass(*this);
    }
    unsigned WaitTime() override { return 200; }

    using ManagerWithLoop::keepAliveSeconds_;
    using ManagerWithLoop::notRespondingSeconds_;
    using ManagerWithLoop::reexchangeBytes_;
    using ManagerWithLoop::reexchangeSeconds_;

    std::string serviceName = "ssh-userauth";
    bool serviceRequested = false;
    std::atomic<std::uint32_t> kexCount{0};
    std::atomic<int> keepAlivesDue{0};
    std::function<void(LoopEnd&)> afterPass;
};

struct Side {
    explicit Side(bool client)
        : transport(TestRng(), nullptr, 1 << 20, 1000, 6), handler(client ? new DhKexHandler(verifier) : new DhKexHandler)
    {
        handler->SetKexAlgorithms(DhKexHandler::Group1Sha1Name());
        transport.AddKexHandler(*handler);
        if (!client) transport.AddSigner(DsaKey());
        end.reset(new LoopEnd(transport, auth));
        end->SetCipherList("aes128-cbc", KexInit::BothDirections);
    }
    // Runs the loop on a thread of its own; outcome is the text of what ended it.
    void Run(Socket&& connected)
    {
        source.AccessSocket().AttachSocket(connected.DetachSocket(), true);
        sink.ShareSocketOf(source);
        thread = std::thread([this] {
            try {
                end->DoLoop(source.AccessSocket(), source, &sink, VersionInfo("loop test", false));
            } catch (const SSH::RemoteNotResponding&) {
                outcome = "not responding";
            } catch (const SSH::RemoteDisconnect&) {
                outcome = "remote disconnect";
            } catch (const std::exception& e) {
                outcome = e.what();
            }
        });
    }
    void Join()
    {
        if (thread.joinable()) thread.join();
    }
    ~Side() { Join(); }

    AcceptAll verifier;
    Authenticated auth;
    TransportState transport;
    std::unique_ptr<DhKexHandler> handler;
    std::unique_ptr<LoopEnd> end;
    SocketSource source;
    SocketSink sink;
    std::thread thread;
    std::string outcome;
};

struct Connection {
    Side client{true};
    Side server{false};

    void Start()
    {
        Pair sockets;
        client.Run(std::move(sockets.client));
        server.Run(std::move(sockets.server));
    }
    void Join()
    {
        client.Join();
        server.Join();
    }
};

// The client ends the connection with a reason once the condition holds.
std::function<void(LoopEnd&)> DisconnectWhen(std::function<bool(LoopEnd&)> condition)
{
    return [condition](LoopEnd& end) {
        if (condition(end)) end.SendDisconnect(SSH::CauseToDisconnect(SSH::DisconnectByApplication, "test done", "en"));
    };
}

}  // namespace

TEST(ManagerWithLoop, ReexchangesAfterAByteCountAndEndsWithTheReason)
{
    Connection c;
    c.client.end->reexchangeBytes_ = 1;  // any bytes after an exchange start the next
    c.client.end->afterPass = DisconnectWhen([](LoopEnd& e) { return e.kexCount >= 3; });
    c.Start();
    c.Join();
    EXPECT_EQ(c.client.outcome, "remote disconnect");
    EXPECT_EQ(c.server.outcome, "remote disconnect");
    EXPECT_GE(c.server.end->kexCount, 3u);
    EXPECT_EQ(c.server.end->DisconnectOriginOf(), SSH::Manager::PeerDisconnected);
    EXPECT_EQ(c.server.end->DisconnectReason(), SSH::DisconnectByApplication);
    EXPECT_EQ(c.server.end->DisconnectDescription(), "test done");
}

TEST(ManagerWithLoop, ReexchangesAfterATime)
{
    Connection c;
    c.server.end->reexchangeSeconds_ = 1;
    c.client.end->afterPass = DisconnectWhen([](LoopEnd& e) { return e.kexCount >= 3; });
    const auto begin = std::chrono::steady_clock::now();
    c.Start();
    c.Join();
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    EXPECT_EQ(c.client.outcome, "remote disconnect");
    EXPECT_GE(seconds, 1.8);
    EXPECT_LT(seconds, 30);
}

TEST(ManagerWithLoop, KeepAliveIsAnsweredAndASilentPeerIsNotResponding)
{
    Connection c;
    c.client.end->keepAliveSeconds_ = 1;
    c.client.end->notRespondingSeconds_ = 1;
    c.server.end->keepAliveSeconds_ = 0;
    // The server answers two keep-alives, then stops reading until the client gives up.
    std::atomic<bool> stall{false};
    c.client.end->afterPass = [&](LoopEnd& e) {
        if (e.keepAlivesDue >= 3) stall = true;
    };
    c.server.end->afterPass = [&](LoopEnd&) {
        while (stall && c.client.outcome.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    };
    c.Start();
    c.client.Join();
    EXPECT_EQ(c.client.outcome, "not responding");
    EXPECT_GE(c.client.end->keepAlivesDue, 3);
    c.server.Join();
    EXPECT_EQ(c.server.outcome, "remote disconnect");
}

// Before login a keep-alive is an SSH_MSG_IGNORE, which awaits no reply: a peer slow to
// answer (a user at a password prompt) is not taken for a dead one, and no client is sent a
// connection-layer request it may not accept yet.
TEST(ManagerWithLoop, BeforeLoginAKeepAliveIsAnIgnore)
{
    Connection c;
    c.client.auth.state = 0;
    c.client.end->keepAliveSeconds_ = 1;
    c.client.end->notRespondingSeconds_ = 1;
    c.server.end->keepAliveSeconds_ = 0;
    std::atomic<bool> stall{false};
    c.client.end->afterPass = [&](LoopEnd& e) {
        if (e.keepAlivesDue >= 1) stall = true;
        if (e.keepAlivesDue >= 3)
            e.SendDisconnect(SSH::CauseToDisconnect(SSH::DisconnectByApplication, "test done", "en"));
    };
    c.server.end->afterPass = [&](LoopEnd&) {
        while (stall && c.client.outcome.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    };
    c.Start();
    c.client.Join();
    EXPECT_EQ(c.client.outcome, "remote disconnect");
    EXPECT_GE(c.client.end->keepAlivesDue, 3);
    c.server.Join();
    EXPECT_EQ(c.server.end->DisconnectDescription(), "test done");
}

TEST(ManagerWithLoop, AProtocolErrorIsSentAsTheDisconnectReason)
{
    Connection c;
    c.client.end->serviceName = "ssh-connection";
    c.Start();
    c.Join();
    EXPECT_EQ(c.server.outcome, "SSH: cause to disconnect: ");
    EXPECT_EQ(c.server.end->DisconnectOriginOf(), SSH::Manager::WeDisconnected);
    EXPECT_EQ(c.client.outcome, "remote disconnect");
    EXPECT_EQ(c.client.end->DisconnectOriginOf(), SSH::Manager::PeerDisconnected);
    EXPECT_EQ(c.client.end->DisconnectReason(), SSH::DisconnectServiceNotAvailable);
    EXPECT_EQ(c.client.end->DisconnectDescription(), "");
}

TEST(ManagerWithLoop, ASocketWithoutOwnershipIsRefused)
{
    Socket borrowed;
    EXPECT_THROW(SocketCloser closer(borrowed), CryptoPP::InvalidArgument);
}

TEST(ManagerWithLoop, AConnectionResetIsARemoteDisconnect)
{
    Side server(false);
    Pair sockets;
    server.Run(std::move(sockets.server));
    const std::string line = "SSH-2.0-resetting peer\r\n";
    sockets.client.Send(reinterpret_cast<const CryptoPP::byte*>(line.data()), line.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // Closing with a zero linger time resets the connection.
    const linger reset = {1, 0};
    setsockopt(sockets.client.GetSocket(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset), sizeof reset);
    sockets.client.CloseSocket();
    server.Join();
    EXPECT_EQ(server.outcome, "remote disconnect");
    EXPECT_EQ(server.end->DisconnectOriginOf(), SSH::Manager::NoDisconnect);
}

// A peer that never gets through the version exchange or the first key exchange is cut off
// by the key-exchange limit; one that sends only text lines, by the line limit. The reason
// is in the plain SSH_MSG_DISCONNECT it receives.
TEST(ManagerWithLoop, APeerThatNeverExchangesKeysIsCutOff)
{
    std::string junkLines;
    for (int i = 0; i < 2000; ++i) junkLines += "junk\r\n";
    const struct {
        std::string sent;
        std::string reason;
    } cases[] = {
        {"", "key exchange did not complete within 1 seconds"},
        {"SSH-2.0-silent\r\n", "key exchange did not complete within 1 seconds"},
        {junkLines, "more than 1024 lines before the version line"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        Side server(false);
        server.end->SetKeyExchangeLimit(1);
        Pair sockets;
        server.Run(std::move(sockets.server));
        if (!c.sent.empty()) sockets.client.Send(reinterpret_cast<const CryptoPP::byte*>(c.sent.data()), c.sent.size());
        server.Join();
        EXPECT_EQ(server.end->DisconnectOriginOf(), SSH::Manager::WeDisconnected);
        std::string received;
        CryptoPP::byte buffer[4096];
        for (;;) {
            const long got = sockets.client.Receive(buffer, sizeof buffer);
            if (got <= 0) break;
            received.append(reinterpret_cast<const char*>(buffer), got);
        }
        EXPECT_NE(received.find(c.reason), std::string::npos) << received.size() << " bytes received";
    }
}

TEST(ManagerWithLoop, AClientThatNeverLogsInIsCutOff)
{
    Connection c;
    c.server.auth.state = 0;
    c.server.end->SetLoginLimit(1);
    c.Start();
    c.Join();
    EXPECT_EQ(c.server.end->DisconnectOriginOf(), SSH::Manager::WeDisconnected);
    EXPECT_EQ(c.client.outcome, "remote disconnect");
    EXPECT_EQ(c.client.end->DisconnectReason(), SSH::DisconnectNoMoreAuthMethodsAvailable);
    EXPECT_EQ(c.client.end->DisconnectDescription(), "user authentication did not complete within 1 seconds");
}
