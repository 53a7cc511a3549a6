// transport-bench: pushes channel-sized messages through PacketEncoder and PacketDecoder and,
// over the same bytes, through the cipher and MAC alone, and prints MB/s for each:
//
//     transport-bench [--mib N] [--rounds R] [--data BYTES] [--cipher NAME]
//
// One line per measurement: suite, direction (encode, decode), side (ours, raw), MB/s. Within a
// measurement the two sides take turns every 32 KiB of messages, so a loaded machine slows
// both alike. Before timing, both sides encode the same messages and must produce the same
// wire bytes, and both decoders must give back every payload. --cipher NAME (aes128-cbc or
// 3des-cbc) measures only that suite; the 3DES suite moves a quarter of the bytes, being ten
// times slower.
#include "ssh/message_numbers.h"
#include "ssh/packet_codec.h"
#include "ssh/stream_filters.h"
#include "ssh/transport_state.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/aes.h>
#include <cryptopp/des.h>
#include <cryptopp/hmac.h>
#include <cryptopp/md5.h>
#include <cryptopp/misc.h>
#include <cryptopp/modes.h>
#include <cryptopp/sha.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

using CryptoPP::byte;

namespace {

// Padding from a fixed sequence, so that both sides write the same bytes.
class SequenceRng : public CryptoPP::RandomNumberGenerator {
public:
    void GenerateBlock(byte* output, std::size_t size) override
    {
        for (std::size_t i = 0; i < size; ++i) output[i] = byte((next_ = next_ * 1103515245u + 12345u) >> 16);
    }

private:
    std::uint32_t next_ = 1;
};

// Counts what it is given, as a socket would take it.
class CountingSink : public CryptoPP::Bufferless<CryptoPP::Sink> {
public:
    std::size_t Put2(const byte*, std::size_t length, int messageEnd, bool) override
    {
        bytes += length;
        messages += messageEnd != 0;
        return 0;
    }
    std::uint64_t bytes = 0, messages = 0;
};

// Keeps every payload for the check.
class CollectingSink : public CryptoPP::Bufferless<CryptoPP::Sink> {
public:
    std::size_t Put2(const byte* data, std::size_t length, int messageEnd, bool) override
    {
        current.append(reinterpret_cast<const char*>(data), length);
        if (messageEnd) {
            messages.push_back(current);
            current.clear();
        }
        return 0;
    }
    std::string current;
    std::vector<std::string> messages;
};

struct Keys {
    CryptoPP::SHA1 hash;
    CryptoPP::Integer K{"0x1d4c5e9f0a3b7c2d6e8f1a2b3c4d5e6f708192a3b4c5d6e7f8091a2b3c4d5e6f7"};
    CryptoPP::SecByteBlock H{reinterpret_cast<const byte*>("exchange hash of the benchmark"), 20};
    CryptoPP::SecByteBlock sessionId{H};

    CryptoPP::SecByteBlock Derive(char letter, std::size_t length)
    {
        const CryptoPP::SecByteBlock all = SSH::DeriveKey(hash, K, H, sessionId, letter, length);
        return CryptoPP::SecByteBlock(all.data(), length);
    }
};

struct Suite {
    const char* cipher;
    const char* mac;
    unsigned blockSize;
    std::size_t keyLength, ivLength, macKeyLength, digestSize;
    unsigned mibDivisor;
};

const Suite Suites[] = {
    {"aes128-cbc", "hmac-sha1", 16, 16, 16, 20, 20, 1},
    {"3des-cbc", "hmac-md5", 8, 24, 8, 16, 16, 4},
};

// A channel data message: number, channel, data length, then the data.
struct Message {
    explicit Message(std::size_t dataSize) : data(dataSize)
    {
        for (std::size_t i = 0; i < dataSize; ++i) data[i] = byte(i * 7 + (i >> 8));
        header[0] = SSH::SSH_MSG_CHANNEL_DATA;
        CryptoPP::PutWord(false, CryptoPP::BIG_ENDIAN_ORDER, header + 1, std::uint32_t(0));
        CryptoPP::PutWord(false, CryptoPP::BIG_ENDIAN_ORDER, header + 5, std::uint32_t(dataSize));
    }
    std::size_t Size() const { return sizeof header + data.size(); }
    std::string Text() const
    {
        return std::string(reinterpret_cast<const char*>(header), sizeof header) +
               std::string(reinterpret_cast<const char*>(data.data()), data.size());
    }

    byte header[9];
    std::vector<byte> data;
};

// Our two ends of one direction, keyed as after a key exchange.
struct OurEnds {
    OurEnds(const Suite& s, Keys& keys, CryptoPP::BufferedTransformation* wire, CryptoPP::BufferedTransformation* payloads)
        : sender(senderRng, nullptr, 0, 0, -1), receiver(receiverRng, nullptr, 0, 0, -1),
          encoder(sender, wire), decoder(receiver, payloads)
    {
        sender.SetKexStateNumber(SSH::KexNewKeysSent);
        receiver.SetTransportStateNumber(SSH::TransportPeerVersionTaken);
        sender.OutgoingCipher().SetAlgorithm(s.cipher, keys.hash, keys.K, keys.H, keys.sessionId, false, false);
        sender.OutgoingMac().SetAlgorithm(s.mac, keys.hash, keys.K, keys.H, keys.sessionId, false, true, VersionInfo());
        receiver.IncomingCipher().SetAlgorithm(s.cipher, keys.hash, keys.K, keys.H, keys.sessionId, false, true);
        receiver.IncomingMac().SetAlgorithm(s.mac, keys.hash, keys.K, keys.H, keys.sessionId, false, false, VersionInfo());
    }
    void Send(const Message& m)
    {
        encoder.Put(m.header, sizeof m.header);
        encoder.Put2(m.data.data(), m.data.size(), 1, true);
    }
    // The wire bytes from begin to end, in slices as the connection loop reads them from its
    // socket.
    void Receive(const std::string& wire, std::size_t begin, std::size_t end)
    {
        const std::size_t slice = 16384;
        for (std::size_t at = begin; at < end; at += slice)
            decoder.Put(reinterpret_cast<const byte*>(wire.data()) + at, std::min(slice, end - at));
    }

    SequenceRng senderRng, receiverRng;
    TransportState sender, receiver;
    PacketEncoder encoder;
    PacketDecoder decoder;
};

// The cipher and MAC alone: the sender writes the packet's fields around a payload that is
// already in place, authenticates and encrypts it; the receiver decrypts, verifies and hands
// the payload on as one message, as our decoder does.
template <class Block, class Hash>
struct RawEnds {
    RawEnds(const Suite& s, Keys& keys, const Message& m)
        : encryption(keys.Derive('C', s.keyLength), s.keyLength, keys.Derive('A', s.ivLength)),
          decryption(keys.Derive('C', s.keyLength), s.keyLength, keys.Derive('A', s.ivLength)),
          sendMac(keys.Derive('E', s.macKeyLength), s.macKeyLength),
          receiveMac(keys.Derive('E', s.macKeyLength), s.macKeyLength),
          blockSize(s.blockSize), payloadLength(m.Size())
    {
        packetSize = (4 + 1 + payloadLength + 4 + blockSize - 1) / blockSize * blockSize;
        plain.resize(packetSize);
        std::memcpy(&plain[5], m.header, sizeof m.header);
        std::memcpy(&plain[5 + sizeof m.header], m.data.data(), m.data.size());
        sent.resize(packetSize + Hash::DIGESTSIZE);
        received.resize(packetSize);
    }

    void Send(CryptoPP::BufferedTransformation& wire)
    {
        const std::uint32_t packetLength = std::uint32_t(packetSize - 4);
        const byte paddingLength = byte(packetLength - payloadLength - 1);
        CryptoPP::PutWord(false, CryptoPP::BIG_ENDIAN_ORDER, &plain[0], packetLength);
        plain[4] = paddingLength;
        rng.GenerateBlock(&plain[5 + payloadLength], paddingLength);
        byte sequence[4];
        CryptoPP::PutWord(false, CryptoPP::BIG_ENDIAN_ORDER, sequence, sendSequence++);
        sendMac.Update(sequence, 4);
        sendMac.Update(&plain[0], packetSize);
        sendMac.Final(&sent[packetSize]);
        encryption.ProcessData(&sent[0], &plain[0], packetSize);
        wire.Put(&sent[0], sent.size());
    }

    // One packet from the wire at the offset, which moves past it; its payload is given to
    // payloads as one message.
    void Receive(const std::string& wire, std::size_t& at, CryptoPP::BufferedTransformation& payloads)
    {
        const byte* in = reinterpret_cast<const byte*>(wire.data()) + at;
        decryption.ProcessData(&received[0], in, blockSize);
        const std::uint32_t packetLength = CryptoPP::GetWord<std::uint32_t>(false, CryptoPP::BIG_ENDIAN_ORDER, &received[0]);
        const std::size_t size = 4 + packetLength;
        if (size > received.size() || size % blockSize) throw std::runtime_error("raw: bad packet length");
        decryption.ProcessData(&received[blockSize], in + blockSize, size - blockSize);
        byte sequence[4];
        CryptoPP::PutWord(false, CryptoPP::BIG_ENDIAN_ORDER, sequence, receiveSequence++);
        receiveMac.Update(sequence, 4);
        receiveMac.Update(&received[0], size);
        if (!receiveMac.Verify(in + size)) throw std::runtime_error("raw: MAC check failed");
        payloads.Put2(&received[5], packetLength - received[4] - 1, -1, true);
        at += size + Hash::DIGESTSIZE;
    }

    typename CryptoPP::CBC_Mode<Block>::Encryption encryption;
    typename CryptoPP::CBC_Mode<Block>::Decryption decryption;
    CryptoPP::HMAC<Hash> sendMac, receiveMac;
    SequenceRng rng;
    std::uint32_t sendSequence = 0, receiveSequence = 0;
    std::size_t blockSize, payloadLength, packetSize = 0;
    std::vector<byte> plain, sent, received;
};

// Time spent in one side's work, summed over many short stretches.
class Stopwatch {
public:
    template <class Work>
    void Time(Work work)
    {
        const auto start = std::chrono::steady_clock::now();
        work();
        seconds_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    double Seconds() const { return seconds_; }

private:
    double seconds_ = 0;
};

// About this many bytes of messages per stretch: the two sides take turns many times in one
// measurement, so that a load that comes and goes slows both alike.
const std::size_t StretchBytes = 32 * 1024;

// Both sides' stretch, raw's first when rawFirst.
template <class Ours, class Raw>
void InTurn(bool rawFirst, Ours ours, Raw raw)
{
    if (rawFirst) raw();
    ours();
    if (!rawFirst) raw();
}

template <class Block, class Hash>
void Measure(const Suite& s, unsigned mib, unsigned rounds, std::size_t dataSize)
{
    Keys keys;
    const Message message(dataSize);
    const std::size_t count = std::max<std::size_t>(1, (std::size_t(mib) << 20) / dataSize);
    const std::size_t perStretch = std::max<std::size_t>(1, StretchBytes / dataSize);
    const double megabytes = double(count) * double(dataSize) / 1e6;

    // The same wire bytes from both senders, and every payload back from our receiver.
    std::string wire, rawWire;
    {
        CollectingSink payloads;
        OurEnds ours(s, keys, new CryptoPP::StringSink(wire), new CryptoPP::Redirector(payloads));
        RawEnds<Block, Hash> raw(s, keys, message);
        CryptoPP::StringSink rawSink(rawWire);
        for (std::size_t i = 0; i < count; ++i) {
            ours.Send(message);
            raw.Send(rawSink);
        }
        if (wire != rawWire) {
            std::size_t at = 0;
            while (at < wire.size() && at < rawWire.size() && wire[at] == rawWire[at]) ++at;
            throw std::runtime_error(std::string(s.cipher) + ": our wire bytes differ from the raw ones at " +
                                     std::to_string(at) + " (" + std::to_string(wire.size()) + " and " +
                                     std::to_string(rawWire.size()) + " bytes)");
        }
        ours.Receive(wire, 0, wire.size());
        CollectingSink rawPayloads;
        std::size_t at = 0;
        while (at < rawWire.size()) raw.Receive(rawWire, at, rawPayloads);
        const std::string text = message.Text();
        for (const auto* received : {&payloads, &rawPayloads}) {
            if (received->messages.size() != count) throw std::runtime_error("a decoder lost messages");
            for (const std::string& p : received->messages)
                if (p != text) throw std::runtime_error("a decoder changed a payload");
        }
    }
    const std::size_t packetBytes = wire.size() / count;

    const std::string suite = std::string(s.cipher) + "/" + s.mac;
    auto report = [&](const char* direction, const char* side, const Stopwatch& watch) {
        std::printf("%s %s %s %.1f\n", suite.c_str(), direction, side, megabytes / watch.Seconds());
        std::fflush(stdout);
    };
    for (unsigned round = 0; round < rounds; ++round) {
        // Each side starts from fresh keys, so the wire bytes decode in order.
        // Each side writes to and delivers into sinks of its own.
        CountingSink* delivered = new CountingSink;
        OurEnds ours(s, keys, new CountingSink, delivered);
        CountingSink rawSent, rawDelivered;
        RawEnds<Block, Hash> raw(s, keys, message);
        Stopwatch oursEncode, rawEncode, oursDecode, rawDecode;
        // Stretch by stretch, alternating which side goes first.
        for (std::size_t done = 0, stretch = 0; done < count; ++stretch) {
            const std::size_t n = std::min(perStretch, count - done);
            auto oursSide = [&] {
                oursEncode.Time([&] {
                    for (std::size_t i = 0; i < n; ++i) ours.Send(message);
                });
            };
            auto rawSide = [&] {
                rawEncode.Time([&] {
                    for (std::size_t i = 0; i < n; ++i) raw.Send(rawSent);
                });
            };
            InTurn((stretch + round) % 2 != 0, oursSide, rawSide);
            done += n;
        }
        std::size_t oursAt = 0, rawAt = 0;
        for (std::size_t stretch = 0; oursAt < wire.size(); ++stretch) {
            const std::size_t end = std::min(wire.size(), oursAt + perStretch * packetBytes);
            auto oursSide = [&] { oursDecode.Time([&] { ours.Receive(wire, oursAt, end); }); };
            auto rawSide = [&] {
                rawDecode.Time([&] {
                    while (rawAt < end) raw.Receive(wire, rawAt, rawDelivered);
                });
            };
            InTurn((stretch + round) % 2 != 0, oursSide, rawSide);
            oursAt = end;
        }
        if (delivered->messages != count || rawDelivered.messages != count)
            throw std::runtime_error("a decoder lost messages");
        report("encode", "ours", oursEncode);
        report("decode", "ours", oursDecode);
        report("encode", "raw", rawEncode);
        report("decode", "raw", rawDecode);
    }
}

const char Usage[] = "usage: transport-bench [--mib N] [--rounds R] [--data BYTES] [--cipher NAME]\n"
                     "       transport-bench --help\n";

unsigned Number(const char* text)
{
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (!*text || *end || v == 0 || v > 1u << 20) throw std::invalid_argument(std::string("bad number ") + text);
    return unsigned(v);
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        unsigned mib = 32, rounds = 3, data = 32768;
        std::string only;
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            if (arg == "--help" && argc == 2) {
                std::fputs(Usage, stdout);
                return 0;
            }
            if (i + 1 >= argc) throw std::invalid_argument("missing value after " + arg);
            if (arg == "--mib") mib = Number(argv[++i]);
            else if (arg == "--rounds") rounds = Number(argv[++i]);
            else if (arg == "--data") data = Number(argv[++i]);
            else if (arg == "--cipher") only = argv[++i];
            else throw std::invalid_argument("unknown argument " + arg);
        }
        if (data > 100000) throw std::invalid_argument("--data above 100000 does not fit one packet");
        for (const Suite& s : Suites) {
            if (!only.empty() && only != s.cipher) continue;
            const unsigned n = std::max(1u, mib / s.mibDivisor);
            if (s.blockSize == 16) Measure<CryptoPP::AES, CryptoPP::SHA1>(s, n, rounds, data);
            else Measure<CryptoPP::DES_EDE3, CryptoPP::Weak::MD5>(s, n, rounds, data);
        }
        return 0;
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "transport-bench: %s\n%s", e.what(), Usage);
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "transport-bench: %s\n", e.what());
        return 1;
    }
}
