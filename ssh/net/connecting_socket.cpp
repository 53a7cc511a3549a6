#include "ssh/net/connecting_socket.h"
#include "ssh/net/proxy_request.h"

#include "foundation/crypt_block.h"
#include "foundation/exceptions.h"
#include "foundation/random_source.h"
#include "foundation/text_helpers.h"

#include "RoVodEre/ErrorInfo.h"

#include <cryptopp/filters.h>

#include <algorithm>

using CryptoPP::BufferedTransformation;
using CryptoPP::byte;
using CryptoPP::CallStack;
using CryptoPP::lword;
using namespace proxy_request;

namespace {

const char* PhaseText(int state) {
    switch (state) {
    case ConnectingSocket::RESOLVING_CONNECT_TO: return "resolving connect-to address";
    case ConnectingSocket::RESOLVING_TARGET: return "resolving target address (proxy address already resolved)";
    case ConnectingSocket::CONNECTING: return "establishing TCP/IP connection";
    case ConnectingSocket::NEGOTIATING: return "negotiating with proxy server";
    default: return "in unrecognized state";
    }
}

}  // namespace

ConnectingSocket::ConnectingSocket()
    : m_state(NOT_STARTED),
      m_proxyPhase(PS_ACTOUTPUT),
      m_socks5Step(0),
      m_proxyProtocol(PROXY_SOCKS4),
      m_proxyPassword(nullptr),
      m_resolveTargetLocally(false),
      m_connectToSockAddr(),
      m_targetSockAddr(),
      m_targetSockAddrValid(false),
      m_phaseStart(0),
      m_connectEvent(nullptr),
      m_requestPending(true),
      m_boundAddressLength(0),
      m_httpHeadSize(0),
      m_errorCode(0) {
    // The request may carry proxy credentials: every buffer it leaves behind as it grows is
    // overwritten before it is freed, not only the last one.
    m_request.wipe_ = RandomWipeBuffer;
}

ConnectingSocket::~ConnectingSocket() {
    try {
        m_source.AccessSocket().CloseSocket();
    } catch (...) {
    }
    WipeRequest();
    if (m_connectEvent) CloseHandle(m_connectEvent);
}

void ConnectingSocket::SetTarget(const NetworkAddress& target) { m_target = target; }

void ConnectingSocket::SetProxy(int protocol, const NetworkAddress& proxy, const std::string& username,
                                CryptBlock* password) {
    m_proxyProtocol = protocol;
    m_proxyAddress = proxy;
    m_proxyUsername = username;
    m_proxyPassword = password;
}

void ConnectingSocket::WipeRequest() { m_request.wipe_and_resize(0); }

void ConnectingSocket::SetError(const std::string& operation, std::uint32_t code, const std::string& description) {
    WipeRequest();
    m_state = FAILED;
    m_errorOperation = operation;
    m_errorCode = code;
    m_errorDesc = description.empty() ? operation + " failed: " + NarrowErrorText(OsErrorException(code)).text
                                      : description;
}

void ConnectingSocket::StartLookup(const NetworkAddress& name) {
    ResolveHostName::Create(m_resolver);
    m_resolver->SetHost(name.DnsNameToText());
    m_resolver->StartThread();
    m_phaseStart = std::time(nullptr);
}

bool ConnectingSocket::LookupDone() const {
    return WaitForSingleObject(m_resolver->CompletionEvent(), 0) == WAIT_OBJECT_0;
}

bool ConnectingSocket::StartConnect() {
    if (m_state > NOT_STARTED) {
        SetError("StartConnect()", kFail, "StartConnect() cannot be called more than once on the same object");
        return true;
    }
    if (m_target.type != NetworkAddress::IP4 && m_target.type != NetworkAddress::DNSNAME) {
        SetError("StartConnect()", kInvalidArg, "StartConnect() - target address type must be IP4 or DNSNAME");
        return true;
    }
    if (m_proxyAddress.type != NetworkAddress::NONE && m_proxyAddress.type != NetworkAddress::IP4 &&
        m_proxyAddress.type != NetworkAddress::DNSNAME) {
        SetError("StartConnect()", kInvalidArg, "StartConnect() - proxy address type must be IP4, DNSNAME, or NONE");
        return true;
    }
    if (RefuseWhatCannotBeSent()) return true;
    m_connectEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!m_connectEvent) {
        SetError("CreateEvent()", GetLastError(), "");
        return true;
    }
    m_connectTo = m_proxyAddress.type != NetworkAddress::NONE ? m_proxyAddress : m_target;
    if (m_connectTo.type == NetworkAddress::IP4) {
        m_connectToSockAddr = m_connectTo.ToSockAddr();
        m_state = CONNECT_TO_KNOWN;
        return Pump();
    }
    StartLookup(m_connectTo);
    m_state = RESOLVING_CONNECT_TO;
    return false;
}

bool ConnectingSocket::Pump() {
    if (m_state >= CONNECTED) return true;
    if (PumpStates()) return true;
    if (std::time(nullptr) - m_phaseStart > m_phaseLimit) {
        SetError("Timeout check", kFail, std::string("Connection attempt timed out while ") + PhaseText(m_state));
        return true;
    }
    return false;
}

bool ConnectingSocket::PumpStates() {
    bool proxy = m_proxyAddress.type != NetworkAddress::NONE;
    if (m_state == RESOLVING_CONNECT_TO) {
        if (!LookupDone()) return false;
        if (!m_resolver->Succeeded() || m_resolver->GetAddresses().empty()) {
            SetError("Resolving connect-to address", m_resolver->GetErrorCode(),
                     "Error resolving connect-to address: " + m_resolver->GetErrorDesc());
            return true;
        }
        m_connectToSockAddr = sockaddr_in();
        m_connectToSockAddr.sin_family = AF_INET;
        m_connectToSockAddr.sin_addr.s_addr = m_resolver->GetAddresses().front();
        m_connectToSockAddr.sin_port = htons(static_cast<u_short>(m_connectTo.port & 0xFFFF));
        m_state = CONNECT_TO_KNOWN;
    }
    if (m_state == CONNECT_TO_KNOWN) {
        if (!proxy) {
            m_targetSockAddr = m_connectToSockAddr;
            m_targetSockAddrValid = true;
        } else if (m_target.type == NetworkAddress::IP4) {
            m_targetSockAddr = m_target.ToSockAddr();
            m_targetSockAddrValid = true;
        } else {
            m_targetSockAddrValid = false;
        }
        if (m_resolveTargetLocally && !m_targetSockAddrValid) {
            StartLookup(m_target);
            m_state = RESOLVING_TARGET;
        } else {
            m_state = CREATING_SOCKET;
        }
    }
    if (m_state == RESOLVING_TARGET) {
        if (!LookupDone()) return false;
        if (!m_resolver->Succeeded() || m_resolver->GetAddresses().empty()) {
            SetError("Resolving target address (proxy address already resolved)", m_resolver->GetErrorCode(),
                     "Error resolving target address (proxy address already resolved): " +
                         m_resolver->GetErrorDesc());
            return true;
        }
        m_targetSockAddr = sockaddr_in();
        m_targetSockAddr.sin_family = AF_INET;
        m_targetSockAddr.sin_addr.s_addr = m_resolver->GetAddresses().front();
        m_targetSockAddr.sin_port = htons(static_cast<u_short>(m_target.port & 0xFFFF));
        m_targetSockAddrValid = true;
        m_state = CREATING_SOCKET;
    }
    if (m_state == CREATING_SOCKET) {
        try {
            Socket& socket = m_source.AccessSocket();
            socket.Create(SOCK_STREAM);
            if (WSAEventSelect(socket.GetSocket(), m_connectEvent, FD_CONNECT) != 0) {
                SetError("WSAEventSelect()", WSAGetLastError(), "");
                return true;
            }
            m_sink.ShareSocketOf(m_source);
            bool connected = socket.Connect(reinterpret_cast<const sockaddr*>(&m_connectToSockAddr),
                                            sizeof m_connectToSockAddr);
            m_phaseStart = std::time(nullptr);
            if (!connected) {
                m_state = CONNECTING;
            } else if (!proxy) {
                m_state = CONNECTED;
                return true;
            } else {
                m_state = NEGOTIATING;
            }
        } catch (const Socket::Err& e) {
            SetError(e.GetOperation(), e.GetErrorCode(), "");
            return true;
        }
    }
    if (m_state == CONNECTING) {
        // A wait that just found the event not signalled spares asking again.
        const bool knownClear = m_connectEventState == CryptoPP::HandleState::Clear;
        m_connectEventState = CryptoPP::HandleState::Unknown;
        if (knownClear || WaitForSingleObject(m_connectEvent, 0) != WAIT_OBJECT_0)
            return false;
        ResetEvent(m_connectEvent);
        WSANETWORKEVENTS events;
        if (WSAEnumNetworkEvents(m_source.AccessSocket().GetSocket(), m_connectEvent, &events) != 0) {
            SetError("WSAEnumNetworkEvents()", WSAGetLastError(), "");
            return true;
        }
        if (!(events.lNetworkEvents & FD_CONNECT)) {
            SetError("Checking connect state", kUnexpected,
                     "Connect event signaled but WSAEnumNetworkEvents() did not report it");
            return true;
        }
        if (events.iErrorCode[FD_CONNECT_BIT] != 0) {
            SetError("Connect()", events.iErrorCode[FD_CONNECT_BIT], "");
            return true;
        }
        if (!proxy) {
            m_state = CONNECTED;
            return true;
        }
        m_phaseStart = std::time(nullptr);
        m_state = NEGOTIATING;
    }
    if (m_state == NEGOTIATING) {
        if (m_proxyPhase == PS_WAITINPUT) {
            try {
                if (ReadReply()) return true;
            } catch (const Socket::Err& e) {
                SetError(e.GetOperation(), e.GetErrorCode(), "");
                return true;
            }
        }
        if (m_proxyPhase == PS_ACTOUTPUT) {
            if (BuildRequest()) return true;
            m_proxyPhase = PS_SENDOUTPUT;
        }
        if (m_proxyPhase == PS_SENDOUTPUT) {
            bool sent;
            try {
                sent = FlushProxyOutput();
            } catch (const Socket::Err& e) {
                SetError(e.GetOperation(), e.GetErrorCode(), "");
                return true;
            } catch (...) {
                WipeRequest();
                throw;
            }
            if (sent) {
                WipeRequest();
                m_proxyPhase = PS_WAITINPUT;
            }
        }
    }
    return m_state >= CONNECTED;
}

// Decrypts the proxy password into its block's plain text, which the caller wipes after
// use. False when it cannot (the attempt has failed then).
bool ConnectingSocket::DecryptPassword() {
    ErrorInfo info;
    if (m_proxyPassword->SetPlainFromCrypt(info)) return true;
    SetError("Decrypting proxy password", kFail,
             std::string("Proxy password decryption failed: ") + info.Describe("\n").c_str());
    return false;
}

void ConnectingSocket::WipePassword() {
    ErrorInfo info;
    RandomWipe(m_proxyPassword->plaintext, info);
}

// Builds the next request into m_request. True when the attempt has failed.
bool ConnectingSocket::BuildRequest() {
    switch (m_proxyProtocol) {
    case PROXY_SOCKS4: return BuildSocks4Request();
    case PROXY_SOCKS5: return BuildSocks5Request();
    case PROXY_HTTP: return BuildHttpRequest();
    default:
        SetError("Checking proxy type at PS_ACTOUTPUT", kInvalidArg, "Invalid or unsupported proxy type at PS_ACTOUTPUT");
        return true;
    }
}

// A port, name or credential that the connection or the proxy request cannot carry whole
// and exactly is refused before anything is sent: cut short, it would reach another port or
// host than the one that was asked for (and approved), or other credentials.
bool ConnectingSocket::RefuseWhatCannotBeSent() {
    bool proxy = m_proxyAddress.type != NetworkAddress::NONE;
    if (m_target.port < 1 || m_target.port > 65535) {
        SetError("StartConnect()", kInvalidArg,
                 "StartConnect() - target port " + Decimal(m_target.port) + " is outside 1 to 65535");
        return true;
    }
    if (!proxy) return false;
    if (m_proxyAddress.port < 1 || m_proxyAddress.port > 65535) {
        SetError("StartConnect()", kInvalidArg,
                 "StartConnect() - proxy port " + Decimal(m_proxyAddress.port) + " is outside 1 to 65535");
        return true;
    }
    // The proxy is given the target's name unless it is an address or is resolved here.
    if (m_target.type == NetworkAddress::DNSNAME && !m_resolveTargetLocally) {
        std::string name = m_target.ToText();
        if (BreaksRequest(name, m_proxyProtocol == PROXY_HTTP)) return RefuseTargetName();
        if (m_proxyProtocol == PROXY_SOCKS5 && name.size() > 255) {
            SetError("Checking target host name", kInvalidArg,
                     "Target host name is longer than the 255 bytes a SOCKS5 request can carry");
            return true;
        }
    }
    if (m_proxyProtocol == PROXY_SOCKS5 && !m_proxyUsername.empty()) {
        if (m_proxyUsername.size() > 255) {
            SetError("Checking proxy credentials", kInvalidArg,
                     "Proxy user name is longer than the 255 bytes a SOCKS5 request can carry");
            return true;
        }
        // A password that cannot be decrypted is reported when the proxy asks for it.
        ErrorInfo info;
        if (m_proxyPassword && m_proxyPassword->SetPlainFromCrypt(info)) {
            size_t length = m_proxyPassword->plaintext.size();
            WipePassword();
            if (length > 255) {
                SetError("Checking proxy credentials", kInvalidArg,
                         "Proxy password is longer than the 255 bytes a SOCKS5 request can carry");
                return true;
            }
        }
    }
    return false;
}

bool ConnectingSocket::RefuseTargetName() {
    SetError("Checking target host name", kInvalidArg,
             "Target host name contains characters that cannot be sent to the proxy server");
    return true;
}

bool ConnectingSocket::FlushProxyOutput() {
    if (m_requestPending) {
        if (m_sink.Put2(m_request.data(), m_request.size(), 0, false) != 0) return false;
        m_requestPending = false;
    }
    while (m_sink.TimedFlush(0) != 0) {
    }
    if (m_sink.BufferedBytes() != 0) return false;
    m_requestPending = true;
    WipeRequest();
    return true;
}

// Reads what has arrived and parses as much of the reply as it can. True when the attempt
// has finished.
bool ConnectingSocket::ReadReply() {
    for (;;) {
        lword moved = CryptoPP::LWORD_MAX;
        m_source.GeneralPump2(moved, true, 0);
        if (moved == 0) break;
    }
    BufferedTransformation& queue = *m_source.AttachedTransformation();
    bool finished;
    switch (m_proxyProtocol) {
    case PROXY_SOCKS4:
        finished = ReadSocks4Reply(queue);
        break;
    case PROXY_SOCKS5:
        finished = ReadSocks5Reply(queue);
        break;
    case PROXY_HTTP:
        finished = ReadHttpReply(queue);
        break;
    default:
        SetError("Checking proxy type at PS_WAITINPUT", kInvalidArg, "Invalid or unsupported proxy type at PS_WAITINPUT");
        return true;
    }
    if (finished) return true;
    // A proxy that has closed its end cannot complete its reply: waiting for the time limit
    // would only hide what happened.
    if (m_proxyPhase == PS_WAITINPUT && m_source.EofReceived()) {
        SetError("Reading proxy reply", kFail,
                 "Proxy server closed the connection before completing its reply (" +
                     Decimal(static_cast<unsigned>(std::min<lword>(queue.MaxRetrievable(), 0xFFFFFFFF))) +
                     " bytes of it unread)");
        return true;
    }
    return false;
}

unsigned long ConnectingSocket::PhaseMillisecondsLeft() const {
    std::time_t elapsed = std::time(nullptr) - m_phaseStart;
    // The limit is passed once more than m_phaseLimit whole seconds have gone by.
    if (elapsed > m_phaseLimit) return 0;
    return static_cast<unsigned long>(m_phaseLimit + 1 - elapsed) * 1000;
}

unsigned int ConnectingSocket::GetMaxWaitObjectCount() const {
    // Each phase waits on one object; once connected the source and the sink share the
    // socket's one network event, which the source counts.
    return m_source.GetMaxWaitObjectCount();
}

void ConnectingSocket::GetWaitObjects(CryptoPP::WaitObjectContainer& container, const CallStack& callStack) {
    GetWaitObjects(container, false, callStack);
}

void ConnectingSocket::GetWaitObjects(CryptoPP::WaitObjectContainer& container, bool sinkOnly,
                                      const CallStack& callStack) {
    switch (m_state) {
    case NOT_STARTED:
    case FAILED:
        return;
    case RESOLVING_CONNECT_TO:
        container.AddHandle(m_resolver->CompletionEvent(),
                            CallStack("ConnectingSocket::GetWaitObjects() - resolving", &callStack));
        break;
    case RESOLVING_TARGET:
        container.AddHandle(m_resolver->CompletionEvent(),
                            CallStack("ConnectingSocket::GetWaitObjects() - resolving target", &callStack));
        break;
    case CONNECTING:
        container.AddHandle(m_connectEvent, CallStack("ConnectingSocket::GetWaitObjects() - connecting", &callStack),
                            &m_connectEventState);
        break;
    case NEGOTIATING:
        if (m_proxyPhase == PS_SENDOUTPUT) {
            m_sink.GetWaitObjects(container, CallStack("ConnectingSocket::GetWaitObjects() - proxy send", &callStack));
        } else if (m_proxyPhase == PS_WAITINPUT) {
            m_source.GetWaitObjects(container,
                                    CallStack("ConnectingSocket::GetWaitObjects() - proxy receive", &callStack));
        } else {
            container.SetNoWait(CallStack("ConnectingSocket::GetWaitObjects() - other", &callStack));
        }
        break;
    case CONNECTED:
        m_sink.GetWaitObjects(container, CallStack("ConnectingSocket::GetWaitObjects() - connection sink", &callStack));
        if (!sinkOnly)
            m_source.GetWaitObjects(container,
                                    CallStack("ConnectingSocket::GetWaitObjects() - connection source", &callStack));
        return;
    default:
        container.SetNoWait(CallStack("ConnectingSocket::GetWaitObjects() - other", &callStack));
        return;
    }
    // A phase whose objects never fire still ends at its time limit: the owner is woken to
    // call Pump then.
    container.ScheduleEvent(PhaseMillisecondsLeft(),
                            CallStack("ConnectingSocket::GetWaitObjects() - phase time limit", &callStack));
}
