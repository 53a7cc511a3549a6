#include "ssh/tunnelling.h"

#include "ssh/exceptions.h"
#include "ssh/wire.h"

namespace SSH {

using CryptoPP::BufferedTransformation;

namespace {

// Bytes for the TCP peer are gathered into sends of up to this size while they keep coming:
// each send costs a system call (under Wine two server round trips) and wakes the peer, so a
// large bound pays; it stays below the buffer's size so that a put blocks only once it is full.
const std::size_t SocketSinkFlushBound = 192 * 1024;
const std::size_t SocketSinkMaxBuffer = 256 * 1024;

// Nagle off, and the sink set for relaying.
void PrepareRelay(SOCKET s, SocketSink& sink)
{
    BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    sink.SetMaxBufferSize(SocketSinkMaxBuffer);
    sink.SetAutoFlushBound(SocketSinkFlushBound);
}

// Reads what the socket has, at most room bytes, into the channel; its end becomes EOF.
void PumpFromSocket(Channel& channel, SocketSource& source, std::uint32_t room)
{
    try {
        CryptoPP::lword count = room;
        source.GeneralPump2(count, false, 0);
        if (source.SourceExhausted()) channel.MessageEnd();
    } catch (const Socket::Err& e) {
        channel.OnTargetException(&e);
    }
}

void EndAfterSocketError(Channel& channel, Socket& socket, SocketSink& sink)
{
    try {
        socket.CloseSocket();
    } catch (...) {
    }
    sink.Abandon();
    channel.DiscardIncoming();
    channel.MessageSeriesEnd();
}

// Writes what the sink still holds, and the end of stream after it, once the stream pauses or
// fills a send: delivery alone would leave bytes behind once the channel has nothing more to
// deliver.
void FlushToSocket(Channel& channel, SocketSink& sink)
{
    if (sink.Drained()) return;
    try {
        sink.FlushUnlessFilling();
    } catch (const Socket::Err& e) {
        channel.OnTargetException(&e);
    }
}

}  // namespace

TunnelingResponder::~TunnelingResponder()
{
    try {
        Socket& socket = m_connectingSocket.AccessSource().AccessSocket();
        if (socket.IsValid()) shutdown(socket.GetSocket(), SD_SEND);
    } catch (...) {
    }
}

bool TunnelingResponder::AcceptOpen(ChannelHost& host, BufferedTransformation& openData, BufferedTransformation&)
{
    std::string host_, originator;
    std::uint32_t port = 0, originatorPort = 0;
    DecodeString(openData, host_);
    DecodeUint32(openData, port);
    DecodeString(openData, originator);
    DecodeUint32(openData, originatorPort);
    m_target.Set(host_, port);
    m_originator.Set(originator, originatorPort);
    return ConnectToTarget(host);
}

bool TunnelingResponder::CompleteOpen(ChannelHost& host, BufferedTransformation&)
{
    return ConnectToTarget(host);
}

bool TunnelingResponder::ConnectToTarget(ChannelHost& host)
{
    if (!m_connectApproved) {
        if (!m_decisionStarted) {
            m_decisionStarted = true;
            m_connectApproved = StartTargetProcessing(host);
        } else {
            m_connectApproved = ContinueTargetProcessing(host);
        }
        if (!m_connectApproved) return false;
        m_connectingSocket.SetTarget(m_target);
        if (m_useProxy)
            m_connectingSocket.SetProxy(m_proxyProtocol, m_proxyAddress, m_proxyUsername, m_proxyPassword);
    }
    const bool finished = m_connectingSocket.IsStarted() ? m_connectingSocket.Pump() : m_connectingSocket.StartConnect();
    if (!finished) return false;
    if (!m_connectingSocket.IsConnected()) {
        OnTargetConnectFailed(host, m_connectingSocket);
        throw ChannelOpenFailure(OpenConnectFailed, "", "en");
    }
    // Signals only: the channel is what asks the socket for its wait objects, so the socket
    // must not ask the channel back.
    m_connectingSocket.AccessSource().Attach(new CryptoPP::Redirector(*this, CryptoPP::Redirector::PASS_SIGNALS));
    m_forwarder.SetTarget(&m_connectingSocket.AccessSink());
    PrepareRelay(m_connectingSocket.AccessSource().AccessSocket().GetSocket(), m_connectingSocket.AccessSink());
    OnTargetConnected(host);
    return true;
}

void TunnelingResponder::PumpOutgoing(std::uint32_t room)
{
    PumpFromSocket(*this, m_connectingSocket.AccessSource(), room);
}

void TunnelingResponder::OnTargetException(const std::exception*)
{
    EndAfterSocketError(*this, m_connectingSocket.AccessSource().AccessSocket(), m_connectingSocket.AccessSink());
}

bool TunnelingResponder::IsBusy()
{
    return !m_connectingSocket.AccessSink().Drained();
}

void TunnelingResponder::Poll()
{
    if (ChannelState() == Open) FlushToSocket(*this, m_connectingSocket.AccessSink());
}

void TunnelingResponder::GetWaitObjects(CryptoPP::WaitObjectContainer& container, bool sinkOnly,
                                        CryptoPP::CallStack const& callStack)
{
    if (m_decisionStarted && !m_connectApproved) {
        GetTargetProcessingWaitObjects(
            container, CryptoPP::CallStack("TunnelingResponder::GetWaitObjects() - target processing", &callStack));
        return;
    }
    m_connectingSocket.GetWaitObjects(
        container, sinkOnly, CryptoPP::CallStack("TunnelingResponder::GetWaitObjects() - ConnectingSocket", &callStack));
}

unsigned int TunnelingResponder::GetMaxWaitObjectCount() const
{
    const unsigned socketCount = m_connectingSocket.GetMaxWaitObjectCount();
    const unsigned decisionCount = TargetProcessingMaxWaitObjectCount();
    return socketCount > decisionCount ? socketCount : decisionCount;
}

void TunnelingInitiator::AcceptFrom(Socket& listener, const NetworkAddress& target)
{
    AcceptConnection(listener, m_source.AccessSocket(), m_originator);
    m_target = target;
}

void TunnelingInitiator::AttachSocket(SOCKET socket, const NetworkAddress& originator, const NetworkAddress& target)
{
    m_source.AccessSocket().AttachSocket(socket, true);
    m_originator = originator;
    m_target = target;
}

void TunnelingInitiator::WriteOpenData(ChannelHost&, BufferedTransformation& output)
{
    // Signals only, as for the responder's socket: wait objects are asked the other way.
    m_source.Attach(new CryptoPP::Redirector(*this, CryptoPP::Redirector::PASS_SIGNALS));
    m_sink.ShareSocketOf(m_source);
    PrepareRelay(m_source.AccessSocket().GetSocket(), m_sink);
    m_forwarder.SetTarget(&m_sink);
    EncodeString(output, m_target.ToText());
    EncodeUint32(output, m_target.port);
    EncodeString(output, m_originator.ToText());
    EncodeUint32(output, m_originator.port);
}

void TunnelingInitiator::PumpOutgoing(std::uint32_t room)
{
    PumpFromSocket(*this, m_source, room);
}

void TunnelingInitiator::OnTargetException(const std::exception*)
{
    EndAfterSocketError(*this, m_source.AccessSocket(), m_sink);
}

bool TunnelingInitiator::IsBusy()
{
    return !m_sink.Drained();
}

void TunnelingInitiator::Poll()
{
    if (ChannelState() == Open) FlushToSocket(*this, m_sink);
}

void TunnelingInitiator::GetWaitObjects(CryptoPP::WaitObjectContainer& container, bool sinkOnly,
                                        CryptoPP::CallStack const& callStack)
{
    if (!sinkOnly)
        m_source.GetWaitObjects(container, CryptoPP::CallStack("TunnelingInitiator::GetWaitObjects() - source", &callStack));
    m_sink.GetWaitObjects(container, CryptoPP::CallStack("TunnelingInitiator::GetWaitObjects() - sink", &callStack));
}

unsigned int TunnelingInitiator::GetMaxWaitObjectCount() const
{
    // The sink shares the source's network event.
    return m_source.GetMaxWaitObjectCount();
}

}  // namespace SSH
