#include "foundation/blowfish.h"
#include "foundation/hmac_sha1.h"
#include "foundation/secure_bytes.h"
#include "foundation/sha1.h"

#include <cryptopp/blowfish.h>
#include <cryptopp/hmac.h>
#include <cryptopp/modes.h>
#include <cryptopp/osrng.h>
#include <cryptopp/sha.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes FromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string ToHex(const unsigned char* p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

std::string Sha1Hex(const std::string& message) {
    Sha1Context ctx;
    Sha1Init(ctx);
    Sha1Update(ctx, message.data(), message.size());
    unsigned char digest[kSha1DigestSize];
    Sha1Final(ctx, digest);
    return ToHex(digest, sizeof digest);
}

std::string HmacHex(const Bytes& key, const Bytes& data) {
    unsigned char mac[kSha1DigestSize];
    HmacSha1(key.data(), key.size(), data.data(), data.size(), mac);
    return ToHex(mac, sizeof mac);
}

Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(Sha1Test, PublishedDigests) {
    EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", Sha1Hex("abc"));
    EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", Sha1Hex(""));
    EXPECT_EQ("84983e441c3bd26ebaae4aa1f95129e5e54670f1",
              Sha1Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"));
}

TEST(Sha1Test, MillionBytesInAnyPieces) {
    const std::string million(1000000, 'a');
    for (std::size_t piece : {std::size_t(1), std::size_t(63), std::size_t(64), std::size_t(65), million.size()}) {
        Sha1Context ctx;
        Sha1Init(ctx);
        for (std::size_t at = 0; at < million.size(); at += piece)
            Sha1Update(ctx, million.data() + at, std::min(piece, million.size() - at));
        unsigned char digest[kSha1DigestSize];
        Sha1Final(ctx, digest);
        EXPECT_EQ("34aa973cd4c4daa4f61eeb2bdbad27316534016f", ToHex(digest, sizeof digest)) << piece;
    }
}

TEST(HmacSha1Test, Rfc2202Cases) {
    struct Case {
        Bytes key, data;
        const char* mac;
    } cases[] = {
        {Bytes(20, 0x0b), Str("Hi There"), "b617318655057264e28bc0b6fb378c8ef146be00"},
        {Str("Jefe"), Str("what do ya want for nothing?"), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {Bytes(20, 0xaa), Bytes(50, 0xdd), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {FromHex("0102030405060708090a0b0c0d0e0f10111213141516171819"), Bytes(50, 0xcd),
         "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {Bytes(20, 0x0c), Str("Test With Truncation"), "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
        // Keys longer than the block are hashed first.
        {Bytes(80, 0xaa), Str("Test Using Larger Than Block-Size Key - Hash Key First"),
         "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {Bytes(80, 0xaa), Str("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
         "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.mac, HmacHex(c.key, c.data));
}

TEST(SecureBytesTest, ConstantTimeEqual) {
    const unsigned char a[3] = {1, 2, 3}, b[3] = {1, 2, 4};
    EXPECT_TRUE(ConstantTimeEqual(a, a, 3));
    EXPECT_FALSE(ConstantTimeEqual(a, b, 3));
    EXPECT_TRUE(ConstantTimeEqual(a, b, 2));
}

TEST(Sha1Test, AgreesWithCryptoppOnRandomInputs) {
    CryptoPP::AutoSeededRandomPool rng;
    for (int round = 0; round < 200; ++round) {
        Bytes key(rng.GenerateWord32(0, 100)), data(rng.GenerateWord32(0, 300));
        rng.GenerateBlock(key.data(), key.size());
        rng.GenerateBlock(data.data(), data.size());

        unsigned char expected[20], actual[20];
        CryptoPP::SHA1().CalculateDigest(expected, data.data(), data.size());
        Sha1Context ctx;
        Sha1Init(ctx);
        Sha1Update(ctx, data.data(), data.size());
        Sha1Final(ctx, actual);
        ASSERT_EQ(ToHex(expected, 20), ToHex(actual, 20));

        CryptoPP::HMAC<CryptoPP::SHA1>(key.data(), key.size()).CalculateDigest(expected, data.data(), data.size());
        ASSERT_EQ(ToHex(expected, 20), HmacHex(key, data)) << key.size();
    }
}

TEST(BlowfishTest, PublishedBlockVectors) {
    struct Case {
        const char *key, *plain, *cipher;
    } cases[] = {
        {"0000000000000000", "0000000000000000", "4ef997456198dd78"},
        {"ffffffffffffffff", "ffffffffffffffff", "51866fd5b85ecb8a"},
        {"3000000000000000", "1000000000000001", "7d856f9a613063f2"},
        {"0123456789abcdef", "1111111111111111", "61f9c3802281b096"},
        {"fedcba9876543210", "0123456789abcdef", "0aceab0fc6a0a28d"},
    };
    for (const Case& c : cases) {
        Bytes key = FromHex(c.key), plain = FromHex(c.plain);
        BlowfishContext ctx;
        BlowfishSetKey(ctx, key.data(), key.size());
        auto word = [](const unsigned char* p) {
            return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
        };
        std::uint32_t out[2], back[2];
        BlowfishEncryptBlock(word(&plain[0]), word(&plain[4]), out, ctx);
        unsigned char bytes[8];
        for (int i = 0; i < 4; ++i) {
            bytes[i] = static_cast<unsigned char>(out[0] >> (24 - 8 * i));
            bytes[4 + i] = static_cast<unsigned char>(out[1] >> (24 - 8 * i));
        }
        EXPECT_EQ(c.cipher, ToHex(bytes, 8)) << c.key;
        BlowfishDecryptBlock(out[0], out[1], back, ctx);
        EXPECT_EQ(word(&plain[0]), back[0]);
        EXPECT_EQ(word(&plain[4]), back[1]);
    }
}

TEST(BlowfishTest, PublishedCbcVector) {
    Bytes key = FromHex("0123456789abcdeff0e1d2c3b4a59687"), iv = FromHex("fedcba9876543210");
    Bytes data = FromHex("37363534333231204e6f77206973207468652074696d6520666f722000000000");
    BlowfishContext ctx;
    BlowfishSetKey128(ctx, key.data());
    BlowfishSetIv(ctx, iv.data());
    ASSERT_TRUE(BlowfishCbcEncrypt(ctx, data.data(), data.size()));
    EXPECT_EQ("6b77b4d63006dee605b156e27403979358deb9e7154616d959f1652bd5ff92cc", ToHex(data.data(), data.size()));
    BlowfishSetIv(ctx, iv.data());
    ASSERT_TRUE(BlowfishCbcDecrypt(ctx, data.data(), data.size()));
    EXPECT_EQ("37363534333231204e6f77206973207468652074696d6520666f722000000000", ToHex(data.data(), data.size()));
}

TEST(BlowfishTest, CbcCarriesTheChainAcrossCallsAndRefusesPartialBlocks) {
    CryptoPP::AutoSeededRandomPool rng;
    unsigned char key[16], iv[8];
    rng.GenerateBlock(key, 16);
    rng.GenerateBlock(iv, 8);
    Bytes data(16);
    rng.GenerateBlock(data.data(), 16);

    Bytes once = data, twice = data;
    BlowfishContext ctx;
    BlowfishSetKey128(ctx, key);
    BlowfishSetIv(ctx, iv);
    BlowfishCbcEncrypt(ctx, once.data(), 16);
    BlowfishSetIv(ctx, iv);
    BlowfishCbcEncrypt(ctx, twice.data(), 8);
    BlowfishCbcEncrypt(ctx, twice.data() + 8, 8);
    EXPECT_EQ(once, twice);

    // A length that is not whole blocks touches nothing, not even the bytes it covers.
    for (std::size_t count : {1, 7, 9, 15}) {
        Bytes guarded = data;
        BlowfishSetIv(ctx, iv);
        EXPECT_FALSE(BlowfishCbcEncrypt(ctx, guarded.data(), count));
        EXPECT_FALSE(BlowfishCbcDecrypt(ctx, guarded.data(), count));
        EXPECT_EQ(data, guarded);
    }
    EXPECT_TRUE(BlowfishCbcEncrypt(ctx, data.data(), 0));
}

TEST(BlowfishTest, AgreesWithCryptoppOnRandomInputs) {
    CryptoPP::AutoSeededRandomPool rng;
    for (int round = 0; round < 100; ++round) {
        unsigned char key[16], iv[8];
        rng.GenerateBlock(key, 16);
        rng.GenerateBlock(iv, 8);
        Bytes plain(8 * rng.GenerateWord32(0, 20));
        rng.GenerateBlock(plain.data(), plain.size());

        Bytes expected(plain.size());
        CryptoPP::CBC_Mode<CryptoPP::Blowfish>::Encryption reference(key, 16, iv);
        reference.ProcessData(expected.data(), plain.data(), plain.size());

        Bytes actual = plain;
        BlowfishContext ctx;
        BlowfishSetKey128(ctx, key);
        BlowfishSetIv(ctx, iv);
        ASSERT_TRUE(BlowfishCbcEncrypt(ctx, actual.data(), actual.size()));
        ASSERT_EQ(expected, actual);
        BlowfishSetIv(ctx, iv);
        ASSERT_TRUE(BlowfishCbcDecrypt(ctx, actual.data(), actual.size()));
        ASSERT_EQ(plain, actual);
    }
}

}  // namespace
