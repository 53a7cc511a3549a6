// The connection manager's components, wait objects and channel pump: what the connection
// loop waits on, and the sending of channel data within the windows and the send quantum.
#include "ssh/manager.h"

#include "ssh/message_numbers.h"

#include <algorithm>

namespace SSH {

namespace {

// What all channels together may hand to the connection in one pass. Several sends of a quantum
// each cost little more than one, as the pass ends with one socket write; the budget keeps a
// pass short enough for the channels' other work and the loop's timers.
const std::uint64_t PassSendBudget = 256 * 1024;

// Whether a channel can send anything now: data within its window, or an EOF or CLOSE.
bool CanSend(const Channel& channel)
{
    return (channel.QueuedOutgoingBytes() != 0 && channel.SendWindow() != 0) ||
           (channel.EofQueued() && !channel.EofSent()) || (channel.CloseQueued() && !channel.CloseSent());
}

}  // namespace

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
        // A channel that goes on at once still leaves the others to be collected: a wait tells
        // each socket whether it has news, and one left out would be asked again without cause.
        if (channel->DeliveryCapped()) {
            container.SetNoWait(
                CryptoPP::CallStackWithNumber("Manager::GetWaitObjects() - channel no wait", i, callStack));
            continue;
        }
        if (drained && channel->SendPriority(sendQuantum_) > 0) {
            container.SetNoWait(
                CryptoPP::CallStackWithNumber("Manager::GetWaitObjects() - channel priority", i, callStack));
            continue;
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
    // What the channel may send in one pass: its share of the pass's budget, at least a quantum.
    const std::uint64_t share = std::max<std::uint64_t>(sendQuantum_, PassSendBudget / sendingChannels_);
    const std::uint64_t limit = std::min<std::uint64_t>(channel.SendWindow(), share);
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
    if (!SendReadyChannels())
        return;
    if (out)
        out->Flush(false, -1, false);
    OnConnectionActivity();
}

bool Manager::SendReadyChannels()
{
    // Every channel that can send takes turns of one quantum, the one waiting longest first (its
    // priority grows with the time since it last sent), until the pass's budget is spent.
    readyToSend_.clear();
    for (Channel* channel : channels_) {
        if (!channel)
            continue;
        const double priority = channel->SendPriority(sendQuantum_);
        if (priority > 0.0)
            readyToSend_.emplace_back(priority, channel);
    }
    sendingChannels_ = std::max<std::size_t>(1, readyToSend_.size());
    std::stable_sort(
        readyToSend_.begin(), readyToSend_.end(),
        [](const std::pair<double, Channel*>& a, const std::pair<double, Channel*>& b) { return a.first > b.first; });
    std::uint64_t budget = PassSendBudget;
    for (bool turned = true; turned && budget != 0;) {
        turned = false;
        for (const auto& entry : readyToSend_) {
            Channel& channel = *entry.second;
            if (budget == 0)
                break;
            if (!CanSend(channel))
                continue;
            const std::uint64_t before = channel.BytesSent();
            channel.SendQueuedData(static_cast<std::uint32_t>(
                std::min<std::uint64_t>(std::min(channel.SendWindow(), sendQuantum_), budget)));
            AutoCloseIfDone(channel);
            budget -= std::min(budget, channel.BytesSent() - before);
            turned = true;
        }
    }
    return !readyToSend_.empty();
}

}  // namespace SSH
