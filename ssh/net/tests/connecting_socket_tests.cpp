#include "ssh/net/connecting_socket.h"
#include "ssh/net/tests/winsock_environment.h"

#include <gtest/gtest.h>

#include <string>

using CryptoPP::CallStack;
using CryptoPP::WaitObjectContainer;

namespace {

::testing::Environment* const winsock = ::testing::AddGlobalTestEnvironment(new WinsockEnvironment);

NetworkAddress Address(const char* text, std::uint32_t port) {
    NetworkAddress a;
    a.Set(text, port);
    return a;
}

TEST(ConnectingSocket, RefusesBadArgumentsAndASecondStart) {
    struct Case {
        NetworkAddress target;
        int proxyType;
        const char* description;
    };
    NetworkAddress ip6;
    const unsigned char sixteen[16] = {};
    ip6.SetBytes(NetworkAddress::IP6, sixteen, 16, 22);
    const Case cases[] = {
        {NetworkAddress(), NetworkAddress::NONE, "StartConnect() - target address type must be IP4 or DNSNAME"},
        {ip6, NetworkAddress::NONE, "StartConnect() - target address type must be IP4 or DNSNAME"},
        {Address("10.1.2.3", 22), NetworkAddress::IP6,
         "StartConnect() - proxy address type must be IP4, DNSNAME, or NONE"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        ConnectingSocket s;
        s.SetTarget(c.target);
        if (c.proxyType != NetworkAddress::NONE) s.SetProxy(ConnectingSocket::PROXY_SOCKS5, ip6, "", nullptr);
        EXPECT_TRUE(s.StartConnect());
        EXPECT_EQ(s.GetState(), ConnectingSocket::FAILED);
        EXPECT_TRUE(s.IsStarted());
        EXPECT_FALSE(s.IsConnected());
        EXPECT_EQ(s.GetErrorOperation(), "StartConnect()");
        EXPECT_EQ(s.GetErrorCode(), 0x80070057u);
        EXPECT_EQ(s.GetErrorDesc(), c.description);
        WaitObjectContainer container;
        s.GetWaitObjects(container, CallStack("test", nullptr));
        EXPECT_TRUE(container.Handles().empty());
        EXPECT_FALSE(container.NoWait());
    }

    ConnectingSocket s;
    s.SetTarget(Address("no-such-host.invalid", 22));
    s.StartConnect();
    EXPECT_TRUE(s.StartConnect());
    EXPECT_EQ(s.GetState(), ConnectingSocket::FAILED);
    EXPECT_EQ(s.GetErrorCode(), 0x80004005u);
    EXPECT_EQ(s.GetErrorDesc(), "StartConnect() cannot be called more than once on the same object");
}

// What a request cannot carry whole and exactly is refused before any connection is made.
TEST(ConnectingSocket, RefusesPortsNamesAndCredentialsThatCannotBeSentWhole) {
    const std::string withNul("localhost\0.corp.example", 23);
    const std::string longName = std::string(261, 'a') + ".corp.example";  // 274 bytes
    const std::string name255 = std::string(242, 'a') + ".corp.example";
    struct Case {
        std::string target;
        std::uint32_t port;
        int protocol;  // -1: no proxy
        std::uint32_t proxyPort;
        std::string user;
        const char* operation;
        const char* description;  // null: accepted
    };
    const char* badName = "Target host name contains characters that cannot be sent to the proxy server";
    const Case cases[] = {
        {"10.1.2.3", 0, -1, 0, "", "StartConnect()", "StartConnect() - target port 0 is outside 1 to 65535"},
        {"10.1.2.3", 112644, -1, 0, "", "StartConnect()", "StartConnect() - target port 112644 is outside 1 to 65535"},
        {"10.1.2.3", 65536, ConnectingSocket::PROXY_HTTP, 8080, "", "StartConnect()",
         "StartConnect() - target port 65536 is outside 1 to 65535"},
        {"10.1.2.3", 22, ConnectingSocket::PROXY_SOCKS5, 70000, "", "StartConnect()",
         "StartConnect() - proxy port 70000 is outside 1 to 65535"},
        {withNul, 22, ConnectingSocket::PROXY_SOCKS4, 1080, "", "Checking target host name", badName},
        {withNul, 22, ConnectingSocket::PROXY_SOCKS5, 1080, "", "Checking target host name", badName},
        {withNul, 22, ConnectingSocket::PROXY_HTTP, 8080, "", "Checking target host name", badName},
        {"a b", 22, ConnectingSocket::PROXY_HTTP, 8080, "", "Checking target host name", badName},
        {longName, 22, ConnectingSocket::PROXY_SOCKS5, 1080, "", "Checking target host name",
         "Target host name is longer than the 255 bytes a SOCKS5 request can carry"},
        {"host.example", 22, ConnectingSocket::PROXY_SOCKS5, 1080, std::string(256, 'u'), "Checking proxy credentials",
         "Proxy user name is longer than the 255 bytes a SOCKS5 request can carry"},
        // The longest that fit are started (and then fail to reach the closed proxy port).
        {name255, 65535, ConnectingSocket::PROXY_SOCKS5, 1, std::string(255, 'u'), "", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target.substr(0, 20) + " " + std::to_string(c.port) + " " + std::to_string(c.protocol));
        ConnectingSocket s;
        NetworkAddress target;
        target.Set(c.target, c.port);
        s.SetTarget(target);
        if (c.protocol >= 0) s.SetProxy(c.protocol, Address("127.0.0.1", c.proxyPort), c.user, nullptr);
        bool finished = s.StartConnect();
        if (!c.description) {
            // It got past the checks: whatever ends it comes from the attempt itself.
            EXPECT_NE(s.GetErrorOperation(), "StartConnect()");
            EXPECT_EQ(s.GetErrorOperation().find("Checking"), std::string::npos) << s.GetErrorDesc();
            continue;
        }
        EXPECT_TRUE(finished);
        EXPECT_EQ(s.GetState(), ConnectingSocket::FAILED);
        EXPECT_EQ(s.GetErrorOperation(), c.operation);
        EXPECT_EQ(s.GetErrorCode(), 0x80070057u);
        EXPECT_EQ(s.GetErrorDesc(), c.description);
        WaitObjectContainer container;
        s.GetWaitObjects(container, CallStack("test", nullptr));
        EXPECT_TRUE(container.Handles().empty());  // no socket, no lookup: nothing was sent
    }
}

TEST(ConnectingSocket, WaitsWithReasonsAndAPhaseDeadline) {
    // A proxy that accepts and never answers: the socket waits on its source.
    Socket proxy;
    proxy.Create();
    proxy.Bind(Address("127.0.0.1", 0).ToSockAddr());
    proxy.Listen();
    sockaddr_in at = proxy.GetSockName();

    ConnectingSocket s;
    s.SetTarget(Address("10.1.2.3", 22));
    NetworkAddress proxyAddress;
    proxyAddress.SetFromSockAddr(at);
    s.SetProxy(ConnectingSocket::PROXY_SOCKS4, proxyAddress, "", nullptr);
    // One object in each phase: connected, the source and the sink share the socket's event.
    EXPECT_EQ(s.GetMaxWaitObjectCount(), 1u);
    bool done = s.StartConnect();
    for (int round = 0; !done && s.GetState() == ConnectingSocket::CONNECTING && round < 100; ++round) {
        WaitObjectContainer container;
        s.GetWaitObjects(container, CallStack("test", nullptr));
        ASSERT_EQ(container.HandleReasons(),
                  std::vector<std::string>{"ConnectingSocket::GetWaitObjects() - connecting / test"});
        container.Wait(100);
        done = s.Pump();
    }
    ASSERT_FALSE(done) << s.GetErrorDesc();
    // The request has gone out; the reply is awaited.
    Socket accepted;
    ASSERT_TRUE(proxy.Accept(accepted, nullptr, nullptr));
    done = s.Pump();
    ASSERT_FALSE(done);
    ASSERT_EQ(s.GetState(), ConnectingSocket::NEGOTIATING);
    WaitObjectContainer container;
    s.GetWaitObjects(container, CallStack("test", nullptr));
    ASSERT_EQ(container.HandleReasons(),
              std::vector<std::string>{"SocketSource::GetWaitObjects() - no data / "
                                       "ConnectingSocket::GetWaitObjects() - proxy receive / test"});
    EXPECT_GT(container.ScheduledMilliseconds(), 29000u);
    EXPECT_LE(container.ScheduledMilliseconds(), 31000u);
}

}  // namespace
