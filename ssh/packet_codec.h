// The two ends of the SSH binary packet protocol (RFC 4253 section 6). The encoder takes one
// message payload per message end and writes one packet (compressed, padded, encrypted,
// authenticated) to its attachment. The decoder takes bytes as they come from the network,
// passes the peer's identification line on as a pseudo message numbered 255, and then each
// packet's payload as one message.
#pragma once

#include <cryptopp/filters.h>
#include <cryptopp/queue.h>
#include <cryptopp/simple.h>

#include <cstddef>
#include <cstdint>

class TransportState;

namespace SSH {

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

}  // namespace SSH

class PacketEncoder : public CryptoPP::Bufferless<CryptoPP::Filter> {
public:
    PacketEncoder(TransportState& state, CryptoPP::BufferedTransformation* attachment);

    std::size_t Put2(const CryptoPP::byte* data, std::size_t length, int messageEnd, bool blocking) override;

private:
    CryptoPP::ByteQueue logCopy_;
    TransportState& state_;
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

    TransportState& state_;
    bool headerRead_ = false;
    std::uint32_t remaining_ = 0;  // encrypted bytes of the current packet still to decrypt
    std::uint32_t packetLength_ = 0;
    CryptoPP::ByteQueue input_;
    CryptoPP::ByteQueue plain_;
};
