// The connection manager's components, wait objects and channel pump: what the connection
// loop waits on, and the sending of channel data within the windows and the send quantum.
#include "ssh/manager.h"

#include "ssh/message_numbers.h"

#include <algorithm>

namespace SSH {

void Manager::RegisterComponent(ManagerComponent* component, bool owned)
{
    components_.erase(
        std::remove_if(components_.begin(), components_.end(),
                       [component](const std::pair<ManagerComponent*, bool>& e) { return e.first == component; }),
        components_.end());
    components_.emplace_back(component, owned);
}

void Manager::UnregisterComponent(ManagerComponent* component)
{
    auto it = std::find_if(components_.begin(), components_.end(),
                           [component](const std::pair<ManagerComponent*, bool>& e) { return e.first == component; });
    if (it == components_.end())
        return;
    for (Channel* channel : channels_) {
        if (!channel || !channel->Component())
            continue;
        if (dynamic_cast<ManagerComponent*>(channel->Component()) != component)
            continue;
        channel->OnComponentUnregistered();
        channel->LoseComponent();
    }
    it = std::find_if(components_.begin(), components_.end(),
                      [component](const std::pair<ManagerComponent*, bool>& e) { return e.first == component; });
    const bool owned = it->second;
    components_.erase(it);
    component->OnUnregistered();
    if (owned)
        delete component;
}

bool Manager::IsComponentRegistered(ManagerComponent* component) const
{
    for (const auto& entry : components_)
        if (entry.first == component)
            return true;
    return false;
}

bool Manager::IsComponentRegistered(const CryptoPP::BufferedTransformation* component) const
{
    // Channels are bound to the data objects of components; the component is that object.
    const ManagerComponent* asComponent = dynamic_cast<const ManagerComponent*>(component);
    return asComponent && IsComponentRegistered(const_cast<ManagerComponent*>(asComponent));
}

bool Manager::OutputNearlyDrained() { return !meter_ || meter_->BufferedBytes() < 1024; }

unsigned int Manager::GetMaxWaitObjectCount() const
{
    unsigned int count = GetConnectionMaxWaitObjectCount();
    if (const CryptoPP::BufferedTransformation* out = AttachedTransformation())
        count += out->GetMaxWaitObjectCount();
    for (const auto& entry : components_)
        count += entry.first->GetMaxWaitObjectCount();
    for (const Channel* channel : channels_)
        if (channel)
            count += channel->GetMaxWaitObjectCount();
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
            if (channel && ++channels == 2)
                break;
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
        if (!channel)
            continue;
        if (channel->DeliveryCapped()) {
            container.SetNoWait(
                CryptoPP::CallStackWithNumber("Manager::GetWaitObjects() - channel no wait", i, callStack));
            return;
        }
        if (drained && channel->SendPriority(sendQuantum_) > 0) {
            container.SetNoWait(
                CryptoPP::CallStackWithNumber("Manager::GetWaitObjects() - channel priority", i, callStack));
            return;
        }
        const bool sinkOnly = channel->EofQueued() || channel->CloseQueued() || ChannelRoom(*channel) == 0;
        channel->GetWaitObjects(
            container, sinkOnly,
            CryptoPP::CallStackWithNumber("Manager::GetWaitObjects() - channel collect", i, callStack));
    }
}

void Manager::Poll()
{
    PollConnection();
    for (auto it = components_.rbegin(); it != components_.rend(); ++it)
        it->first->Poll();
    for (std::size_t i = 0; i < channels_.size(); ++i)
        if (channels_[i])
            channels_[i]->Poll();
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
        if (out)
            out->Flush(false, -1, false);
        return;
    }
    OnChannelPump();
    for (std::size_t i = 0; i < channels_.size(); ++i) {
        Channel* channel = channels_[i];
        if (!channel)
            continue;
        if (channel->ChannelState() == Channel::OpenedByPeer) {
            CryptoPP::ByteQueue confirmation;
            try {
                if (channel->CompleteOpen(*this, confirmation))
                    SendOpenConfirmation(*channel, confirmation);
            } catch (const ChannelOpenFailure& failure) {
                const std::uint32_t remote = channel->RemoteNumber();
                RemoveChannel(static_cast<std::uint32_t>(i));
                SendOpenFailure(remote, failure);
            }
        } else if (channel->ChannelState() == Channel::Open) {
            if (channel->CloseReceived() && !channel->CloseSent())
                channel->SendClose();
            channel->ProcessIncoming();
            const bool busy = channel->IsBusy();
            if (!channel->EofReceived() && !channel->CloseReceived() && !channel->IncomingDiscarded() &&
                !channel->CloseSent())
                channel->AdjustWindow();
            if (!channel->EofQueued() && !channel->CloseQueued())
                channel->PumpOutgoing(ChannelRoom(*channel));
            AutoCloseIfDone(*channel);
            if (channel->CloseSent() && channel->CloseReceived() && channel->AllIncomingDelivered() && !busy)
                RemoveChannel(static_cast<std::uint32_t>(i));
        }
    }
    if (out)
        out->Flush(false, -1, false);
    if (!OutputNearlyDrained())
        return;
    Channel* chosen = nullptr;
    double best = 0.0;
    for (Channel* channel : channels_) {
        if (!channel)
            continue;
        const double priority = channel->SendPriority(sendQuantum_);
        if (priority > best) {
            best = priority;
            chosen = channel;
        }
    }
    if (!chosen)
        return;
    chosen->SendQueuedData(std::min(chosen->SendWindow(), sendQuantum_));
    AutoCloseIfDone(*chosen);
    if (out)
        out->Flush(false, -1, false);
    OnConnectionActivity();
}

}  // namespace SSH
