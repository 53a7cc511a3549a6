// The connection manager's intake: messages held during a key re-exchange, the dispatch by
// message number to each protocol layer, and the filter channels that address channels.
#include "ssh/manager.h"

#include "ssh/message_numbers.h"
#include "ssh/packet_codec.h"
#include "ssh/protocol_names.h"
#include "ssh/wire.h"

#include <cryptopp/algparam.h>

namespace SSH {

namespace {

std::string Decimal(std::uint64_t value) { return Uint64ToDecimal(value); }

}  // namespace

QueuedMessage::QueuedMessage(const QueuedMessage& other)
    : messageNumber(other.messageNumber), sequenceNumber(other.sequenceNumber), source(other.source),
      payload(other.payload)
{
    if (other.source == &other.store) ReadOwnPayload();
}

QueuedMessage& QueuedMessage::operator=(const QueuedMessage& other)
{
    if (this != &other) {
        messageNumber = other.messageNumber;
        sequenceNumber = other.sequenceNumber;
        source = other.source;
        payload = other.payload;
        if (other.source == &other.store) ReadOwnPayload();
    }
    return *this;
}

void QueuedMessage::ReadOwnPayload()
{
    store.IsolatedInitialize(CryptoPP::MakeParameters("InputBuffer", CryptoPP::ConstByteArrayParameter(payload.data(), payload.size(), false)));
    source = &store;
}

Manager::Manager(TransportState& transport, UserAuthState& userAuth, CryptoPP::BufferedTransformation* attachment)
    : transport_(transport), userAuth_(userAuth)
{
    Detach(attachment);
}

Manager::~Manager()
{
    while (!pendingGlobalRequests_.empty()) {
        GlobalRequestHandler* handler = pendingGlobalRequests_.back().handler;
        pendingGlobalRequests_.pop_back();
        try {
            handler->Release();
        } catch (...) {
        }
    }
    while (!channelOpenHandlers_.empty()) {
        ChannelOpenHandler* handler = channelOpenHandlers_.back();
        channelOpenHandlers_.pop_back();
        try {
            handler->Release();
        } catch (...) {
        }
    }
    while (!components_.empty()) {
        ManagerComponent* component = components_.front().first;
        try {
            UnregisterComponent(component);
        } catch (...) {
        }
        // A component whose unregistering failed half-way must not hold the loop.
        if (!components_.empty() && components_.front().first == component) components_.erase(components_.begin());
    }
    for (Channel* channel : channels_) delete channel;
}

void Manager::EndMessage()
{
    AttachedTransformation()->MessageEnd(-1, true);
}

void Manager::Log(void (TransportLog::*line)(const std::string&), const std::string& text)
{
    if (TransportLog* log = transport_.Log()) (log->*line)(text);
}

bool Manager::QueueLogOn()
{
    TransportLog* log = transport_.Log();
    return log && log->IsQueueLogOn();
}

std::size_t Manager::Put2(const CryptoPP::byte* data, std::size_t length, int messageEnd, bool blocking)
{
    if (!blocking) throw BlockingInputOnly("Manager");
    if (length > 0) {
        if (!messageStarted_) {
            messageNumber_ = data[0];
            messageStarted_ = true;
        }
        if (length > MaxIncomingMessageBytes - messageBytes_) RefuseOversizedMessage();
        currentMessage_.Put(data, length);
        messageBytes_ += static_cast<std::uint32_t>(length);
    }
    if (!messageEnd) return 0;

    // Whatever happens below, the next message starts afresh.
    struct ResetCurrent {
        Manager& m;
        ~ResetCurrent()
        {
            m.messageStarted_ = false;
            m.messageBytes_ = 0;
            m.currentMessage_.Clear();
        }
    } reset{*this};

    if (!messageStarted_) {
        Log(&TransportLog::LogNotice, "Empty packet received, ignoring");
        return 0;
    }
    // Nothing counts after SSH_MSG_DISCONNECT, sent or received: a KEXINIT would otherwise
    // start a key exchange on a connection that has ended.
    if (transport_.TransportStateNumber() == TransportDisconnected)
        return 0;
    QueuedMessage record(messageNumber_, transport_.IncomingSequence(), &currentMessage_);
    const bool hold = transport_.IsReexchangePending() && transport_.KexCount() > 1 &&
                      (messageNumber_ > SSH_MSG_KEX_LAST || messageNumber_ == SSH_MSG_SERVICE_REQUEST ||
                       messageNumber_ == SSH_MSG_SERVICE_ACCEPT);
    if (hold) {
        // Channel data is bounded by the receive windows we granted, which may be larger than
        // the queue's byte limit (a fast download during a re-exchange): it is measured
        // against those windows, everything else against the limit.
        const bool channelData = messageNumber_ == SSH_MSG_CHANNEL_DATA ||
                                 messageNumber_ == SSH_MSG_CHANNEL_EXTENDED_DATA;
        const std::uint64_t counted = channelData ? heldChannelDataBytes_ : heldBytes_ - heldChannelDataBytes_;
        const std::uint64_t limit =
            std::uint64_t(transport_.MaxQueuedBytes()) + (channelData ? GrantedReceiveWindows() : 0);
        if (counted > limit)
            throw CauseToDisconnect(DisconnectProtocolError,
                                    "incoming message queue overflowed while waiting response to our key re-exchange "
                                    "request (too many bytes)",
                                    "en");
        if (held_.size() > transport_.MaxQueuedMessages())
            throw CauseToDisconnect(DisconnectProtocolError,
                                    "incoming message queue overflowed while waiting response to our key re-exchange "
                                    "request (too many messages)",
                                    "en");
        held_.push_back(record);
        QueuedMessage& kept = held_.back();
        kept.payload.New(static_cast<std::size_t>(currentMessage_.MaxRetrievable()));
        currentMessage_.Get(kept.payload.data(), kept.payload.size());
        kept.store.IsolatedInitialize(CryptoPP::MakeParameters(
            "InputBuffer", CryptoPP::ConstByteArrayParameter(kept.payload.data(), kept.payload.size(), false)));
        kept.source = &kept.store;
        heldBytes_ += static_cast<std::uint32_t>(kept.payload.size());
        if (channelData) heldChannelDataBytes_ += static_cast<std::uint32_t>(kept.payload.size());
        if (QueueLogOn())
            Log(&TransportLog::LogQueue, "Message queued for later processing - queued messages: " +
                                             Decimal(held_.size()) + ", bytes: " + Decimal(heldBytes_));
        return 0;
    }
    ProcessMessage(record);
    ReleaseHeldMessages();
    return 0;
}

std::uint64_t Manager::GrantedReceiveWindows() const
{
    std::uint64_t sum = 0;
    for (const Channel* channel : channels_)
        if (channel) sum += channel->RecvWindow();
    return sum;
}

void Manager::ReleaseHeldMessages()
{
    while (!held_.empty() && transport_.IsTransferReady()) {
        QueuedMessage& first = held_.front();
        const std::uint32_t n = static_cast<std::uint32_t>(first.payload.size());
        if (QueueLogOn()) {
            if (n == 0)
                Log(&TransportLog::LogQueue, "Processing queued message (empty)");
            else
                Log(&TransportLog::LogQueue, "Processing queued message of type " + MessageName(first.payload[0]) +
                                                 ", size " + Decimal(n));
        }
        const bool channelData = first.messageNumber == SSH_MSG_CHANNEL_DATA ||
                                 first.messageNumber == SSH_MSG_CHANNEL_EXTENDED_DATA;
        ProcessMessage(first);
        held_.pop_front();
        heldBytes_ -= n;
        if (channelData) heldChannelDataBytes_ -= n;
        if (QueueLogOn())
            Log(&TransportLog::LogQueue,
                "Remaining queued messages: " + Decimal(held_.size()) + ", bytes: " + Decimal(heldBytes_));
    }
}

void Manager::ProcessMessage(QueuedMessage& message)
{
    CryptoPP::BufferedTransformation& in = *message.source;
    const CryptoPP::byte number = message.messageNumber;
    bool unimplemented = false;
    if (number >= SSH_MSG_KEX_FIRST && number <= SSH_MSG_KEX_LAST) {
        ProcessKexMethodMessage(in);
    } else {
        switch (number) {
        case IdentificationLineMessage:
            ProcessIdentificationLine(in);
            break;
        case SSH_MSG_DISCONNECT: {
            SetTransportState(TransportDisconnected);
            SetKexState(KexDisconnected);
            disconnectOrigin_ = PeerDisconnected;
            DecodeMessageNumber(in, SSH_MSG_DISCONNECT);
            DecodeUint32(in, disconnectReason_);
            DecodeString(in, disconnectDescription_);
            DecodeString(in, disconnectLanguage_);
            break;
        }
        case SSH_MSG_IGNORE:
            OnIgnore(static_cast<std::size_t>(in.MaxRetrievable()));
            in.Skip();
            break;
        case SSH_MSG_UNIMPLEMENTED: {
            DecodeMessageNumber(in, SSH_MSG_UNIMPLEMENTED);
            std::uint32_t sequence;
            DecodeUint32(in, sequence);
            if (!FailUnimplementedGlobalRequest(sequence)) OnUnimplemented(sequence);
            break;
        }
        case SSH_MSG_DEBUG: {
            DecodeMessageNumber(in, SSH_MSG_DEBUG);
            bool alwaysDisplay;
            std::string text, language;
            DecodeBoolean(in, alwaysDisplay);
            DecodeString(in, text);
            DecodeString(in, language);
            OnDebug(alwaysDisplay, text, language);
            break;
        }
        case SSH_MSG_SERVICE_REQUEST:
            ProcessServiceRequest(in);
            break;
        case SSH_MSG_SERVICE_ACCEPT:
            transport_.ExpectClient();
            transport_.ExpectTransportState(TransportClientAwaitsService);
            DecodeMessageNumber(in, SSH_MSG_SERVICE_ACCEPT);
            ServiceStarted();
            in.Skip();  // the service name is not needed
            break;
        case SSH_MSG_KEXINIT:
            ProcessKexInit(in);
            break;
        case SSH_MSG_NEWKEYS:
            ProcessNewKeys(in);
            break;
        case SSH_MSG_USERAUTH_REQUEST:
            ProcessUserAuthRequest(in);
            break;
        case SSH_MSG_USERAUTH_FAILURE:
        case SSH_MSG_USERAUTH_SUCCESS:
        case SSH_MSG_USERAUTH_BANNER:
        case SSH_MSG_USERAUTH_PK_OK:
            ProcessUserAuthAnswer(number, in, unimplemented);
            break;
        case SSH_MSG_GLOBAL_REQUEST:
            ProcessGlobalRequest(in);
            break;
        case SSH_MSG_REQUEST_SUCCESS:
        case SSH_MSG_REQUEST_FAILURE:
            ProcessGlobalRequestReply(number, in);
            break;
        case SSH_MSG_CHANNEL_OPEN:
            ProcessChannelOpen(in);
            break;
        case SSH_MSG_CHANNEL_OPEN_CONFIRMATION:
        case SSH_MSG_CHANNEL_OPEN_FAILURE:
        case SSH_MSG_CHANNEL_WINDOW_ADJUST:
        case SSH_MSG_CHANNEL_DATA:
        case SSH_MSG_CHANNEL_EXTENDED_DATA:
        case SSH_MSG_CHANNEL_EOF:
        case SSH_MSG_CHANNEL_CLOSE:
        case SSH_MSG_CHANNEL_REQUEST:
        case SSH_MSG_CHANNEL_SUCCESS:
        case SSH_MSG_CHANNEL_FAILURE:
            ProcessChannelMessage(number, in);
            break;
        default:
            unimplemented = true;
        }
    }
    if (unimplemented) {
        EncodeByte(Output(), SSH_MSG_UNIMPLEMENTED);
        EncodeUint32(Output(), message.sequenceNumber);
        EndMessage();
        in.Skip();
        return;
    }
    if (in.AnyRetrievable()) Log(&TransportLog::LogWarning, "Packet not completely processed");
}

std::size_t Manager::ChannelPut2(const std::string& channel, const CryptoPP::byte* data, std::size_t length,
                                 int messageEnd, bool blocking)
{
    if (channel.size() < 4) {
        if (!blocking) throw BlockingInputOnly("Manager");
        return Put2(data, length, messageEnd, blocking);
    }
    return AddressedChannel(channel).ChannelPut2(channel.substr(4), data, length, messageEnd, blocking);
}

bool Manager::ChannelFlush(const std::string& channel, bool hardFlush, int, bool blocking)
{
    if (channel.size() < 4) {
        if (!blocking) throw BlockingInputOnly("Manager");
        if (hardFlush && currentMessage_.AnyRetrievable())
            throw CryptoPP::CannotFlush("Manager::ChannelFlush: the null channel has partial input and it cannot be flushed");
        return false;
    }
    AddressedChannel(channel).Flush(hardFlush, -1, true);
    return false;
}

bool Manager::ChannelMessageSeriesEnd(const std::string& channel, int, bool blocking)
{
    if (channel.size() < 4) {
        if (!blocking) throw BlockingInputOnly("Manager");
        return false;
    }
    AddressedChannel(channel).MessageSeriesEnd(-1, true);
    return false;
}

Channel& Manager::AddressedChannel(const std::string& channel) const
{
    const std::uint32_t number = ChannelNumberFromString(channel);
    Channel* found = ChannelByNumber(number);
    // Local code names only channels it added; anything else is a caller's mistake.
    if (!found) throw CryptoPP::InvalidArgument("Manager: no channel " + Decimal(number));
    return *found;
}

}  // namespace SSH
