#include "foundation/passphrase_cipher.h"

#include <cryptopp/osrng.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

typedef std::vector<CryptoPP::byte> Bytes;

// Hands out 0, 1, 2, ... so that an encryption can be compared with a fixed vector.
class CountingRng : public CryptoPP::RandomNumberGenerator {
public:
    void GenerateBlock(CryptoPP::byte* output, size_t size) override {
        for (size_t i = 0; i < size; ++i) output[i] = next++;
    }
    CryptoPP::byte next = 0;
};

Bytes FromText(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string ToHex(const Bytes& b) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (CryptoPP::byte c : b) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

Bytes Encrypt(CryptoPP::RandomNumberGenerator& rng, const Bytes& passphrase, const Bytes& plain) {
    Bytes out(PassphraseCipher::CiphertextBound(plain.size()));
    out.resize(PassphraseCipher::Encrypt(rng, CryptoPP::ConstByteArrayParameter(passphrase.data(), passphrase.size()),
                                         out.data(), CryptoPP::ConstByteArrayParameter(plain.data(), plain.size())));
    return out;
}

// The plaintext, or "invalid".
std::string Decrypt(const Bytes& passphrase, const Bytes& encrypted) {
    Bytes out(encrypted.size() > 28 ? encrypted.size() - 28 : 1, 0xEE);
    CryptoPP::DecodingResult r =
        PassphraseCipher::Decrypt(CryptoPP::ConstByteArrayParameter(passphrase.data(), passphrase.size()), out.data(),
                                  CryptoPP::ConstByteArrayParameter(encrypted.data(), encrypted.size()));
    if (!r.isValidCoding) return "invalid";
    return std::string(out.begin(), out.begin() + r.messageLength);
}

TEST(PassphraseCipherTest, MatchesAnIndependentlyComputedForm) {
    // Computed with Python's hashlib, hmac and an AES-CFB128 of another library.
    CountingRng rng;
    EXPECT_EQ("1305e79998b478fa3648fcdb50c70dbbcba4127c2b99729d95bad6750b9ac6420c1011121314151617"
              "f06abbc51f74bf3e77f87c4991b48aa998653b00",
              ToHex(Encrypt(rng, FromText("correct horse"), FromText("secret key bytes!"))));
    CountingRng fresh;
    Bytes empty = Encrypt(fresh, Bytes(), Bytes());
    EXPECT_EQ("6463feded7888410afd5d4a1d6fa13408c471213141516171819e94e74474b1d41989732f32a3b8754fead75bcfa",
              ToHex(empty));
    EXPECT_EQ("", Decrypt(Bytes(), empty));
}

TEST(PassphraseCipherTest, SizesFollowTheFifteenByteGranularity) {
    CryptoPP::AutoSeededRandomPool rng;
    struct Case {
        size_t plain, encrypted;
    } cases[] = {{0, 46}, {1, 46}, {14, 46}, {15, 61}, {16, 61}, {29, 61}, {30, 76}, {100, 136}};
    for (const Case& c : cases) {
        std::string text(c.plain, 'k');
        Bytes form = Encrypt(rng, FromText("pass"), FromText(text));
        EXPECT_EQ(c.encrypted, form.size()) << c.plain;
        EXPECT_LE(form.size(), PassphraseCipher::CiphertextBound(c.plain));
        EXPECT_EQ(text, Decrypt(FromText("pass"), form)) << c.plain;
    }
    EXPECT_EQ(150u, PassphraseCipher::CiphertextBound(100));
}

TEST(PassphraseCipherTest, EncryptionsDifferAndBothDecrypt) {
    CryptoPP::AutoSeededRandomPool rng;
    Bytes a = Encrypt(rng, FromText("pw"), FromText("the keypair")), b = Encrypt(rng, FromText("pw"), FromText("the keypair"));
    EXPECT_NE(a, b);
    EXPECT_EQ("the keypair", Decrypt(FromText("pw"), a));
    EXPECT_EQ("the keypair", Decrypt(FromText("pw"), b));
}

TEST(PassphraseCipherTest, WrongPassphraseOrAnyDamageIsInvalid) {
    CryptoPP::AutoSeededRandomPool rng;
    const Bytes form = Encrypt(rng, FromText("right"), FromText("secret of twenty bytes"));
    struct Case {
        std::string what;
        Bytes passphrase, input;
    };
    std::vector<Case> cases = {
        {"other passphrase", FromText("wrong"), form},
        {"empty passphrase", Bytes(), form},
        {"45 bytes", FromText("right"), Bytes(form.begin(), form.begin() + 45)},
        {"empty", FromText("right"), Bytes()},
        {"last byte cut", FromText("right"), Bytes(form.begin(), form.end() - 1)},
        {"byte added", FromText("right"), [&] { Bytes b = form; b.push_back(0); return b; }()},
    };
    for (size_t i = 0; i < form.size(); ++i) {
        Case c = {"flipped byte " + std::to_string(i), FromText("right"), form};
        c.input[i] ^= static_cast<CryptoPP::byte>(0x80 >> (i % 8));
        cases.push_back(c);
    }
    for (const Case& c : cases) EXPECT_EQ("invalid", Decrypt(c.passphrase, c.input)) << c.what;
}

TEST(PassphraseCipherTest, DeriveIvFoldsTheSaltDigest) {
    // SHA-256 of eight zero bytes: af5570f5...; the IV is its halves XORed.
    const CryptoPP::byte salt[8] = {};
    CryptoPP::byte iv[16];
    PassphraseCipher::DeriveIv(salt, iv);
    EXPECT_EQ("a2a06eb71b781637123e9dc627e25bf3", ToHex(Bytes(iv, iv + 16)));
}

}  // namespace
