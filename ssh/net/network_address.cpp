#include "ssh/net/network_address.h"

#include "ssh/net/socket.h"

#include "foundation/text_helpers.h"

#include <cstring>

void NetworkAddress::SetBytes(int newType, const unsigned char* bytes, std::uint32_t count, std::uint32_t newPort) {
    type = newType;
    data.resize(0);
    data.append(bytes, bytes + count);
    port = newPort;
}

void NetworkAddress::SetFromSockAddr(const sockaddr_in& address) {
    SetBytes(IP4, reinterpret_cast<const unsigned char*>(&address.sin_addr), 4, ntohs(address.sin_port));
}

void NetworkAddress::SetIp4(std::uint32_t address, std::uint32_t newPort) {
    std::uint32_t networkOrder = htonl(address);
    SetBytes(IP4, reinterpret_cast<const unsigned char*>(&networkOrder), 4, newPort);
}

void NetworkAddress::Set(const char* text, std::uint32_t newPort) {
    unsigned long address = inet_addr(text);
    if (address != INADDR_NONE)
        SetIp4(ntohl(address), newPort);
    else
        SetBytes(DNSNAME, reinterpret_cast<const unsigned char*>(text), static_cast<std::uint32_t>(strlen(text)),
                 newPort);
}

void NetworkAddress::Set(const std::string& text, std::uint32_t newPort) {
    if (text.find('\0') == std::string::npos)
        Set(text.c_str(), newPort);
    else
        SetBytes(DNSNAME, reinterpret_cast<const unsigned char*>(text.data()), static_cast<std::uint32_t>(text.size()),
                 newPort);
}

std::uint32_t NetworkAddress::GetIp4() const {
    if (type != IP4 || data.size() != 4) return 0xFFFFFFFF;
    std::uint32_t networkOrder;
    memcpy(&networkOrder, data.data(), 4);
    return ntohl(networkOrder);
}

sockaddr_in NetworkAddress::ToSockAddr() const {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port & 0xFFFF));
    address.sin_addr.s_addr = htonl(GetIp4());
    return address;
}

std::string NetworkAddress::Ip4ToText() const {
    if (type != IP4) return "(not an IP4 address)";
    if (data.size() != 4) return "(invalid IP4 data size " + FormatInteger(data.size(), 10, 0) + ")";
    in_addr address;
    memcpy(&address, data.data(), 4);
    return inet_ntoa(address);
}

std::string NetworkAddress::DnsNameToText() const {
    if (type != DNSNAME) return "(not a DNS name)";
    return std::string(reinterpret_cast<const char*>(data.data()), data.size());
}

std::string NetworkAddress::ToText() const {
    switch (type) {
    case NONE:
        return "(no address)";
    case IP4:
        return Ip4ToText();
    case IP6:
        return "(IP6 address)";
    case DNSNAME:
        return DnsNameToText();
    default:
        return "(unrecognized address type)";
    }
}

void AcceptConnection(Socket& listening, Socket& target, NetworkAddress& peer) {
    sockaddr_in address = {};
    int length = sizeof address;
    if (!listening.Accept(target, reinterpret_cast<sockaddr*>(&address), &length))
        throw Socket::Err(listening.GetSocket(), "accept()", WSAEWOULDBLOCK);
    peer.SetFromSockAddr(address);
}
