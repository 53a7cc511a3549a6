#include "ssh/message_numbers.h"
#include "ssh/packet_codec.h"
#include "ssh/stream_filters.h"
#include "ssh/transport_state.h"
#include "ssh/wire.h"
#include "key_fixtures.h"
#include "stream_helpers.h"

#include <cryptopp/mqueue.h>

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/hex.h>
#include <cryptopp/hmac.h>
#include <cryptopp/md5.h>
#include <cryptopp/sha.h>

#include <gtest/gtest.h>

#include <map>

using CryptoPP::byte;
using CryptoPP::Integer;
using CryptoPP::SecByteBlock;

namespace {

std::string FromHex(const std::string& hex)
{
    std::string bytes;
    CryptoPP::StringSource(hex, true, new CryptoPP::HexDecoder(new CryptoPP::StringSink(bytes)));
    return bytes;
}

std::string ToHex(const SecByteBlock& block)
{
    std::string hex;
    CryptoPP::StringSource(block, block.size(), true, new CryptoPP::HexEncoder(new CryptoPP::StringSink(hex), false));
    return hex;
}

SecByteBlock Range(int from, int count)
{
    SecByteBlock b(count);
    for (int i = 0; i < count; ++i) b[i] = byte(from + i);
    return b;
}

// Key material whose derived keys an independent implementation computed.
struct KeyMaterial {
    Integer K{("0x9f" + [] {
                   std::string s;
                   for (int i = 0; i < 8; ++i) s += "0123456789abcdef";
                   return s;
               }())
                  .c_str()};
    SecByteBlock H = Range(1, 20);
    SecByteBlock sessionId = Range(101, 20);
};

// Padding bytes 0, 1, 2... so that whole packets can be compared.
class CountingRng : public CryptoPP::RandomNumberGenerator {
public:
    void GenerateBlock(byte* output, size_t size) override
    {
        for (size_t i = 0; i < size; ++i) output[i] = next_++;
    }

private:
    byte next_ = 0;
};

std::string Bytes(const char* data, std::size_t n) { return std::string(data, n); }

// An encoder past the identification line with counted padding and the known key material.
struct KnownAnswerSender {
    CountingRng rng;
    TransportState state{rng, nullptr, 0, 0, -1};
    const KeyMaterial m;
    CryptoPP::SHA1 hash;
    std::string wire;
    PacketEncoder encoder{state, new CryptoPP::StringSink(wire)};

    KnownAnswerSender() { state.SetKexStateNumber(SSH::KexNewKeysSent); }
    void Send(const std::string& payload)
    {
        SSH::PutText(encoder, payload);
        encoder.MessageEnd();
    }
};

}  // namespace

TEST(DeriveKey, MatchesIndependentlyComputedKeys)
{
    const KeyMaterial m;
    CryptoPP::SHA1 hash;
    const struct {
        char letter;
        const char* hex;
    } expected[] = {
        {'A', "c2e1a2f8daf0d729b90e2aa6f89de4d45db8e3702401270f49b38290c829df9c642e74bc8ba8385c"},
        {'B', "5a42425e7a7bfa3da4eefb37932a3915340ff8b84fc497ee03bbd6fea8e3d8d60a67e9b34695aa88"},
        {'C', "7b244a45d5730a6e71869af42e326efed614d6009421c1a36ac48da88d6b0e292f89d4dc61636fb6"},
        {'D', "d2e72d23537c0a9d2e08c98a2bf8ef69187ca7467763fc2241b0cba2671311bbb0a736f684888ee9"},
        {'E', "ff3b606fc40f9db1fbc15850fda648b60c312c00eb22278ea54eb3cf51850817e5d380d7ef56d4d1"},
        {'F', "81d803d01a0587a674964815caa64045fc41ee8439c2dad75058f42b15d15b685ef7b1cbbc76aaf6"},
    };
    for (const auto& e : expected) {
        // 32 bytes take two digests: the result is rounded up to 40.
        const SecByteBlock key = SSH::DeriveKey(hash, m.K, m.H, m.sessionId, e.letter, 32);
        EXPECT_EQ(ToHex(key), e.hex) << e.letter;
        EXPECT_EQ(SSH::DeriveKey(hash, m.K, m.H, m.sessionId, e.letter, 16).size(), 20u);
        EXPECT_EQ(ToHex(SSH::DeriveKey(hash, m.K, m.H, m.sessionId, e.letter, 20)), std::string(e.hex, 40));
    }
}

// Two packets through aes128-cbc and hmac-sha1, client to server, against the bytes an
// independent implementation produced: key derivation, framing, padding, the CBC state
// running on from packet to packet, sequence numbers and the MAC.
TEST(PacketKnownAnswer, Aes128CbcWithHmacSha1)
{
    KnownAnswerSender s;
    const KeyMaterial& m = s.m;
    CryptoPP::SHA1& hash = s.hash;
    s.state.OutgoingCipher().SetAlgorithm("aes128-cbc", hash, m.K, m.H, m.sessionId, false, false);
    s.state.OutgoingMac().SetAlgorithm("hmac-sha1", hash, m.K, m.H, m.sessionId, false, true, VersionInfo());
    s.Send(Bytes("\x05\0\0\0\x0cssh-userauth", 17));
    s.Send(Bytes("\x02\0\0\0\0", 5));
    const std::string& wire = s.wire;
    EXPECT_EQ(wire, FromHex("957fae79b608b06642fde9d37363c61564101c2f03263885e01f819ffa62d22cb3dbcbbd9dd3ec30ed52a7eb"
                            "02476ad22ee0fbe14cab089c0ea4628eb48f6aa32fd3ff62f4e0a3685f78c63a970a8407ef4ee8f8d22ba9d4"));
    EXPECT_EQ(s.state.OutgoingSequence(), 2u);

    // And the decoder, on the receiving side, takes them back.
    TransportState peer(TestRng(), nullptr, 0, 0, -1);
    peer.SetTransportStateNumber(SSH::TransportNewKeysSent);
    peer.IncomingCipher().SetAlgorithm("aes128-cbc", hash, m.K, m.H, m.sessionId, false, true);
    peer.IncomingMac().SetAlgorithm("hmac-sha1", hash, m.K, m.H, m.sessionId, false, false, VersionInfo());
    CryptoPP::MessageQueue messages;
    PacketDecoder decoder(peer, new CryptoPP::Redirector(messages));
    decoder.Put(reinterpret_cast<const byte*>(wire.data()), wire.size());
    ASSERT_EQ(messages.NumberOfMessages(), 2u);
    std::string first;
    CryptoPP::StringSink sink(first);
    messages.TransferMessagesTo(sink, 1);
    EXPECT_EQ(first, Bytes("\x05\0\0\0\x0cssh-userauth", 17));
}

TEST(PacketKnownAnswer, HmacMd5TruncatedServerToClient)
{
    KnownAnswerSender s;
    s.state.OutgoingMac().SetAlgorithm("hmac-md5-96", s.hash, s.m.K, s.m.H, s.m.sessionId, true, true, VersionInfo());
    EXPECT_EQ(s.state.OutgoingMac().DigestSize(), 12u);
    s.Send(Bytes("\x05\0\0\0\x0cssh-userauth", 17));
    EXPECT_EQ(s.wire, FromHex("0000001c0a050000000c7373682d757365726175746800010203040506070809"
                              "62af439abd22277f16d1d472"));
}

TEST(MacFilter, OlderProductsGetShortSha1Keys)
{
    const struct {
        const char* software;
        const char* comments;
        bool shortKey;
    } peers[] = {
        {"2.0.13", "SSH Secure Shell (non-commercial)", true},
        {"2.3.0", "SSH Secure Shell", true},
        {"2.1", "F-SECURE SSH", true},
        {"2.2.1", "F-SECURE SSH 2.2", true},
        {"2.4.0", "SSH Secure Shell", false},
        {"2.3.1", "SSH Secure Shell", false},
        {"2.0.13", "OpenSSH", false},
        {"2.10", "F-SECURE SSH", false},
    };
    const KeyMaterial m;
    CryptoPP::SHA1 hash;
    const std::string data = "sequence and packet";
    for (const auto& p : peers) {
        const VersionInfo peer("2.0", p.software, p.comments, "");
        EXPECT_EQ(SSH::PeerUsesShortHmacKey(peer), p.shortKey) << p.software << " " << p.comments;
        for (const char* name : {"hmac-sha1", "hmac-sha1-96", "hmac-md5"}) {
            const bool sha1 = name[5] == 's';
            SSH::Mac mac(nullptr);
            std::string digest;
            CryptoPP::StringSink out(digest);
            mac.RedirectOutputTo(out);
            mac.SetAlgorithm(name, hash, m.K, m.H, m.sessionId, false, true, peer);
            SSH::PutText(mac, data);
            mac.MessageEnd();
            const std::size_t keyLength = sha1 && !p.shortKey ? 20 : 16;
            const SecByteBlock key = SSH::DeriveKey(hash, m.K, m.H, m.sessionId, 'E', keyLength);
            std::string expected;
            if (sha1) {
                CryptoPP::HMAC<CryptoPP::SHA1> hmac(key, keyLength);
                CryptoPP::StringSource(data, true, new CryptoPP::HashFilter(hmac, new CryptoPP::StringSink(expected)));
            } else {
                CryptoPP::HMAC<CryptoPP::Weak::MD5> hmac(key, keyLength);
                CryptoPP::StringSource(data, true, new CryptoPP::HashFilter(hmac, new CryptoPP::StringSink(expected)));
            }
            if (std::string(name) == "hmac-sha1-96") expected.resize(12);
            EXPECT_EQ(digest, expected) << name << " " << p.software;
        }
    }
}

TEST(CipherFilter, NamesSizesAndRefusals)
{
    const KeyMaterial m;
    CryptoPP::SHA1 hash;
    const struct {
        const char* name;
        unsigned blockSize;
    } ciphers[] = {{"none", 1},          {"aes256-cbc", 16},  {"aes128-cbc", 16},     {"blowfish-cbc", 8},
                   {"3des-cbc", 8},      {"twofish-cbc", 16}, {"twofish256-cbc", 16}, {"twofish128-cbc", 16},
                   {"arcfour", 1},       {"cast128-cbc", 8}};
    const std::string plain(64, 'p');
    std::map<std::string, std::string> outputs;
    for (const auto& c : ciphers) {
        std::string out, back;
        SSH::Cipher enc(nullptr), dec(nullptr);
        CryptoPP::StringSink outSink(out), backSink(back);
        enc.RedirectOutputTo(outSink);
        dec.RedirectOutputTo(backSink);
        enc.SetAlgorithm(c.name, hash, m.K, m.H, m.sessionId, true, false);
        dec.SetAlgorithm(c.name, hash, m.K, m.H, m.sessionId, true, true);
        EXPECT_EQ(enc.BlockSize(), c.blockSize) << c.name;
        SSH::PutText(enc, plain);
        SSH::PutText(dec, out);
        EXPECT_EQ(back, plain) << c.name;
        EXPECT_EQ(out == plain, std::string(c.name) == "none") << c.name;
        outputs[c.name] = out;
    }
    EXPECT_EQ(outputs["twofish-cbc"], outputs["twofish256-cbc"]);
    EXPECT_NE(outputs["twofish-cbc"], outputs["twofish128-cbc"]);

    SSH::Cipher cipher(nullptr);
    SSH::Mac mac(nullptr);
    SSH::Compressor compressor(nullptr, -1);
    EXPECT_EQ(ErrorOf([&] { cipher.SetAlgorithm("aes128-ctr", hash, m.K, m.H, m.sessionId, false, false); }),
              "SSH::Cipher: unsupported cipher type");
    EXPECT_EQ(ErrorOf([&] { mac.SetAlgorithm("hmac-sha2-256", hash, m.K, m.H, m.sessionId, false, false, VersionInfo()); }),
              "SSH::Mac: unsupported MAC algorithm");
    EXPECT_EQ(ErrorOf([&] { compressor.SetAlgorithm("zlib@openssh.com", true); }),
              "SSH::Compressor: unsupported compression algorithm");
}
