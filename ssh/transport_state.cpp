#include "ssh/transport_state.h"

#include "ssh/exceptions.h"
#include "ssh/message_numbers.h"
#include "ssh/signer.h"
#include "ssh/wire.h"

#include <cryptopp/queue.h>

using CryptoPP::BufferedTransformation;
using CryptoPP::InvalidArgument;

namespace {

[[noreturn]] void KexFailed(const std::string& text)
{
    throw SSH::CauseToDisconnect(SSH::DisconnectKeyExchangeFailed, text, "en");
}

[[noreturn]] void ProtocolError(const std::string& text)
{
    throw SSH::CauseToDisconnect(SSH::DisconnectProtocolError, text, "en");
}

}  // namespace

namespace SSH {

std::string ChooseAlgorithm(const std::string& clientList, const std::string& serverList)
{
    std::size_t start = 0;
    while (start < clientList.size()) {
        std::size_t comma = clientList.find(',', start);
        if (comma == std::string::npos) comma = clientList.size();
        const std::string name = clientList.substr(start, comma - start);
        if (!name.empty() && NameListContains(serverList, name)) return name;
        start = comma + 1;
    }
    return std::string();
}

}  // namespace SSH

void KexInit::SetPair(std::string (&pair)[2], const std::string& list, int direction)
{
    if (direction != ServerToClient) pair[0] = list;
    if (direction != ClientToServer) pair[1] = list;
}

void KexInit::Encode(BufferedTransformation& out) const
{
    SSH::EncodeByte(out, SSH::SSH_MSG_KEXINIT);
    SSH::EncodeRaw(out, cookie, sizeof cookie);
    SSH::EncodeString(out, kexAlgorithms);
    SSH::EncodeString(out, hostKeyAlgorithms);
    for (const std::string* pair : {ciphers, macs, compressions, languages}) {
        SSH::EncodeString(out, pair[0]);
        SSH::EncodeString(out, pair[1]);
    }
    SSH::EncodeBoolean(out, firstKexPacketFollows);
    SSH::EncodeUint32(out, 0);
}

void KexInit::Decode(BufferedTransformation& in)
{
    SSH::DecodeMessageNumber(in, SSH::SSH_MSG_KEXINIT);
    SSH::DecodeRaw(in, cookie, sizeof cookie);
    SSH::DecodeString(in, kexAlgorithms);
    SSH::DecodeString(in, hostKeyAlgorithms);
    for (std::string* pair : {ciphers, macs, compressions, languages}) {
        SSH::DecodeString(in, pair[0]);
        SSH::DecodeString(in, pair[1]);
    }
    SSH::DecodeBoolean(in, firstKexPacketFollows);
    std::uint32_t reserved;
    SSH::DecodeUint32(in, reserved);
}

void KexHandler::SetKexAlgorithms(const std::string& list)
{
    if (!SSH::NameListAllIn(list, SupportedAlgorithms()))
        throw InvalidArgument("KexHandler::SetKexAlgorithms(): The supplied algorithm list includes algorithms "
                              "unrecognized or unsupported by this key exchange handler.");
    algorithms_ = list;
}

TransportState::TransportState(CryptoPP::RandomNumberGenerator& rng, TransportLog* log, std::uint32_t maxQueuedBytes,
                               std::uint32_t maxQueuedMessages, int compressionLevel)
    : rng_(rng),
      log_(log),
      maxQueuedBytes_(maxQueuedBytes),
      maxQueuedMessages_(maxQueuedMessages),
      incomingCipher_(new SSH::Cipher(nullptr)),
      outgoingCipher_(new SSH::Cipher(new CryptoPP::ByteQueue)),
      incomingMac_(new SSH::Mac(nullptr)),
      outgoingMac_(new SSH::Mac(nullptr)),
      incomingCompressor_(new SSH::Compressor(nullptr, -1)),
      outgoingCompressor_(new SSH::Compressor(new CryptoPP::ByteQueue, compressionLevel))
{
}

TransportState::~TransportState() = default;

void TransportState::AddKexHandler(KexHandler& handler)
{
    if (handlers_.empty()) role_ = handler.GetRole();
    handlers_.push_back(&handler);
}

void TransportState::AddSigner(const Signer& signer)
{
    const std::string name = signer.AlgorithmName();
    if (SSH::NameListContains(signerAlgorithms_, name))
        throw InvalidArgument("TransportState: a signer for algorithm '" + name + "' has already been added");
    signers_.push_back(&signer);
    if (!signerAlgorithms_.empty()) signerAlgorithms_ += ',';
    signerAlgorithms_ += name;
}

std::string TransportState::KexAlgorithms() const
{
    std::string list;
    for (const KexHandler* handler : handlers_) SSH::NameListAppendMissing(list, handler->KexAlgorithms());
    return list;
}

std::string TransportState::HostKeyAlgorithms() const
{
    if (IsServer()) return signers_.empty() ? "null" : signerAlgorithms_;
    std::string list = "ssh-rsa,ssh-dss";
    for (const KexHandler* handler : handlers_) {
        if (handler->WorksWithoutHostKey()) return list + ",null";
    }
    return list;
}

void TransportState::ExpectClient() const
{
    if (!IsClient()) ProtocolError("received packet meant for client");
}

void TransportState::ExpectServer() const
{
    if (!IsServer()) ProtocolError("received packet meant for server");
}

void TransportState::ExpectTransportState(int n) const
{
    if (transportState_ != n) ProtocolError("received packet inappropriate for current transport state");
}

void TransportState::ExpectKexState(int n) const
{
    if (kexState_ != n) ProtocolError("received packet inappropriate for current transport state");
}

std::string TransportState::ChooseKexAlgorithm() const
{
    return SSH::ChooseAlgorithm(ClientKexInit().kexAlgorithms, ServerKexInit().kexAlgorithms);
}

std::string TransportState::ChooseHostKeyAlgorithm() const
{
    return SSH::ChooseAlgorithm(ClientKexInit().hostKeyAlgorithms, ServerKexInit().hostKeyAlgorithms);
}

std::string TransportState::ChooseCipher(bool serverToClient) const
{
    return SSH::ChooseAlgorithm(ClientKexInit().ciphers[serverToClient], ServerKexInit().ciphers[serverToClient]);
}

std::string TransportState::ChooseMac(bool serverToClient) const
{
    return SSH::ChooseAlgorithm(ClientKexInit().macs[serverToClient], ServerKexInit().macs[serverToClient]);
}

std::string TransportState::ChooseCompression(bool serverToClient) const
{
    return SSH::ChooseAlgorithm(ClientKexInit().compressions[serverToClient],
                                ServerKexInit().compressions[serverToClient]);
}

void TransportState::Negotiate()
{
    peerKexInitReceived_ = false;
    ourKexInitSent_ = false;

    const std::string kex = ChooseKexAlgorithm();
    if (kex.empty()) KexFailed("failed to negotiate key exchange algorithm");
    const std::string hostKey = ChooseHostKeyAlgorithm();
    if (hostKey.empty()) KexFailed("failed to negotiate host key algorithm");
    static const char* const directions[2] = {"client to server", "server to client"};
    for (bool s2c : {false, true}) {
        if (ChooseCipher(s2c).empty())
            KexFailed(std::string("failed to negotiate ") + directions[s2c] + " encryption algorithm");
    }
    for (bool s2c : {false, true}) {
        if (ChooseMac(s2c).empty()) KexFailed(std::string("failed to negotiate ") + directions[s2c] + " MAC algorithm");
    }
    for (bool s2c : {false, true}) {
        if (ChooseCompression(s2c).empty())
            KexFailed(std::string("failed to negotiate ") + directions[s2c] + " compression algorithm");
    }

    chosenHandler_ = nullptr;
    chosenSigner_ = nullptr;
    for (KexHandler* handler : handlers_) {
        if (SSH::NameListContains(handler->KexAlgorithms(), kex)) {
            chosenHandler_ = handler;
            break;
        }
    }
    if (!chosenHandler_) KexFailed("a kex handler for the negotiated key exchange method could not be found");
    chosenHandler_->SetTransportState(this);

    if (IsServer() && hostKey != "null") {
        for (const Signer* signer : signers_) {
            if (signer->AlgorithmName() == hostKey) {
                chosenSigner_ = signer;
                break;
            }
        }
        if (!chosenSigner_) KexFailed("a host key for the negotiated host key algorithm could not be found");
    }
}

unsigned TransportState::OutgoingBlockSize() const { return std::max(8u, outgoingCipher_->BlockSize()); }

unsigned TransportState::IncomingBlockSize() const { return std::max(8u, incomingCipher_->BlockSize()); }

std::uint32_t TransportState::PacketSizeFor(std::uint32_t payloadLength) const
{
    const std::uint32_t b = OutgoingBlockSize();
    return (payloadLength + 9 + b - 1) / b * b;
}

std::uint32_t TransportState::IgnorePayloadFor(std::uint32_t size) const
{
    const std::uint32_t b = OutgoingBlockSize();
    const std::uint32_t q = size / b;
    if (q == 0) return 0;
    const std::uint64_t room = std::uint64_t(b) * (q - 1) + 1;
    return room > 9 ? std::uint32_t(room - 9) : 0;
}

void TransportState::SetOurKexInit(const KexInit& k)
{
    ourKexInit_ = k;
    ourKexInitSent_ = true;
}

void TransportState::SetPeerKexInit(const KexInit& k)
{
    peerKexInit_ = k;
    peerKexInitReceived_ = true;
}

void TransportState::BeginKeyExchange(int reason)
{
    ++kexCount_;
    kexReason_ = reason;
    reexchangePending_ = true;
}

bool TransportState::IsTransferReady() const
{
    return transportState_ >= SSH::TransportServerAwaitsService && transportState_ <= SSH::TransportServiceRunning &&
           (kexState_ == SSH::KexNewKeysSent || kexState_ == SSH::KexServiceRunning);
}

void TransportState::SetHostKey(const std::string& blob, const std::string& algorithm)
{
    hostKeyBlob_ = blob;
    hostKeyAlgorithm_ = algorithm;
}

void TransportState::SetExchangeHash(const CryptoPP::SecByteBlock& h)
{
    exchangeHash_ = h;
    if (sessionId_.empty()) sessionId_ = h;
}

void TransportState::SwitchAlgorithms(SSH::Cipher& cipher, SSH::Mac& mac, SSH::Compressor& compressor,
                                      bool serverToClient, bool outgoing)
{
    CryptoPP::HashTransformation& hash = chosenHandler_->Hash();
    const bool s2c = serverToClient;
    cipher.SetAlgorithm(ChooseCipher(s2c), hash, sharedSecret_, exchangeHash_, sessionId_, s2c, !outgoing);
    mac.SetAlgorithm(ChooseMac(s2c), hash, sharedSecret_, exchangeHash_, sessionId_, s2c, outgoing, peerVersion_);
    compressor.SetAlgorithm(ChooseCompression(s2c), outgoing);
}

// The server sends in the server-to-client direction, the client receives in it.
void TransportState::SwitchOutgoingAlgorithms()
{
    SwitchAlgorithms(*outgoingCipher_, *outgoingMac_, *outgoingCompressor_, IsServer(), true);
}

void TransportState::SwitchIncomingAlgorithms()
{
    SwitchAlgorithms(*incomingCipher_, *incomingMac_, *incomingCompressor_, IsClient(), false);
}
