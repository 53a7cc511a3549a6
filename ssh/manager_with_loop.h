// The connection loop of one SSH connection over a connected TCP socket: it builds the packet
// paths around the socket source and sink, sends our identification line and first KEXINIT,
// and then waits, reads, pumps the channels, re-exchanges keys after a byte count or a time,
// keeps an idle connection alive and notices a peer that stopped answering.
#pragma once

// Windows Sockets before windows.h.
#include "ssh/net/socket.h"
#include "ssh/manager.h"

#include <cryptopp/filters.h>
#include <cryptopp/hrtimer.h>

#include <cstdint>

// Closes a socket that owns its handle when the guard ends.
class SocketCloser {
public:
    explicit SocketCloser(Socket& socket);
    ~SocketCloser();
    SocketCloser(const SocketCloser&) = delete;
    SocketCloser& operator=(const SocketCloser&) = delete;

private:
    Socket& socket_;
};

class ManagerWithLoop : public SSH::Manager {
public:
    ManagerWithLoop(TransportState& transport, UserAuthState& userAuth);
    ~ManagerWithLoop() override;

    void SetKexList(const std::string& list) { kexTemplate_.SetKexList(list); }
    void SetHostKeyList(const std::string& list) { kexTemplate_.SetHostKeyList(list); }
    void SetCipherList(const std::string& list, int direction) { kexTemplate_.SetCipherList(list, direction); }
    void SetMacList(const std::string& list, int direction) { kexTemplate_.SetMacList(list, direction); }
    void SetCompressionList(const std::string& list, int direction)
    {
        kexTemplate_.SetCompressionList(list, direction);
    }

    // Runs the connection; ends only by throwing SSH::RemoteDisconnect, SSH::RemoteNotResponding
    // or the failure that ended it (after our SSH_MSG_DISCONNECT).
    [[noreturn]] void DoLoop(Socket& socket, SocketSource& source, SocketSink* sink, const VersionInfo& version);
    void Disconnect(const SSH::CauseToDisconnect& cause);
    void CloseSocket();

    // Deadlines from the start of the loop, in seconds (0: none): for the first key exchange,
    // and on the server end for user authentication. A connection that misses one is ended.
    void SetKeyExchangeLimit(std::uint32_t seconds) { keyExchangeLimitSeconds_ = seconds; }
    void SetLoginLimit(std::uint32_t seconds) { loginLimitSeconds_ = seconds; }

    // What one wait covers. The connection's socket is counted through the sink in the
    // manager's attachment; the source shares its network event.
    unsigned MaxWaitObjects() override { return CryptoPP::WaitObjectContainer::MaxWaitObjects(); }
    void OnNewKeysSent() override;

    // Hooks of the loop.
    virtual unsigned WaitTime() { return 0xFFFFFFFFu; }
    virtual void OnKeepAliveDue() {}
    virtual void BeforeChannelPump() {}
    virtual void AfterChannelPump() {}

protected:
    bool reexchangeEnabled_ = true;
    std::uint32_t reexchangeBytes_ = 1u << 30;
    std::uint32_t reexchangeSeconds_ = 3600;
    std::uint32_t keepAliveSeconds_ = 60;
    std::uint32_t notRespondingSeconds_ = 30;
    std::uint32_t keyExchangeLimitSeconds_ = 120;
    std::uint32_t loginLimitSeconds_ = 120;

private:
    // The sink as the manager's connection meter: its buffer, and the speed of the bytes
    // written since the last key exchange.
    class SinkMeter : public ConnectionMeter {
    public:
        explicit SinkMeter(ManagerWithLoop& loop) : loop_(loop) {}
        unsigned BufferedBytes() override;
        double CurrentSpeed() override;

    private:
        ManagerWithLoop& loop_;
    };

    void RunPasses();
    // Milliseconds to the nearest deadline still open; throws once one has passed.
    std::uint64_t CheckDeadlines(std::uint64_t now);
    // Throws SSH::RemoteDisconnect once the transport is disconnected or the peer closed.
    void EndIfDisconnected();

    SocketSource* source_ = nullptr;
    SocketSink* sink_ = nullptr;
    KexInit kexTemplate_;
    CryptoPP::MeterFilter* incomingMeter_ = nullptr;
    CryptoPP::MeterFilter* outgoingMeter_ = nullptr;
    NullGlobalRequestHandler keepAliveReplyHandler_;
    CryptoPP::Timer timer_;
    std::uint64_t lastKeyExchangeTime_ = 0;
    bool firstKeyExchangeDone_ = false;
    SinkMeter sinkMeter_;
};
