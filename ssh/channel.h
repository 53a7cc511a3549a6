// One channel of the SSH connection protocol (RFC 4254): the flow-controlled pipe between the
// connection manager and a local data target. The channel keeps both windows, queues data in
// both directions as runs (chunks) of ordinary or extended data, grows its receive window,
// delivers incoming data to its target in bounded slices, turns EOF and CLOSE into signals on
// the target and tells the manager how urgently it wants to send.
//
// A subclass names the data target and produces outgoing data. The manager owns every channel,
// gives it its number and drives it; everything runs on the manager's thread.
#pragma once

#include <cryptopp/cryptlib.h>
#include <cryptopp/hrtimer.h>
#include <cryptopp/queue.h>
#include <cryptopp/filters.h>
#include <cryptopp/simple.h>

#include <cstdint>
#include <deque>
#include <exception>
#include <string>

namespace SSH {

// What a channel needs of the connection manager that owns it.
class ChannelHost {
public:
    // Where every outgoing message goes (the packet encoder).
    virtual CryptoPP::BufferedTransformation& ChannelOutput() = 0;
    // Whether a peer may send beyond a channel's receive window, and by how much in all.
    virtual bool WindowOverrunsAllowed() const = 0;
    virtual std::uint32_t NegativeWindowTolerance() const = 0;
    virtual bool IsComponentRegistered(const CryptoPP::BufferedTransformation* component) const = 0;

protected:
    ~ChannelHost() = default;
};

struct ChannelChunk {
    bool extended;
    std::uint32_t dataType;  // 0 for ordinary data
    std::uint32_t length;    // bytes of this run still in the queue
};

class Channel : public CryptoPP::Multichannel<CryptoPP::Sink> {
public:
    enum State { New = 0, OpenedByPeer = 1, OpenSent = 2, OpenFailed = 3, Open = 4 };

    static constexpr std::uint32_t MaxAnnouncedPacket = 130048;
    // What one delivery call hands to the data target at most. As large as a pass's send budget:
    // a slice far below what one pass reads from the socket left a busy channel delivering one
    // slice per pass, each pass costing its own waits and socket calls.
    static constexpr std::uint32_t DeliverySlice = 262144;

    Channel(ChannelHost& host, const std::string& type, bool autoClose, std::uint32_t initialWindow,
            std::uint32_t maxPacket, std::uint32_t sendMaxPacket, double priorityWeight);
    ~Channel() override;

    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    void SetComponent(CryptoPP::BufferedTransformation* component);

    // Writes SSH_MSG_CHANNEL_OPEN; state OpenSent.
    void SendOpen(ChannelHost& host, CryptoPP::BufferedTransformation& output);

    // The rest of CHANNEL_DATA or CHANNEL_EXTENDED_DATA, positioned at the data string.
    void OnData(CryptoPP::BufferedTransformation& message, bool extended, std::uint32_t dataType);
    void OnEof();
    void OnClose();
    // SSH_MSG_CHANNEL_WINDOW_ADJUST: grows the send window; a window beyond 2^32 - 1 is a
    // protocol error (RFC 4254, section 5.2).
    void OnWindowAdjust(std::uint32_t bytesToAdd);

    void ProcessIncoming();
    void AdjustWindow();
    void SendQueuedData(std::uint32_t budget);
    void SendClose();
    double SendPriority(std::uint32_t limit) const;

    std::uint64_t QueuedOutgoingBytes() const { return m_outgoing.CurrentSize(); }
    std::uint64_t BufferedIncomingBytes() const { return m_incoming.CurrentSize(); }
    void DiscardIncoming() { m_discardIncoming = true; }

    // Multichannel
    std::size_t ChannelPut2(const std::string& channel, const CryptoPP::byte* data, std::size_t length,
                            int messageEnd, bool blocking) override;
    bool ChannelFlush(const std::string& channel, bool hardFlush, int propagation, bool blocking) override;
    bool ChannelMessageSeriesEnd(const std::string& channel, int propagation, bool blocking) override;
    // A channel has no attachment: nothing to flush on.
    bool IsolatedFlush(bool, bool) override { return false; }

    // Hooks for the manager and the subclasses.
    virtual void OnComponentUnregistered() {}
    virtual bool IsMaxPacketValid(std::uint32_t size) { return size != 0; }
    virtual void WriteOpenData(ChannelHost& host, CryptoPP::BufferedTransformation& output);
    virtual bool AcceptOpen(ChannelHost& host, CryptoPP::BufferedTransformation& openData,
                            CryptoPP::BufferedTransformation& confirmationData);
    virtual bool CompleteOpen(ChannelHost& host, CryptoPP::BufferedTransformation& confirmationData);
    virtual void OnOpenConfirmed(ChannelHost&, CryptoPP::BufferedTransformation&, CryptoPP::BufferedTransformation&) {}
    virtual void OnOpenFailed(ChannelHost&, std::uint32_t, const std::string&, const std::string&) {}
    virtual bool OnRequest(ChannelHost&, const std::string&, bool, CryptoPP::BufferedTransformation&,
                           CryptoPP::BufferedTransformation&) { return false; }
    virtual void OnRequestReply(ChannelHost&, bool) {}
    virtual void OnRequestReplyData(ChannelHost& host, bool success, CryptoPP::BufferedTransformation&)
    {
        OnRequestReply(host, success);
    }
    virtual CryptoPP::BufferedTransformation& GetDataTarget() = 0;
    virtual void OnTargetException(const std::exception* e) = 0;
    virtual bool IsBusy() = 0;
    virtual void PumpOutgoing(std::uint32_t room) = 0;
    void GetWaitObjects(CryptoPP::WaitObjectContainer& container, CryptoPP::CallStack const& callStack) override
    {
        GetWaitObjects(container, false, callStack);
    }
    virtual void GetWaitObjects(CryptoPP::WaitObjectContainer& container, bool sinkOnly,
                                CryptoPP::CallStack const& callStack) = 0;
    unsigned int GetMaxWaitObjectCount() const override = 0;
    virtual void Poll() {}

    // What the manager reads and sets.
    int ChannelState() const { return m_state; }
    void SetChannelState(int state) { m_state = state; }
    const std::string& Type() const { return m_type; }
    std::uint32_t LocalNumber() const { return m_localNumber; }
    void SetLocalNumber(std::uint32_t n) { m_localNumber = n; }
    std::uint32_t RemoteNumber() const { return m_remoteNumber; }
    void SetRemoteNumber(std::uint32_t n) { m_remoteNumber = n; }
    std::uint32_t SendWindow() const { return m_sendWindow; }
    void SetSendWindow(std::uint32_t w) { m_sendWindow = w; }
    std::uint32_t SendMaxPacket() const { return m_sendMaxPacket; }
    void SetSendMaxPacket(std::uint32_t m) { m_sendMaxPacket = m; }
    std::uint32_t RecvWindow() const { return m_recvWindow; }
    std::uint32_t RecvWindowTarget() const { return m_recvWindowTarget; }
    std::uint32_t RecvOverrun() const { return m_recvOverrun; }
    std::uint32_t RecvMaxPacket() const { return m_recvMaxPacket; }
    std::uint64_t BytesSent() const { return m_bytesSent; }
    std::uint64_t BytesDelivered() const { return m_bytesDelivered; }
    bool AutoClose() const { return m_autoClose; }
    bool IncomingDiscarded() const { return m_discardIncoming; }
    bool EofSent() const { return m_eofSent; }
    bool EofReceived() const { return m_eofReceived; }
    bool CloseSent() const { return m_closeSent; }
    bool CloseReceived() const { return m_closeReceived; }
    bool EofQueued() const { return m_eofQueued; }
    bool CloseQueued() const { return m_closeQueued; }
    bool EofDelivered() const { return m_eofDelivered; }
    bool CloseDelivered() const { return m_closeDelivered; }
    bool DeliveryCapped() const { return m_deliveryCapped; }
    bool AllIncomingDelivered() const { return m_incomingChunks.empty(); }
    const std::deque<ChannelChunk>& IncomingChunks() const { return m_incomingChunks; }
    const std::deque<ChannelChunk>& OutgoingChunks() const { return m_outgoingChunks; }
    CryptoPP::BufferedTransformation* Component() const { return m_component; }
    void LoseComponent() { m_component = nullptr; m_componentLost = true; }
    bool ComponentLost() const { return m_componentLost; }

protected:
    ChannelHost& Host() { return m_manager; }
    // 0: EOF and CLOSE are not passed on to the data target.
    void SetDeliveryPropagation(int propagation) { m_deliveryPropagation = propagation; }

private:
    // Runs an operation on the data target; what it throws goes to OnTargetException, and the
    // answer is then false.
    template <class Operation> bool DeliverToTarget(Operation operation);

    ChannelHost& m_manager;
    CryptoPP::BufferedTransformation* m_component;
    bool m_componentLost;
    int m_state;
    std::string m_type;
    std::uint64_t m_bytesSent;
    std::uint64_t m_bytesDelivered;
    bool m_discardIncoming;
    bool m_eofSent;
    bool m_eofReceived;
    bool m_closeSent;
    bool m_closeReceived;
    std::uint32_t m_localNumber;
    std::uint32_t m_remoteNumber;
    std::uint32_t m_recvWindowTarget;
    std::uint32_t m_recvOverrun;
    std::uint32_t m_recvWindow;
    std::uint32_t m_sendWindow;
    std::uint32_t m_recvMaxPacket;
    std::uint32_t m_sendMaxPacket;
    bool m_autoClose;
    std::deque<ChannelChunk> m_incomingChunks;
    CryptoPP::ByteQueue m_incoming;
    bool m_eofDelivered;
    bool m_closeDelivered;
    int m_deliveryPropagation;
    bool m_deliveryCapped;
    std::deque<ChannelChunk> m_outgoingChunks;
    CryptoPP::ByteQueue m_outgoing;
    bool m_eofQueued;
    bool m_closeQueued;
    double m_priorityWeight;
    mutable CryptoPP::Timer m_sendTimer;
};

}  // namespace SSH
