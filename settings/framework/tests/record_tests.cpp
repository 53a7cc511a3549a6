#include <gtest/gtest.h>

#include "foundation/crypt_block.h"
#include "foundation/random_source.h"
#include "settings/framework/enum_info.h"
#include "settings/framework/evaluator.h"
#include "settings/framework/expression.h"

namespace {

struct Binding : MemberMapEvaluator {
    std::uint32_t interfaceAddress;
    std::uint32_t port;
    int builds = 0;

    Binding() { SetDefaults(0); }
    Binding(const Binding& o) : MemberMapEvaluator(o), interfaceAddress(o.interfaceAddress), port(o.port) {}
    Binding& operator=(const Binding& o)
    {
        MemberMapEvaluator::operator=(o);
        interfaceAddress = o.interfaceAddress;
        port = o.port;
        return *this;
    }

    void BuildMemberMap(MemberMap& map) override
    {
        ++builds;
        map.Add(MemberInfo(L"interface", &interfaceAddress, 0u));
        map.Add(MemberInfo(L"port", &port, 22u, 1u, 65535u));
    }
};

struct Server : MemberMapEvaluator {
    Binding binding;
    bool omitVersion;
    std::uint32_t wrap;
    unsigned char authType;
    std::wstring name;
    NoCrtString host;
    std::string blob;
    unsigned char level;

    Server() { SetDefaults(0); }

    void BuildMemberMap(MemberMap& map) override
    {
        map.Add(MemberInfo(L"binding", &binding));
        map.Add(MemberInfo(L"omitVersion", &omitVersion, false));
        map.Add(MemberInfo(L"wrap", &wrap, 79u, 0u, 0xFFFFFFFFu));
        map.Add(MemberInfo(L"authType", &authType, 0, &AuthTypeEnumInfo::Instance()));
        map.Add(MemberInfo(L"name", &name, L"Default"));
        map.Add(MemberInfo(L"host", &host, NoCrtString("localhost"), 65001));
        map.Add(MemberInfo(L"blob", &blob, "\x01\x02"));
        MemberInfo byteMember(L"level");
        byteMember.Reset();
        byteMember.kind = MemberInfo::kByte;
        byteMember.byteValue = &level;
        byteMember.byteDefault = 3;
        byteMember.minimum = 1;
        byteMember.maximum = 9;
        map.Add(byteMember);
    }
};

struct SecretBlock : CryptBlock {
    const unsigned char* GetCipherKey() const override { return reinterpret_cast<const unsigned char*>("0123456789abcdef"); }
    const unsigned char* GetMacKey() const override { return reinterpret_cast<const unsigned char*>("fedcba9876543210"); }
};

// A record with an encrypted member, built the way builders fill the kinds without a
// constructor.
struct Profile : MemberMapEvaluator {
    SecretBlock password;

    void BuildMemberMap(MemberMap& map) override
    {
        MemberInfo info(L"password");
        info.Reset();
        info.kind = MemberInfo::kEncrypted;
        info.cryptValue = &password;
        info.codePage = 65001;
        map.Add(info);
    }
};

std::vector<unsigned char> Stored(const CryptBlock& block)
{
    return std::vector<unsigned char>(block.ciphertext.p_, block.ciphertext.p_ + block.ciphertext.s_);
}

TEST(MemberMapEvaluator, EncryptedMemberDefaultsToTheEncryptionOfTheEmptyText)
{
    NoCrtRandom random;
    Profile p;
    EXPECT_FALSE(p.IsDefault());  // nothing stored yet
    p.SetDefaults(0);
    EXPECT_TRUE(p.IsDefault());
    EXPECT_EQ(36u, p.password.ciphertext.size());
    EXPECT_EQ(0u, p.password.plaintext.size());
    std::vector<unsigned char> first = Stored(p.password);
    p.SetDefaults(0);
    EXPECT_NE(first, Stored(p.password));  // a fresh IV each time
    EXPECT_TRUE(p.IsDefault());

    p.password.ciphertext[30] ^= 1;  // damaged
    EXPECT_FALSE(p.IsDefault());
    p.SetDefaults(0);
    EXPECT_TRUE(p.IsDefault());

    p.password.plaintext.resize(3, 'x');
    ErrorInfo info;
    ASSERT_TRUE(p.password.SetCryptFromPlain(info));
    EXPECT_FALSE(p.IsDefault());
    EXPECT_EQ(0u, p.password.plaintext.size());  // the default test leaves no plaintext
}

TEST(MemberMapEvaluator, FailedEncryptionOfADefaultThrows)
{
    Profile p;  // no random source: the IV cannot be made
    try {
        p.SetDefaults(0);
        FAIL();
    } catch (const EvaluationErr& e) {
        const std::wstring text = e.WideMessage().text;
        const std::wstring head = L"MemberMapEvaluator::SetDefaults(): encryption failed with the following error info: [Error] ";
        EXPECT_EQ(head, text.substr(0, head.size()));
        EXPECT_NE(std::wstring::npos, text.find(L"NoCrtRandom::GenRandom()"));
    }
}

TEST(MemberInfo, ConstructorsFillTheirKind)
{
    bool b = false;
    std::uint32_t w = 0;
    MemberInfo word(L"port", &w, 22u, 1u, 65535u);
    EXPECT_EQ(MemberInfo::kWord32, word.kind);
    EXPECT_EQ(1u, word.minimum);
    EXPECT_EQ(65535u, word.maximum);
    MemberInfo ip(L"intf", &w, 0x7F000001u);
    EXPECT_EQ(MemberInfo::kIp4Address, ip.kind);
    EXPECT_EQ(0xFFFFFFFFu, ip.maximum);
    MemberInfo flag(L"flag", &b, true);
    EXPECT_EQ(MemberInfo::kBoolean, flag.kind);
    EXPECT_EQ(1, flag.boolDefault);
    EXPECT_TRUE(flag.IsPrimitive());
    Binding nested;
    EXPECT_FALSE(MemberInfo(L"n", &nested).IsPrimitive());
}

TEST(MemberInfo, ResetClearsKindAndPointersButKeepsNameAndDefaults)
{
    std::uint32_t w = 0;
    MemberInfo info(L"port", &w, 22u, 1u, 65535u);
    info.SetValuesQuery(L"$q").SetDescription(L"help");
    info.codePage = 1252;
    info.checkDnsName = 1;
    info.dnsNameFlags = 3;
    info.Reset();
    EXPECT_EQ(L"port", info.name);
    EXPECT_EQ(MemberInfo::kNone, info.kind);
    EXPECT_EQ(nullptr, info.word32Value);
    EXPECT_EQ(22u, info.word32Default);
    EXPECT_EQ(0u, info.minimum);
    EXPECT_EQ(0xFFFFFFFFu, info.maximum);
    EXPECT_EQ(0u, info.codePage);
    EXPECT_EQ(0, info.checkDnsName);
    EXPECT_EQ(0, info.dnsNameFlags);
    EXPECT_EQ(L"$q", info.valuesQuery);
    EXPECT_EQ(L"help", info.description);
    EXPECT_FALSE(info.IsDefault());  // no pointer set
}

TEST(MemberInfo, NoCrtStringDefaultIgnoresTheTerminator)
{
    NoCrtString value;  // never held a character: no terminator at all
    MemberInfo info(L"s", &value, NoCrtString(""), 1252);
    EXPECT_TRUE(info.IsDefault());
    value.assign("x");
    EXPECT_FALSE(info.IsDefault());
    value.assign("");
    EXPECT_TRUE(info.IsDefault());
    info.SetDefault(NoCrtString("ab"));
    value.assign("ab");
    EXPECT_TRUE(info.IsDefault());
    value.assign("abc", 2);
    EXPECT_TRUE(info.IsDefault());
}

TEST(MemberMapEvaluator, ConstructorAppliesDefaultsThroughTheMap)
{
    Server s;
    EXPECT_EQ(0u, s.binding.interfaceAddress);
    EXPECT_EQ(22u, s.binding.port);
    EXPECT_FALSE(s.omitVersion);
    EXPECT_EQ(79u, s.wrap);
    EXPECT_EQ(L"Default", s.name);
    EXPECT_STREQ("localhost", s.host.c_str());
    EXPECT_EQ(std::string("\x01\x02"), s.blob);
    EXPECT_EQ(3, s.level);
    EXPECT_TRUE(s.IsDefault());

    const MemberMap& map = s.AccessMemberMap();
    std::vector<std::wstring> declared = {L"binding", L"omitVersion", L"wrap", L"authType",
                                          L"name", L"host", L"blob", L"level"};
    EXPECT_EQ(declared, map.order);
    EXPECT_EQ(declared.size(), map.members.size());
}

TEST(MemberMapEvaluator, EachChangedMemberMakesTheRecordNonDefault)
{
    auto changes = std::vector<void (*)(Server&)>{
        [](Server& s) { s.binding.port = 23; },
        [](Server& s) { s.omitVersion = true; },
        [](Server& s) { s.wrap = 0; },
        [](Server& s) { s.authType = 1; },
        [](Server& s) { s.name = L"default"; },
        [](Server& s) { s.host.assign("localhos"); },
        [](Server& s) { s.blob.push_back('\0'); },
        [](Server& s) { s.level = 4; },
    };
    for (std::size_t i = 0; i < changes.size(); ++i) {
        Server s;
        changes[i](s);
        EXPECT_FALSE(s.IsDefault()) << "change " << i;
        s.SetDefaults(1);
        EXPECT_TRUE(s.IsDefault()) << "change " << i;
    }
}

TEST(MemberMapEvaluator, NestedObjectsResetOnlyWhenRecursing)
{
    Server s;
    s.binding.port = 2222;
    s.wrap = 5;
    s.SetDefaults(0);
    EXPECT_EQ(79u, s.wrap);
    EXPECT_EQ(2222u, s.binding.port);
    EXPECT_FALSE(s.IsDefault());
    s.SetDefaults(1);
    EXPECT_EQ(22u, s.binding.port);
    EXPECT_TRUE(s.IsDefault());
}

TEST(MemberMapEvaluator, CopiesBuildTheirOwnMapPointingAtTheirOwnFields)
{
    Binding original;
    EXPECT_EQ(1, original.builds);
    original.port = 80;
    Binding copy(original);
    EXPECT_EQ(0, copy.builds);
    EXPECT_EQ(80u, copy.port);
    copy.SetDefaults(0);
    EXPECT_EQ(1, copy.builds);
    EXPECT_EQ(22u, copy.port);
    EXPECT_EQ(80u, original.port);
    EXPECT_EQ(&copy.port, copy.AccessMemberInfo(L"port").word32Value);

    // Assignment copies values and keeps each object's own map.
    original = copy;
    EXPECT_EQ(22u, original.port);
    EXPECT_EQ(&original.port, original.AccessMemberInfo(L"port").word32Value);
}

TEST(MemberMapEvaluator, AccessMemberInfoChangesDefaultsAndRefusesUnknownNames)
{
    Binding b;
    b.AccessMemberInfo(L"port").SetDefault(2222u).SetDescription(L"listen port");
    EXPECT_FALSE(b.IsDefault());
    b.SetDefaults(1);
    EXPECT_EQ(2222u, b.port);
    EXPECT_EQ(L"listen port", b.AccessMemberInfo(L"port").description);
    try {
        b.AccessMemberInfo(L"Port");
        FAIL();
    } catch (const WException& e) {
        EXPECT_EQ(L"MemberMapEvaluator::AccessMemberInfo(): no member named 'Port' could be found",
                  e.WideMessage().text);
    }
    EXPECT_THROW(b.AccessMemberInfo(L"Port"), EvaluationErr);
}

void DefaultPortTo2222(MemberMap& map) { map.At(L"port").SetDefault(2222u); }

// A variant's edit is made to the map whenever it is built: later, or at once when it is
// built already; a copy neither takes it nor loses its own.
TEST(MemberMapEvaluator, AMemberMapEditIsMadeWhenTheMapIsBuilt)
{
    Binding built;
    Binding lazy(built);
    lazy.SetMemberMapEdit(&DefaultPortTo2222);
    EXPECT_EQ(0, lazy.builds);
    EXPECT_FALSE(lazy.IsDefault());
    EXPECT_EQ(1, lazy.builds);
    EXPECT_EQ(2222u, lazy.AccessMemberInfo(L"port").word32Default);

    built.SetMemberMapEdit(&DefaultPortTo2222);
    EXPECT_EQ(1, built.builds);
    EXPECT_EQ(2222u, built.AccessMemberInfo(L"port").word32Default);

    Binding copy(lazy);
    EXPECT_EQ(22u, copy.AccessMemberInfo(L"port").word32Default);
    copy = lazy;
    EXPECT_EQ(22u, copy.AccessMemberInfo(L"port").word32Default);
    lazy = copy;
    EXPECT_EQ(2222u, lazy.AccessMemberInfo(L"port").word32Default);
}

TEST(MemberMap, FirstDescriptorOfANameWins)
{
    std::uint32_t a = 0, b = 0;
    MemberMap map;
    map.Add(MemberInfo(L"x", &a, 1u, 0u, 9u));
    map.Add(MemberInfo(L"x", &b, 2u, 0u, 9u));
    EXPECT_EQ((std::vector<std::wstring>{L"x", L"x"}), map.order);
    ASSERT_EQ(1u, map.members.size());
    EXPECT_EQ(&a, map.members.at(L"x").word32Value);
}

TEST(MemberMapEvaluator, TypeNameAndPaths)
{
    Binding b;
    std::wstring type;
    b.TypeName(type);
    EXPECT_EQ(L"nested type", type);
    EXPECT_EQ(L"binding", JoinMemberPath(L"", L"binding"));
    EXPECT_EQ(L"root.binding", JoinMemberPath(L"root", L"binding"));
}

TEST(MemberMapEvaluator, InitRegistersTheWindowClassOnceAndReachesNestedRecords)
{
    HINSTANCE instance = GetModuleHandleA(nullptr);
    Server s;
    s.Init(instance);
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    EXPECT_TRUE(GetClassInfoExW(instance, L"MemberMapEvaluator", &wc));
    EXPECT_EQ(static_cast<UINT>(CS_GLOBALCLASS), wc.style & CS_GLOBALCLASS);
    // A second Init does not register again (that would fail with "class exists").
    EXPECT_NO_THROW(s.Init(instance));
}

} // namespace
