// The shared memory of one SSH connection's transport layer: role, progress numbers, both
// identification lines and KEXINIT proposals, the negotiation, the key-exchange results and
// the six stream filters that the packet encoder and decoder move every packet through.
#pragma once

#include "ssh/stream_filters.h"
#include "ssh/version_info.h"
#include "ssh/net/wait_tracer.h"

#include <cryptopp/cryptlib.h>
#include <cryptopp/integer.h>
#include <cryptopp/secblock.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class Signer;
class TransportState;

namespace SSH {

// The first name of the client's list that the server's list holds; "" when none.
std::string ChooseAlgorithm(const std::string& clientList, const std::string& serverList);

}  // namespace SSH

// The contents of SSH_MSG_KEXINIT. Directions: 0 client to server, 1 server to client, 2 both.
class KexInit {
public:
    enum Direction { ClientToServer = 0, ServerToClient = 1, BothDirections = 2 };

    CryptoPP::byte cookie[16];
    std::string kexAlgorithms;
    std::string hostKeyAlgorithms;
    std::string ciphers[2];
    std::string macs[2];
    std::string compressions[2];
    std::string languages[2];
    bool firstKexPacketFollows = false;

    void SetKexList(const std::string& list) { kexAlgorithms = list; }
    void SetHostKeyList(const std::string& list) { hostKeyAlgorithms = list; }
    void SetCipherList(const std::string& list, int direction) { SetPair(ciphers, list, direction); }
    void SetMacList(const std::string& list, int direction) { SetPair(macs, list, direction); }
    void SetCompressionList(const std::string& list, int direction) { SetPair(compressions, list, direction); }

    void Encode(CryptoPP::BufferedTransformation& out) const;
    void Decode(CryptoPP::BufferedTransformation& in);

private:
    static void SetPair(std::string (&pair)[2], const std::string& list, int direction);
};

// The application's trace of the transport. The packet encoder and decoder ask whether a
// kind of line is wanted before they build it.
// The log is also the connection loop's wait tracer: a busy loop is reported as a warning.
class TransportLog : public CryptoPP::WaitObjectsTracer {
public:
    void TraceNoWaitLoop(const std::string& description) override { LogWarning("Busy wait loop: " + description); }
    virtual void LogSentMessage(const std::string& line) = 0;
    virtual bool IsSentMessageLogOn() = 0;
    virtual void LogSentData(const std::string& line) = 0;
    virtual bool IsSentDataLogOn() = 0;
    virtual void LogRawReceived(const std::string& line) = 0;
    virtual bool IsRawLogOn() = 0;
    virtual void LogReceivedMessage(const std::string& line) = 0;
    virtual bool IsReceivedMessageLogOn() = 0;
    virtual void LogReceivedData(const std::string& line) = 0;
    virtual bool IsReceivedDataLogOn() = 0;
    // The connection manager's lines; an application that wants them overrides these.
    virtual void LogNotice(const std::string&) {}
    virtual void LogError(const std::string&) {}
    virtual void LogQueue(const std::string&) {}
    virtual bool IsQueueLogOn() { return false; }
    virtual void LogKex(const std::string&) {}
    virtual bool IsKexLogOn() { return false; }
    virtual void LogWarning(const std::string&) {}
};

// A log that traces no messages or data: for an application that wants only the
// connection manager's own lines.
class MessageQuietLog : public TransportLog {
public:
    void LogSentMessage(const std::string&) override {}
    bool IsSentMessageLogOn() override { return false; }
    void LogSentData(const std::string&) override {}
    bool IsSentDataLogOn() override { return false; }
    void LogRawReceived(const std::string&) override {}
    bool IsRawLogOn() override { return false; }
    void LogReceivedMessage(const std::string&) override {}
    bool IsReceivedMessageLogOn() override { return false; }
    void LogReceivedData(const std::string&) override {}
    bool IsReceivedDataLogOn() override { return false; }
};

// A key-exchange method. Roles: 1 client, 2 server.
class KexHandler {
public:
    enum Role { ClientRole = 1, ServerRole = 2 };

    virtual ~KexHandler() = default;
    // Every name this handler can carry out, as a name-list.
    virtual std::string SupportedAlgorithms() const = 0;
    virtual int GetRole() const = 0;
    virtual bool WorksWithoutHostKey() const = 0;
    // Begins an exchange after negotiation; writes the first message to out, if any.
    virtual void Start(CryptoPP::BufferedTransformation& out) = 0;
    // One message numbered 30 to 49; true when the exchange is complete.
    virtual bool ProcessMessage(CryptoPP::BufferedTransformation& message,
                                CryptoPP::BufferedTransformation& out) = 0;
    // The hash of key derivation.
    virtual CryptoPP::HashTransformation& Hash() = 0;

    // InvalidArgument unless every name is one this handler supports.
    void SetKexAlgorithms(const std::string& list);
    const std::string& KexAlgorithms() const { return algorithms_; }
    void SetTransportState(TransportState* state) { state_ = state; }

protected:
    explicit KexHandler(const std::string& algorithms) : algorithms_(algorithms) {}
    TransportState* state_ = nullptr;

private:
    std::string algorithms_;
};

class TransportState {
public:
    TransportState(CryptoPP::RandomNumberGenerator& rng, TransportLog* log, std::uint32_t maxQueuedBytes,
                   std::uint32_t maxQueuedMessages, int compressionLevel);
    ~TransportState();
    TransportState(const TransportState&) = delete;
    TransportState& operator=(const TransportState&) = delete;

    CryptoPP::RandomNumberGenerator& Rng() { return rng_; }
    TransportLog* Log() { return log_; }

    void AddKexHandler(KexHandler& handler);
    void AddSigner(const Signer& signer);
    std::string KexAlgorithms() const;
    std::string HostKeyAlgorithms() const;

    bool IsClient() const { return role_ == KexHandler::ClientRole; }
    bool IsServer() const { return role_ == KexHandler::ServerRole; }
    void ExpectClient() const;
    void ExpectServer() const;
    void ExpectTransportState(int n) const;
    void ExpectKexState(int n) const;

    // After both KEXINITs: picks the handler and (server) the signer, or CauseToDisconnect.
    void Negotiate();
    std::string ChooseKexAlgorithm() const;
    std::string ChooseHostKeyAlgorithm() const;
    // serverToClient false: the client-to-server lists.
    std::string ChooseCipher(bool serverToClient) const;
    std::string ChooseMac(bool serverToClient) const;
    std::string ChooseCompression(bool serverToClient) const;

    // The larger of 8 and the outgoing (incoming) cipher's block size.
    unsigned OutgoingBlockSize() const;
    unsigned IncomingBlockSize() const;
    std::uint32_t PacketSizeFor(std::uint32_t payloadLength) const;
    std::uint32_t IgnorePayloadFor(std::uint32_t size) const;

    const VersionInfo& ClientVersion() const { return IsClient() ? ourVersion_ : peerVersion_; }
    const VersionInfo& ServerVersion() const { return IsClient() ? peerVersion_ : ourVersion_; }
    const VersionInfo& OurVersion() const { return ourVersion_; }
    const VersionInfo& PeerVersion() const { return peerVersion_; }
    void SetOurVersion(const VersionInfo& v) { ourVersion_ = v; }
    void SetPeerVersion(const VersionInfo& v) { peerVersion_ = v; }

    const KexInit& ClientKexInit() const { return IsClient() ? ourKexInit_ : peerKexInit_; }
    const KexInit& ServerKexInit() const { return IsClient() ? peerKexInit_ : ourKexInit_; }
    const KexInit& OurKexInit() const { return ourKexInit_; }
    const KexInit& PeerKexInit() const { return peerKexInit_; }
    void SetOurKexInit(const KexInit& k);
    void SetPeerKexInit(const KexInit& k);
    bool PeerKexInitReceived() const { return peerKexInitReceived_; }
    bool OurKexInitSent() const { return ourKexInitSent_; }

    int TransportStateNumber() const { return transportState_; }
    int KexStateNumber() const { return kexState_; }
    void SetTransportStateNumber(int n) { transportState_ = n; }
    void SetKexStateNumber(int n) { kexState_ = n; }

    void BeginKeyExchange(int reason);
    std::uint32_t KexCount() const { return kexCount_; }
    int KexReason() const { return kexReason_; }
    bool IsReexchangePending() const { return reexchangePending_; }
    void ClearReexchangePending() { reexchangePending_ = false; }

    std::uint32_t IncomingSequence() const { return incomingSequence_; }
    void IncrementIncomingSequence() { ++incomingSequence_; }
    std::uint32_t OutgoingSequence() const { return outgoingSequence_; }
    void IncrementOutgoingSequence() { ++outgoingSequence_; }
    bool IsTransferReady() const;

    void SetHostKey(const std::string& blob, const std::string& algorithm);
    const std::string& HostKeyBlob() const { return hostKeyBlob_; }
    const std::string& HostKeyAlgorithm() const { return hostKeyAlgorithm_; }
    const CryptoPP::Integer& SharedSecret() const { return sharedSecret_; }
    void SetSharedSecret(const CryptoPP::Integer& k) { sharedSecret_ = k; }
    const CryptoPP::SecByteBlock& ExchangeHash() const { return exchangeHash_; }
    const CryptoPP::SecByteBlock& SessionId() const { return sessionId_; }
    void SetExchangeHash(const CryptoPP::SecByteBlock& h);
    void SetServiceStarted() { serviceStarted_ = true; }
    bool ServiceStarted() const { return serviceStarted_; }

    KexHandler* ChosenKexHandler() const { return chosenHandler_; }
    const Signer* ChosenSigner() const { return chosenSigner_; }
    std::uint32_t MaxQueuedBytes() const { return maxQueuedBytes_; }
    std::uint32_t MaxQueuedMessages() const { return maxQueuedMessages_; }

    SSH::Cipher& IncomingCipher() { return *incomingCipher_; }
    SSH::Cipher& OutgoingCipher() { return *outgoingCipher_; }
    SSH::Mac& IncomingMac() { return *incomingMac_; }
    SSH::Mac& OutgoingMac() { return *outgoingMac_; }
    SSH::Compressor& IncomingCompressor() { return *incomingCompressor_; }
    SSH::Compressor& OutgoingCompressor() { return *outgoingCompressor_; }

    // Put the negotiated algorithms with keys from the finished exchange into the filters of
    // our sending direction (after our SSH_MSG_NEWKEYS) or receiving direction (after the
    // peer's).
    void SwitchOutgoingAlgorithms();
    void SwitchIncomingAlgorithms();

private:
    void SwitchAlgorithms(SSH::Cipher& cipher, SSH::Mac& mac, SSH::Compressor& compressor, bool serverToClient,
                          bool outgoing);

    CryptoPP::RandomNumberGenerator& rng_;
    TransportLog* log_;
    int role_ = 0;
    int transportState_ = 0;
    int kexState_ = 0;
    VersionInfo peerVersion_;
    VersionInfo ourVersion_;
    std::uint32_t incomingSequence_ = 0;
    std::uint32_t outgoingSequence_ = 0;
    std::uint32_t kexCount_ = 0;
    int kexReason_ = 0;
    bool reexchangePending_ = false;
    bool peerKexInitReceived_ = false;
    bool ourKexInitSent_ = false;
    KexInit peerKexInit_;
    KexInit ourKexInit_;
    std::uint32_t maxQueuedBytes_;
    std::uint32_t maxQueuedMessages_;
    CryptoPP::Integer sharedSecret_;
    CryptoPP::SecByteBlock exchangeHash_;
    CryptoPP::SecByteBlock sessionId_;
    bool serviceStarted_ = false;
    std::vector<KexHandler*> handlers_;
    KexHandler* chosenHandler_ = nullptr;
    std::vector<const Signer*> signers_;
    std::string signerAlgorithms_;
    const Signer* chosenSigner_ = nullptr;
    std::string hostKeyBlob_;
    std::string hostKeyAlgorithm_;
    std::unique_ptr<SSH::Cipher> incomingCipher_, outgoingCipher_;
    std::unique_ptr<SSH::Mac> incomingMac_, outgoingMac_;
    std::unique_ptr<SSH::Compressor> incomingCompressor_, outgoingCompressor_;
};
