#include "settings/server/tests/test_support.h"

#include "settings/framework/encrypted_member.h"
#include "settings/server/proxy_profile.h"

namespace {

const std::string kDefaultProfileHead = "00 00 00 07 44 65 66 61 75 6C 74 00 00 00 00 00 00 00 04 38 00 00 00 00 00";

TEST(ProxyProfile, Validity)
{
    const struct {
        unsigned char type;
        const char* host;
        std::uint32_t port;
        const char* text;  // null when valid
    } cases[] = {
        {ProxyTypeNone, "", 1080, nullptr},
        {ProxyTypeNone, "", 0, "ProxyProfile::IsValid(): invalid proxy port value"},
        {ProxyTypeNone, "", 65536, "ProxyProfile::IsValid(): invalid proxy port value"},
        {ProxyTypeSocks5, "", 0, "ProxyProfile::IsValid(): empty proxy host value"},
        {ProxyTypeHttp, "proxy", 80, nullptr},
        {ProxyTypeSocks4, "proxy", 65535, nullptr},
        {4, "proxy", 1080, "ProxyProfile::IsValid(): invalid proxy type value"},
        {255, "", 0, "ProxyProfile::IsValid(): invalid proxy type value"},
    };
    for (const auto& c : cases) {
        ProxyProfile profile;
        profile.m_proxyType = c.type;
        profile.m_proxyHost.assign(c.host);
        profile.m_proxyPort = c.port;
        const std::vector<std::string> texts = ValidityTexts(profile, c.text == nullptr);
        EXPECT_EQ(c.text ? std::vector<std::string>{c.text} : std::vector<std::string>{}, texts) << c.port;
    }
}

TEST(ProxyProfile, DefaultProfileEncoding)
{
    DefaultProxyProfile profile;
    EXPECT_TRUE(profile.IsDefault());
    int count = 0;
    const std::string bytes = Encoded(profile, &count);
    ASSERT_EQ(65u, bytes.size());
    EXPECT_EQ(65, count);
    EXPECT_EQ(kDefaultProfileHead + " 00 00 00 24", ToHex(bytes.substr(0, 29)));

    // Read back, the profile has the same values and a password that is still empty.
    ProxyProfile copy;
    const Decoded result = Decode(copy, bytes);
    EXPECT_EQ(65, result.count);
    EXPECT_TRUE(result.errors.empty());
    EXPECT_EQ(std::string("Default"), copy.m_profileName.c_str());
    EXPECT_EQ(1080u, copy.m_proxyPort);
    EXPECT_TRUE(DecryptsToEmptyText(copy.m_proxyPassword));
    EXPECT_EQ(bytes.substr(0, 29), Encoded(copy).substr(0, 29));
}

TEST(ProxyProfile, EmptyStoredPasswordBecomesTheEmptyText)
{
    ProxyProfile profile;
    const std::string form = FromHex("00 00 00 03 61 62 63 02 00 00 00 05 70 72 6F 78 79 00 00 1F 90 01 "
                                     "00 00 00 04 75 73 65 72 00 00 00 00");
    const Decoded result = Decode(profile, form);
    EXPECT_EQ(static_cast<int>(form.size()), result.count);
    EXPECT_EQ(ProxyTypeSocks5, profile.m_proxyType);
    EXPECT_EQ(std::string("proxy"), profile.m_proxyHost.c_str());
    EXPECT_EQ(8080u, profile.m_proxyPort);
    EXPECT_TRUE(profile.m_resolveLocally);
    EXPECT_EQ(std::string("user"), profile.m_proxyUsername.c_str());
    EXPECT_EQ(36u, profile.m_proxyPassword.ciphertext.size());
    EXPECT_TRUE(DecryptsToEmptyText(profile.m_proxyPassword));
    const std::string again = Encoded(profile);
    EXPECT_EQ(form.size() - 4 + 4 + 36, again.size());
    EXPECT_EQ("00 00 00 24", ToHex(again.substr(form.size() - 4, 4)));
}

TEST(ProxyProfile, TruncatedAndFailingInput)
{
    const std::string full = FromHex(kDefaultProfileHead + " 00 00 00 00");
    const struct {
        std::size_t length;
        std::vector<std::string> errors;
    } cases[] = {
        {0, {"DecodeWord32(): premature end of input data", "DecodeString(): failed at DecodeWord32()", "called from ProxyProfile::Decode() at m_profileName"}},
        {9, {"DecodeString(): premature end of input data", "called from ProxyProfile::Decode() at m_profileName"}},
        {11, {"DecodeByte(): premature end of input data", "called from ProxyProfile::Decode() at m_proxyType"}},
        {18, {"DecodeWord32(): premature end of input data", "called from ProxyProfile::Decode() at m_proxyPort"}},
        {20, {"DecodeByte(): premature end of input data", "DecodeBoolean(): failed at DecodeByte()", "called from ProxyProfile::Decode() at m_resolveLocally"}},
        {25, {"DecodeWord32(): premature end of input data", "DecodeString(): failed at DecodeWord32()", "called from ProxyProfile::Decode() at m_proxyPassword"}},
    };
    for (const auto& c : cases) {
        ProxyProfile profile;
        const Decoded result = Decode(profile, full.substr(0, c.length));
        EXPECT_EQ(0, result.count) << c.length;
        EXPECT_EQ(c.errors, result.errors) << c.length;
    }
    // A stored password longer than the data.
    ProxyProfile profile;
    const Decoded result = Decode(profile, FromHex(kDefaultProfileHead + " FF FF FF F0 00"));
    EXPECT_EQ(0, result.count);
    EXPECT_EQ((std::vector<std::string>{"DecodeString(): premature end of input data",
                                        "called from ProxyProfile::Decode() at m_proxyPassword"}),
              result.errors);
}

TEST(ProxyProfile, OrderAndLookups)
{
    const auto less = [](const char* a, const char* b) {
        ProxyProfile x, y;
        x.m_profileName.assign(a);
        y.m_profileName.assign(b);
        return x < y;
    };
    EXPECT_TRUE(less("B", "a"));
    EXPECT_TRUE(less("ab", "abc"));
    EXPECT_TRUE(less("abc", "abd"));
    EXPECT_FALSE(less("abc", "abc"));
    EXPECT_TRUE(less("z", "\xC3\xA9"));  // unsigned bytes

    DefaultProxyProfileList list;
    EXPECT_NE(nullptr, FindProxyProfileByName(list, NoCrtString("Default")));
    EXPECT_EQ(nullptr, FindProxyProfileByName(list, NoCrtString("default")));
    EXPECT_EQ(nullptr, FindProxyProfileByName(list, NoCrtString("Defaul")));

    LanguageOn language(list);
    ASSERT_EQ(L"", language.Run(L"New.profileName \"Backup\""));
    ASSERT_EQ(L"", language.Run(L"NewCommit"));
    ASSERT_EQ(L"", language.Run(L"New.profileName \"Zeta\""));
    ASSERT_EQ(L"", language.Run(L"NewCommit"));
    EraseProxyProfileByName(list, NoCrtString("Nothing"));
    EXPECT_EQ(3u, list.size());
    EraseProxyProfileByName(list, NoCrtString("Default"));
    ASSERT_EQ(2u, list.size());
    EXPECT_EQ(std::string("Backup"), list.at(0)->m_profileName.c_str());
    EXPECT_EQ(2u, list.IdAt(0));
    EXPECT_EQ(3u, list.IdAt(1));
}

TEST(ProxyProfile, DefaultListAndLanguage)
{
    DefaultProxyProfileList list;
    ASSERT_EQ(1u, list.size());
    EXPECT_TRUE(list.IsDefault());
    LanguageOn language(list);
    // A new entry is named "Default" and collides with the one there.
    EXPECT_EQ(L"\"Default\"", language.Query(L"New.profileName"));
    EXPECT_NE(L"", language.Run(L"NewCommit"));
    ASSERT_EQ(L"", language.Run(L"New.profileName \"Backup\""));
    ASSERT_EQ(L"", language.Run(L"New.proxyType SOCKS5"));
    ASSERT_EQ(L"", language.Run(L"New.proxyPassword \"Plain:secret\""));
    ASSERT_EQ(L"", language.Run(L"NewCommit"));
    EXPECT_EQ(2u, list.size());
    EXPECT_FALSE(list.IsDefault());
    EXPECT_EQ(L"\"\\\"Backup\\\"\\r\\n\\\"Default\\\"\\r\\n\"", language.Query(L"All.profileName"));
    EXPECT_NE(L"", language.Run(L"All.proxyPort 0"));
    EXPECT_NE(L"", language.Run(L"All.proxyType 4"));

    // The password is kept encrypted and survives a copy and an encoding.
    ProxyProfile* backup = FindProxyProfileByName(list, NoCrtString("Backup"));
    ASSERT_NE(nullptr, backup);
    ErrorInfo info;
    ASSERT_TRUE(backup->m_proxyPassword.SetPlainFromCrypt(info));
    EXPECT_EQ(std::string("secret"),
              std::string(backup->m_proxyPassword.plaintext.begin(), backup->m_proxyPassword.plaintext.end()));
    DefaultProxyProfileList copy;
    copy = list;
    EXPECT_EQ(Encoded(list), Encoded(copy));

    list.SetDefaults(1);
    ASSERT_EQ(1u, list.size());
    EXPECT_TRUE(list.IsDefault());
    EXPECT_EQ(std::string("Default"), list.at(0)->m_profileName.c_str());
}

TEST(ProxyProfile, PasswordStaysEncryptedAfterInstructions)
{
    // A plain profile has no stored password until an instruction or a decode gives it one.
    ProxyProfile profile;
    EXPECT_EQ(0u, profile.m_proxyPassword.ciphertext.size());
    LanguageOn language(profile);
    ASSERT_EQ(L"", language.Run(L"proxyHost \"proxy.example.com\""));
    EXPECT_EQ(36u, profile.m_proxyPassword.ciphertext.size());
    EXPECT_FALSE(profile.IsDefault());
    EXPECT_EQ(0u, language.Query(L"proxyPassword").find(L"\"Crypt:"));
    EXPECT_NE(L"", language.Run(L"proxyType SOCKS6"));
    EXPECT_EQ(L"", language.Run(L"proxyType HTTP"));
    EXPECT_EQ(ProxyTypeHttp, profile.m_proxyType);
}

TEST(ProxyProfile, TypeEnumeration)
{
    const EnumInfo& types = ProxyTypeEnumInfo::Instance();
    EXPECT_EQ(L"ProxyType", types.TypeName());
    std::wstring name;
    EXPECT_TRUE(types.ValueToName(3, name));
    EXPECT_EQ(L"HTTP", name);
    EXPECT_FALSE(types.ValueToName(4, name));
    EXPECT_THROW(ProxyTypeEnumInfo(), Singleton<ProxyTypeEnumInfo>::AlreadyExists);
}

} // namespace
