#include "ssh/manager_with_loop.h"

#include "ssh/message_numbers.h"
#include "ssh/packet_codec.h"
#include "ssh/protocol_names.h"
#include "ssh/wire.h"

#include <cryptopp/queue.h>

#include <algorithm>
#include <exception>

namespace {

const std::size_t SinkMaxBufferSize = 4194304;
// Above the most channels send in one pass (256 KiB), so that a pass's messages leave in one
// socket write at its end.
const std::size_t SinkAutoFlushBound = 512 * 1024;
// What one pass takes from the socket: all it holds as a rule (a socket call per slice of 16 KiB
// would cost more than the work on the bytes), yet bounded, so that channel work and timers are
// still served between slices.
const CryptoPP::lword PumpSliceBytes = 1 << 20;
const int WSAConnectionReset = 10054;

// limit - elapsed, or 0 once elapsed has reached it.
std::uint64_t Remaining(std::uint64_t limit, std::uint64_t elapsed) { return elapsed < limit ? limit - elapsed : 0; }

}  // namespace

SocketCloser::SocketCloser(Socket& socket) : socket_(socket)
{
    if (!socket.GetOwnership()) throw CryptoPP::InvalidArgument("SocketCloser: the Socket object must have ownership");
}

SocketCloser::~SocketCloser()
{
    try {
        socket_.CloseSocket();
    } catch (...) {
    }
}

ManagerWithLoop::ManagerWithLoop(TransportState& transport, UserAuthState& userAuth)
    : Manager(transport, userAuth, nullptr), timer_(CryptoPP::TimerBase::MILLISECONDS, false), sinkMeter_(*this)
{
    SetKexList(transport.KexAlgorithms());
    SetHostKeyList(transport.HostKeyAlgorithms());
    SetCipherList("aes256-cbc,twofish256-cbc,twofish-cbc,aes128-cbc,twofish128-cbc,blowfish-cbc,3des-cbc,arcfour,"
                  "cast128-cbc",
                  KexInit::BothDirections);
    SetMacList("hmac-sha1,hmac-md5,hmac-sha1-96,hmac-md5-96", KexInit::BothDirections);
    SetCompressionList("zlib,none", KexInit::BothDirections);
}

ManagerWithLoop::~ManagerWithLoop() = default;

unsigned ManagerWithLoop::SinkMeter::BufferedBytes()
{
    return loop_.sink_ ? static_cast<unsigned>(std::min<CryptoPP::lword>(loop_.sink_->BufferedBytes(), 0xFFFFFFFFu))
                       : 0;
}

double ManagerWithLoop::SinkMeter::CurrentSpeed()
{
    const double seconds = (loop_.timer_.ElapsedTimeAsDouble() - double(loop_.lastKeyExchangeTime_)) / 1000.0;
    if (!loop_.outgoingMeter_ || seconds <= 0) return 0;
    return double(loop_.outgoingMeter_->GetTotalBytes()) / seconds;
}

void ManagerWithLoop::OnNewKeysSent()
{
    lastKeyExchangeTime_ = static_cast<std::uint64_t>(timer_.ElapsedTimeAsDouble());
    if (incomingMeter_) incomingMeter_->ResetMeter();
    if (outgoingMeter_) outgoingMeter_->ResetMeter();
}

void ManagerWithLoop::CloseSocket()
{
    try {
        if (sink_)
            sink_->AccessSocket().ShutDown(SD_SEND);
        else if (source_)
            source_->AccessSocket().ShutDown(SD_SEND);
    } catch (...) {
    }
}

void ManagerWithLoop::Disconnect(const SSH::CauseToDisconnect& cause)
{
    try {
        SendDisconnect(cause);
        try {
            if (sink_) sink_->TimedFlush(100, 0);
        } catch (...) {
        }
    } catch (...) {
    }
    CloseSocket();
}

void ManagerWithLoop::DoLoop(Socket& socket, SocketSource& source, SocketSink* sink, const VersionInfo& version)
{
    SocketCloser closer(socket);
    source_ = &source;
    sink_ = sink;
    const char noDelay = 1;
    setsockopt(source.AccessSocket().GetSocket(), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);

    CryptoPP::BufferedTransformation* incoming =
        incomingMeter_ = new CryptoPP::MeterFilter(
            new PacketDecoder(Transport(), new CryptoPP::Redirector(*this)), true);
    if (sink) {
        sink->SetMaxBufferSize(SinkMaxBufferSize);
        // The messages of one pass leave in one send, at the flush that ends the pass.
        sink->SetAutoFlushBound(SinkAutoFlushBound);
    }
    outgoingMeter_ = new CryptoPP::MeterFilter(sink ? static_cast<CryptoPP::BufferedTransformation*>(new CryptoPP::Redirector(*sink))
                                                    : new CryptoPP::ByteQueue,
                                               true);
    Detach(new PacketEncoder(Transport(), outgoingMeter_));

    try {
        timer_.StartTimer();
        SetConnectionMeter(sink ? &sinkMeter_ : nullptr);
        SendVersion(version);
        SendKexInit(kexTemplate_, false);
        if (sink) sink->Flush(false, -1, false);
        source.AttachedTransformation()->TransferAllTo(*incoming);
        source.Attach(incoming);
        RunPasses();
    } catch (const SSH::CauseToDisconnect& e) {
        Disconnect(e);
        throw;
    } catch (const Socket::Err& e) {
        if (e.GetErrorCode() == WSAConnectionReset) throw SSH::RemoteDisconnect();
        Disconnect(SSH::CauseToDisconnect(SSH::DisconnectByApplication, "Socket error", "en"));
        throw;
    } catch (const SSH::RemoteDisconnect&) {
        throw;
    } catch (const std::exception&) {
        Disconnect(SSH::CauseToDisconnect(SSH::DisconnectByApplication, "Exception", "en"));
        throw;
    } catch (...) {
        Disconnect(SSH::CauseToDisconnect(SSH::DisconnectByApplication, "Exception", "en"));
        throw;
    }
    throw SSH::RemoteDisconnect();  // not reached: the passes end by throwing
}

void ManagerWithLoop::EndIfDisconnected()
{
    if (Transport().TransportStateNumber() != SSH::TransportDisconnected && !source_->SourceExhausted())
        return;
    // Our own SSH_MSG_DISCONNECT gets the same short time to leave as in Disconnect.
    if (DisconnectOriginOf() == WeDisconnected && sink_) {
        try {
            sink_->TimedFlush(100, 0);
        } catch (...) {
        }
    }
    CloseSocket();
    throw SSH::RemoteDisconnect();
}

void ManagerWithLoop::RunPasses()
{
    SocketSource& source = *source_;
    TransportState& transport = Transport();
    bool keepAliveSent = false;
    std::uint64_t lastTrafficTime = 0;
    std::uint64_t keepAliveTime = 0;
    // A keep-alive sent as SSH_MSG_IGNORE awaits no reply; it is repeated once per idle period.
    std::uint64_t lastIgnoreTime = 0;
    CryptoPP::WaitObjectContainer container(transport.Log());
    for (;;) {
        source.GetWaitObjects(container, CryptoPP::CallStack("ManagerWithLoop::DoLoop() - socket source", nullptr));
        std::uint64_t now = static_cast<std::uint64_t>(timer_.ElapsedTimeAsDouble());
        std::uint64_t wait = WaitTime();
        if (keepAliveSent)
            wait = std::min(wait, Remaining(std::uint64_t(notRespondingSeconds_) * 1000, now - keepAliveTime));
        else if (keepAliveSeconds_ != 0 && transport.TransportStateNumber() != SSH::TransportStart)
            wait = std::min(wait, Remaining(std::uint64_t(keepAliveSeconds_) * 1000,
                                            now - std::max(lastTrafficTime, lastIgnoreTime)));
        if (reexchangeEnabled_ && transport.TransportStateNumber() > SSH::TransportNewKeysSent &&
            transport.KexStateNumber() > SSH::KexInitSent)
            wait = std::min(wait, Remaining(std::uint64_t(reexchangeSeconds_) * 1000, now - lastKeyExchangeTime_));
        wait = std::min(wait, CheckDeadlines(now));
        container.Wait(static_cast<unsigned long>(std::min<std::uint64_t>(wait, 0xFFFFFFFFu)));
        container.Clear();

        Poll();
        const CryptoPP::lword receivedBefore = incomingMeter_->GetTotalBytes();
        CryptoPP::lword slice = PumpSliceBytes;
        source.GeneralPump2(slice, true, 0);
        EndIfDisconnected();
        const bool servicing = transport.KexStateNumber() == SSH::KexServiceRunning;
        if (servicing) BeforeChannelPump();
        PumpChannels();
        if (servicing) AfterChannelPump();
        // A disconnect sent from a hook ends the connection here, before a re-exchange or a
        // keep-alive could follow it.
        EndIfDisconnected();

        now = static_cast<std::uint64_t>(timer_.ElapsedTimeAsDouble());
        CheckDeadlines(now);
        if (reexchangeEnabled_ && !transport.IsReexchangePending()) {
            const std::uint32_t bytes = static_cast<std::uint32_t>(incomingMeter_->GetTotalBytes()) +
                                        static_cast<std::uint32_t>(outgoingMeter_->GetTotalBytes());
            if (now - lastKeyExchangeTime_ >= std::uint64_t(reexchangeSeconds_) * 1000 || bytes >= reexchangeBytes_)
                SendKexInit(kexTemplate_, false);
        }
        if (incomingMeter_->GetTotalBytes() != receivedBefore) {
            lastTrafficTime = now;
            keepAliveSent = false;
        } else if (keepAliveSeconds_ != 0 && !keepAliveSent &&
                   transport.TransportStateNumber() != SSH::TransportStart &&
                   now - std::max(lastTrafficTime, lastIgnoreTime) >= std::uint64_t(keepAliveSeconds_) * 1000) {
            OnKeepAliveDue();
            // A keep-alive request waits for login to succeed: before that a client may take
            // any connection-layer message as a protocol error (OpenSSH's does).
            if (notRespondingSeconds_ == 0 || transport.KexStateNumber() != SSH::KexServiceRunning ||
                UserAuth().state != UserAuthState::Success) {
                SendIgnore();
                lastIgnoreTime = now;
            } else if (PendingGlobalRequests() != 0) {
                SendIgnore();
                keepAliveTime = now;
                keepAliveSent = true;
            } else {
                CryptoPP::ByteQueue empty;
                SendGlobalRequest(KeepAliveRequestName(), empty, &keepAliveReplyHandler_);
                keepAliveTime = now;
                keepAliveSent = true;
            }
        } else if (keepAliveSent && now - keepAliveTime >= std::uint64_t(notRespondingSeconds_) * 1000) {
            throw SSH::RemoteNotResponding();
        }
        if (sink_) sink_->Flush(false, -1, false);
    }
}

std::uint64_t ManagerWithLoop::CheckDeadlines(std::uint64_t now)
{
    const std::uint64_t none = ~std::uint64_t(0);
    std::uint64_t wait = none;
    auto check = [&](std::uint32_t seconds, std::uint32_t reason, const char* what) {
        if (seconds == 0) return;
        const std::uint64_t left = Remaining(std::uint64_t(seconds) * 1000, now);
        if (left == 0) {
            const std::string text = std::string(what) + " did not complete within " +
                                     SSH::Uint64ToDecimal(seconds) + " seconds";
            Log(&TransportLog::LogError, text);
            throw SSH::CauseToDisconnect(reason, text, "en");
        }
        wait = std::min(wait, left);
    };
    if (!firstKeyExchangeDone_ && Transport().KexStateNumber() == SSH::KexServiceRunning)
        firstKeyExchangeDone_ = true;
    if (!firstKeyExchangeDone_) check(keyExchangeLimitSeconds_, SSH::DisconnectKeyExchangeFailed, "key exchange");
    if (Transport().IsServer() && UserAuth().state != UserAuthState::Success)
        check(loginLimitSeconds_, SSH::DisconnectNoMoreAuthMethodsAvailable, "user authentication");
    return wait;
}
