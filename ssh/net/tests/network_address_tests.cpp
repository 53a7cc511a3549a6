#include "ssh/net/network_address.h"
#include "ssh/net/socket.h"
#include "ssh/net/tests/winsock_environment.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

::testing::Environment* const winsock = ::testing::AddGlobalTestEnvironment(new WinsockEnvironment);

std::vector<unsigned char> Bytes(const NetworkAddress& a) { return std::vector<unsigned char>(a.data.begin(), a.data.end()); }

TEST(NetworkAddress, ParsesConvertsAndPrints) {
    struct Case {
        const char* text;
        int type;
        std::vector<unsigned char> bytes;
        std::uint32_t ip4;
        const char* printed;
    };
    const Case cases[] = {
        {"10.0.0.1", NetworkAddress::IP4, {10, 0, 0, 1}, 0x0A000001, "10.0.0.1"},
        {"127.0.0.1", NetworkAddress::IP4, {127, 0, 0, 1}, 0x7F000001, "127.0.0.1"},
        {"0.0.0.0", NetworkAddress::IP4, {0, 0, 0, 0}, 0, "0.0.0.0"},
        // The shorter forms inet_addr reads.
        {"10.1", NetworkAddress::IP4, {10, 0, 0, 1}, 0x0A000001, "10.0.0.1"},
        {"0x7f.1", NetworkAddress::IP4, {127, 0, 0, 1}, 0x7F000001, "127.0.0.1"},
        {"localhost", NetworkAddress::DNSNAME, {'l', 'o', 'c', 'a', 'l', 'h', 'o', 's', 't'}, 0xFFFFFFFF, "localhost"},
        // Taken as it stands, without checks.
        {"not a host!", NetworkAddress::DNSNAME, {'n', 'o', 't', ' ', 'a', ' ', 'h', 'o', 's', 't', '!'}, 0xFFFFFFFF,
         "not a host!"},
        {"10.0.0.256", NetworkAddress::DNSNAME, {'1', '0', '.', '0', '.', '0', '.', '2', '5', '6'}, 0xFFFFFFFF,
         "10.0.0.256"},
        // The same value as inet_addr's failure result.
        {"255.255.255.255", NetworkAddress::DNSNAME,
         {'2', '5', '5', '.', '2', '5', '5', '.', '2', '5', '5', '.', '2', '5', '5'}, 0xFFFFFFFF, "255.255.255.255"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        NetworkAddress a;
        a.Set(c.text, 22);
        EXPECT_EQ(a.type, c.type);
        EXPECT_EQ(Bytes(a), c.bytes);
        EXPECT_EQ(a.port, 22u);
        EXPECT_EQ(a.GetIp4(), c.ip4);
        EXPECT_EQ(a.ToText(), c.printed);
        sockaddr_in s = a.ToSockAddr();
        EXPECT_EQ(s.sin_family, AF_INET);
        EXPECT_EQ(ntohs(s.sin_port), 22);
        EXPECT_EQ(ntohl(s.sin_addr.s_addr), c.ip4);
    }
    NetworkAddress fromString;
    fromString.Set(std::string("192.168.1.2"), 80);
    EXPECT_EQ(fromString.ToText(), "192.168.1.2");
    // A NUL inside a name (as a peer may send it) is kept with everything after it.
    for (const std::string& withNul : {std::string("10.0.0.1\0evil", 13), std::string("host\0.example", 13)}) {
        NetworkAddress a;
        a.Set(withNul, 22);
        EXPECT_EQ(a.type, NetworkAddress::DNSNAME);
        EXPECT_EQ(a.ToText(), withNul);
        EXPECT_EQ(a.GetIp4(), 0xFFFFFFFF);
    }
}

TEST(NetworkAddress, TextFormsOfEveryType) {
    NetworkAddress none;
    EXPECT_EQ(none.type, NetworkAddress::NONE);
    EXPECT_EQ(none.port, 0u);
    EXPECT_EQ(none.ToText(), "(no address)");
    EXPECT_EQ(none.Ip4ToText(), "(not an IP4 address)");
    EXPECT_EQ(none.DnsNameToText(), "(not a DNS name)");

    const unsigned char three[] = {1, 2, 3};
    NetworkAddress shortIp4;
    shortIp4.SetBytes(NetworkAddress::IP4, three, 3, 22);
    EXPECT_EQ(shortIp4.ToText(), "(invalid IP4 data size 3)");
    EXPECT_EQ(shortIp4.GetIp4(), 0xFFFFFFFFu);

    unsigned char sixteen[16] = {0x20, 0x01};
    NetworkAddress ip6;
    ip6.SetBytes(NetworkAddress::IP6, sixteen, 16, 22);
    EXPECT_EQ(ip6.ToText(), "(IP6 address)");
    EXPECT_EQ(ip6.Ip4ToText(), "(not an IP4 address)");
    EXPECT_EQ(ip6.GetIp4(), 0xFFFFFFFFu);

    NetworkAddress odd;
    odd.type = 7;
    EXPECT_EQ(odd.ToText(), "(unrecognized address type)");
}

TEST(NetworkAddress, PortsAndSockAddrs) {
    NetworkAddress a;
    a.SetIp4(0xC0A80102, 65536 + 22);
    EXPECT_EQ(a.port, 65536u + 22);  // kept as given
    sockaddr_in s = a.ToSockAddr();
    EXPECT_EQ(ntohs(s.sin_port), 22);  // its low 16 bits
    EXPECT_EQ(ntohl(s.sin_addr.s_addr), 0xC0A80102u);
    EXPECT_EQ(a.ToText(), "192.168.1.2");

    NetworkAddress back;
    back.SetFromSockAddr(s);
    EXPECT_EQ(back.type, NetworkAddress::IP4);
    EXPECT_EQ(Bytes(back), (std::vector<unsigned char>{192, 168, 1, 2}));
    EXPECT_EQ(back.port, 22u);

    // A copy is independent of its source.
    NetworkAddress copy = back;
    back.Set("example.org", 443);
    EXPECT_EQ(copy.ToText(), "192.168.1.2");
    EXPECT_EQ(copy.port, 22u);
    copy = back;
    EXPECT_EQ(copy.ToText(), "example.org");
    EXPECT_EQ(copy.port, 443u);
}

TEST(AcceptConnection, NothingPendingThrowsWouldBlockAndKeepsThePeer) {
    Listener listener;
    Socket target;
    NetworkAddress peer;
    peer.Set("kept.example", 7);
    try {
        AcceptConnection(listener.socket, target, peer);
        FAIL() << "accepted without a connection";
    } catch (const Socket::Err& e) {
        EXPECT_EQ(e.GetOperation(), "accept()");
        EXPECT_EQ(e.GetErrorCode(), 10035);
        EXPECT_EQ(e.GetSocket(), listener.socket.GetSocket());
    }
    EXPECT_FALSE(target.IsValid());
    EXPECT_EQ(peer.ToText(), "kept.example");
    EXPECT_EQ(peer.port, 7u);
}

TEST(AcceptConnection, ReportsThePeer) {
    Listener listener;
    Socket client;
    client.Create();
    ASSERT_TRUE(client.Connect(reinterpret_cast<const sockaddr*>(&listener.address), sizeof listener.address));
    sockaddr_in clientEnd = client.GetSockName();

    Socket target;
    NetworkAddress peer;
    for (int tries = 0;; ++tries) {
        try {
            AcceptConnection(listener.socket, target, peer);
            break;
        } catch (const Socket::Err& e) {
            ASSERT_EQ(e.GetErrorCode(), 10035);
            ASSERT_LT(tries, 100);
            Sleep(20);
        }
    }
    EXPECT_TRUE(target.IsValid());
    EXPECT_EQ(peer.type, NetworkAddress::IP4);
    EXPECT_EQ(peer.ToText(), "127.0.0.1");
    EXPECT_EQ(peer.port, ntohs(clientEnd.sin_port));

    // The accepted socket is the other end of the client's.
    const CryptoPP::byte hello[] = {'h', 'i'};
    ASSERT_EQ(client.Send(hello, 2), 2u);
    CryptoPP::byte received[2] = {};
    target.SetNonBlocking();
    long n = -1;
    for (int tries = 0; n < 0 && tries < 100; ++tries) {
        n = target.Receive(received, 2);
        if (n < 0) Sleep(20);
    }
    EXPECT_EQ(n, 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(received), 2), "hi");
}

}  // namespace
