// The engine of one SSH connection in either role. Decoded packets arrive from the packet
// decoder as one message each; every answer goes out through the attachment (the packet
// encoder) as one message. The application derives from it and supplies the hooks.
#pragma once

#include "ssh/channel.h"
#include "ssh/exceptions.h"
#include "ssh/transport_state.h"
#include "ssh/net/wait_objects.h"

#include <cryptopp/algparam.h>
#include <cryptopp/filters.h>
#include <cryptopp/queue.h>
#include <cryptopp/secblock.h>

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace SSH {

class Manager;

// One incoming message, processed at once or held during a key re-exchange. Its source reads
// the payload, message number first.
struct QueuedMessage {
    QueuedMessage(CryptoPP::byte number, std::uint32_t sequence, CryptoPP::BufferedTransformation* source)
        : messageNumber(number), sequenceNumber(sequence), source(source)
    {
    }
    QueuedMessage(const QueuedMessage& other);
    QueuedMessage& operator=(const QueuedMessage& other);

    CryptoPP::byte messageNumber;
    std::uint32_t sequenceNumber;
    CryptoPP::BufferedTransformation* source;
    CryptoPP::SecByteBlock payload;
    CryptoPP::StringStore store;

private:
    void ReadOwnPayload();
};

}  // namespace SSH

// Waits for the reply to one global request we sent; the manager does not own it.
class GlobalRequestHandler {
public:
    virtual ~GlobalRequestHandler() = default;
    virtual void OnReply(SSH::Manager& manager, bool success, CryptoPP::BufferedTransformation& replyData) = 0;
    // The manager has dropped the handler.
    virtual void Release() {}
};

class NullGlobalRequestHandler : public GlobalRequestHandler {
public:
    void OnReply(SSH::Manager&, bool, CryptoPP::BufferedTransformation&) override {}
    static NullGlobalRequestHandler& Shared();
};

// May create a channel for a peer's SSH_MSG_CHANNEL_OPEN.
class ChannelOpenHandler {
public:
    virtual ~ChannelOpenHandler() = default;
    virtual SSH::Channel* CreateChannel(const std::string& channelType, CryptoPP::BufferedTransformation& openData) = 0;
    virtual void Release() {}
};

// An application object registered with the manager, to which channels can be bound.
class ManagerComponent {
public:
    virtual ~ManagerComponent() = default;
    virtual unsigned int GetMaxWaitObjectCount() const { return 0; }
    virtual void GetWaitObjects(CryptoPP::WaitObjectContainer&, const CryptoPP::CallStack&) {}
    virtual void Poll() {}
    virtual void OnUnregistered() {}
};

// What the manager asks about the outgoing connection.
class ConnectionMeter {
public:
    virtual ~ConnectionMeter() = default;
    virtual unsigned BufferedBytes() = 0;
    virtual double CurrentSpeed() = 0;
};

// The application's side of user authentication.
class UserAuthState {
public:
    enum : int {
        PublicKeyOk = 2,
        PasswordChangeRequested = 3,
        Failure = 4,
        PartialSuccess = 5,
        Success = 6,
    };

    virtual ~UserAuthState() = default;
    // Client: an answer changed the state.
    virtual void OnStateChanged(SSH::Manager&) {}
    // Server: a request for a method that can continue; sets the state.
    virtual void HandleRequest(SSH::Manager& manager, const std::string& method,
                               CryptoPP::BufferedTransformation& requestData) = 0;
    virtual void OnUserChanged(const std::string&) {}
    // Server: a request for a method that cannot continue; sets the state.
    virtual void RejectMethod(const std::string&) { state = Failure; }
    virtual void OnRequestAfterSuccess(CryptoPP::BufferedTransformation&) {}

    void ExpectState(int n) const;

    int state = 0;
    bool userKnown = false;
    std::string user;
    std::string methodsThatCanContinue;
    std::string currentMethod;
    std::string prompt;
    std::string promptLanguage;
    std::string publicKeyAlgorithm;
    std::string publicKeyBlob;
};

namespace SSH {

class Manager : public CryptoPP::Multichannel<CryptoPP::Filter>, public ChannelHost {
public:
    class TooManyWaitObjects : public Err {
    public:
        TooManyWaitObjects() : Err("too many wait objects") {}
    };

    enum DisconnectOrigin { NoDisconnect = 0, WeDisconnected = 1, PeerDisconnected = 2 };

    Manager(TransportState& transport, UserAuthState& userAuth, CryptoPP::BufferedTransformation* attachment = nullptr);
    ~Manager() override;
    Manager(const Manager&) = delete;
    Manager& operator=(const Manager&) = delete;

    // The intake: one message per message end, possibly in several puts.
    std::size_t Put2(const CryptoPP::byte* data, std::size_t length, int messageEnd, bool blocking) override;
    void IsolatedInitialize(const CryptoPP::NameValuePairs&) override {}
    std::size_t ChannelPut2(const std::string& channel, const CryptoPP::byte* data, std::size_t length, int messageEnd,
                            bool blocking) override;
    bool ChannelFlush(const std::string& channel, bool hardFlush, int propagation, bool blocking) override;
    bool ChannelMessageSeriesEnd(const std::string& channel, int propagation, bool blocking) override;

    void ProcessMessage(QueuedMessage& message);

    TransportState& Transport() { return transport_; }
    UserAuthState& UserAuth() { return userAuth_; }
    CryptoPP::BufferedTransformation& Output() { return *AttachedTransformation(); }

    void SetTransportState(int n);
    void SetKexState(int n);
    void SendVersion(const VersionInfo& ours);
    void SendDisconnect(const CauseToDisconnect& cause);
    void SendKexInit(KexInit kexInit, bool peerInitiated);
    void SendIgnore();
    void ServiceStarted();

    int DisconnectOriginOf() const { return disconnectOrigin_; }
    std::uint32_t DisconnectReason() const { return disconnectReason_; }
    const std::string& DisconnectDescription() const { return disconnectDescription_; }
    const std::string& DisconnectLanguage() const { return disconnectLanguage_; }
    std::uint32_t HeldMessages() const { return static_cast<std::uint32_t>(held_.size()); }
    std::uint32_t HeldBytes() const { return heldBytes_; }

    // User authentication, client: each request records its method in UserAuth() so that the
    // answer (PK_OK or a password-change prompt share number 60) is read as that method's.
    void SendServiceRequest();
    void RequestNoneAuth(const std::string& user);
    void RequestPasswordAuth(const std::string& user, const CryptoPP::ConstByteArrayParameter& password,
                             bool primeCompression);
    void RequestPasswordChange(const std::string& user, const CryptoPP::ConstByteArrayParameter& oldPassword,
                               const CryptoPP::ConstByteArrayParameter& newPassword, bool primeCompression);
    void QueryPublicKeyAuth(const std::string& user, const std::string& algorithm, const std::string& publicKeyBlob);
    void SendPublicKeyAuth(const std::string& user, const std::string& algorithm, const std::string& publicKeyBlob,
                           const std::string& signatureBlob);
    // Reads a PEM private key; with a random source sends the signed request, without one the
    // query. Nothing is sent, and the method is kept, when the key cannot be read.
    void RequestPublicKeyAuth(const std::string& user, CryptoPP::BufferedTransformation& pemFile,
                              const void* passphrase, std::size_t passphraseLength,
                              CryptoPP::RandomNumberGenerator* rng);
    void SendLengthPadding(std::uint32_t sent, std::uint32_t target);
    void SendCompressionPrimer();

    // User authentication, server.
    void SendUserauthBanner(const std::string& message, const std::string& language);
    static bool CheckPublicKeyAlgorithm(const std::string& algorithm, const std::string& publicKeyBlob);
    // Checks a "publickey" signature over this connection's session identifier.
    bool VerifyPublicKeyAuth(const std::string& user, const std::string& algorithm, const std::string& publicKeyBlob,
                             const std::string& signatureBlob) const;

    // Global requests.
    void SendGlobalRequest(const std::string& name, CryptoPP::BufferedTransformation& requestData,
                           GlobalRequestHandler* handler);
    void ReplaceGlobalRequestHandler(GlobalRequestHandler* oldHandler, GlobalRequestHandler* newHandler);
    std::size_t PendingGlobalRequests() const { return pendingGlobalRequests_.size(); }

    // Registries.
    void AddChannelOpenHandler(ChannelOpenHandler* handler);
    void RemoveChannelOpenHandler(ChannelOpenHandler* handler);
    const std::vector<ChannelOpenHandler*>& ChannelOpenHandlers() const { return channelOpenHandlers_; }
    void RegisterComponent(ManagerComponent* component, bool owned);
    void UnregisterComponent(ManagerComponent* component);
    bool IsComponentRegistered(ManagerComponent* component) const;

    // Channels: the manager owns every channel in its table; a channel's number is its index.
    Channel* AddChannel(Channel* channel);
    void OpenChannel(Channel& channel);
    bool HasChannels() const;
    Channel* ChannelByNumber(std::uint32_t number) const;

    // ChannelHost
    CryptoPP::BufferedTransformation& ChannelOutput() override { return Output(); }
    bool WindowOverrunsAllowed() const override { return overrunAllowed_; }
    std::uint32_t NegativeWindowTolerance() const override { return negativeWindowTolerance_; }
    bool IsComponentRegistered(const CryptoPP::BufferedTransformation* component) const override;

    // Connection and waiting.
    void SetConnectionMeter(ConnectionMeter* meter) { meter_ = meter; }
    bool OutputNearlyDrained();
    unsigned int GetMaxWaitObjectCount() const override;
    void GetWaitObjects(CryptoPP::WaitObjectContainer& container, const CryptoPP::CallStack& callStack) override;
    void Poll();
    void PumpChannels();
    std::uint32_t SendQuantum() const { return sendQuantum_; }

    // Hooks.
    virtual unsigned MaxWaitObjects() = 0;
    virtual unsigned GetConnectionMaxWaitObjectCount() const = 0;
    virtual void GetConnectionWaitObjects(CryptoPP::WaitObjectContainer&, const CryptoPP::CallStack&) {}
    virtual void PollConnection() {}
    virtual Channel* CreateChannel(const std::string& channelType, CryptoPP::BufferedTransformation& openData) = 0;
    virtual void OnChannelPump() {}
    virtual bool OnGlobalRequest(const std::string&, bool, CryptoPP::BufferedTransformation&, CryptoPP::ByteQueue&)
    {
        return false;
    }
    virtual void OnGlobalRequestReply(Manager&, bool success, CryptoPP::BufferedTransformation& replyData)
    {
        OnGlobalRequestReplyData(success, replyData);
    }
    virtual void OnGlobalRequestResult(bool) {}
    virtual void OnGlobalRequestReplyData(bool success, CryptoPP::BufferedTransformation&)
    {
        OnGlobalRequestResult(success);
    }
    virtual void OnTransportStateChanged(int) {}
    virtual void OnKexStateChanged(int) {}
    virtual void OnKexInitSent(std::uint32_t, int) {}
    virtual void OnKeyExchangeComplete(std::uint32_t, int) {}
    virtual void OnNewKeysSent() {}
    virtual void OnIgnore(std::size_t) {}
    virtual void OnUnimplemented(std::uint32_t) {}
    virtual void OnDebug(bool, const std::string&, const std::string&) {}
    virtual void OnBanner(const std::string&, const std::string&) {}
    virtual void OnConnectionActivity() {}

protected:
    // Writes the message end of one outgoing message.
    void EndMessage();
    void Log(void (TransportLog::*line)(const std::string&), const std::string& text);

    bool overrunAllowed_ = false;
    std::uint32_t negativeWindowTolerance_ = 0;

private:
    void ProcessKexMethodMessage(CryptoPP::BufferedTransformation& in);
    void ProcessIdentificationLine(CryptoPP::BufferedTransformation& in);
    void ProcessKexInit(CryptoPP::BufferedTransformation& in);
    void ProcessNewKeys(CryptoPP::BufferedTransformation& in);
    void ProcessServiceRequest(CryptoPP::BufferedTransformation& in);
    void ProcessUserAuthRequest(CryptoPP::BufferedTransformation& in);
    void ProcessUserAuthAnswer(CryptoPP::byte number, CryptoPP::BufferedTransformation& in, bool& unimplemented);
    void ProcessGlobalRequest(CryptoPP::BufferedTransformation& in);
    void ProcessGlobalRequestReply(CryptoPP::byte number, CryptoPP::BufferedTransformation& in);
    void ProcessChannelOpen(CryptoPP::BufferedTransformation& in);
    void ProcessChannelMessage(CryptoPP::byte number, CryptoPP::BufferedTransformation& in);
    void SendOpenConfirmation(Channel& channel, CryptoPP::BufferedTransformation& confirmationData);
    void SendOpenFailure(std::uint32_t remoteNumber, const ChannelOpenFailure& failure);
    void RemoveChannel(std::uint32_t number);
    Channel& AddressedChannel(const std::string& channel) const;
    std::uint32_t ChannelRoom(const Channel& channel) const;
    void AutoCloseIfDone(Channel& channel);
    // Lets the channels send within the pass's budget; false when none had anything to send.
    bool SendReadyChannels();
    void EnterConnectionLayer();
    bool FailUnimplementedGlobalRequest(std::uint32_t sequence);
    std::uint64_t GrantedReceiveWindows() const;
    bool QueueLogOn();
    void ReleaseHeldMessages();

    TransportState& transport_;
    UserAuthState& userAuth_;
    bool messageStarted_ = false;
    CryptoPP::byte messageNumber_ = 0;
    std::uint32_t messageBytes_ = 0;
    CryptoPP::ByteQueue currentMessage_;
    std::deque<QueuedMessage> held_;
    std::uint32_t heldBytes_ = 0;
    std::uint32_t heldChannelDataBytes_ = 0;  // the part of heldBytes_ that is channel data
    bool ignoreNextKexPacket_ = false;
    std::uint32_t linesBeforeIdentification_ = 0;
    // Our global requests awaiting a reply, in order, each with the sequence number of its
    // packet, by which an SSH_MSG_UNIMPLEMENTED can answer it.
    struct PendingGlobalRequest {
        GlobalRequestHandler* handler;
        std::uint32_t sequence;
    };
    std::deque<PendingGlobalRequest> pendingGlobalRequests_;
    std::vector<ChannelOpenHandler*> channelOpenHandlers_;
    std::vector<std::pair<ManagerComponent*, bool>> components_;
    std::vector<Channel*> channels_;
    int disconnectOrigin_ = NoDisconnect;
    std::uint32_t disconnectReason_ = 0;
    std::string disconnectDescription_;
    std::string disconnectLanguage_;
    ConnectionMeter* meter_ = nullptr;
    std::uint32_t sendQuantum_ = 8206;
    // Channels that had something to send in the last pass (at least 1): they share the budget
    // of a pass, and each may take that share from its source.
    std::size_t sendingChannels_ = 1;
    std::vector<std::pair<double, Channel*>> readyToSend_;  // kept to spare an allocation per pass
};

}  // namespace SSH
