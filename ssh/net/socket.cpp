#include "ssh/net/socket.h"

#include "ssh/net/wait_objects.h"

#include "foundation/text_helpers.h"

#include <algorithm>
#include <cstring>

using CryptoPP::byte;
using CryptoPP::lword;

namespace {

// The largest buffer a source grows to, and the most one send or receive call moves.
const size_t MaxSourceBuffer = 256 * 1024;
const size_t MaxTransferPerCall = 1 << 30;
// Calls of FlushUnlessFilling without a put before it sends what is below the bound.
const unsigned QuietFlushesBeforeSend = 4;

// The time left of maxTime milliseconds since the first call, for waits that resume. The
// clock is read only by a call that may wait: a pump or flush that takes only what is there
// reads none.
class Deadline {
public:
    explicit Deadline(unsigned long maxTime) : m_maxTime(maxTime) {}
    DWORD Remaining()
    {
        if (m_maxTime == 0 || m_maxTime == INFINITE)
            return m_maxTime;
        const DWORD now = GetTickCount();
        if (!m_started) {
            m_start = now;
            m_started = true;
        }
        const DWORD spent = now - m_start;
        return spent >= m_maxTime ? 0 : m_maxTime - spent;
    }

private:
    unsigned long m_maxTime;
    DWORD m_start = 0;
    bool m_started = false;
};

}  // namespace

WinsockSession::WinsockSession() {
    WSADATA data;
    int error = WSAStartup(MAKEWORD(2, 2), &data);
    if (error) throw Socket::Err(INVALID_SOCKET, "WSAStartup", error);
}

WinsockSession::~WinsockSession() { WSACleanup(); }

Socket::Err::Err(SOCKET s, const std::string& operation, int error)
    : OS_Error(IO_ERROR, "Socket: " + operation + " operation failed with error " + FormatInteger(error, 10, 0),
               operation, error),
      m_socket(s) {}

// What every object using one handle shares: the network event, the events collected and
// the events some user waits for.
struct Socket::Shared {
    WSAEVENT event = WSA_INVALID_EVENT;
    bool selected = false;
    long pending = 0;
    long awaited = 0;
    // Whether the event was signalled when the last wait on it ended. Clear means nothing new
    // was recorded up to then: collecting would cost a server round trip for nothing.
    CryptoPP::HandleState eventState = CryptoPP::HandleState::Unknown;
    ~Shared() {
        if (event != WSA_INVALID_EVENT) WSACloseEvent(event);
    }
};

Socket::Socket(SOCKET s, bool own) : m_socket(INVALID_SOCKET), m_own(false) { AttachSocket(s, own); }

Socket::~Socket() {
    if (m_own && m_socket != INVALID_SOCKET) closesocket(m_socket);  // errors on the way out are of no use
}

void Socket::AttachSocket(SOCKET s, bool own) {
    if (m_own && m_socket != INVALID_SOCKET) closesocket(m_socket);
    m_socket = s;
    m_own = own;
    m_shared = s == INVALID_SOCKET ? nullptr : std::make_shared<Shared>();
}

void Socket::ShareWith(const Socket& owner) {
    if (m_own && m_socket != INVALID_SOCKET) closesocket(m_socket);
    m_socket = owner.m_socket;
    m_own = false;
    m_shared = owner.m_shared;
}

SOCKET Socket::DetachSocket() {
    SOCKET s = m_socket;
    m_socket = INVALID_SOCKET;
    m_own = false;
    m_shared = nullptr;
    return s;
}

void Socket::CheckAndHandleError(const char* operation, bool failed) const {
    if (failed) throw Err(m_socket, operation, WSAGetLastError());
}

void Socket::Create(int type) {
    SOCKET s = socket(AF_INET, type, 0);
    if (s == INVALID_SOCKET) throw Err(INVALID_SOCKET, "socket", WSAGetLastError());
    AttachSocket(s, true);
}

void Socket::CloseSocket() {
    if (m_socket == INVALID_SOCKET) return;
    SOCKET s = m_socket;
    bool own = m_own;
    DetachSocket();
    if (own && closesocket(s) == SOCKET_ERROR) throw Err(s, "closesocket", WSAGetLastError());
}

void Socket::Bind(const sockaddr_in& address) {
    CheckAndHandleError("bind", bind(m_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
                                    SOCKET_ERROR);
}

void Socket::ShutDown(int how) { CheckAndHandleError("shutdown", shutdown(m_socket, how) == SOCKET_ERROR); }

void Socket::Listen(int backlog) { CheckAndHandleError("listen", listen(m_socket, backlog) == SOCKET_ERROR); }

bool Socket::Connect(const sockaddr* address, int length) {
    if (connect(m_socket, address, length) == 0) return true;
    int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return false;
    throw Err(m_socket, "connect", error);
}

bool Socket::Accept(Socket& target, sockaddr* peer, int* peerLength) {
    SOCKET s = accept(m_socket, peer, peerLength);
    if (s == INVALID_SOCKET) {
        int error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) return false;
        throw Err(m_socket, "accept", error);
    }
    target.AttachSocket(s, true);
    return true;
}

sockaddr_in Socket::GetSockName() const {
    sockaddr_in address = {};
    int length = sizeof address;
    CheckAndHandleError("getsockname",
                        getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length) == SOCKET_ERROR);
    return address;
}

void Socket::SetNonBlocking() {
    u_long on = 1;
    CheckAndHandleError("ioctlsocket", ioctlsocket(m_socket, FIONBIO, &on) == SOCKET_ERROR);
}

size_t Socket::Send(const byte* data, size_t length) {
    int chunk = static_cast<int>(std::min(length, MaxTransferPerCall));
    int sent = send(m_socket, reinterpret_cast<const char*>(data), chunk, 0);
    if (sent != SOCKET_ERROR) return static_cast<size_t>(sent);
    int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return 0;
    throw Err(m_socket, "send", error);
}

long Socket::Receive(byte* buffer, size_t length) {
    int chunk = static_cast<int>(std::min(length, MaxTransferPerCall));
    int received = recv(m_socket, reinterpret_cast<char*>(buffer), chunk, 0);
    if (received != SOCKET_ERROR) return received;
    int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return -1;
    throw Err(m_socket, "recv", error);
}

HANDLE Socket::NetworkEvent() {
    if (!m_shared) throw Err(m_socket, "WSAEventSelect", WSAENOTSOCK);
    if (m_shared->event == WSA_INVALID_EVENT) {
        m_shared->event = WSACreateEvent();
        if (m_shared->event == WSA_INVALID_EVENT) throw Err(m_socket, "WSACreateEvent", WSAGetLastError());
    }
    if (!m_shared->selected) {
        CheckAndHandleError("WSAEventSelect",
                            WSAEventSelect(m_socket, m_shared->event, FD_READ | FD_WRITE | FD_CLOSE) == SOCKET_ERROR);
        m_shared->selected = true;
        // The selection records at once what holds already (a connected socket can write).
        m_shared->eventState = CryptoPP::HandleState::Signalled;
    }
    return m_shared->event;
}

long Socket::CollectNetworkEvents()
{
    WSANETWORKEVENTS events;
    CheckAndHandleError("WSAEnumNetworkEvents",
                        WSAEnumNetworkEvents(m_socket, NetworkEvent(), &events) == SOCKET_ERROR);
    m_shared->pending |= events.lNetworkEvents;
    m_shared->eventState = CryptoPP::HandleState::Unknown;
    return events.lNetworkEvents;
}

long Socket::PendingNetworkEvents() {
    CollectNetworkEvents();
    // Between waits nobody waits on the event: whoever waits next asks for the collected
    // events first. Signalling the event again would only end the next wait for nothing.
    m_shared->awaited = 0;
    return m_shared->pending;
}

long Socket::NetworkEventsBeforeWait()
{
    if (!m_shared)
        throw Err(m_socket, "WSAEventSelect", WSAENOTSOCK);
    // A wait on an event known to be signalled would end at once; otherwise it tells.
    if (m_shared->eventState != CryptoPP::HandleState::Signalled)
        return m_shared->pending;
    // The source and the sink of a connection wait on one event: the one that collects the
    // other's event after the other has chosen to wait must not leave it waiting for good.
    if (CollectNetworkEvents() & m_shared->awaited) {
        WSASetEvent(m_shared->event);
        m_shared->eventState = CryptoPP::HandleState::Signalled;
    }
    return m_shared->pending;
}

long Socket::CollectedNetworkEvents() const { return m_shared ? m_shared->pending : 0; }

bool Socket::TakeClearWait()
{
    if (!m_shared || m_shared->eventState != CryptoPP::HandleState::Clear)
        return false;
    m_shared->eventState = CryptoPP::HandleState::Unknown;
    return true;
}

void Socket::AwaitNetworkEvents(long events, CryptoPP::WaitObjectContainer& container,
                                const CryptoPP::CallStack& callStack)
{
    HANDLE event = NetworkEvent();
    m_shared->awaited |= events;
    container.AddHandle(event, callStack, &m_shared->eventState);
}

void Socket::WaitForNetworkEvent(unsigned long milliseconds)
{
    WaitForSingleObject(NetworkEvent(), milliseconds);
    m_shared->eventState = CryptoPP::HandleState::Unknown;
}

void Socket::TakeNetworkEvents(long events) {
    if (!m_shared) return;
    m_shared->pending &= ~events;
    m_shared->awaited &= ~events;
}

// ---- SocketSource

SocketSource::SocketSource(CryptoPP::BufferedTransformation* attachment)
    : Source(attachment), m_buffer(16 * 1024), m_dataBegin(0), m_dataEnd(0), m_blocked(false), m_eof(false) {}

// One receive into the empty buffer. False when the socket had nothing (it would block).
bool SocketSource::ReceiveMore() {
    // Selecting the event first makes every later arrival signal it. After a receive that
    // found nothing, only a recorded arrival (or end) is worth another one.
    m_socket.NetworkEvent();
    if (m_blocked) {
        // A clear wait means nothing was recorded since the last collection; what that
        // collection brought (the sink may have made it) still counts.
        const long events = m_socket.TakeClearWait() ? m_socket.CollectedNetworkEvents()
                                                     : m_socket.PendingNetworkEvents();
        if (!(events & (FD_READ | FD_CLOSE)))
            return false;
    }
    m_socket.TakeNetworkEvents(FD_READ);
    // The buffer is empty here: growing it loses nothing.
    if (m_dataEnd == m_buffer.size() && m_buffer.size() < MaxSourceBuffer) m_buffer.New(m_buffer.size() * 2);
    m_dataBegin = m_dataEnd = 0;
    long received = m_socket.Receive(m_buffer.begin(), m_buffer.size());
    if (received < 0) {
        m_blocked = true;
        return false;
    }
    if (received == 0) {
        m_blocked = false;
        m_eof = true;
        return false;
    }
    // Less than the buffer holds was all there was: asking again would only be told to wait.
    // The receive re-enabled the read event, so whatever comes later signals the event.
    m_blocked = static_cast<size_t>(received) < m_buffer.size();
    m_dataEnd = static_cast<size_t>(received);
    return true;
}

size_t SocketSource::GeneralPump2(lword& byteCount, bool blockingOutput, unsigned long maxTime) {
    lword wanted = byteCount;
    byteCount = 0;
    Deadline deadline(maxTime);
    bool received = false;
    while (byteCount < wanted) {
        if (m_dataBegin == m_dataEnd) {
            if (m_eof) break;
            // What one receive left was all there was; a pump that does not wait is done.
            if (received && m_blocked && maxTime == 0)
                break;
            received = true;
            if (!ReceiveMore()) {
                if (m_eof) break;
                DWORD wait = deadline.Remaining();
                if (wait == 0) break;
                m_socket.WaitForNetworkEvent(wait);
                continue;
            }
        }
        size_t length = static_cast<size_t>(std::min<lword>(m_dataEnd - m_dataBegin, wanted - byteCount));
        size_t left = AttachedTransformation()->Put2(m_buffer + m_dataBegin, length, 0, blockingOutput);
        // A blocked attachment has taken length - left bytes; it gets the rest next time.
        size_t taken = length - std::min(left, length);
        m_dataBegin += taken;
        byteCount += taken;
        if (left) return left;
    }
    return 0;
}

size_t SocketSource::Pump2(lword& byteCount, bool blocking) {
    return GeneralPump2(byteCount, blocking, blocking ? INFINITE : 0);
}

size_t SocketSource::PumpMessages2(unsigned int& messageCount, bool) {
    messageCount = 0;  // a byte stream has no message boundaries
    return 0;
}

bool SocketSource::SourceExhausted() const { return m_eof && m_dataBegin == m_dataEnd; }

unsigned int SocketSource::GetMaxWaitObjectCount() const {
    return 1 + AttachedTransformation()->GetMaxWaitObjectCount();
}

void SocketSource::GetWaitObjects(CryptoPP::WaitObjectContainer& container, const CryptoPP::CallStack& callStack) {
    if (!m_eof) {
        if (m_dataBegin != m_dataEnd || !m_blocked || (m_socket.NetworkEventsBeforeWait() & (FD_READ | FD_CLOSE)))
            container.SetNoWait(CryptoPP::CallStack("SocketSource::GetWaitObjects() - data or end ready", &callStack));
        else
            m_socket.AwaitNetworkEvents(FD_READ | FD_CLOSE, container,
                                        CryptoPP::CallStack("SocketSource::GetWaitObjects() - no data", &callStack));
    }
    AttachedTransformation()->GetWaitObjects(container,
                                             CryptoPP::CallStack("SocketSource::GetWaitObjects() - attachment", &callStack));
}

// ---- SocketSink

void SocketSink::Buffer::Put(const byte* data, size_t length) {
    if (length == 0) return;
    if (m_storage.size() - m_end < length) {
        // Move the unsent bytes to the front first; grow only when that is not enough.
        const size_t size = Size();
        if (m_begin != 0) {
            std::memmove(m_storage.begin(), m_storage.begin() + m_begin, size);
            m_begin = 0;
            m_end = size;
        }
        if (m_storage.size() - m_end < length)
            m_storage.CleanGrow(std::max(size + length, std::max<size_t>(m_storage.size() * 2, 16 * 1024)));
    }
    std::memcpy(m_storage.begin() + m_end, data, length);
    m_end += length;
}

void SocketSink::Buffer::Skip(size_t length) {
    m_begin += std::min(length, Size());
    if (m_begin == m_end) m_begin = m_end = 0;
}

void SocketSink::Buffer::Clear() { m_begin = m_end = 0; }

SocketSink::SocketSink(size_t maxBufferSize)
    : m_maxBufferSize(maxBufferSize), m_skipBytes(0), m_blocked(false), m_eofPending(false) {}

size_t SocketSink::Put2(const byte* inString, size_t length, int messageEnd, bool blocking) {
    if (m_skipBytes) {
        // The repeated put of a blocked one: its first bytes are in the buffer already.
        size_t skip = std::min(m_skipBytes, length);
        inString += skip;
        length -= skip;
    }
    size_t taken = 0;
    for (;;) {
        size_t room = m_maxBufferSize - std::min(m_maxBufferSize, m_buffer.Size());
        size_t take = std::min(room, length - taken);
        m_buffer.Put(inString + taken, take);
        taken += take;
        if (taken == length) break;
        if (blocking)
            TimedFlush(INFINITE, m_maxBufferSize / 2);
        else if (TimedFlush(0) == 0)
            break;  // the socket takes nothing now: blocked only for what does not fit
    }
    if (taken < length) {
        m_skipBytes += taken;
        return length - taken;
    }
    if (messageEnd) m_eofPending = true;
    if (length) m_quietFlushes = 0;
    if (m_eofPending || m_buffer.Size() > m_autoFlushBound) TimedFlush(blocking && m_eofPending ? INFINITE : 0);
    SendPendingEof();
    if (!m_eofPending) {
        m_skipBytes = 0;
        return 0;
    }
    // The end waits for the buffered bytes; this put's bytes are all taken already.
    m_skipBytes += length;
    return 1;
}

bool SocketSink::IsolatedFlush(bool hardFlush, bool blocking) {
    TimedFlush(blocking ? INFINITE : 0);
    SendPendingEof();
    return hardFlush && !Drained();
}

void SocketSink::FlushUnlessFilling() {
    if (m_quietFlushes < QuietFlushesBeforeSend) ++m_quietFlushes;
    if (m_quietFlushes < QuietFlushesBeforeSend && !m_blocked && !m_eofPending && m_buffer.Size() <= m_autoFlushBound)
        return;
    TimedFlush(0);
    SendPendingEof();
}

void SocketSink::SendPendingEof() {
    if (!m_eofPending || !m_buffer.IsEmpty()) return;
    m_socket.ShutDown(SD_SEND);
    m_eofPending = false;
}

void SocketSink::Abandon() {
    m_socket.DetachSocket();
    m_buffer.Clear();
    m_skipBytes = 0;
    m_blocked = false;
    m_eofPending = false;
}

lword SocketSink::TimedFlush(unsigned long maxTime, size_t targetSize) {
    lword total = 0;
    Deadline deadline(maxTime);
    while (m_buffer.Size() > targetSize) {
        m_socket.NetworkEvent();
        m_socket.TakeNetworkEvents(FD_WRITE);
        size_t sent = m_socket.Send(m_buffer.Data(), m_buffer.Size());
        if (sent == 0) {
            m_blocked = true;
            DWORD wait = deadline.Remaining();
            if (wait == 0) break;
            m_socket.WaitForNetworkEvent(wait);
            m_socket.PendingNetworkEvents();
            continue;
        }
        m_blocked = false;
        m_buffer.Skip(sent);
        total += sent;
    }
    return total;
}

unsigned int SocketSink::GetMaxWaitObjectCount() const { return 1; }

void SocketSink::GetWaitObjects(CryptoPP::WaitObjectContainer& container, const CryptoPP::CallStack& callStack) {
    if (Drained()) return;
    // A write that has not been tried, or an event already collected, would never signal
    // the handle again: whoever flushes the sink goes on at once instead.
    if (!m_blocked || m_buffer.IsEmpty() || (m_socket.NetworkEventsBeforeWait() & (FD_WRITE | FD_CLOSE)))
        container.SetNoWait(CryptoPP::CallStack("SocketSink::GetWaitObjects() - ready to send", &callStack));
    else
        m_socket.AwaitNetworkEvents(FD_WRITE | FD_CLOSE, container,
                                    CryptoPP::CallStack("SocketSink::GetWaitObjects() - buffer full", &callStack));
}
