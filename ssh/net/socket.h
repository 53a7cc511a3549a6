// A thin, non-blocking layer over Windows Sockets 2: an owned socket handle, and a source and
// a sink that move bytes between the socket and Crypto++ filters without ever waiting on the
// network unless asked to. The source and the sink of one connection share the socket and
// one network event, selected for reading, writing and closing once the socket is connected.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cryptopp/cryptlib.h>
#include <cryptopp/filters.h>
#include <cryptopp/queue.h>
#include <cryptopp/simple.h>

#include <memory>
#include <string>

// Windows Sockets for the life of the object (WSAStartup with version 2.2, then WSACleanup).
class WinsockSession {
public:
    // Throws Socket::Err ("WSAStartup") when the system refuses.
    WinsockSession();
    ~WinsockSession();
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
};

class Socket {
public:
    // A failed socket call: what() is "Socket: <operation> operation failed with error <code>".
    class Err : public CryptoPP::OS_Error {
    public:
        Err(SOCKET s, const std::string& operation, int error);
        SOCKET GetSocket() const { return m_socket; }

    private:
        SOCKET m_socket;
    };

    Socket() : m_socket(INVALID_SOCKET), m_own(false) {}
    // Takes the handle; closes it on destruction when own is set.
    explicit Socket(SOCKET s, bool own = true);
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    bool IsValid() const { return m_socket != INVALID_SOCKET; }
    // Whether this object closes the handle.
    bool GetOwnership() const { return m_own; }
    // shutdown() of one direction (SD_SEND, SD_RECEIVE, SD_BOTH).
    void ShutDown(int how);
    SOCKET GetSocket() const { return m_socket; }
    // Closes what this object owns and takes the handle.
    void AttachSocket(SOCKET s, bool own);
    // Uses the other object's handle and network event without owning either.
    void ShareWith(const Socket& owner);
    // Gives up the handle without closing it.
    SOCKET DetachSocket();

    // A new IPv4 socket in place of what this object held.
    void Create(int type = SOCK_STREAM);
    // Closes the owned handle; a failure of closesocket() throws Err.
    void CloseSocket();

    void Bind(const sockaddr_in& address);
    void Listen(int backlog = 5);
    // True when connected at once, false when the connection is pending (WSAEWOULDBLOCK).
    bool Connect(const sockaddr* address, int length);
    // False when no connection is pending; otherwise target owns the new handle.
    bool Accept(Socket& target, sockaddr* peer, int* peerLength);
    sockaddr_in GetSockName() const;
    void SetNonBlocking();

    // Bytes sent, or 0 when the socket would block. Each call costs a system call (and under
    // Wine a server round trip): callers pass as much as they have.
    size_t Send(const CryptoPP::byte* data, size_t length);
    // Bytes received (0 at the end of the stream), or -1 when the socket would block.
    long Receive(CryptoPP::byte* buffer, size_t length);

    // The network event shared by every object that uses this handle, selected for
    // FD_READ, FD_WRITE and FD_CLOSE on first use. That selection replaces any other one made
    // for the handle (such as one for FD_CONNECT), so it is made only once connected.
    HANDLE NetworkEvent();
    // Between waits (no user of the handle is about to wait on it): collects the events
    // recorded since the last call and resets the event; returns the events collected so far
    // and not yet taken.
    long PendingNetworkEvents();
    // Before a wait: the events collected so far, collecting anew only when the last wait found
    // the event signalled (a wait on it would end at once). Collecting an event that another
    // user of the handle already awaits for this wait signals the event again, so that the
    // wait still ends.
    long NetworkEventsBeforeWait();
    // True once after a wait found the event not signalled: nothing was recorded, so there is
    // nothing to try. A later call without a wait in between is false.
    bool TakeClearWait();
    // The events collected so far and not yet taken, without collecting anew.
    long CollectedNetworkEvents() const;
    // Adds the network event to the container, for a wait on the given events until they
    // are taken; the wait tells the socket whether anything was recorded.
    void AwaitNetworkEvents(long events, CryptoPP::WaitObjectContainer& container,
                            const CryptoPP::CallStack& callStack);
    // Waits for the network event by itself, at most the given milliseconds.
    void WaitForNetworkEvent(unsigned long milliseconds);
    // Forgets the given collected events: the next attempt tells anew whether it blocks.
    void TakeNetworkEvents(long events);

private:
    struct Shared;
    // WSAEnumNetworkEvents: adds what was recorded to the pending events and returns it.
    long CollectNetworkEvents();
    void CheckAndHandleError(const char* operation, bool failed) const;

    SOCKET m_socket;
    bool m_own;
    std::shared_ptr<Shared> m_shared;
};

// Reads a socket into the attached transformation (a queue unless another is attached). It
// owns its socket.
class SocketSource : public CryptoPP::Source {
public:
    explicit SocketSource(CryptoPP::BufferedTransformation* attachment = nullptr);

    Socket& AccessSocket() { return m_socket; }

    // Moves up to byteCount received bytes to the attachment; byteCount becomes the count
    // moved. maxTime: milliseconds to wait for data when none has arrived (INFINITE, or 0 to
    // take only what is there). With blockingOutput clear a blocked attachment keeps the
    // rest here for the next call. Returns the bytes the attachment still has to take.
    size_t GeneralPump2(CryptoPP::lword& byteCount, bool blockingOutput, unsigned long maxTime);

    size_t Pump2(CryptoPP::lword& byteCount, bool blocking = true) override;
    size_t PumpMessages2(unsigned int& messageCount, bool blocking = true) override;
    // The peer ended its side and every byte has been passed on.
    bool SourceExhausted() const override;
    bool EofReceived() const { return m_eof; }

    unsigned int GetMaxWaitObjectCount() const override;
    void GetWaitObjects(CryptoPP::WaitObjectContainer& container, const CryptoPP::CallStack& callStack) override;

private:
    bool ReceiveMore();

    Socket m_socket;
    // Starts small and doubles whenever one receive fills it, so that a busy connection is
    // read in few large calls and an idle one keeps little memory.
    CryptoPP::SecByteBlock m_buffer;
    size_t m_dataBegin;
    size_t m_dataEnd;
    bool m_blocked;
    bool m_eof;
};

// Writes into a socket through a buffer of its own; uses the socket of a source without
// owning it. A message end is the end of our side of the stream: the socket's sending
// direction is shut down once every byte before it has been written.
class SocketSink : public CryptoPP::Sink {
public:
    explicit SocketSink(size_t maxBufferSize = 16 * 1024);

    Socket& AccessSocket() { return m_socket; }
    void ShareSocketOf(SocketSource& source) { m_socket.ShareWith(source.AccessSocket()); }

    // Takes what fits into the buffer and, once more than the auto-flush bound is buffered
    // (or a message end waits), sends what it can, taking more while the socket takes more.
    // Not blocking, a put returns non-zero only when the buffer is full and the socket takes
    // nothing now, or when its message end waits for buffered bytes to be written; it must
    // then be repeated with the same bytes (those taken are skipped).
    size_t Put2(const CryptoPP::byte* inString, size_t length, int messageEnd, bool blocking) override;
    // Sends buffered bytes, then a pending end of stream.
    bool IsolatedFlush(bool hardFlush, bool blocking) override;
    // Sends buffered bytes until no more than targetSize remain or maxTime milliseconds
    // pass (0: only what the socket takes at once). Returns the bytes sent.
    CryptoPP::lword TimedFlush(unsigned long maxTime, size_t targetSize = 0);
    CryptoPP::lword BufferedBytes() const { return m_buffer.Size(); }
    void SetMaxBufferSize(size_t maxBufferSize) { m_maxBufferSize = maxBufferSize; }
    // Puts leave up to this many bytes for a flush to send (0, the default: every put sends).
    void SetAutoFlushBound(size_t bound) { m_autoFlushBound = bound; }
    // A flush for a sink fed once per pass of a loop: it sends, and a pending end of stream
    // after it, unless bytes were put during the last few calls while the buffer stays below
    // the auto-flush bound. A stream still coming in (a message may take several passes to
    // arrive) is so written in fewer, larger sends; once it pauses, its bytes wait a few
    // passes at most, and the sink keeps the loop from waiting meanwhile.
    void FlushUnlessFilling();
    // Nothing is left to write: no buffered bytes and no end of stream still to send.
    bool Drained() const { return m_buffer.IsEmpty() && !m_eofPending; }
    // After the connection failed: forgets the socket and whatever was still to go to it.
    void Abandon();

    unsigned int GetMaxWaitObjectCount() const override;
    // Whenever something is left to write, the socket's network event, or no wait at all
    // when the socket can take it now.
    void GetWaitObjects(CryptoPP::WaitObjectContainer& container, const CryptoPP::CallStack& callStack) override;

private:
    // The bytes still to be written, in one piece so that a single send can take all of them.
    class Buffer {
    public:
        size_t Size() const { return m_end - m_begin; }
        bool IsEmpty() const { return m_end == m_begin; }
        const CryptoPP::byte* Data() const { return m_storage.begin() + m_begin; }
        void Put(const CryptoPP::byte* data, size_t length);
        void Skip(size_t length);
        void Clear();

    private:
        CryptoPP::SecByteBlock m_storage;
        size_t m_begin = 0;
        size_t m_end = 0;
    };

    // Shuts the sending direction down once a pending end has nothing before it.
    void SendPendingEof();

    Socket m_socket;
    Buffer m_buffer;
    size_t m_maxBufferSize;
    size_t m_autoFlushBound = 0;
    size_t m_skipBytes;
    bool m_blocked;
    bool m_eofPending;
    unsigned m_quietFlushes = 0;  // calls of FlushUnlessFilling since the last put
};
