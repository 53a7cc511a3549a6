// The endpoint of a TCP connection: no address, an IPv4 or IPv6 address, or a DNS name,
// always with a port. Text forms serve protocol messages and logs; none includes the port.
#pragma once

#include "RoVodEre/datavect.h"

#include <winsock2.h>

#include <cstdint>
#include <string>

class Socket;

class NetworkAddress {
public:
    enum Type { NONE = 0, IP4 = 1, IP6 = 2, DNSNAME = 3 };

    int type;
    // IP4: 4 bytes in network order; IP6: 16 bytes; DNSNAME: the name without a terminator.
    datavect<unsigned char> data;
    // Host order; socket addresses take its low 16 bits.
    std::uint32_t port;

    NetworkAddress() : type(NONE), port(0) {}

    void SetFromSockAddr(const sockaddr_in& address);
    // address in host order.
    void SetIp4(std::uint32_t address, std::uint32_t port);
    // IP4 when the text is what inet_addr reads as an address, otherwise a DNS name taken as
    // it stands. 255.255.255.255 is a DNS name: inet_addr gives it as its failure result.
    void Set(const char* text, std::uint32_t port);
    // Every byte counts: a name with a NUL in it stays a DNSNAME of all its bytes, so that
    // nothing after the NUL is silently dropped.
    void Set(const std::string& text, std::uint32_t port);
    void SetBytes(int type, const unsigned char* bytes, std::uint32_t count, std::uint32_t port);

    // Host order; 0xFFFFFFFF unless this is an IP4 address of 4 bytes.
    std::uint32_t GetIp4() const;
    sockaddr_in ToSockAddr() const;

    std::string Ip4ToText() const;
    std::string DnsNameToText() const;
    std::string ToText() const;
};

// Accepts a pending connection on the listening socket into target, which then owns it, and
// sets peer to the other end. With nothing pending it throws Socket::Err for the listening
// socket with "accept()" and WSAEWOULDBLOCK, and peer is left as it was.
void AcceptConnection(Socket& listening, Socket& target, NetworkAddress& peer);
