#include "foundation/blowfish.h"
#include "foundation/crypt_block.h"
#include "foundation/hmac_sha1.h"
#include "foundation/random_source.h"

#include <cryptopp/blowfish.h>
#include <cryptopp/hmac.h>
#include <cryptopp/modes.h>
#include <cryptopp/sha.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

const unsigned char kCipherKey[16] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE,
                                      0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
const unsigned char kMacKey[16] = {0xA5, 0x5A, 0x3C, 0xC3, 0x96, 0x69, 0x0F, 0xF0,
                                   0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};

// A kind of secret with fixed keys, as the product's subclasses have.
class TestCryptBlock : public CryptBlock {
public:
    const unsigned char* GetCipherKey() const override { return kCipherKey; }
    const unsigned char* GetMacKey() const override { return kMacKey; }
};

Bytes Contents(const datavect<unsigned char>& v) { return Bytes(v.p_, v.p_ + v.s_); }

void Put(datavect<unsigned char>& v, const Bytes& bytes) {
    v.resize(0);
    v.append(bytes.data(), bytes.data() + bytes.size());
}

Bytes Sequence(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(0x41 + i);
    return b;
}

std::string Errors(ErrorInfo& info) {
    NoCrtString s = info.Describe("\n");
    return std::string(s.c_str(), s.size());
}

// A stored form of arbitrary (already padded) data, made with Crypto++ so that the layout
// is checked by code we did not write.
Bytes ReferenceStoredForm(const Bytes& padded, const Bytes& iv) {
    Bytes form(28 + padded.size());
    std::copy(iv.begin(), iv.end(), form.begin() + 20);
    CryptoPP::CBC_Mode<CryptoPP::Blowfish>::Encryption cipher(kCipherKey, 16, iv.data());
    cipher.ProcessData(form.data() + 28, padded.data(), padded.size());
    CryptoPP::HMAC<CryptoPP::SHA1>(kMacKey, 16).CalculateDigest(form.data(), form.data() + 20, form.size() - 20);
    return form;
}

class CryptBlockTest : public ::testing::Test {
protected:
    NoCrtRandom random;
    ErrorInfo info;
};

TEST_F(CryptBlockTest, StoredFormLayoutMatchesAnIndependentDecryption) {
    for (std::size_t n : {0, 1, 7, 8, 9, 15, 16, 100}) {
        TestCryptBlock block;
        Bytes secret = Sequence(n);
        Put(block.plaintext, secret);
        ASSERT_TRUE(block.SetCryptFromPlain(info)) << Errors(info);
        Bytes form = Contents(block.ciphertext);
        std::size_t pad = 8 - n % 8;
        ASSERT_EQ(n + pad + 28, form.size());
        EXPECT_EQ(secret, Contents(block.plaintext));  // the plaintext stays

        unsigned char tag[20];
        CryptoPP::HMAC<CryptoPP::SHA1>(kMacKey, 16).CalculateDigest(tag, form.data() + 20, form.size() - 20);
        EXPECT_EQ(Bytes(tag, tag + 20), Bytes(form.begin(), form.begin() + 20));
        Bytes decrypted(n + pad);
        CryptoPP::CBC_Mode<CryptoPP::Blowfish>::Decryption cipher(kCipherKey, 16, form.data() + 20);
        cipher.ProcessData(decrypted.data(), form.data() + 28, decrypted.size());
        Bytes expected = secret;
        expected.insert(expected.end(), pad, static_cast<unsigned char>(pad));
        EXPECT_EQ(expected, decrypted) << n;

        // And back: a fresh block with only the stored form.
        TestCryptBlock reader;
        Put(reader.ciphertext, form);
        ASSERT_TRUE(reader.SetPlainFromCrypt(info)) << Errors(info);
        EXPECT_EQ(secret, Contents(reader.plaintext));
    }
    EXPECT_EQ("", Errors(info));
}

TEST_F(CryptBlockTest, EncryptionsDifferButDecryptAlike) {
    TestCryptBlock a, b;
    Put(a.plaintext, Sequence(12));
    Put(b.plaintext, Sequence(12));
    ASSERT_TRUE(a.SetCryptFromPlain(info));
    ASSERT_TRUE(b.SetCryptFromPlain(info));
    Bytes fa = Contents(a.ciphertext), fb = Contents(b.ciphertext);
    EXPECT_NE(Bytes(fa.begin(), fa.begin() + 20), Bytes(fb.begin(), fb.begin() + 20));
    EXPECT_NE(Bytes(fa.begin() + 20, fa.begin() + 28), Bytes(fb.begin() + 20, fb.begin() + 28));
    EXPECT_NE(Bytes(fa.begin() + 28, fa.end()), Bytes(fb.begin() + 28, fb.end()));
    ASSERT_TRUE(a.SetPlainFromCrypt(info));
    ASSERT_TRUE(b.SetPlainFromCrypt(info));
    EXPECT_EQ(Contents(a.plaintext), Contents(b.plaintext));
}

TEST_F(CryptBlockTest, PadPositionsAreOverwrittenAfterDecryption) {
    TestCryptBlock block;
    Put(block.ciphertext, ReferenceStoredForm(Bytes(8, 8), Bytes(8, 0x77)));
    ASSERT_TRUE(block.SetPlainFromCrypt(info));
    EXPECT_EQ(0u, block.plaintext.size());
    ASSERT_GE(block.plaintext.capacity(), 8u);
    EXPECT_NE(Bytes(8, 8), Bytes(block.plaintext.p_, block.plaintext.p_ + 8));
}

TEST_F(CryptBlockTest, DamagedStoredFormsChangeNothing) {
    TestCryptBlock source;
    Put(source.plaintext, Sequence(11));
    ASSERT_TRUE(source.SetCryptFromPlain(info));
    const Bytes form = Contents(source.ciphertext);
    const Bytes previous = {1, 2, 3};

    struct Case {
        const char* what;
        Bytes stored;
        const char* error;
    };
    std::vector<Case> cases = {
        {"empty", {}, "CryptBlock::SetPlainFromCrypt(): Encrypted data too short"},
        {"35 bytes", Bytes(form.begin(), form.begin() + 35), "CryptBlock::SetPlainFromCrypt(): Encrypted data too short"},
        {"37 bytes", Bytes(form.begin(), form.begin() + 37),
         "CryptBlock::SetPlainFromCrypt(): Ciphertext not a multiple of block size"},
        {"last block cut", Bytes(form.begin(), form.end() - 8), "CryptBlock::SetPlainFromCrypt(): Integrity check failed"},
    };
    for (std::size_t i = 0; i < form.size(); ++i) {
        Case c = {"flipped byte", form, "CryptBlock::SetPlainFromCrypt(): Integrity check failed"};
        c.stored[i] ^= static_cast<unsigned char>(1u << (i % 8));
        cases.push_back(c);
    }
    for (const Case& c : cases) {
        TestCryptBlock block;
        Put(block.ciphertext, c.stored);
        Put(block.plaintext, previous);
        info.Clear();
        EXPECT_FALSE(block.SetPlainFromCrypt(info)) << c.what;
        EXPECT_EQ(std::string("[Error] ") + c.error, Errors(info)) << c.what;
        EXPECT_EQ(previous, Contents(block.plaintext)) << c.what;
        EXPECT_EQ(c.stored, Contents(block.ciphertext)) << c.what;
    }
}

TEST_F(CryptBlockTest, BadPaddingUnderAValidTagLeavesNoPlaintext) {
    const Bytes iv(8, 0x5A);
    struct Case {
        const char* what;
        Bytes padded;
    } cases[] = {
        {"count 0", {'s', 'e', 'c', 'r', 'e', 't', '!', 0}},
        {"count 9", {'s', 'e', 'c', 'r', 'e', 't', '!', 9}},
        {"count beyond the data", {'s', 'e', 'c', 'r', 'e', 't', '!', 200}},
        {"pad bytes differ", {'s', 'e', 'c', 'r', 'e', 't', 1, 2}},
        {"pad of 8 with one wrong byte", {8, 8, 8, 7, 8, 8, 8, 8}},
    };
    for (const Case& c : cases) {
        TestCryptBlock block;
        Put(block.ciphertext, ReferenceStoredForm(c.padded, iv));
        Put(block.plaintext, {1, 2, 3});
        info.Clear();
        EXPECT_FALSE(block.SetPlainFromCrypt(info)) << c.what;
        EXPECT_EQ("[Error] CryptBlock::SetPlainFromCrypt(): Invalid padding length", Errors(info)) << c.what;
        EXPECT_EQ(0u, block.plaintext.size()) << c.what;
        // The buffer that held the decrypted bytes no longer holds them.
        EXPECT_EQ(std::string::npos, std::string(block.plaintext.p_, block.plaintext.p_ + block.plaintext.cap_).find("secre"))
            << c.what;
    }
    // The same layout with a sound pad is accepted.
    TestCryptBlock block;
    Put(block.ciphertext, ReferenceStoredForm({'s', 'e', 'c', 'r', 'e', 't', 2, 2}, iv));
    info.Clear();
    ASSERT_TRUE(block.SetPlainFromCrypt(info)) << Errors(info);
    EXPECT_EQ(Bytes({'s', 'e', 'c', 'r', 'e', 't'}), Contents(block.plaintext));
}

TEST_F(CryptBlockTest, AssignmentCopiesTheStoredFormOnly) {
    TestCryptBlock source, target;
    Put(source.plaintext, Sequence(5));
    ASSERT_TRUE(source.SetCryptFromPlain(info));
    Put(target.plaintext, {9, 9, 9, 9});
    target = source;
    EXPECT_EQ(Contents(source.ciphertext), Contents(target.ciphertext));
    EXPECT_EQ(0u, target.plaintext.size());
    EXPECT_NE(Bytes(4, 9), Bytes(target.plaintext.p_, target.plaintext.p_ + 4)) << "old plaintext wiped";
    EXPECT_EQ(RandomWipeBuffer, target.ciphertext.wipe_);

    TestCryptBlock copy(source);
    EXPECT_EQ(Contents(source.ciphertext), Contents(copy.ciphertext));
    EXPECT_EQ(0u, copy.plaintext.size());
    ASSERT_TRUE(copy.SetPlainFromCrypt(info));
    EXPECT_EQ(Sequence(5), Contents(copy.plaintext));

    // A marked source passes its mark on; a marked target ignores assignments.
    TestCryptBlock marked;
    marked.af_ = 40;
    target = marked;
    EXPECT_EQ(40, target.af_);
    target = source;
    EXPECT_EQ(40, target.af_);
}

TEST_F(CryptBlockTest, WipesEmptyBothForms) {
    TestCryptBlock block;
    Put(block.plaintext, Sequence(20));
    ASSERT_TRUE(block.SetCryptFromPlain(info));
    EXPECT_TRUE(block.WipePlain(info));
    EXPECT_TRUE(block.WipeCrypt(info));
    EXPECT_EQ(0u, block.plaintext.size());
    EXPECT_EQ(0u, block.ciphertext.size());
    EXPECT_EQ(std::string::npos, std::string(block.plaintext.p_, block.plaintext.p_ + block.plaintext.cap_).find("ABCD"));
}

}  // namespace

// Without a random source, encryption fails and leaves no partial stored form.
TEST(CryptBlockWithoutRandom, EncryptionFailsCleanly) {
    TestCryptBlock block;
    Put(block.plaintext, Sequence(4));
    Put(block.ciphertext, Sequence(36));
    ErrorInfo info;
    EXPECT_FALSE(block.SetCryptFromPlain(info));
    EXPECT_EQ("[Error] NoCrtRandom::GenRandom() - not initialized", Errors(info));
    EXPECT_EQ(0u, block.ciphertext.size());
    EXPECT_EQ(Sequence(4), Contents(block.plaintext));
}
