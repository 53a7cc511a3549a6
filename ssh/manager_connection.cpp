// The connection manager's connection layer: global requests, channel opening and the
// messages that address a channel.
#include "ssh/manager.h"

#include "ssh/message_numbers.h"
#include "ssh/protocol_names.h"
#include "ssh/wire.h"

#include <algorithm>

NullGlobalRequestHandler& NullGlobalRequestHandler::Shared()
{
    static NullGlobalRequestHandler shared;
    return shared;
}

namespace SSH {

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
    if (!success)
        in.Skip();
    if (!wantReply)
        return;
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
        if (it->sequence != sequence)
            continue;
        GlobalRequestHandler* handler = it->handler;
        pendingGlobalRequests_.erase(it);
        CryptoPP::ByteQueue none;
        handler->OnReply(*this, false, none);
        handler->Release();
        return true;
    }
    return false;
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
    if (handler)
        pendingGlobalRequests_.push_back({handler, transport_.OutgoingSequence() - 1});
}

void Manager::ReplaceGlobalRequestHandler(GlobalRequestHandler* oldHandler, GlobalRequestHandler* newHandler)
{
    if (oldHandler == newHandler)
        return;
    GlobalRequestHandler* replacement = newHandler ? newHandler : &NullGlobalRequestHandler::Shared();
    for (PendingGlobalRequest& entry : pendingGlobalRequests_) {
        if (entry.handler != oldHandler)
            continue;
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
    if (it == channelOpenHandlers_.end())
        return;
    channelOpenHandlers_.erase(it);
    handler->Release();
}

Channel* Manager::AddChannel(Channel* channel)
{
    if (GetMaxWaitObjectCount() + channel->GetMaxWaitObjectCount() > MaxWaitObjects())
        throw TooManyWaitObjects();
    auto slot = std::find(channels_.begin(), channels_.end(), nullptr);
    if (slot == channels_.end())
        slot = channels_.insert(channels_.end(), nullptr);
    *slot = channel;
    channel->SetLocalNumber(static_cast<std::uint32_t>(slot - channels_.begin()));
    return channel;
}

void Manager::OpenChannel(Channel& channel) { channel.SendOpen(*this, Output()); }

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
        if (!channel)
            channel = CreateChannel(type, in);
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
        if (!inTable)
            delete channel;
        SendOpenFailure(sender, failure);
        in.Skip();
        return;
    }

    CryptoPP::ByteQueue confirmation;
    try {
        if (channel->AcceptOpen(*this, in, confirmation))
            SendOpenConfirmation(*channel, confirmation);
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
