// The two ends of the SSH binary packet protocol (RFC 4253 section 6). The encoder takes one
// message payload per message end and writes one packet (compressed, padded, encrypted,
// authenticated) to its attachment. The decoder takes bytes as they come from the network,
// passes the peer's identification line on as a pseudo message numbered 255, and then each
// packet's payload as one message.
#pragma once

#include <cryptopp/filters.h>
#include <cryptopp/queue.h>
#include <cryptopp/secblock.h>
#include <cryptopp/simple.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

class TransportState;

namespace SSH {

class Cipher;

// The pseudo message number of the peer's identification line.
const CryptoPP::byte IdentificationLineMessage = 255;
// Longest identification line with its line end.
const std::size_t MaxIdentificationLine = 255;
// Text lines a peer may send before its identification line.
const std::uint32_t MaxLinesBeforeIdentification = 1024;
// Largest packet length accepted; anything longer is refused before it is buffered.
const std::uint32_t MaxPacketLength = 0x20000;
// The largest decompressed message taken in.
const std::uint32_t MaxIncomingMessageBytes = 0x40000;
// What refuses a message beyond it, wherever it is found.
[[noreturn]] void RefuseOversizedMessage();

// The bytes of one packet in a block kept from packet to packet, so that steady traffic
// allocates nothing. As a sink it appends what it is given.
class PacketBuffer : public CryptoPP::Bufferless<CryptoPP::Sink> {
public:
    std::size_t Put2(const CryptoPP::byte* data, std::size_t length, int messageEnd, bool blocking) override;

    // Room for length more bytes at the end; where they go.
    CryptoPP::byte* Extend(std::size_t length)
    {
        if (length > block_.size() - size_) Grow(length);
        CryptoPP::byte* at = block_.data() + size_;
        size_ += length;
        return at;
    }
    // Appends the bytes. A message is written field by field, and for pieces that small the
    // runtime's memcpy (a call into the system's C library) costs more than the copy itself.
    void Append(const CryptoPP::byte* data, std::size_t length)
    {
        CryptoPP::byte* at = Extend(length);
        if (length > 256) {
            std::memcpy(at, data, length);
            return;
        }
        for (; length >= 8; length -= 8, at += 8, data += 8) std::memcpy(at, data, 8);
        if (length >= 4) {
            std::memcpy(at, data, 4);
            at += 4, data += 4, length -= 4;
        }
        for (; length; --length) *at++ = *data++;
    }
    CryptoPP::byte* Data() { return block_.data(); }
    const CryptoPP::byte* Data() const { return block_.data(); }
    std::size_t Size() const { return size_; }
    // Empties the buffer; a block grown past the largest packet is given back.
    void Clear()
    {
        size_ = 0;
        if (block_.size() > 2 * std::size_t(MaxPacketLength)) block_.New(0);
    }

private:
    void Grow(std::size_t length);

    CryptoPP::SecByteBlock block_;
    std::size_t size_ = 0;
};

// Received bytes not yet taken: during a put the caller's bytes are read where they lie, and
// only what is left of them when the put ends is copied, for the next put.
class ReceivedBytes {
public:
    // The caller's bytes, read in place until Keep.
    void Lend(const CryptoPP::byte* data, std::size_t length)
    {
        lent_ = data;
        lentLength_ = length;
    }
    // Copies what is left of the lent bytes behind the kept ones.
    void Keep();
    std::size_t Size() const { return kept_.Size() - keptStart_ + lentLength_; }
    // The next bytes that lie together, and how many.
    const CryptoPP::byte* Contiguous(std::size_t& length) const
    {
        if (keptStart_ < kept_.Size()) {
            length = kept_.Size() - keptStart_;
            return kept_.Data() + keptStart_;
        }
        length = lentLength_;
        return lent_;
    }
    // Consumes n bytes of the contiguous run.
    void Skip(std::size_t n)
    {
        if (keptStart_ < kept_.Size()) {
            keptStart_ += n;
            if (keptStart_ == kept_.Size()) {
                kept_.Clear();
                keptStart_ = 0;
            }
        } else {
            lent_ += n;
            lentLength_ -= n;
        }
    }
    // Copies n bytes (no more than Size()) and consumes them.
    void Get(CryptoPP::byte* out, std::size_t n);
    // Copies up to n bytes without consuming them; returns how many.
    std::size_t Peek(CryptoPP::byte* out, std::size_t n) const;

private:
    PacketBuffer kept_;
    std::size_t keptStart_ = 0;
    const CryptoPP::byte* lent_ = nullptr;
    std::size_t lentLength_ = 0;
};

}  // namespace SSH

class PacketEncoder : public CryptoPP::Bufferless<CryptoPP::Filter> {
public:
    PacketEncoder(TransportState& state, CryptoPP::BufferedTransformation* attachment);

    std::size_t Put2(const CryptoPP::byte* data, std::size_t length, int messageEnd, bool blocking) override;

private:
    CryptoPP::ByteQueue logCopy_;
    TransportState& state_;
    // Room for the packet's length fields, then the compressor's output; padding and MAC
    // are added behind it and the packet is encrypted in place.
    SSH::PacketBuffer packet_;
};

// A filter that passes message ends on with a propagation count of its own.
class AutoSignalingFilter : public CryptoPP::Bufferless<CryptoPP::Filter> {
public:
    AutoSignalingFilter(CryptoPP::BufferedTransformation* attachment, int propagation);

    void SetAutoSignalPropagation(int propagation) override { propagation_ = propagation; }
    int GetAutoSignalPropagation() const override { return propagation_; }

private:
    int propagation_;
};

class PacketDecoder : public AutoSignalingFilter {
public:
    PacketDecoder(TransportState& state, CryptoPP::BufferedTransformation* attachment);

    std::size_t Put2(const CryptoPP::byte* data, std::size_t length, int messageEnd, bool blocking) override;

private:
    // Each returns false when it must wait for more input.
    bool TakeIdentificationLine();
    bool TakePacket();
    void EndMessage();
    // After a packet's message has ended.
    void NextPacket();
    // Decrypts length bytes (whole cipher blocks, all queued) from the input to the end of
    // the packet buffer.
    void Decrypt(SSH::Cipher& cipher, std::size_t length);
    // A random packet length in whole blocks of blockSize, up to the largest packet.
    std::uint32_t DiscardLength(unsigned blockSize);

    TransportState& state_;
    bool headerRead_ = false;
    std::uint32_t remaining_ = 0;  // encrypted bytes of the current packet still to decrypt
    std::uint32_t packetLength_ = 0;
    // The received length was refused: the packet's bytes are read only to be thrown away.
    bool discarding_ = false;
    SSH::ReceivedBytes input_;
    // The decrypted packet from its length field on.
    SSH::PacketBuffer plain_;
};
