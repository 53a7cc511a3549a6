#include "ssh/channel.h"

#include "ssh/exceptions.h"
#include "ssh/message_numbers.h"
#include "ssh/wire.h"

#include <algorithm>
#include <limits>

namespace SSH {

using CryptoPP::BufferedTransformation;
using CryptoPP::byte;
using CryptoPP::lword;

namespace {


const std::uint32_t WindowTargetDoublingLimit = 0x100000;
const std::uint32_t WindowTargetHalvingBuffered = 0x8000;
const std::uint32_t WindowTargetFloor = 0x4000;
const std::uint64_t MaxWindow = std::numeric_limits<std::uint32_t>::max();

[[noreturn]] void ProtocolError(const char* description)
{
    throw CauseToDisconnect(DisconnectProtocolError, description, "en");
}

// Appends a run, or extends the last one when it is of the same kind.
void AddToChunks(std::deque<ChannelChunk>& chunks, bool extended, std::uint32_t dataType, std::uint32_t length)
{
    if (!chunks.empty() && chunks.back().extended == extended && chunks.back().dataType == dataType)
        chunks.back().length += length;
    else
        chunks.push_back(ChannelChunk{extended, dataType, length});
}

}  // namespace

Channel::Channel(ChannelHost& host, const std::string& type, bool autoClose, std::uint32_t initialWindow,
                 std::uint32_t maxPacket, std::uint32_t sendMaxPacket, double priorityWeight)
    : m_manager(host), m_component(nullptr), m_componentLost(false), m_state(New), m_type(type),
      m_bytesSent(0), m_bytesDelivered(0), m_discardIncoming(false), m_eofSent(false), m_eofReceived(false),
      m_closeSent(false), m_closeReceived(false), m_localNumber(0), m_remoteNumber(0),
      m_recvWindowTarget(initialWindow), m_recvOverrun(0), m_recvWindow(initialWindow), m_sendWindow(0),
      m_recvMaxPacket(std::min(maxPacket, MaxAnnouncedPacket)), m_sendMaxPacket(sendMaxPacket),
      m_autoClose(autoClose), m_eofDelivered(false), m_closeDelivered(false), m_deliveryPropagation(-1),
      m_deliveryCapped(false), m_eofQueued(false), m_closeQueued(false), m_priorityWeight(priorityWeight),
      m_sendTimer(CryptoPP::Timer::MILLISECONDS, false)
{
    m_sendTimer.StartTimer();
}

Channel::~Channel() = default;

void Channel::SetComponent(BufferedTransformation* component)
{
    if (!m_manager.IsComponentRegistered(component))
        throw CryptoPP::InvalidArgument("Channel::SetComponent() - component object not registered in Manager");
    m_component = component;
}

void Channel::SendOpen(ChannelHost& host, BufferedTransformation& output)
{
    EncodeByte(output, SSH_MSG_CHANNEL_OPEN);
    EncodeString(output, m_type);
    EncodeUint32(output, m_localNumber);
    EncodeUint32(output, m_recvWindow);
    EncodeUint32(output, m_recvMaxPacket);
    WriteOpenData(host, output);
    output.MessageEnd(-1, true);
    m_state = OpenSent;
}

void Channel::WriteOpenData(ChannelHost&, BufferedTransformation&) {}

bool Channel::AcceptOpen(ChannelHost&, BufferedTransformation&, BufferedTransformation&)
{
    throw ChannelOpenFailure(OpenUnknownChannelType, "", "en");
}

bool Channel::CompleteOpen(ChannelHost& host, BufferedTransformation& confirmationData)
{
    CryptoPP::ByteQueue noOpenData;
    return AcceptOpen(host, noOpenData, confirmationData);
}

void Channel::OnData(BufferedTransformation& message, bool extended, std::uint32_t dataType)
{
    std::uint32_t n = 0;
    DecodeUint32(message, n);
    if (message.MaxRetrievable() < n) ProtocolError("unexpected end of packet");

    if (n > m_recvWindow) {
        if (!m_manager.WindowOverrunsAllowed()) ProtocolError("data exceeds window size");
        // Summed in 64 bits: the outstanding overrun and a new length may together pass 2^32.
        if (m_recvOverrun != 0 && std::uint64_t(m_recvOverrun) + n > m_manager.NegativeWindowTolerance())
            ProtocolError("data exceeds negative window tolerance");
    }

    if (n != 0) {
        AddToChunks(m_incomingChunks, extended, dataType, n);
        message.TransferTo(m_incoming, n);
    }

    if (m_recvWindow >= n) {
        m_recvWindow -= n;
    } else {
        // A first overrun may be of any size; it never exceeds 2^32 - 1 as n does not.
        m_recvOverrun += n - m_recvWindow;
        m_recvWindow = 0;
    }
    ProcessIncoming();
}

void Channel::OnEof()
{
    m_eofReceived = true;
    ProcessIncoming();
}

void Channel::OnClose()
{
    m_closeReceived = true;
    ProcessIncoming();
}

void Channel::OnWindowAdjust(std::uint32_t bytesToAdd)
{
    if (std::uint64_t(m_sendWindow) + bytesToAdd > MaxWindow) ProtocolError("window adjustment exceeds 2^32 - 1");
    m_sendWindow += bytesToAdd;
}

template <class Operation>
bool Channel::DeliverToTarget(Operation operation)
{
    try {
        operation();
        return true;
    } catch (const std::exception& e) {
        OnTargetException(&e);
    } catch (...) {
        OnTargetException(nullptr);
    }
    return false;
}

void Channel::ProcessIncoming()
{
    std::uint32_t delivered = 0;
    while (!m_incomingChunks.empty()) {
        if (m_discardIncoming) {
            m_incomingChunks.clear();
            m_incoming.Clear();
            m_eofDelivered = m_closeDelivered = true;
            return;
        }
        if (delivered >= DeliverySlice) {
            m_deliveryCapped = true;
            return;
        }
        m_deliveryCapped = false;

        ChannelChunk& chunk = m_incomingChunks.front();
        const std::uint32_t wanted = std::min(chunk.length, DeliverySlice);
        const std::string channel = chunk.extended ? ChannelNumberToString(chunk.dataType) : std::string();
        const lword queuedBefore = m_incoming.CurrentSize();
        bool blocked = false;
        const bool completed = DeliverToTarget([&] {
            lword moved = wanted;
            blocked = m_incoming.TransferTo2(GetDataTarget(), moved, channel, false) != 0;
        });
        lword moved = queuedBefore - m_incoming.CurrentSize();
        if (!completed) {
            // A target that threw has the whole slice counted as moved; the queue follows suit.
            m_incoming.Skip(wanted - moved);
            moved = wanted;
        }
        const std::uint32_t slice = static_cast<std::uint32_t>(moved);
        m_bytesDelivered += slice;
        chunk.length -= slice;
        if (blocked) return;
        if (chunk.length == 0) m_incomingChunks.pop_front();
        delivered += slice;
    }

    if ((m_eofReceived || m_closeReceived) && !m_eofDelivered) {
        if (m_deliveryPropagation != 0) {
            bool blocked = false;
            if (DeliverToTarget([&] { blocked = GetDataTarget().Put2(nullptr, 0, m_deliveryPropagation, false) != 0; }) &&
                blocked)
                return;
        }
        m_eofDelivered = true;
    }
    if (m_closeReceived && !m_closeDelivered) {
        if (m_deliveryPropagation != 0) {
            bool blocked = false;
            if (DeliverToTarget([&] { blocked = GetDataTarget().MessageSeriesEnd(m_deliveryPropagation, false); }) &&
                blocked)
                return;
        }
        m_closeDelivered = true;
    }
}

void Channel::AdjustWindow()
{
    // In 64 bits, so that a large buffer cannot wrap the test into granting more window.
    const std::uint64_t buffered = m_incoming.CurrentSize();
    const std::uint64_t held = buffered + m_recvWindow;
    if (held * 2 >= m_recvWindowTarget) return;

    if (buffered == 0 && m_recvWindowTarget < WindowTargetDoublingLimit)
        m_recvWindowTarget *= 2;
    else if (!m_deliveryCapped && buffered > WindowTargetHalvingBuffered && m_recvWindowTarget > WindowTargetFloor)
        m_recvWindowTarget >>= 1;

    if (held >= m_recvWindowTarget) return;
    const std::uint32_t increment = static_cast<std::uint32_t>(m_recvWindowTarget - held);

    // The peer's window after the adjustment is the increment: what it overran is made good
    // first. Both fit in 32 bits only as long as their sum does; the rest stays owed.
    const std::uint64_t granted = std::min<std::uint64_t>(std::uint64_t(increment) + m_recvOverrun, MaxWindow);
    BufferedTransformation& out = m_manager.ChannelOutput();
    EncodeByte(out, SSH_MSG_CHANNEL_WINDOW_ADJUST);
    EncodeUint32(out, m_remoteNumber);
    EncodeUint32(out, static_cast<std::uint32_t>(granted));
    out.MessageEnd();
    m_recvOverrun = static_cast<std::uint32_t>(std::uint64_t(increment) + m_recvOverrun - granted);
    if (m_recvOverrun == 0)
        m_recvWindow += increment;
}

std::size_t Channel::ChannelPut2(const std::string& channel, const byte* data, std::size_t length, int messageEnd,
                                 bool)
{
    if (length != 0) {
        if (m_closeQueued)
            throw CryptoPP::InvalidArgument("Channel put - cannot accept data after CLOSE has already been queued");
        if (m_eofQueued)
            throw CryptoPP::InvalidArgument("Channel put - cannot accept data after EOF has already been queued");
        if (!channel.empty() && channel.size() != 4)
            throw CryptoPP::InvalidArgument("Channel put - invalid channel string");
        // Chunk lengths are 32 bits: a longer put is queued as several runs.
        const bool extended = !channel.empty();
        const std::uint32_t dataType = extended ? ChannelNumberFromString(channel) : 0;
        if (m_outgoingChunks.empty()) m_sendTimer.StartTimer();
        std::size_t left = length;
        while (left != 0) {
            std::uint32_t part = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, 0x80000000u));
            if (!m_outgoingChunks.empty() && m_outgoingChunks.back().extended == extended &&
                m_outgoingChunks.back().dataType == dataType && MaxWindow - m_outgoingChunks.back().length < part)
                m_outgoingChunks.push_back(ChannelChunk{extended, dataType, 0});
            AddToChunks(m_outgoingChunks, extended, dataType, part);
            left -= part;
        }
        m_outgoing.Put(data, length);
    }
    if (messageEnd != 0) m_eofQueued = true;
    return 0;
}

bool Channel::ChannelMessageSeriesEnd(const std::string&, int, bool)
{
    m_eofQueued = true;
    m_closeQueued = true;
    return false;
}

bool Channel::ChannelFlush(const std::string&, bool, int, bool)
{
    if (m_state == Open) SendQueuedData(m_sendWindow);
    return false;
}

void Channel::SendQueuedData(std::uint32_t budget)
{
    BufferedTransformation& out = m_manager.ChannelOutput();
    while (!m_outgoingChunks.empty() && budget != 0) {
        ChannelChunk& chunk = m_outgoingChunks.front();
        if (chunk.extended) {
            EncodeByte(out, SSH_MSG_CHANNEL_EXTENDED_DATA);
            EncodeUint32(out, m_remoteNumber);
            EncodeUint32(out, chunk.dataType);
        } else {
            EncodeByte(out, SSH_MSG_CHANNEL_DATA);
            EncodeUint32(out, m_remoteNumber);
        }
        // No message carries more than the peer's maximum packet: it may drop larger ones.
        const std::uint32_t n = std::min({budget, chunk.length, std::max<std::uint32_t>(m_sendMaxPacket, 1)});
        EncodeUint32(out, n);
        m_outgoing.TransferTo(out, n);
        out.MessageEnd();
        chunk.length -= n;
        budget -= n;
        // The manager's budget never exceeds the send window; a flush by a caller may.
        m_sendWindow -= std::min(n, m_sendWindow);
        m_bytesSent += n;
        if (chunk.length == 0) m_outgoingChunks.pop_front();
    }
    if (m_outgoingChunks.empty()) {
        if (m_eofQueued && !m_eofSent) {
            EncodeByte(out, SSH_MSG_CHANNEL_EOF);
            EncodeUint32(out, m_remoteNumber);
            out.MessageEnd();
            m_eofSent = true;
        }
        if (m_closeQueued && !m_closeSent) {
            EncodeByte(out, SSH_MSG_CHANNEL_CLOSE);
            EncodeUint32(out, m_remoteNumber);
            out.MessageEnd();
            m_closeSent = true;
        }
    }
    m_sendTimer.StartTimer();
}

void Channel::SendClose()
{
    if (m_closeSent) return;
    if (m_state == Open) SendQueuedData(m_sendWindow);
    m_outgoingChunks.clear();
    m_outgoing.Clear();
    m_closeQueued = true;
    if (m_state == Open) SendQueuedData(0);
}

double Channel::SendPriority(std::uint32_t limit) const
{
    if (m_state < Open) return 0.0;
    std::uint64_t ready = std::min<std::uint64_t>(m_sendWindow, std::min<std::uint64_t>(limit, m_outgoing.CurrentSize()));
    if ((m_eofQueued && !m_eofSent) || (m_closeQueued && !m_closeSent)) ++ready;
    if (ready == 0) return 0.0;
    const double elapsed = std::max<double>(1.0, double(m_sendTimer.ElapsedTime()));
    return elapsed * m_priorityWeight / double(ready);
}

}  // namespace SSH
