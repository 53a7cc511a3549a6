#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include <cryptopp/filters.h>

#include "settings/framework/cfg_enc_dec.h"
#include "settings/server/keypair_data.h"
#include "settings/server/product_key.h"

namespace {

KeypairData Keypair(const std::string& publicBlob, const std::string& privateBlob)
{
    KeypairData keypair;
    keypair.m_publicKey = publicBlob;
    keypair.m_privateKey.Assign(reinterpret_cast<const CryptoPP::byte*>(privateBlob.data()), privateBlob.size());
    return keypair;
}

std::string Written(const KeypairData& keypair)
{
    std::string bytes;
    CryptoPP::StringSink sink(bytes);
    WriteKeypairData(sink, keypair);
    return bytes;
}

// "" when the bytes read, else the exception's text.
std::wstring ReadFailure(const std::string& bytes, KeypairData& keypair)
{
    CryptoPP::StringStore store(bytes);
    try {
        ReadKeypairData(store, keypair);
        return L"";
    } catch (const CfgEncDec::CEncodeDecodeException& e) {
        return e.WideWhat();
    }
}

TEST(KeypairData, StoredFormIsTwoCountedBlobsAndNothingElse)
{
    const std::string expected("\x00\x00\x00\x03" "pub" "\x00\x00\x00\x05" "priv!", 16);
    EXPECT_EQ(expected, Written(Keypair("pub", "priv!")));
    EXPECT_EQ(std::string(8, '\0'), Written(KeypairData()));

    KeypairData read;
    EXPECT_EQ(L"", ReadFailure(expected, read));
    EXPECT_TRUE(read == Keypair("pub", "priv!"));
}

TEST(KeypairData, DamagedFormsFailAndChangeNothing)
{
    const std::string sound("\x00\x00\x00\x03" "pub" "\x00\x00\x00\x05" "priv!", 16);
    const struct {
        std::string bytes;
        const wchar_t* failure;
    } cases[] = {
        {sound + "x", L"input configuration data is partially corrupted"},
        {sound.substr(0, 15), L"unexpected end of packet"},
        {sound.substr(0, 9), L"unexpected end of packet"},
        {"", L"unexpected end of packet"},
        // A count far beyond the bytes there, near the top of its range.
        {std::string("\xFF\xFF\xFF\xFF" "pub", 7), L"unexpected end of packet"},
        {std::string("\x00\x00\x00\x03" "pub" "\xFF\xFF\xFF\xFC" "priv!", 16), L"unexpected end of packet"},
    };
    for (const auto& c : cases) {
        KeypairData keypair = Keypair("old", "secret");
        EXPECT_EQ(c.failure, ReadFailure(c.bytes, keypair)) << c.bytes.size();
        EXPECT_TRUE(keypair == Keypair("old", "secret"));
    }
}

// The SID an access entry names.
PSID EntrySid(PACL acl, DWORD index, ACCESS_ALLOWED_ACE*& entry)
{
    void* raw = nullptr;
    EXPECT_TRUE(GetAce(acl, index, &raw));
    entry = static_cast<ACCESS_ALLOWED_ACE*>(raw);
    return &entry->SidStart;
}

TEST(ProductKeySecurity, GrantsLocalSystemThenAdministratorsFullAccessWithoutInheritance)
{
    ProductKeySecurity security;
    std::wstring error;
    ASSERT_TRUE(security.Build(error)) << std::string(error.begin(), error.end());
    PACL acl = security.Acl();
    ASSERT_NE(nullptr, acl);
    ACL_SIZE_INFORMATION size = {};
    ASSERT_TRUE(GetAclInformation(acl, &size, sizeof(size), AclSizeInformation));
    ASSERT_EQ(2u, size.AceCount);

    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID system = nullptr;
    PSID admins = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system));
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                         0, &admins));
    const PSID expected[2] = {system, admins};
    for (DWORD i = 0; i < 2; ++i) {
        ACCESS_ALLOWED_ACE* entry = nullptr;
        PSID sid = EntrySid(acl, i, entry);
        EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, entry->Header.AceType) << i;
        EXPECT_EQ(0, entry->Header.AceFlags) << i;
        EXPECT_EQ(static_cast<DWORD>(KEY_ALL_ACCESS), entry->Mask) << i;
        EXPECT_TRUE(EqualSid(sid, expected[i])) << i;
    }
    FreeSid(system);
    FreeSid(admins);

    SECURITY_ATTRIBUTES* attributes = security.Attributes();
    EXPECT_EQ(sizeof(SECURITY_ATTRIBUTES), attributes->nLength);
    EXPECT_FALSE(attributes->bInheritHandle);
    BOOL present = FALSE;
    BOOL defaulted = TRUE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(attributes->lpSecurityDescriptor, &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_FALSE(defaulted);
    EXPECT_EQ(acl, dacl);
}

} // namespace
