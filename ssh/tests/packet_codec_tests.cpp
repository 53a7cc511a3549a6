#include "ssh/exceptions.h"
#include "ssh/message_numbers.h"
#include "ssh/packet_codec.h"
#include "ssh/transport_state.h"
#include "ssh/wire.h"
#include "key_fixtures.h"
#include "stream_helpers.h"

#include <cryptopp/mqueue.h>

#include <cryptopp/sha.h>

#include <set>

#include <gtest/gtest.h>

using CryptoPP::byte;

namespace {

// Collects messages; like the manager, it takes an identification line that begins "SSH-",
// which ends the decoder's line phase.
class Collector : public CryptoPP::Bufferless<CryptoPP::Sink> {
public:
    explicit Collector(TransportState& state) : state_(state) {}
    std::size_t Put2(const byte* data, std::size_t length, int messageEnd, bool) override
    {
        current_.append(reinterpret_cast<const char*>(data), length);
        taken += length;
        if (messageEnd) {
            if (current_.compare(0, 5, "\xffSSH-") == 0)
                state_.SetTransportStateNumber(SSH::TransportPeerVersionTaken);
            messages.push_back(current_);
            current_.clear();
        }
        return 0;
    }
    std::vector<std::string> messages;
    std::size_t taken = 0;

private:
    TransportState& state_;
    std::string current_;
};

// A decoder on a fresh transport with its collected messages.
struct Receiver {
    explicit Receiver(int transportState = 1, TransportLog* log = nullptr)
        : state(TestRng(), log, 0, 0, -1), collector(state), decoder(state, new CryptoPP::Redirector(collector))
    {
        state.SetTransportStateNumber(transportState);
    }
    void Feed(const std::string& bytes) { decoder.Put(reinterpret_cast<const byte*>(bytes.data()), bytes.size()); }
    std::vector<std::string> Messages()
    {
        std::vector<std::string> all;
        all.swap(collector.messages);
        return all;
    }
    // The reason and description of what feeding the bytes throws.
    std::pair<std::uint32_t, std::string> Refusal(const std::string& bytes)
    {
        try {
            Feed(bytes);
        } catch (const SSH::CauseToDisconnect& e) {
            return {e.reason(), e.description()};
        }
        return {0, "(nothing thrown)"};
    }

    TransportState state;
    Collector collector;
    PacketDecoder decoder;
};

CryptoPP::SecByteBlock Zeros()
{
    CryptoPP::SecByteBlock b;
    b.CleanNew(20);
    return b;
}

std::string Uint32(std::uint32_t v) { return Written([&](CryptoPP::BufferedTransformation& q) { SSH::EncodeUint32(q, v); }); }

// An unencrypted packet as a sender without cipher and MAC writes it, padded to 8 bytes
// unless the padding length is given.
std::string Packet(const std::string& payload, int paddingLength = -1)
{
    if (paddingLength < 0) paddingLength = 4 + int(8 - (payload.size() + 9) % 8) % 8;
    return Uint32(std::uint32_t(payload.size() + paddingLength + 1)) + char(paddingLength) + payload +
           std::string(paddingLength, '\xAA');
}

class Log : public TransportLog {
public:
    void LogSentMessage(const std::string& l) override { lines.push_back("sent: " + l); }
    bool IsSentMessageLogOn() override { return true; }
    void LogSentData(const std::string& l) override { lines.push_back("sent data: " + l); }
    bool IsSentDataLogOn() override { return true; }
    void LogRawReceived(const std::string& l) override { lines.push_back("raw: " + l); }
    bool IsRawLogOn() override { return raw; }
    void LogReceivedMessage(const std::string& l) override { lines.push_back("received: " + l); }
    bool IsReceivedMessageLogOn() override { return true; }
    void LogReceivedData(const std::string& l) override { lines.push_back("received data: " + l); }
    bool IsReceivedDataLogOn() override { return true; }
    bool raw = false;
    std::vector<std::string> lines;
};

}  // namespace

TEST(PacketDecoder, IdentificationLines)
{
    {
        Receiver r(0);
        r.Feed("SSH-2.0-" + std::string(245, 'v') + "\r\n");  // 253 characters and CR LF
        const auto m = r.Messages();
        ASSERT_EQ(m.size(), 1u);
        EXPECT_EQ(m[0], "\xff" "SSH-2.0-" + std::string(245, 'v') + "\r\n");
    }
    {
        Receiver r(0);
        EXPECT_EQ(r.Refusal("SSH-2.0-" + std::string(246, 'v') + "\r\n"), std::make_pair(2u, std::string("version info line too long")));
    }
    {
        Receiver r(0);
        r.Feed(std::string(254, 'x'));  // 254 bytes may still end with an LF
        EXPECT_TRUE(r.Messages().empty());
        EXPECT_EQ(r.Refusal("x").second, "version info line too long");
    }
    {
        // Lines that are not taken as the identification are passed on one by one.
        Receiver r(0);
        r.Feed("hello\nSSH-2.0-x\r\n");
        const auto m = r.Messages();
        ASSERT_EQ(m.size(), 2u);
        EXPECT_EQ(m[0], "\xff" "hello\n");
        EXPECT_EQ(m[1], "\xff" "SSH-2.0-x\r\n");
    }
}

TEST(PacketDecoder, UnencryptedPacketsBlockSizeEight)
{
    Receiver r;
    r.Feed(Packet("\x05" "abc") + Packet("", 11) + Packet("\x02"));
    const auto m = r.Messages();
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0], "\x05" "abc");
    EXPECT_EQ(m[1], "");
    EXPECT_EQ(m[2], "\x02");
    EXPECT_EQ(r.state.IncomingSequence(), 3u);
}

TEST(PacketDecoder, BytesOneAtATimeGiveTheSameMessages)
{
    const std::string stream =
        "Banner\r\nSSH-2.0-peer\r\n" + Packet("\x14" + std::string(40, 'k')) + Packet("", 11) + Packet("\x05");
    Receiver whole(0), bytewise(0);
    whole.Feed(stream);
    for (char c : stream) bytewise.Feed(std::string(1, c));
    const auto expected = whole.Messages();
    ASSERT_EQ(expected.size(), 5u);
    EXPECT_EQ(expected[1], "\xff" "SSH-2.0-peer\r\n");
    EXPECT_EQ(expected[3], "");
    EXPECT_EQ(bytewise.Messages(), expected);
}

TEST(PacketDecoder, RefusesMalformedPackets)
{
    const struct {
        std::string bytes;
        const char* text;
    } cases[] = {
        {Packet("\x05" "abcdefg", 3), "padding too short"},
        {Uint32(12) + "\x0c" + std::string(11, 'p'), "negative payload length"},
        {Uint32(131073) + std::string(4, 'x'), "packet length too large (131073), may be decryption problem"},
        {Uint32(0xFFFFFFFF) + std::string(4, 'x'), "packet length too large (4294967295), may be decryption problem"},
        // Within the limit, but not a whole number of blocks.
        {Uint32(131072) + std::string(4, 'x'), "packet size not a multiple of cipher block size"},
        {Uint32(13) + std::string(4, 'x'), "packet size not a multiple of cipher block size"},
    };
    for (const auto& c : cases) {
        Receiver r;
        EXPECT_EQ(r.Refusal(c.bytes), std::make_pair(2u, std::string(c.text))) << c.text;
    }
    // The largest length is taken: the decoder waits for the rest.
    Receiver r;
    const std::string payload(131068 - 1 - 11, 'z');
    const std::string big = Packet(payload, 11);
    r.Feed(big.substr(0, 8));
    EXPECT_TRUE(r.Messages().empty());
    r.Feed(big.substr(8));
    const auto m = r.Messages();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0], payload);
}

TEST(PacketDecoder, BlockSizeSixteenLengths)
{
    CryptoPP::SHA1 hash;
    auto receiver = [&] {
        auto r = std::make_unique<Receiver>();
        r->state.IncomingCipher().SetAlgorithm("aes128-cbc", hash, CryptoPP::Integer(7), Zeros(),
                                               Zeros(), false, true);
        return r;
    };
    auto encrypted = [&](const std::string& plain) {
        std::string out;
        SSH::Cipher enc(nullptr);
        CryptoPP::StringSink sink(out);
        enc.RedirectOutputTo(sink);
        enc.SetAlgorithm("aes128-cbc", hash, CryptoPP::Integer(7), Zeros(), Zeros(),
                         false, false);
        SSH::PutText(enc, plain);
        return out;
    };
    auto ok = receiver();
    ok->Feed(encrypted(Uint32(28) + "\x0a" + std::string(17, 'q') + std::string(10, 'p')));
    EXPECT_EQ(ok->Messages(), std::vector<std::string>{std::string(17, 'q')});
    // Under a key, a length that does not fit the block size is not told apart from a
    // forgery, even without a MAC.
    auto bad = receiver();
    const std::string refused = encrypted(Uint32(24) + "\x06" + std::string(17, 'q') + std::string(6, 'p') + std::string(4, 'x'));
    bad->Feed(refused);
    EXPECT_EQ(bad->Refusal(std::string(SSH::MaxPacketLength, 'j')), std::make_pair(5u, std::string("MAC check failed")));
}

TEST(PacketEncoder, FramesAndPadsToTheBlockSize)
{
    TransportState state(TestRng(), nullptr, 0, 0, -1);
    state.SetKexStateNumber(SSH::KexVersionSent);
    std::string wire;
    PacketEncoder encoder(state, new CryptoPP::StringSink(wire));
    const struct {
        std::string payload;
        std::size_t size;
        int padding;
    } cases[] = {{"\x01", 16, 10}, {"\x01\x02\x03\x04", 16, 7}, {std::string(7, 'x'), 16, 4}, {std::string(8, 'x'), 24, 11}, {"", 16, 11}};
    for (const auto& c : cases) {
        wire.clear();
        SSH::PutText(encoder, c.payload);
        encoder.MessageEnd();
        ASSERT_EQ(wire.size(), c.size) << c.payload.size();
        EXPECT_EQ(wire.substr(0, 5), Uint32(std::uint32_t(c.size - 4)) + char(c.padding));
        EXPECT_EQ(wire.substr(5, c.payload.size()), c.payload);
    }
    EXPECT_EQ(state.OutgoingSequence(), 5u);
}

TEST(PacketCodec, TraceLines)
{
    Log log;
    TransportState state(TestRng(), &log, 0, 0, -1);
    std::string wire;
    PacketEncoder encoder(state, new CryptoPP::StringSink(wire));
    SSH::PutText(encoder, "SSH-2.0-x\r\n");
    encoder.MessageEnd();
    state.SetKexStateNumber(SSH::KexVersionSent);
    for (const std::string& payload : {std::string("\x05\x01\xab", 3), std::string("\x02\0\0\0\0", 5), std::string()}) {
        SSH::PutText(encoder, payload);
        encoder.MessageEnd();
    }
    EXPECT_EQ(log.lines, (std::vector<std::string>{
                             "sent: Sending version: 5353482D322E302D780D0A",
                             "sent: Sending SSH_MSG_SERVICE_REQUEST (3 bytes)",
                             "sent data: Data: 0501AB",
                             "sent: Sending SSH_MSG_IGNORE (5 bytes)",
                             "sent data: (Data for SSH_MSG_IGNORE not shown)",
                             "sent: Sending 0 (unrecognized) (0 bytes)",
                             "sent data: Data: ",
                         }));
    log.lines.clear();
    log.raw = true;
    TransportState peer(TestRng(), &log, 0, 0, -1);
    peer.SetTransportStateNumber(SSH::TransportPeerVersionTaken);
    CryptoPP::MessageQueue messages;
    PacketDecoder decoder(peer, new CryptoPP::Redirector(messages));
    const std::string packets = wire.substr(11);
    decoder.Put(reinterpret_cast<const byte*>(packets.data()), 16);
    log.raw = false;
    decoder.Put(reinterpret_cast<const byte*>(packets.data()) + 16, packets.size() - 16);
    std::string hex;
    SSH::BytesToHex(packets.substr(0, 16), hex, SSH::TraceHexTable);
    EXPECT_EQ(log.lines, (std::vector<std::string>{
                             "raw: PacketDecoder RECEIVED: " + hex,
                             "received: Received SSH_MSG_SERVICE_REQUEST (3 bytes)",
                             "received data: Data: 0501AB",
                             "received: Received SSH_MSG_IGNORE (5 bytes)",
                             "received data: (Data for SSH_MSG_IGNORE not shown)",
                             "received: Received empty packet",
                         }));
    EXPECT_EQ(messages.NumberOfMessages(), 3u);
}

TEST(PacketCodec, NonBlockingPutsAreRefused)
{
    TransportState state(TestRng(), nullptr, 0, 0, -1);
    PacketEncoder encoder(state, new CryptoPP::ByteQueue);
    PacketDecoder decoder(state, new CryptoPP::ByteQueue);
    const byte b = 0;
    EXPECT_EQ(ErrorOf([&] { encoder.Put2(&b, 1, 0, false); }), "PacketEncoder: Nonblocking input is not implemented by this object.");
    EXPECT_EQ(ErrorOf([&] { decoder.Put2(&b, 1, 0, false); }), "PacketDecoder: Nonblocking input is not implemented by this object.");
}

namespace {

// Both ends of one direction keyed alike with aes128-cbc and hmac-sha1, and a writer of
// packets whose fields the test chooses.
struct KeyedDirection {
    KeyedDirection()
    {
        sender.SetKexStateNumber(SSH::KexNewKeysSent);
        sender.OutgoingCipher().SetAlgorithm("aes128-cbc", hash, K, Zeros(), Zeros(), false, false);
        sender.OutgoingMac().SetAlgorithm("hmac-sha1", hash, K, Zeros(), Zeros(), false, true, VersionInfo());
        receiver.state.IncomingCipher().SetAlgorithm("aes128-cbc", hash, K, Zeros(), Zeros(), false, true);
        receiver.state.IncomingMac().SetAlgorithm("hmac-sha1", hash, K, Zeros(), Zeros(), false, false, VersionInfo());
    }
    std::string Encoded(const std::string& payload)
    {
        SSH::PutText(encoder, payload);
        encoder.MessageEnd();
        std::string bytes;
        bytes.swap(wire);
        return bytes;
    }
    // packet length, padding length byte, body as given; encrypted and authenticated.
    std::string Crafted(const std::string& plain)
    {
        std::string bytes;
        CryptoPP::StringSink sink(bytes);
        SSH::Mac& mac = sender.OutgoingMac();
        mac.RedirectOutputTo(sink);
        SSH::EncodeUint32(mac, sender.OutgoingSequence());
        SSH::PutText(mac, plain);
        SSH::Cipher& cipher = sender.OutgoingCipher();
        cipher.RedirectOutputTo(sink);
        SSH::PutText(cipher, plain);
        std::string encrypted = bytes;
        bytes.clear();
        mac.MessageEnd();
        sender.IncrementOutgoingSequence();
        return encrypted + bytes;
    }

    CryptoPP::SHA1 hash;
    CryptoPP::Integer K{11};
    TransportState sender{TestRng(), nullptr, 0, 0, -1};
    std::string wire;
    PacketEncoder encoder{sender, new CryptoPP::StringSink(wire)};
    Receiver receiver;
};

}  // namespace

TEST(PacketDecoder, AuthenticatesBeforeReadingThePacket)
{
    {
        KeyedDirection d;
        d.receiver.Feed(d.Encoded("\x05" "first"));
        std::string tampered = d.Encoded("\x05" "second");
        tampered.back() ^= 1;  // the MAC
        EXPECT_EQ(d.receiver.Refusal(tampered), std::make_pair(5u, std::string("MAC check failed")));
        EXPECT_EQ(d.receiver.Messages().size(), 1u);
    }
    {
        KeyedDirection d;
        std::string tampered = d.Encoded("\x05" + std::string(40, 's'));
        tampered[20] ^= 0x80;  // the second cipher block
        EXPECT_EQ(d.receiver.Refusal(tampered).second, "MAC check failed");
    }
    {
        // A packet the sender did not number in order.
        KeyedDirection d;
        d.sender.IncrementOutgoingSequence();
        EXPECT_EQ(d.receiver.Refusal(d.Encoded("\x05")).second, "MAC check failed");
    }
    {
        // Bad padding under a sound MAC is reported as such...
        KeyedDirection d;
        const std::string plain = Uint32(28) + "\x03" + std::string(24, 'q') + std::string(3, 'p');
        EXPECT_EQ(d.receiver.Refusal(d.Crafted(plain)), std::make_pair(2u, std::string("padding too short")));
        // ...and under a forged one, only the MAC is.
        KeyedDirection e;
        std::string forged = e.Crafted(plain);
        forged.back() ^= 1;
        EXPECT_EQ(e.receiver.Refusal(forged).second, "MAC check failed");
    }
    {
        // A MAC that arrives in pieces is waited for.
        KeyedDirection d;
        const std::string packet = d.Encoded("\x05" "late");
        d.receiver.Feed(packet.substr(0, packet.size() - 1));
        EXPECT_TRUE(d.receiver.Messages().empty());
        d.receiver.Feed(packet.substr(packet.size() - 1));
        EXPECT_EQ(d.receiver.Messages(), std::vector<std::string>{"\x05" "late"});
    }
}

namespace {

// A zlib stream of that many megabytes of zeros: the first with the stream's header, then one
// compressed megabyte over and over, each ending on a flush.
std::string ZlibBomb(int megabytes)
{
    std::string out;
    CryptoPP::StringSink sink(out);
    SSH::Compressor compressor(nullptr, 9);
    compressor.SetAlgorithm("zlib", true);
    compressor.RedirectOutputTo(sink);
    const std::string megabyte(1 << 20, '\0');
    SSH::PutText(compressor, megabyte);
    compressor.Flush(true);
    const std::string first = out;
    out.clear();
    SSH::PutText(compressor, megabyte);
    compressor.Flush(true);
    std::string bomb = first;
    for (int i = 1; i < megabytes; ++i) bomb += out;
    return bomb;
}

}  // namespace

// A small packet that inflates to far more than a message may hold is refused with the
// message-size error as soon as it passes the limit, whatever is logged: nothing beyond the
// limit is kept or passed on.
TEST(PacketDecoder, InflationStopsAtTheMessageLimit)
{
    const std::string bomb = ZlibBomb(60);
    ASSERT_LT(bomb.size() + 64, SSH::MaxPacketLength);
    for (const bool logged : {false, true}) {
        SCOPED_TRACE(logged ? "received messages logged" : "not logged");
        Log log;
        Receiver r(1, logged ? &log : nullptr);
        r.state.IncomingCompressor().SetAlgorithm("zlib", false);
        EXPECT_EQ(r.Refusal(Packet(bomb)), std::make_pair(2u, std::string("decompressed packet length too large")));
        EXPECT_LE(r.collector.taken, SSH::MaxIncomingMessageBytes);
        EXPECT_TRUE(log.lines.empty());
    }
    // Up to the limit, a message inflates whole.
    Receiver r;
    r.state.IncomingCompressor().SetAlgorithm("zlib", false);
    std::string exact;
    CryptoPP::StringSink sink(exact);
    SSH::Compressor compressor(nullptr, -1);
    compressor.SetAlgorithm("zlib", true);
    compressor.RedirectOutputTo(sink);
    SSH::PutText(compressor, std::string(SSH::MaxIncomingMessageBytes, 'm'));
    compressor.Flush(true);
    r.Feed(Packet(exact));
    EXPECT_EQ(r.Messages(), std::vector<std::string>{std::string(SSH::MaxIncomingMessageBytes, 'm')});
}

namespace {

struct Outcome {
    std::uint32_t reason = 0;
    std::string description;
    std::size_t bytesTaken = 0;  // when it was thrown
};

// Feeds the bytes, then arbitrary ones a block at a time, until the receiver gives up.
Outcome FeedUntilRefused(Receiver& r, const std::string& bytes)
{
    Outcome outcome;
    const std::string block(16, '\x5a');
    std::string next = bytes;
    try {
        for (; outcome.bytesTaken < 2 * SSH::MaxPacketLength; outcome.bytesTaken += next.size(), next = block)
            r.Feed(next);
    } catch (const SSH::CauseToDisconnect& e) {
        outcome.reason = e.reason();
        outcome.description = e.description();
        outcome.bytesTaken += next.size();
    }
    return outcome;
}

}  // namespace

// Once keys are in use, a peer must not learn from when or how the connection ends which
// decrypted lengths are refused (the plaintext-recovery attack on CBC): a refused length reads
// on for a random number of blocks within the largest packet and then fails exactly as a
// forged MAC does.
TEST(PacketDecoder, RefusedLengthsUnderKeysFailAsAForgedMacDoes)
{
    KeyedDirection forged;
    std::string tampered = forged.Encoded("\x05" "x");
    tampered.back() ^= 1;
    const Outcome macFailure = FeedUntilRefused(forged.receiver, tampered);
    ASSERT_EQ(macFailure.reason, 5u);
    ASSERT_EQ(macFailure.description, "MAC check failed");

    const std::uint32_t lengths[] = {2147483628u, SSH::MaxPacketLength + 12, 0xFFFFFFFFu, 27, 17};
    std::set<std::size_t> taken;
    for (std::uint32_t length : lengths) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            SCOPED_TRACE(length);
            KeyedDirection d;
            d.receiver.Feed(d.Encoded("\x05" "before"));
            // The first block only: what comes after it is arbitrary anyway.
            const Outcome o = FeedUntilRefused(d.receiver, d.Crafted(Uint32(length) + std::string(12, 'h')).substr(0, 16));
            EXPECT_EQ(o.reason, macFailure.reason);
            EXPECT_EQ(o.description, macFailure.description);
            // Not on the first block, and not beyond the largest packet with its MAC.
            EXPECT_GT(o.bytesTaken, 16u);
            EXPECT_LE(o.bytesTaken, SSH::MaxPacketLength + 4 + 20 + 16);
            EXPECT_EQ(d.receiver.Messages().size(), 1u);
            taken.insert(o.bytesTaken);
        }
    }
    // The amount read is drawn anew each time, not a function of the length.
    EXPECT_GT(taken.size(), 5u);
}
