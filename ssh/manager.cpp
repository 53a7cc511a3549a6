#include "ssh/manager.h"

#include "ssh/dh_kex_handler.h"
#include "ssh/message_numbers.h"
#include "ssh/packet_codec.h"
#include "ssh/protocol_names.h"
#include "ssh/wire.h"

#include <cryptopp/algparam.h>

#include <algorithm>

namespace SSH {

namespace {

const char* const ProtocolErrorLanguage = "en";

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

}  // namespace SSH

NullGlobalRequestHandler& NullGlobalRequestHandler::Shared()
{
    static NullGlobalRequestHandler shared;
    return shared;
}

void UserAuthState::ExpectState(int n) const
{
    if (state != n)
        throw SSH::CauseToDisconnect(SSH::DisconnectProtocolError,
                                     "received packet inappropriate for current authentication state", "en");
}

namespace SSH {

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

void Manager::ProcessIdentificationLine(CryptoPP::BufferedTransformation& in)
{
    transport_.ExpectTransportState(TransportStart);
    DecodeMessageNumber(in, IdentificationLineMessage);
    std::string line;
    line.resize(static_cast<std::size_t>(in.MaxRetrievable()));
    in.Get(reinterpret_cast<CryptoPP::byte*>(&line[0]), line.size());
    VersionInfo peer;
    if (!ParsePeerVersion(line, peer)) {
        // A text line before the identification; a peer that only sends such lines is cut off.
        if (++linesBeforeIdentification_ > MaxLinesBeforeIdentification)
            throw CauseToDisconnect(DisconnectProtocolError,
                                    "more than " + Uint64ToDecimal(MaxLinesBeforeIdentification) +
                                        " lines before the version line",
                                    "en");
        return;
    }
    transport_.SetPeerVersion(peer);
    SetTransportState(TransportPeerVersionTaken);
}

void Manager::ProcessKexMethodMessage(CryptoPP::BufferedTransformation& in)
{
    transport_.ExpectTransportState(TransportKexRunning);
    if (ignoreNextKexPacket_) {
        ignoreNextKexPacket_ = false;
        return;
    }
    transport_.ExpectKexState(KexInitSent);
    if (!transport_.ChosenKexHandler()->ProcessMessage(in, Output())) return;
    EncodeByte(Output(), SSH_MSG_NEWKEYS);
    EndMessage();
    transport_.SwitchOutgoingAlgorithms();
    transport_.ClearReexchangePending();
    OnNewKeysSent();
    OnKeyExchangeComplete(transport_.KexCount(), transport_.KexReason());
    SetKexState(transport_.ServiceStarted() ? KexServiceRunning : KexNewKeysSent);
    SetTransportState(TransportNewKeysSent);
}

void Manager::ProcessKexInit(CryptoPP::BufferedTransformation& in)
{
    const int t = transport_.TransportStateNumber();
    if (!(t == TransportPeerVersionTaken || t > TransportNewKeysSent))
        throw CauseToDisconnect(DisconnectProtocolError,
                                "received KexInit packet inappropriate for current transport state", "en");
    KexInit peer;
    peer.Decode(in);
    transport_.SetPeerKexInit(peer);
    bool wrongGuess = false;
    if (peer.firstKexPacketFollows) {
        const KexInit& ours = transport_.OurKexInit();
        wrongGuess = NameListFirst(peer.kexAlgorithms) != NameListFirst(ours.kexAlgorithms) ||
                     NameListFirst(peer.hostKeyAlgorithms) != NameListFirst(ours.hostKeyAlgorithms);
        for (bool serverToClient : {false, true})
            wrongGuess = wrongGuess || transport_.ChooseCipher(serverToClient).empty() ||
                         transport_.ChooseMac(serverToClient).empty() ||
                         transport_.ChooseCompression(serverToClient).empty();
    }
    ignoreNextKexPacket_ = wrongGuess;
    Log(&TransportLog::LogKex, wrongGuess ? "Will ignore first key exchange method packet"
                                          : "Will act on first key exchange method packet");
    SetTransportState(TransportKexRunning);
    if (transport_.KexStateNumber() > KexInitSent) {
        SendKexInit(transport_.OurKexInit(), true);
    } else {
        transport_.Negotiate();
        transport_.ChosenKexHandler()->Start(Output());
    }
}

void Manager::ProcessNewKeys(CryptoPP::BufferedTransformation& in)
{
    transport_.ExpectTransportState(TransportNewKeysSent);
    DecodeMessageNumber(in, SSH_MSG_NEWKEYS);
    transport_.SwitchIncomingAlgorithms();
    SetTransportState(transport_.ServiceStarted() ? TransportServiceRunning
                      : transport_.IsClient()     ? TransportClientAwaitsService
                                                  : TransportServerAwaitsService);
}

void Manager::ProcessServiceRequest(CryptoPP::BufferedTransformation& in)
{
    transport_.ExpectServer();
    transport_.ExpectTransportState(TransportServerAwaitsService);
    DecodeMessageNumber(in, SSH_MSG_SERVICE_REQUEST);
    std::string service;
    DecodeString(in, service);
    if (service != "ssh-userauth") throw CauseToDisconnect(DisconnectServiceNotAvailable, "", "en");
    EncodeByte(Output(), SSH_MSG_SERVICE_ACCEPT);
    EncodeString(Output(), service);
    EndMessage();
    ServiceStarted();
}

void Manager::ProcessUserAuthRequest(CryptoPP::BufferedTransformation& in)
{
    transport_.ExpectServer();
    transport_.ExpectTransportState(TransportServiceRunning);
    UserAuthState& auth = userAuth_;
    if (auth.state == UserAuthState::Success) {
        auth.OnRequestAfterSuccess(in);
        in.Skip();
        return;
    }
    DecodeMessageNumber(in, SSH_MSG_USERAUTH_REQUEST);
    std::string user, service, method;
    DecodeString(in, user);
    DecodeString(in, service);
    DecodeString(in, method);
    auth.currentMethod = method;
    if (service != "ssh-connection") throw CauseToDisconnect(DisconnectServiceNotAvailable, "", "en");
    if (auth.userKnown && auth.user != user) auth.OnUserChanged(user);
    auth.user = user;
    auth.userKnown = true;
    if (NameListContains(auth.methodsThatCanContinue, method))
        auth.HandleRequest(*this, method, in);
    else
        auth.RejectMethod(method);

    CryptoPP::BufferedTransformation& out = Output();
    switch (auth.state) {
    case UserAuthState::PublicKeyOk:
        EncodeByte(out, SSH_MSG_USERAUTH_PK_OK);
        EncodeString(out, auth.publicKeyAlgorithm);
        EncodeString(out, auth.publicKeyBlob);
        break;
    case UserAuthState::PasswordChangeRequested:
        EncodeByte(out, SSH_MSG_USERAUTH_PASSWD_CHANGEREQ);
        EncodeString(out, auth.prompt);
        EncodeString(out, auth.promptLanguage);
        break;
    case UserAuthState::Failure:
    case UserAuthState::PartialSuccess:
        EncodeByte(out, SSH_MSG_USERAUTH_FAILURE);
        EncodeString(out, auth.methodsThatCanContinue);
        EncodeBoolean(out, auth.state == UserAuthState::PartialSuccess);
        break;
    case UserAuthState::Success:
        EncodeByte(out, SSH_MSG_USERAUTH_SUCCESS);
        break;
    default:
        return;
    }
    EndMessage();
}

void Manager::ProcessUserAuthAnswer(CryptoPP::byte number, CryptoPP::BufferedTransformation& in, bool& unimplemented)
{
    transport_.ExpectClient();
    UserAuthState& auth = userAuth_;
    if (number == SSH_MSG_USERAUTH_BANNER) {
        if (auth.state == UserAuthState::Success) {
            in.Skip();
            return;
        }
        DecodeMessageNumber(in, SSH_MSG_USERAUTH_BANNER);
        std::string text, language;
        DecodeString(in, text);
        DecodeString(in, language);
        OnBanner(text, language);
        return;
    }
    transport_.ExpectTransportState(TransportServiceRunning);
    DecodeMessageNumber(in, number);
    if (number == SSH_MSG_USERAUTH_FAILURE) {
        bool partial;
        DecodeString(in, auth.methodsThatCanContinue);
        DecodeBoolean(in, partial);
        auth.state = partial ? UserAuthState::PartialSuccess : UserAuthState::Failure;
    } else if (number == SSH_MSG_USERAUTH_SUCCESS) {
        auth.state = UserAuthState::Success;
    } else {
        if (auth.state == UserAuthState::Success) {
            in.Skip();
            return;
        }
        if (auth.currentMethod == "publickey") {
            DecodeString(in, auth.publicKeyAlgorithm);
            DecodeString(in, auth.publicKeyBlob);
            auth.state = UserAuthState::PublicKeyOk;
        } else if (auth.currentMethod == "password") {
            DecodeString(in, auth.prompt);
            DecodeString(in, auth.promptLanguage);
            auth.state = UserAuthState::PasswordChangeRequested;
        } else {
            unimplemented = true;
            return;
        }
    }
    auth.OnStateChanged(*this);
}

void Manager::EnterConnectionLayer()
{
    transport_.ExpectTransportState(TransportServiceRunning);
    userAuth_.ExpectState(UserAuthState::Success);
    OnConnectionActivity();
}

void Manager::ProcessGlobalRequest(CryptoPP::BufferedTransformation& in)
{
    EnterConnectionLayer();
    DecodeMessageNumber(in, SSH_MSG_GLOBAL_REQUEST);
    std::string name;
    bool wantReply;
    DecodeString(in, name);
    DecodeBoolean(in, wantReply);
    CryptoPP::ByteQueue response;
    const bool success = name == KeepAliveRequestName() ? true : OnGlobalRequest(name, wantReply, in, response);
    // The data of a request we refused or do not know (such as a peer's host-key
    // announcement) is not ours to read: it goes quietly.
    if (!success) in.Skip();
    if (!wantReply) return;
    EncodeByte(Output(), success ? SSH_MSG_REQUEST_SUCCESS : SSH_MSG_REQUEST_FAILURE);
    response.TransferAllTo(Output());
    EndMessage();
}

void Manager::ProcessGlobalRequestReply(CryptoPP::byte number, CryptoPP::BufferedTransformation& in)
{
    EnterConnectionLayer();
    DecodeMessageNumber(in, number);
    const bool success = number == SSH_MSG_REQUEST_SUCCESS;
    if (pendingGlobalRequests_.empty()) {
        OnGlobalRequestReply(*this, success, in);
        return;
    }
    GlobalRequestHandler* handler = pendingGlobalRequests_.front().handler;
    // Off the list before it is called, so that a handler may send the next request.
    pendingGlobalRequests_.pop_front();
    handler->OnReply(*this, success, in);
    handler->Release();
}

// A peer that does not know one of our global requests may answer it with
// SSH_MSG_UNIMPLEMENTED instead of a failure (sshd does for a keep-alive before login ends):
// that request has failed, or it would wait for a reply for ever.
bool Manager::FailUnimplementedGlobalRequest(std::uint32_t sequence)
{
    for (auto it = pendingGlobalRequests_.begin(); it != pendingGlobalRequests_.end(); ++it) {
        if (it->sequence != sequence) continue;
        GlobalRequestHandler* handler = it->handler;
        pendingGlobalRequests_.erase(it);
        CryptoPP::ByteQueue none;
        handler->OnReply(*this, false, none);
        handler->Release();
        return true;
    }
    return false;
}

void Manager::SetTransportState(int n)
{
    const int previous = transport_.TransportStateNumber();
    transport_.SetTransportStateNumber(n);
    if (n != previous) OnTransportStateChanged(n);
}

void Manager::SetKexState(int n)
{
    const int previous = transport_.KexStateNumber();
    transport_.SetKexStateNumber(n);
    if (n != previous) OnKexStateChanged(n);
}

void Manager::SendVersion(const VersionInfo& ours)
{
    transport_.ExpectKexState(KexStart);
    PutText(Output(), ours.Line() + "\r\n");
    EndMessage();
    transport_.SetOurVersion(ours);
    SetKexState(KexVersionSent);
}

void Manager::SendDisconnect(const CauseToDisconnect& cause)
{
    if (transport_.TransportStateNumber() == TransportDisconnected)
        return;
    EncodeByte(Output(), SSH_MSG_DISCONNECT);
    EncodeUint32(Output(), cause.reason());
    EncodeString(Output(), cause.description());
    EncodeString(Output(), cause.language());
    EndMessage();
    SetTransportState(TransportDisconnected);
    SetKexState(KexDisconnected);
    disconnectOrigin_ = WeDisconnected;
    disconnectReason_ = cause.reason();
    disconnectDescription_ = cause.description();
    disconnectLanguage_ = cause.language();
}

void Manager::SendKexInit(KexInit kexInit, bool peerInitiated)
{
    transport_.Rng().GenerateBlock(kexInit.cookie, sizeof kexInit.cookie);
    kexInit.Encode(Output());
    EndMessage();
    transport_.SetOurKexInit(kexInit);
    SetKexState(KexInitSent);
    const int reason = transport_.KexCount() == 0 ? 0 : peerInitiated ? 2 : 1;
    transport_.BeginKeyExchange(reason);
    OnKexInitSent(transport_.KexCount(), reason);
    if (transport_.PeerKexInitReceived()) {
        transport_.Negotiate();
        transport_.ChosenKexHandler()->Start(Output());
    }
}

void Manager::SendIgnore()
{
    EncodeByte(Output(), SSH_MSG_IGNORE);
    EncodeUint32(Output(), 0);
    EndMessage();
}

void Manager::ServiceStarted()
{
    transport_.SetServiceStarted();
    SetTransportState(TransportServiceRunning);
    SetKexState(KexServiceRunning);
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

void Manager::SendGlobalRequest(const std::string& name, CryptoPP::BufferedTransformation& requestData,
                                GlobalRequestHandler* handler)
{
    EncodeByte(Output(), SSH_MSG_GLOBAL_REQUEST);
    EncodeString(Output(), name);
    EncodeBoolean(Output(), handler != nullptr);
    requestData.TransferAllTo(Output());
    EndMessage();
    // The packet has just been encoded: its sequence number is the one before the next.
    if (handler) pendingGlobalRequests_.push_back({handler, transport_.OutgoingSequence() - 1});
}

void Manager::ReplaceGlobalRequestHandler(GlobalRequestHandler* oldHandler, GlobalRequestHandler* newHandler)
{
    if (oldHandler == newHandler) return;
    GlobalRequestHandler* replacement = newHandler ? newHandler : &NullGlobalRequestHandler::Shared();
    for (PendingGlobalRequest& entry : pendingGlobalRequests_) {
        if (entry.handler != oldHandler) continue;
        oldHandler->Release();
        entry.handler = replacement;
    }
}

void Manager::AddChannelOpenHandler(ChannelOpenHandler* handler)
{
    channelOpenHandlers_.erase(std::remove(channelOpenHandlers_.begin(), channelOpenHandlers_.end(), handler),
                               channelOpenHandlers_.end());
    channelOpenHandlers_.push_back(handler);
}

void Manager::RemoveChannelOpenHandler(ChannelOpenHandler* handler)
{
    auto it = std::find(channelOpenHandlers_.begin(), channelOpenHandlers_.end(), handler);
    if (it == channelOpenHandlers_.end()) return;
    channelOpenHandlers_.erase(it);
    handler->Release();
}

void Manager::RegisterComponent(ManagerComponent* component, bool owned)
{
    components_.erase(std::remove_if(components_.begin(), components_.end(),
                                     [component](const std::pair<ManagerComponent*, bool>& e) {
                                         return e.first == component;
                                     }),
                      components_.end());
    components_.emplace_back(component, owned);
}

void Manager::UnregisterComponent(ManagerComponent* component)
{
    auto it = std::find_if(components_.begin(), components_.end(),
                           [component](const std::pair<ManagerComponent*, bool>& e) { return e.first == component; });
    if (it == components_.end()) return;
    for (Channel* channel : channels_) {
        if (!channel || !channel->Component()) continue;
        if (dynamic_cast<ManagerComponent*>(channel->Component()) != component) continue;
        channel->OnComponentUnregistered();
        channel->LoseComponent();
    }
    it = std::find_if(components_.begin(), components_.end(),
                      [component](const std::pair<ManagerComponent*, bool>& e) { return e.first == component; });
    const bool owned = it->second;
    components_.erase(it);
    component->OnUnregistered();
    if (owned) delete component;
}

bool Manager::IsComponentRegistered(ManagerComponent* component) const
{
    for (const auto& entry : components_)
        if (entry.first == component) return true;
    return false;
}

bool Manager::IsComponentRegistered(const CryptoPP::BufferedTransformation* component) const
{
    // Channels are bound to the data objects of components; the component is that object.
    const ManagerComponent* asComponent = dynamic_cast<const ManagerComponent*>(component);
    return asComponent && IsComponentRegistered(const_cast<ManagerComponent*>(asComponent));
}

bool Manager::OutputNearlyDrained()
{
    return !meter_ || meter_->BufferedBytes() < 1024;
}

unsigned int Manager::GetMaxWaitObjectCount() const
{
    unsigned int count = GetConnectionMaxWaitObjectCount();
    if (const CryptoPP::BufferedTransformation* out = AttachedTransformation()) count += out->GetMaxWaitObjectCount();
    for (const auto& entry : components_) count += entry.first->GetMaxWaitObjectCount();
    for (const Channel* channel : channels_)
        if (channel) count += channel->GetMaxWaitObjectCount();
    return count;
}

void Manager::GetWaitObjects(CryptoPP::WaitObjectContainer& container, const CryptoPP::CallStack& callStack)
{
    GetConnectionWaitObjects(container, CryptoPP::CallStack("Manager::GetWaitObjects() - connection", &callStack));
    if (CryptoPP::BufferedTransformation* out = AttachedTransformation())
        out->GetWaitObjects(container, CryptoPP::CallStack("Manager::GetWaitObjects() - attachment", &callStack));
    if (transport_.KexStateNumber() != KexServiceRunning)
        return;
    for (auto it = components_.rbegin(); it != components_.rend(); ++it)
        it->first->GetWaitObjects(container, CryptoPP::CallStack("Manager::GetWaitObjects() - component", &callStack));
    const bool drained = OutputNearlyDrained();
    if (!meter_) {
        sendQuantum_ = 8206;
    } else {
        int channels = 0;
        for (const Channel* channel : channels_) {
            if (channel && ++channels == 2) break;
        }
        const double factor = channels == 1 ? 1.0 : 0.1;
        const double wanted = meter_->CurrentSpeed() * factor;
        // A huge or non-finite speed only means "as much as allowed".
        long long q = wanted >= 16128.0 ? 16128 : wanted > 0 ? static_cast<long long>(wanted) : 0;
        q = (q + 1023) / 1024 * 1024;
        q = std::max<long long>(2048, std::min<long long>(q, 16128));
        sendQuantum_ = static_cast<std::uint32_t>(q) + 14;
    }
    for (std::size_t i = 0; i < channels_.size(); ++i) {
        Channel* channel = channels_[i];
        if (!channel) continue;
        if (channel->DeliveryCapped()) {
            container.SetNoWait(CryptoPP::CallStackWithNumber("Manager::GetWaitObjects() - channel no wait", i, callStack));
            return;
        }
        if (drained && channel->SendPriority(sendQuantum_) > 0) {
            container.SetNoWait(CryptoPP::CallStackWithNumber("Manager::GetWaitObjects() - channel priority", i, callStack));
            return;
        }
        const bool sinkOnly = channel->EofQueued() || channel->CloseQueued() || ChannelRoom(*channel) == 0;
        channel->GetWaitObjects(container, sinkOnly,
                                CryptoPP::CallStackWithNumber("Manager::GetWaitObjects() - channel collect", i, callStack));
    }
}

void Manager::Poll()
{
    PollConnection();
    for (auto it = components_.rbegin(); it != components_.rend(); ++it) it->first->Poll();
    for (std::size_t i = 0; i < channels_.size(); ++i)
        if (channels_[i]) channels_[i]->Poll();
}

std::uint32_t Manager::ChannelRoom(const Channel& channel) const
{
    const std::uint64_t limit = std::min(channel.SendWindow(), sendQuantum_);
    const std::uint64_t queued = channel.QueuedOutgoingBytes();
    return queued < limit ? static_cast<std::uint32_t>(limit - queued) : 0;
}

void Manager::AutoCloseIfDone(Channel& channel)
{
    if (channel.AutoClose() && !channel.CloseSent() && channel.EofSent() &&
        (channel.EofReceived() || channel.IncomingDiscarded()))
        channel.SendClose();
}

void Manager::PumpChannels()
{
    CryptoPP::BufferedTransformation* out = AttachedTransformation();
    if (transport_.KexStateNumber() != KexServiceRunning || userAuth_.state != UserAuthState::Success) {
        if (out) out->Flush(false, -1, false);
        return;
    }
    OnChannelPump();
    for (std::size_t i = 0; i < channels_.size(); ++i) {
        Channel* channel = channels_[i];
        if (!channel) continue;
        if (channel->ChannelState() == Channel::OpenedByPeer) {
            CryptoPP::ByteQueue confirmation;
            try {
                if (channel->CompleteOpen(*this, confirmation)) SendOpenConfirmation(*channel, confirmation);
            } catch (const ChannelOpenFailure& failure) {
                const std::uint32_t remote = channel->RemoteNumber();
                RemoveChannel(static_cast<std::uint32_t>(i));
                SendOpenFailure(remote, failure);
            }
        } else if (channel->ChannelState() == Channel::Open) {
            if (channel->CloseReceived() && !channel->CloseSent()) channel->SendClose();
            channel->ProcessIncoming();
            const bool busy = channel->IsBusy();
            if (!channel->EofReceived() && !channel->CloseReceived() && !channel->IncomingDiscarded() &&
                !channel->CloseSent())
                channel->AdjustWindow();
            if (!channel->EofQueued() && !channel->CloseQueued()) channel->PumpOutgoing(ChannelRoom(*channel));
            AutoCloseIfDone(*channel);
            if (channel->CloseSent() && channel->CloseReceived() && channel->AllIncomingDelivered() && !busy)
                RemoveChannel(static_cast<std::uint32_t>(i));
        }
    }
    if (out) out->Flush(false, -1, false);
    if (!OutputNearlyDrained()) return;
    Channel* chosen = nullptr;
    double best = 0.0;
    for (Channel* channel : channels_) {
        if (!channel) continue;
        const double priority = channel->SendPriority(sendQuantum_);
        if (priority > best) {
            best = priority;
            chosen = channel;
        }
    }
    if (!chosen) return;
    chosen->SendQueuedData(std::min(chosen->SendWindow(), sendQuantum_));
    AutoCloseIfDone(*chosen);
    if (out) out->Flush(false, -1, false);
    OnConnectionActivity();
}

Channel* Manager::AddChannel(Channel* channel)
{
    if (GetMaxWaitObjectCount() + channel->GetMaxWaitObjectCount() > MaxWaitObjects()) throw TooManyWaitObjects();
    auto slot = std::find(channels_.begin(), channels_.end(), nullptr);
    if (slot == channels_.end()) slot = channels_.insert(channels_.end(), nullptr);
    *slot = channel;
    channel->SetLocalNumber(static_cast<std::uint32_t>(slot - channels_.begin()));
    return channel;
}

void Manager::OpenChannel(Channel& channel)
{
    channel.SendOpen(*this, Output());
}

bool Manager::HasChannels() const
{
    return std::any_of(channels_.begin(), channels_.end(), [](const Channel* c) { return c != nullptr; });
}

Channel* Manager::ChannelByNumber(std::uint32_t number) const
{
    return number < channels_.size() ? channels_[number] : nullptr;
}

void Manager::RemoveChannel(std::uint32_t number)
{
    Channel* channel = channels_[number];
    channels_[number] = nullptr;
    delete channel;
}

void Manager::SendOpenConfirmation(Channel& channel, CryptoPP::BufferedTransformation& confirmationData)
{
    channel.SetChannelState(Channel::Open);
    CryptoPP::BufferedTransformation& out = Output();
    EncodeByte(out, SSH_MSG_CHANNEL_OPEN_CONFIRMATION);
    EncodeUint32(out, channel.RemoteNumber());
    EncodeUint32(out, channel.LocalNumber());
    EncodeUint32(out, channel.RecvWindow());
    EncodeUint32(out, channel.RecvMaxPacket());
    confirmationData.TransferAllTo(out);
    EndMessage();
}

void Manager::SendOpenFailure(std::uint32_t remoteNumber, const ChannelOpenFailure& failure)
{
    CryptoPP::BufferedTransformation& out = Output();
    EncodeByte(out, SSH_MSG_CHANNEL_OPEN_FAILURE);
    EncodeUint32(out, remoteNumber);
    EncodeUint32(out, failure.reason());
    EncodeString(out, failure.description());
    EncodeString(out, failure.language());
    EndMessage();
}

void Manager::ProcessChannelOpen(CryptoPP::BufferedTransformation& in)
{
    EnterConnectionLayer();
    DecodeMessageNumber(in, SSH_MSG_CHANNEL_OPEN);
    std::string type;
    std::uint32_t sender, initialWindow, maxPacket;
    DecodeString(in, type);
    DecodeUint32(in, sender);
    DecodeUint32(in, initialWindow);
    DecodeUint32(in, maxPacket);

    Channel* channel = nullptr;
    bool inTable = false;
    try {
        for (auto it = channelOpenHandlers_.rbegin(); it != channelOpenHandlers_.rend() && !channel; ++it)
            channel = (*it)->CreateChannel(type, in);
        if (!channel) channel = CreateChannel(type, in);
        if (!channel)
            throw ChannelOpenFailure(OpenUnknownChannelType, "channel type not supported", "en");
        channel->SetRemoteNumber(sender);
        channel->SetSendWindow(initialWindow);
        channel->SetSendMaxPacket(std::min(maxPacket, channel->SendMaxPacket()));
        channel->SetChannelState(Channel::OpenedByPeer);
        if (GetMaxWaitObjectCount() + channel->GetMaxWaitObjectCount() > MaxWaitObjects()) {
            const char* text = "number of synchronization objects exceeds supported limit";
            channel->OnOpenFailed(*this, OpenResourceShortage, text, "");
            throw ChannelOpenFailure(OpenResourceShortage, text, "en");
        }
        if (!channel->IsMaxPacketValid(channel->SendMaxPacket())) {
            channel->OnOpenFailed(*this, OpenAdministrativelyProhibited, "invalid max packet size", "");
            throw ChannelOpenFailure(OpenAdministrativelyProhibited, "invalid max packet size", "en");
        }
        AddChannel(channel);
        inTable = true;
    } catch (const ChannelOpenFailure& failure) {
        if (!inTable) delete channel;
        SendOpenFailure(sender, failure);
        in.Skip();
        return;
    }

    CryptoPP::ByteQueue confirmation;
    try {
        if (channel->AcceptOpen(*this, in, confirmation)) SendOpenConfirmation(*channel, confirmation);
    } catch (const ChannelOpenFailure& failure) {
        RemoveChannel(channel->LocalNumber());
        SendOpenFailure(sender, failure);
    }
    in.Skip();
}

void Manager::ProcessChannelMessage(CryptoPP::byte number, CryptoPP::BufferedTransformation& in)
{
    EnterConnectionLayer();
    DecodeMessageNumber(in, number);
    std::uint32_t recipient;
    DecodeUint32(in, recipient);
    Channel* channel = ChannelByNumber(recipient);
    if (!channel)
        throw CauseToDisconnect(DisconnectProtocolError, "unrecognized channel number in " + MessageName(number), "en");
    Channel& c = *channel;
    const bool open = c.ChannelState() == Channel::Open;
    const bool takesData = open && !c.EofReceived() && !c.CloseReceived();
    const bool takesRequests = open && !c.CloseReceived();
    auto expect = [](bool accepted, const char* text) {
        if (!accepted)
            throw CauseToDisconnect(DisconnectProtocolError, text, "en");
    };
    switch (number) {
    case SSH_MSG_CHANNEL_OPEN_CONFIRMATION: {
        expect(c.ChannelState() == Channel::OpenSent, "unexpected channel open confirmation message");
        std::uint32_t sender, window, maxPacket;
        DecodeUint32(in, sender);
        DecodeUint32(in, window);
        DecodeUint32(in, maxPacket);
        c.SetRemoteNumber(sender);
        c.SetSendWindow(window);
        c.SetSendMaxPacket(std::min(maxPacket, c.SendMaxPacket()));
        if (!c.IsMaxPacketValid(c.SendMaxPacket()))
            throw ChannelOpenFailure(OpenAdministrativelyProhibited, "invalid max packet size", "en");
        c.SetChannelState(Channel::Open);
        c.OnOpenConfirmed(*this, in, Output());
        break;
    }
    case SSH_MSG_CHANNEL_OPEN_FAILURE: {
        expect(c.ChannelState() == Channel::OpenSent, "unexpected channel open failure message");
        std::uint32_t reason;
        std::string description, language;
        DecodeUint32(in, reason);
        DecodeString(in, description);
        DecodeString(in, language);
        c.SetChannelState(Channel::OpenFailed);
        c.OnOpenFailed(*this, reason, description, language);
        RemoveChannel(recipient);
        break;
    }
    case SSH_MSG_CHANNEL_WINDOW_ADJUST: {
        expect(open, "unexpected channel window adjust message");
        std::uint32_t bytes;
        DecodeUint32(in, bytes);
        c.OnWindowAdjust(bytes);
        break;
    }
    case SSH_MSG_CHANNEL_DATA:
        expect(takesData, "unexpected channel data message");
        c.OnData(in, false, 0);
        break;
    case SSH_MSG_CHANNEL_EXTENDED_DATA: {
        expect(takesData, "unexpected channel extended data message");
        std::uint32_t dataType;
        DecodeUint32(in, dataType);
        c.OnData(in, true, dataType);
        break;
    }
    case SSH_MSG_CHANNEL_EOF:
        expect(takesData, "unexpected channel eof message");
        c.OnEof();
        break;
    case SSH_MSG_CHANNEL_CLOSE:
        expect(takesRequests, "unexpected channel close message");
        c.OnClose();
        break;
    case SSH_MSG_CHANNEL_REQUEST: {
        expect(takesRequests, "unexpected channel request");
        std::string type;
        bool wantReply;
        DecodeString(in, type);
        DecodeBoolean(in, wantReply);
        const bool ok = c.OnRequest(*this, type, wantReply, in, Output());
        if (wantReply && !c.CloseSent()) {
            EncodeByte(Output(), ok ? SSH_MSG_CHANNEL_SUCCESS : SSH_MSG_CHANNEL_FAILURE);
            EncodeUint32(Output(), c.RemoteNumber());
            EndMessage();
        }
        break;
    }
    default:
        expect(takesRequests, "unexpected channel request success/failure message");
        c.OnRequestReplyData(*this, number == SSH_MSG_CHANNEL_SUCCESS, in);
        break;
    }
}

}  // namespace SSH
