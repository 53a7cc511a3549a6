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
    EXPECT_EQ(s.GetMaxWaitObjectCount(), 2u);
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
