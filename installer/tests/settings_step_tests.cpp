#include "installer/host_keypair.h"
#include "settings/server/product_key.h"

#include "ssh/public_key_info.h"
#include "ssh/signer.h"

#include <cryptopp/filters.h>
#include <cryptopp/hex.h>

#include <gtest/gtest.h>

#include <windows.h>
#include <shlwapi.h>

#include <regex>
#include <string>

namespace {

std::string Hex(const void* data, size_t length)
{
    std::string out;
    CryptoPP::StringSource(static_cast<const CryptoPP::byte*>(data), length, true,
                           new CryptoPP::HexEncoder(new CryptoPP::StringSink(out), false));
    return out;
}

std::string Hex(const std::string& bytes)
{
    return Hex(bytes.data(), bytes.size());
}

// A clean product key for each test, with release 1.1's values as a test writes them.
class EarlierKeypair : public testing::Test {
protected:
    void SetUp() override
    {
        SHDeleteKeyA(HKEY_LOCAL_MACHINE, kProductKeyPath);
        ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, kProductKeyPath, &key), ERROR_SUCCESS);
    }
    void TearDown() override
    {
        RegCloseKey(key);
        SHDeleteKeyA(HKEY_LOCAL_MACHINE, kProductKeyPath);
    }

    // Stored with its terminating zero unless told otherwise.
    void Set(const char* name, const std::string& text, DWORD type = REG_SZ, bool terminated = true)
    {
        ASSERT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                                 static_cast<DWORD>(text.size() + (terminated ? 1 : 0))),
                  ERROR_SUCCESS);
    }

    // "public-hex/private-hex", or "refused" with both blobs checked empty.
    std::string Import()
    {
        std::string publicKey = "stale";
        CryptoPP::SecByteBlock privateKey(reinterpret_cast<const CryptoPP::byte*>("stale"), 5);
        if (!ImportEarlierKeypair(publicKey, privateKey)) {
            EXPECT_TRUE(publicKey.empty());
            EXPECT_EQ(privateKey.size(), 0u);
            return "refused";
        }
        return Hex(publicKey) + "/" + Hex(privateKey.data(), privateKey.size());
    }

    HKEY key = nullptr;
};

TEST_F(EarlierKeypair, BothValuesAreTakenOverAsTheyStand)
{
    Set("PublicKey", "00 0A-0b");
    Set("PrivateKey", "0c0D0e");
    EXPECT_EQ(Import(), "000a0b/0c0d0e");
    // The values stay.
    EXPECT_EQ(RegQueryValueExA(key, "PublicKey", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(key, "PrivateKey", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);

    // "PublicKey" may be an expandable string too; "PrivateKey" may not.
    Set("PublicKey", "01", REG_EXPAND_SZ);
    EXPECT_EQ(Import(), "01/0c0d0e");
}

TEST_F(EarlierKeypair, UnusableValuesAreRefused)
{
    struct Case {
        const char* name;
        const char* publicText;   // null: no value
        const char* privateText;  // null: no value
        DWORD privateType;
    } cases[] = {
        {"no private key", "0a0b", nullptr, REG_SZ},
        {"empty private key", "0a0b", "", REG_SZ},
        {"expandable private key", "0a0b", "0c0d", REG_EXPAND_SZ},
        {"binary private key", "0a0b", "0c0d", REG_BINARY},
        {"private key without hex digits", "0a0b", "zz-q", REG_SZ},
        {"no public key", nullptr, "0c0d", REG_SZ},
        {"public key without hex digits", "xyz", "0c0d", REG_SZ},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RegDeleteValueA(key, "PublicKey");
        RegDeleteValueA(key, "PrivateKey");
        if (c.publicText)
            Set("PublicKey", c.publicText);
        if (c.privateText)
            Set("PrivateKey", c.privateText, c.privateType);
        EXPECT_EQ(Import(), "refused");
    }
}

TEST_F(EarlierKeypair, PrivateKeyIsTakenWhole)
{
    // Without its terminating zero the value keeps its last digit.
    Set("PublicKey", "0a0b");
    Set("PrivateKey", "0c0d0e", REG_SZ, false);
    EXPECT_EQ(Import(), "0a0b/0c0d0e");

    // A key beyond 1024 bytes is not cut.
    std::string longKey;
    for (int i = 0; i < 1500; ++i)
        longKey += "a5";
    Set("PrivateKey", longKey);
    EXPECT_EQ(Import(), "0a0b/" + longKey);
}

TEST(HostKeypair, GeneratedKeyIsADsaKeyOf1024BitsWhoseBlobsMatch)
{
    std::string publicKey;
    CryptoPP::SecByteBlock privateKey;
    GenerateHostKeypair(publicKey, privateKey);

    CryptoPP::StringSource publicSource(publicKey, true);
    PublicKeyInfo info(publicSource);
    EXPECT_EQ(info.Algorithm(), "ssh-dss");
    EXPECT_EQ(info.KeySize(), 1024u);
    EXPECT_EQ(Hex(privateKey.data(), 15), "00000000" "00000007" + Hex(std::string("ssh-dss")));

    CryptoPP::StringSource privateSource(privateKey.data(), privateKey.size(), true);
    Signer reread(privateSource);
    std::string rereadPublic;
    CryptoPP::StringSink sink(rereadPublic);
    reread.EncodePublicKey(sink);
    EXPECT_EQ(Hex(rereadPublic), Hex(publicKey));

    testing::internal::CaptureStdout();
    PrintFingerprints(publicKey);
    const std::string lines = testing::internal::GetCapturedStdout();
    EXPECT_EQ(lines, "MD5 Fingerprint: " + info.Md5Fingerprint() + "\nBubbleBabble: " + info.BubbleBabble() + "\n");
    EXPECT_TRUE(std::regex_match(lines, std::regex("MD5 Fingerprint: [0-9a-f]{2}(:[0-9a-f]{2}){15}\n"
                                                   "BubbleBabble: x[a-z]{4}(-[a-z]{5}){10}\n")))
        << lines;
}

}  // namespace
