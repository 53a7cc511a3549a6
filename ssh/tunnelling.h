// Channels that carry TCP connections (RFC 4254, section 7). TunnelingResponder answers a
// channel the peer opens for a forwarded connection: it asks a decision of its subclass,
// connects to the named target (directly or through a proxy) and relays. TunnelingInitiator
// takes a local TCP connection, opens a channel for it and relays.
#pragma once

#include "ssh/channel.h"
#include "ssh/net/connecting_socket.h"
#include "ssh/net/network_address.h"
#include "ssh/net/socket.h"

#include <cryptopp/filters.h>

#include <string>

class CryptBlock;

namespace SSH {

// A Redirector that remembers its target; it does not own it.
class ForwardingComponent : public CryptoPP::Redirector {
public:
    void SetTarget(CryptoPP::BufferedTransformation* target)
    {
        m_target = target;
        Redirect(*target);
    }
    CryptoPP::BufferedTransformation* Target() const { return m_target; }

private:
    CryptoPP::BufferedTransformation* m_target = nullptr;
};

class TunnelingResponder : public Channel {
public:
    using Channel::Channel;
    ~TunnelingResponder() override;

    bool AcceptOpen(ChannelHost& host, CryptoPP::BufferedTransformation& openData,
                    CryptoPP::BufferedTransformation& confirmationData) override;
    bool CompleteOpen(ChannelHost& host, CryptoPP::BufferedTransformation& confirmationData) override;
    CryptoPP::BufferedTransformation& GetDataTarget() override { return m_forwarder; }
    void OnTargetException(const std::exception* e) override;
    // Until every byte for the TCP peer, and the end of stream after them, is written: the
    // channel outlives its CLOSE until then.
    bool IsBusy() override;
    void PumpOutgoing(std::uint32_t room) override;
    // Writes what waits for the TCP peer.
    void Poll() override;
    void GetWaitObjects(CryptoPP::WaitObjectContainer& container, bool sinkOnly,
                        CryptoPP::CallStack const& callStack) override;
    unsigned int GetMaxWaitObjectCount() const override;

    // The decision: true to connect, false when not made yet; a refusal throws
    // ChannelOpenFailure. It fills the proxy fields before it says yes.
    virtual bool StartTargetProcessing(ChannelHost& host) = 0;
    virtual bool ContinueTargetProcessing(ChannelHost&) { return true; }
    virtual unsigned TargetProcessingMaxWaitObjectCount() const { return 0; }
    virtual void GetTargetProcessingWaitObjects(CryptoPP::WaitObjectContainer&, CryptoPP::CallStack const&) {}
    virtual void OnTargetConnected(ChannelHost& host) = 0;
    virtual void OnTargetConnectFailed(ChannelHost& host, ConnectingSocket& socket) = 0;

    const NetworkAddress& Target() const { return m_target; }
    const NetworkAddress& Originator() const { return m_originator; }

protected:
    bool ConnectToTarget(ChannelHost& host);

    bool m_decisionStarted = false;
    bool m_connectApproved = false;
    NetworkAddress m_target;
    bool m_useProxy = false;
    int m_proxyProtocol = ConnectingSocket::PROXY_SOCKS4;
    NetworkAddress m_proxyAddress;
    std::string m_proxyUsername;
    CryptBlock* m_proxyPassword = nullptr;
    NetworkAddress m_originator;
    ConnectingSocket m_connectingSocket;
    ForwardingComponent m_forwarder;
};

class TunnelingInitiator : public Channel {
public:
    using Channel::Channel;

    // Takes the pending connection of the listener; with none pending Socket::Err propagates.
    void AcceptFrom(Socket& listener, const NetworkAddress& target);
    // Takes ownership of a connected socket.
    void AttachSocket(SOCKET socket, const NetworkAddress& originator, const NetworkAddress& target);

    // Wires the relay and writes the open data: target host and port, originator host and port.
    void WriteOpenData(ChannelHost& host, CryptoPP::BufferedTransformation& output) override;
    CryptoPP::BufferedTransformation& GetDataTarget() override { return m_forwarder; }
    void OnTargetException(const std::exception* e) override;
    // Until every byte for the TCP peer, and the end of stream after them, is written: the
    // channel outlives its CLOSE until then.
    bool IsBusy() override;
    void PumpOutgoing(std::uint32_t room) override;
    // Writes what waits for the TCP peer.
    void Poll() override;
    void GetWaitObjects(CryptoPP::WaitObjectContainer& container, bool sinkOnly,
                        CryptoPP::CallStack const& callStack) override;
    unsigned int GetMaxWaitObjectCount() const override;

    SocketSink& Sink() { return m_sink; }

private:
    NetworkAddress m_target;
    NetworkAddress m_originator;
    SocketSource m_source;
    SocketSink m_sink;
    ForwardingComponent m_forwarder;
};

}  // namespace SSH
