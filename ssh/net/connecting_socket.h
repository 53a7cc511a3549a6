// One outgoing TCP connection made without blocking on the network: directly, or through a
// SOCKS4 (with SOCKS4A host names), SOCKS5 (with user name and password) or HTTP CONNECT
// proxy. The owner calls StartConnect once and then Pump whenever one of the socket's wait
// objects fires, until either returns true: the socket is then connected, or failed with a
// record of the operation, an error code and a text. Each waiting phase (resolving,
// connecting, negotiating) may last 30 seconds. Host names are resolved on the calling
// thread, which blocks for that long.
#pragma once

#include "ssh/net/network_address.h"
#include "ssh/net/resolve_host_name.h"
#include "ssh/net/socket.h"
#include "ssh/net/wait_objects.h"

#include "RoVodEre/NoCrtCore.h"
#include "RoVodEre/datavect.h"

#include <cryptopp/cryptlib.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

class CryptBlock;

class ConnectingSocket : public CryptoPP::Waitable, public virtual ObjectBase {
public:
    enum ProxyProtocol { PROXY_SOCKS4 = 0, PROXY_SOCKS5 = 1, PROXY_HTTP = 2 };
    enum State {
        NOT_STARTED = 0,
        RESOLVING_CONNECT_TO = 1,
        CONNECT_TO_KNOWN = 2,
        RESOLVING_TARGET = 3,
        CREATING_SOCKET = 4,
        CONNECTING = 5,
        NEGOTIATING = 6,
        CONNECTED = 7,
        FAILED = 8,
    };
    enum ProxyPhase { PS_ACTOUTPUT = 0, PS_SENDOUTPUT = 1, PS_WAITINPUT = 2 };
    // Seconds each waiting phase may last.
    static const int kPhaseLimit = 30;
    // The most an HTTP proxy's response head may hold before the CONNECT fails.
    static const size_t kMaxHttpResponseHead = 64 * 1024;

    ConnectingSocket();
    ~ConnectingSocket() override;
    ConnectingSocket(const ConnectingSocket&) = delete;
    ConnectingSocket& operator=(const ConnectingSocket&) = delete;

    void SetTarget(const NetworkAddress& target);
    // protocol: a ProxyProtocol. The password block stays the caller's and must outlive the
    // attempt; null means no password.
    void SetProxy(int protocol, const NetworkAddress& proxy, const std::string& username, CryptBlock* password);
    // Resolve a target host name here and give the proxy its IPv4 address. Set before
    // StartConnect.
    void SetResolveTargetLocally(bool resolveLocally) { m_resolveTargetLocally = resolveLocally; }
    // Seconds each waiting phase may last (kPhaseLimit unless changed; at least 1). Set
    // before StartConnect.
    void SetPhaseLimit(int seconds) { m_phaseLimit = seconds < 1 ? 1 : seconds; }

    // True when the attempt has already finished, connected or failed.
    bool StartConnect();
    // Goes as far as it can without waiting; true when the attempt has finished.
    bool Pump();

    bool IsStarted() const { return m_state > NOT_STARTED; }
    bool IsConnected() const { return m_state == CONNECTED; }
    int GetState() const { return m_state; }

    // The data path once connected; bytes a proxy sent after its reply wait in the source's
    // attachment.
    SocketSource& AccessSource() { return m_source; }
    SocketSink& AccessSink() { return m_sink; }

    // The failure record, after state FAILED.
    const std::string& GetErrorOperation() const { return m_errorOperation; }
    std::uint32_t GetErrorCode() const { return m_errorCode; }
    const std::string& GetErrorDesc() const { return m_errorDesc; }
    // What a SOCKS5 proxy reported as the address of its end.
    const NetworkAddress& GetBoundAddress() const { return m_boundAddress; }

    unsigned int GetMaxWaitObjectCount() const override;
    void GetWaitObjects(CryptoPP::WaitObjectContainer& container, const CryptoPP::CallStack& callStack) override;
    void GetWaitObjects(CryptoPP::WaitObjectContainer& container, bool sinkOnly, const CryptoPP::CallStack& callStack);

private:
    void SetError(const std::string& operation, std::uint32_t code, const std::string& description);
    void StartLookup(const NetworkAddress& name);
    bool LookupDone() const;
    // True once the attempt has finished.
    bool PumpStates();
    bool BuildRequest();
    bool ReadReply();
    // Each proxy protocol in a file of its own: the request of the current step, and the
    // reply read from the queue. True when the attempt has finished.
    bool BuildSocks4Request();
    bool ReadSocks4Reply(CryptoPP::BufferedTransformation& queue);
    bool BuildSocks5Request();
    bool ReadSocks5Reply(CryptoPP::BufferedTransformation& queue);
    bool BuildHttpRequest();
    bool ReadHttpReply(CryptoPP::BufferedTransformation& queue);
    bool CheckHttpStatusLine(const std::string& line);
    bool RefuseWhatCannotBeSent();
    bool RefuseTargetName();
    bool DecryptPassword();
    void WipePassword();
    bool FlushProxyOutput();
    void WipeRequest();
    // Milliseconds until the current phase runs out of time.
    unsigned long PhaseMillisecondsLeft() const;

    int m_state;
    int m_proxyPhase;
    int m_socks5Step;
    std::vector<std::string> m_proxyResponseLines;
    NetworkAddress m_boundAddress;
    NetworkAddress m_connectTo;
    NetworkAddress m_target;
    int m_proxyProtocol;
    NetworkAddress m_proxyAddress;
    std::string m_proxyUsername;
    CryptBlock* m_proxyPassword;
    bool m_resolveTargetLocally;
    sockaddr_in m_connectToSockAddr;
    sockaddr_in m_targetSockAddr;
    bool m_targetSockAddrValid;
    std::time_t m_phaseStart;
    int m_phaseLimit = kPhaseLimit;
    ResolveHostNamePtr m_resolver;
    HANDLE m_connectEvent;
    CryptoPP::HandleState m_connectEventState = CryptoPP::HandleState::Unknown;
    SocketSource m_source;
    SocketSink m_sink;
    datavect<unsigned char> m_request;
    bool m_requestPending;
    // Address bytes still to come in a SOCKS5 connect reply.
    std::uint32_t m_boundAddressLength;
    // Bytes of the HTTP response head read so far.
    size_t m_httpHeadSize;
    std::string m_errorOperation;
    std::uint32_t m_errorCode;
    std::string m_errorDesc;
};
