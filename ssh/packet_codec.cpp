#include "ssh/packet_codec.h"

#include "ssh/exceptions.h"
#include "ssh/message_numbers.h"
#include "ssh/protocol_names.h"
#include "ssh/transport_state.h"
#include "ssh/wire.h"

#include <algorithm>
#include <cstring>
#include <optional>

using CryptoPP::BufferedTransformation;
using CryptoPP::byte;
using CryptoPP::ByteQueue;

namespace {

std::string Hex(const BufferedTransformation& bytes)
{
    std::string raw, hex;
    CryptoPP::StringSink sink(raw);
    bytes.CopyTo(sink);
    SSH::BytesToHex(raw, hex, SSH::TraceHexTable);
    return hex;
}

std::string Hex(const byte* data, std::size_t length)
{
    std::string hex;
    SSH::BytesToHex(std::string(reinterpret_cast<const char*>(data), length), hex, SSH::TraceHexTable);
    return hex;
}

[[noreturn]] void ProtocolError(const std::string& text)
{
    throw SSH::CauseToDisconnect(SSH::DisconnectProtocolError, text, "en");
}


// The packet length and padding length fields before the payload.
const std::size_t PacketHeaderSize = 5;
// The longest MAC of the supported algorithms (HMAC-SHA1).
const std::size_t MaxMacSize = 20;
// Passes a message's decompressed bytes on and refuses the message once they pass the limit:
// a small packet may inflate to hundreds of megabytes, none of which is made or kept.
class MessageSizeLimit : public CryptoPP::Bufferless<CryptoPP::Sink> {
public:
    explicit MessageSizeLimit(BufferedTransformation& target) : target_(target) {}
    std::size_t Put2(const byte* data, std::size_t length, int, bool) override
    {
        if (length > SSH::MaxIncomingMessageBytes - size_) SSH::RefuseOversizedMessage();
        size_ += std::uint32_t(length);
        target_.Put(data, length);
        return 0;
    }

private:
    BufferedTransformation& target_;
    std::uint32_t size_ = 0;
};

// "Sending"/"Received" lines: name and size, then the data unless it is an SSH_MSG_IGNORE.
void LogMessage(const BufferedTransformation& payload, const char* verb, void (TransportLog::*logLine)(const std::string&),
                bool dataOn, void (TransportLog::*logData)(const std::string&), TransportLog& log)
{
    byte number = 0;
    payload.Peek(number);
    (log.*logLine)(std::string(verb) + SSH::MessageName(number) + " (" +
                   SSH::Uint64ToDecimal(payload.MaxRetrievable()) + " bytes)");
    if (dataOn)
        (log.*logData)(number == SSH::SSH_MSG_IGNORE ? "(Data for SSH_MSG_IGNORE not shown)" : "Data: " + Hex(payload));
}

}  // namespace

void SSH::RefuseOversizedMessage()
{
    throw CauseToDisconnect(DisconnectProtocolError, "decompressed packet length too large", "en");
}

PacketEncoder::PacketEncoder(TransportState& state, BufferedTransformation* attachment) : state_(state)
{
    Detach(attachment);
}

std::size_t PacketEncoder::Put2(const byte* data, std::size_t length, int messageEnd, bool blocking)
{
    if (!blocking) throw BlockingInputOnly("PacketEncoder");
    SSH::Compressor& compressor = state_.OutgoingCompressor();
    // Without compression the payload is copied straight into the packet (interactive
    // traffic is many small messages, and each pass through the filters costs). Otherwise
    // the compressor writes into our packet only while we are called: the transport state
    // may outlive this encoder.
    const bool compressing = !compressor.PassesThrough();
    struct CompressorOutput {
        SSH::Compressor* compressor;
        ~CompressorOutput()
        {
            if (compressor) compressor->RedirectOutputTo(nullptr);
        }
    } output{compressing ? &compressor : nullptr};
    if (packet_.Size() == 0) packet_.Extend(PacketHeaderSize);
    if (compressing) {
        compressor.RedirectOutputTo(packet_);
        compressor.Put(data, length);
    } else {
        packet_.Append(data, length);
    }
    TransportLog* log = state_.Log();
    const bool logging = log && log->IsSentMessageLogOn();
    if (logging) logCopy_.Put(data, length);
    if (!messageEnd) return 0;

    // Whatever happens from here, the next message starts a new packet.
    struct NextPacket {
        SSH::PacketBuffer& packet;
        ~NextPacket() { packet.Clear(); }
    } next{packet_};
    BufferedTransformation& out = *AttachedTransformation();
    if (state_.KexStateNumber() == SSH::KexStart) {
        // Our identification line goes out as it is.
        if (logging) {
            log->LogSentMessage("Sending version: " + Hex(logCopy_));
            logCopy_.Clear();
        }
        out.Put(packet_.Data() + PacketHeaderSize, packet_.Size() - PacketHeaderSize);
        out.Flush(false);
        return 0;
    }
    if (logging) {
        LogMessage(logCopy_, "Sending ", &TransportLog::LogSentMessage, log->IsSentDataLogOn(), &TransportLog::LogSentData,
                   *log);
        logCopy_.Clear();
    }

    if (compressing) compressor.Flush(true);
    const std::size_t payloadLength = packet_.Size() - PacketHeaderSize;
    // No peer need take more; our own decoder refuses it.
    if (payloadLength > SSH::MaxPacketLength - 32) throw CryptoPP::InvalidArgument("PacketEncoder: message too large");
    const std::uint32_t packetLength = state_.PacketSizeFor(std::uint32_t(payloadLength)) - 4;
    const std::size_t packetSize = 4 + std::size_t(packetLength);
    const byte paddingLength = byte(packetLength - payloadLength - 1);
    SSH::Mac& mac = state_.OutgoingMac();
    const unsigned macSize = mac.DigestSize();
    packet_.Extend(paddingLength + macSize);

    // Authenticated, then encrypted where it lies, and written in one piece.
    byte* packet = packet_.Data();
    CryptoPP::PutWord(false, CryptoPP::BIG_ENDIAN_ORDER, packet, packetLength);
    packet[4] = paddingLength;
    state_.Rng().GenerateBlock(packet + PacketHeaderSize + payloadLength, paddingLength);
    if (macSize) mac.Sign(state_.OutgoingSequence(), packet, packetSize, packet + packetSize);
    state_.OutgoingCipher().Process(packet, packet, packetSize);
    out.Put(packet, packetSize + macSize);
    state_.IncrementOutgoingSequence();
    return 0;
}

AutoSignalingFilter::AutoSignalingFilter(BufferedTransformation* attachment, int propagation) : propagation_(propagation)
{
    Detach(attachment);
}

PacketDecoder::PacketDecoder(TransportState& state, BufferedTransformation* attachment)
    : AutoSignalingFilter(attachment, -1), state_(state)
{
}

std::size_t PacketDecoder::Put2(const byte* data, std::size_t length, int messageEnd, bool blocking)
{
    if (!blocking) throw BlockingInputOnly("PacketDecoder");
    if (length) {
        TransportLog* log = state_.Log();
        if (log && log->IsRawLogOn()) log->LogRawReceived("PacketDecoder RECEIVED: " + Hex(data, length));
        // The caller's bytes are used in place; what is left is copied when this call ends,
        // also when it ends with an exception.
        struct KeepInput {
            SSH::ReceivedBytes& input;
            ~KeepInput() { input.Keep(); }
        } keep{input_};
        input_.Lend(data, length);
        for (;;) {
            const bool progressed = state_.TransportStateNumber() == SSH::TransportStart ? TakeIdentificationLine()
                                                                                         : TakePacket();
            if (!progressed) break;
        }
    }
    const int propagation = GetAutoSignalPropagation();
    if (messageEnd && propagation != 0) AttachedTransformation()->MessageSeriesEnd(propagation - 1);
    return 0;
}

void PacketDecoder::EndMessage()
{
    const int propagation = GetAutoSignalPropagation();
    if (propagation != 0) AttachedTransformation()->MessageEnd(propagation - 1);
}

bool PacketDecoder::TakeIdentificationLine()
{
    byte peeked[SSH::MaxIdentificationLine + 1];
    const std::size_t got = input_.Peek(peeked, sizeof peeked);
    const byte* lf = std::find(peeked, peeked + got, byte('\n'));
    const std::size_t lineLength = lf == peeked + got ? got + 1 : std::size_t(lf - peeked) + 1;
    if (lineLength > SSH::MaxIdentificationLine) ProtocolError("version info line too long");
    if (lf == peeked + got) return false;
    BufferedTransformation& out = *AttachedTransformation();
    out.Put(SSH::IdentificationLineMessage);
    for (std::size_t left = lineLength; left;) {
        std::size_t contiguous = 0;
        const byte* at = input_.Contiguous(contiguous);
        const std::size_t n = std::min(contiguous, left);
        out.Put(at, n);
        input_.Skip(n);
        left -= n;
    }
    EndMessage();
    return true;
}

void PacketDecoder::Decrypt(SSH::Cipher& cipher, std::size_t length)
{
    const std::size_t unit = cipher.BlockSize();
    byte* out = plain_.Extend(length);
    while (length) {
        // Straight from the caller's bytes or a queued piece; a block split between two
        // pieces is gathered first.
        std::size_t contiguous = 0;
        const byte* in = input_.Contiguous(contiguous);
        std::size_t n = std::min(contiguous, length) / unit * unit;
        if (n) {
            cipher.Process(out, in, n);
            input_.Skip(n);
        } else {
            n = unit;
            input_.Get(out, n);
            cipher.Process(out, out, n);
        }
        out += n;
        length -= n;
    }
}

std::uint32_t PacketDecoder::DiscardLength(unsigned blockSize)
{
    // Whole blocks, from the one already read up to the largest packet.
    const std::uint32_t blocks = (SSH::MaxPacketLength + 4) / blockSize;
    return std::uint32_t(blockSize * (1 + state_.Rng().GenerateWord32(0, blocks - 1))) - 4;
}

bool PacketDecoder::TakePacket()
{
    SSH::Cipher& cipher = state_.IncomingCipher();
    SSH::Mac& mac = state_.IncomingMac();
    if (!headerRead_) {
        const unsigned blockSize = state_.IncomingBlockSize();
        if (input_.Size() < blockSize) return false;
        plain_.Clear();
        Decrypt(cipher, blockSize);
        packetLength_ = CryptoPP::GetWord<std::uint32_t>(false, CryptoPP::BIG_ENDIAN_ORDER, plain_.Data());
        // Checked before anything more of the packet is taken in.
        const bool tooLarge = packetLength_ > SSH::MaxPacketLength;
        const bool misaligned = (packetLength_ + 4) % blockSize != 0;
        if ((tooLarge || misaligned) && !cipher.IsKeyed() && mac.DigestSize() == 0) {
            if (tooLarge)
                ProtocolError("packet length too large (" + SSH::Uint64ToDecimal(packetLength_) +
                              "), may be decryption problem");
            ProtocolError("packet size not a multiple of cipher block size");
        }
        if (tooLarge || misaligned) {
            // Under keys the length is the decryption of a block the peer chose: failing now
            // would tell it which lengths are refused, and so bits of any block it replays
            // here. The packet is read as one of a random length instead, authenticated like
            // any other, and refused exactly as a failed MAC is.
            packetLength_ = DiscardLength(blockSize);
            discarding_ = true;
        }
        headerRead_ = true;
        remaining_ = packetLength_ - (blockSize - 4);
    }
    if (remaining_) {
        const std::size_t unit = cipher.BlockSize();
        const std::size_t available = std::min<std::size_t>(remaining_, input_.Size()) / unit * unit;
        Decrypt(cipher, available);
        remaining_ -= std::uint32_t(available);
        if (remaining_) return false;
    }
    const unsigned macSize = mac.DigestSize();
    if (input_.Size() < macSize) return false;

    const byte* packet = plain_.Data();
    const byte paddingLength = packet[4];
    // Authenticate before looking at what the packet says: a peer learns nothing from which
    // check failed.
    bool verified = true;
    if (macSize) {
        // Read where it lies unless it is split between two puts.
        byte gathered[MaxMacSize];
        std::size_t contiguous = 0;
        const byte* received = input_.Contiguous(contiguous);
        if (contiguous < macSize) {
            input_.Get(gathered, macSize);
            received = gathered;
        }
        verified = mac.Verify(state_.IncomingSequence(), packet, 4 + std::size_t(packetLength_), received);
        if (received != gathered) input_.Skip(macSize);
    }
    if (!verified || discarding_) throw SSH::CauseToDisconnect(SSH::DisconnectMacError, "MAC check failed", "en");
    if (paddingLength < 4) ProtocolError("padding too short");
    if (packetLength_ < paddingLength + 1u) ProtocolError("negative payload length");

    TransportLog* log = state_.Log();
    const bool collect = log && log->IsReceivedMessageLogOn();
    BufferedTransformation& out = *AttachedTransformation();
    SSH::Compressor& decompressor = state_.IncomingCompressor();
    if (!collect && decompressor.PassesThrough()) {
        // Nothing to inflate or log: the payload goes on as it lies, with its message end in
        // the same call (and a packet is within the message limit).
        const int propagation = GetAutoSignalPropagation();
        out.Put2(packet + PacketHeaderSize, packetLength_ - paddingLength - 1, propagation < 0 ? -1 : propagation,
                 true);
        NextPacket();
        return true;
    }
    // Built only for the log: a queue allocates.
    std::optional<ByteQueue> collected;
    if (collect) collected.emplace();
    MessageSizeLimit limit(collect ? static_cast<BufferedTransformation&>(*collected) : out);
    decompressor.RedirectOutputTo(limit);
    // The decompressor must not keep pointing at the limit once it is gone, also after a refusal.
    struct Unredirect {
        SSH::Compressor& decompressor;
        ~Unredirect() { decompressor.RedirectOutputTo(nullptr); }
    } unredirect{decompressor};
    decompressor.Put(packet + PacketHeaderSize, packetLength_ - paddingLength - 1);
    decompressor.Flush(true);
    plain_.Clear();
    if (collect) {
        if (collected->IsEmpty())
            log->LogReceivedMessage("Received empty packet");
        else
            LogMessage(*collected, "Received ", &TransportLog::LogReceivedMessage, log->IsReceivedDataLogOn(),
                       &TransportLog::LogReceivedData, *log);
        collected->TransferAllTo(out);
    }
    EndMessage();
    NextPacket();
    return true;
}

void PacketDecoder::NextPacket()
{
    headerRead_ = false;
    state_.IncrementIncomingSequence();
}

namespace SSH {

std::size_t PacketBuffer::Put2(const byte* data, std::size_t length, int, bool)
{
    Append(data, length);
    return 0;
}

void PacketBuffer::Grow(std::size_t length)
{
    block_.Grow(std::max({size_ + length, 2 * block_.size(), std::size_t(256)}));
}

void ReceivedBytes::Keep()
{
    if (lentLength_) std::memcpy(kept_.Extend(lentLength_), lent_, lentLength_);
    lent_ = nullptr;
    lentLength_ = 0;
}

void ReceivedBytes::Get(byte* out, std::size_t n)
{
    while (n) {
        std::size_t contiguous = 0;
        const byte* at = Contiguous(contiguous);
        const std::size_t taken = std::min(contiguous, n);
        std::memcpy(out, at, taken);
        Skip(taken);
        out += taken;
        n -= taken;
    }
}

std::size_t ReceivedBytes::Peek(byte* out, std::size_t n) const
{
    const std::size_t kept = std::min(kept_.Size() - keptStart_, n);
    if (kept) std::memcpy(out, kept_.Data() + keptStart_, kept);
    const std::size_t lent = std::min(lentLength_, n - kept);
    if (lent) std::memcpy(out + kept, lent_, lent);
    return kept + lent;
}


}  // namespace SSH
