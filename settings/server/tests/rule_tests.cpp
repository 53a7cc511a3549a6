#include "settings/server/tests/test_support.h"

#include <cstdio>
#include <cstring>

#include "settings/server/default_rules.h"
#include "settings/server/proxy_profile.h"

namespace {

// An output without room, to reach the encoders' failure paths.
struct FullOutput : EncodeOutput {
    unsigned char* Reserve(std::uint32_t) override { return nullptr; }
    void Commit(std::uint32_t) override {}
};

template <class Record>
std::vector<std::string> EncodeFailureTexts(Record& record)
{
    FullOutput out;
    EXPECT_EQ(0, record.Encode(out));
    return Texts(out.errors);
}

IpRule MakeIpRule(std::uint32_t ip, unsigned char bits)
{
    IpRule rule;
    rule.m_ip = ip;
    rule.m_sigBits = bits;
    return rule;
}

DnsNameRule MakeDnsRule(const char* name)
{
    DnsNameRule rule;
    rule.m_dnsName.assign(name);
    return rule;
}

// The encoded form of an IP connect rule: address and bits, ports, then its instructions
// with an empty target host, target port 0 and the given profile name.
std::string IpConnectForm(const char* ipAndBits, const char* ports, bool allow, const char* profile = "")
{
    NoCrtString name(profile);
    char count[16];
    std::snprintf(count, sizeof count, "%08X", static_cast<unsigned>(name.size()));
    return FromHex(std::string(ipAndBits) + ports + (allow ? "01" : "00") + "00000000 00000000" + count) +
           std::string(name.c_str(), name.size());
}

std::string Word32(std::uint32_t n) { char b[16]; std::snprintf(b, sizeof b, "%08X", n); return FromHex(b); }

TEST(AddressRules, IpMaskAndDecode)
{
    const struct {
        unsigned char bits;
        std::uint32_t mask;
    } masks[] = {{0, 0}, {1, 0x80000000u}, {8, 0xFF000000u}, {24, 0xFFFFFF00u}, {32, 0xFFFFFFFFu}, {33, 0x80000000u}};
    for (const auto& m : masks)
        EXPECT_EQ(m.mask, MakeIpRule(0x0A010203u, m.bits).Mask()) << int(m.bits);

    const struct {
        const char* form;
        std::uint32_t ip;
    } decodes[] = {
        {"C0 A8 07 09 18", 0xC0A80700u}, {"C0 A8 07 09 20", 0xC0A80709u}, {"0A 01 02 03 08", 0x0A000000u},
        {"0A 01 02 03 00", 0}, {"0A 01 02 03 21", 0}, {"8A 01 02 03 21", 0x80000000u},
    };
    for (const auto& d : decodes) {
        IpRule rule;
        EXPECT_EQ(5, Decode(rule, FromHex(d.form)).count);
        EXPECT_EQ(d.ip, rule.m_ip) << d.form;
    }
    IpRule wide;
    Decode(wide, FromHex("0A 01 02 03 21"));
    EXPECT_EQ(std::vector<std::string>{"IpRule::IsValid(): invalid significant bits value"}, ValidityTexts(wide, false));

    // Set through the language the address stays as given until it is decoded again.
    IpRule rule;
    LanguageOn language(rule);
    ASSERT_EQ(L"", language.Run(L"ip 10.1.2.3"));
    ASSERT_EQ(L"", language.Run(L"sigBits 8"));
    EXPECT_NE(L"", language.Run(L"sigBits 33"));
    const std::string form = Encoded(rule);
    EXPECT_EQ("0A 01 02 03 08", ToHex(form));
    Decode(rule, form);
    EXPECT_EQ(L"10.0.0.0", language.Query(L"ip"));

    const Decoded shortForm = Decode(rule, FromHex("0A 01 02 03"));
    EXPECT_EQ(0, shortForm.count);
    EXPECT_EQ((std::vector<std::string>{"DecodeByte(): premature end of input data",
                                        "called from IpRule::Decode() at m_sigBits"}),
              shortForm.errors);
}

TEST(AddressRules, IpOrder)
{
    // Descending masked addresses; everything that masks to 0 is equal and comes last.
    EXPECT_TRUE(MakeIpRule(0xC0A80100u, 24) < MakeIpRule(0x0A000000u, 8));
    EXPECT_TRUE(MakeIpRule(0x0A000000u, 8) < MakeIpRule(0x00000000u, 8));
    EXPECT_FALSE(MakeIpRule(0x00000000u, 8) < MakeIpRule(0xC0A80100u, 0));
    EXPECT_FALSE(MakeIpRule(0xC0A80100u, 0) < MakeIpRule(0x00000000u, 8));
    EXPECT_FALSE(MakeIpRule(0x0A000000u, 8) < MakeIpRule(0x0A010000u, 8));
    EXPECT_FALSE(MakeIpRule(0x0A000000u, 16) < MakeIpRule(0x0A000000u, 8));
}

TEST(AddressRules, DnsNameDecodeAndEncode)
{
    const struct {
        const char* name;
        bool matchDomain;
        const char* held;
    } cases[] = {
        {"", false, "*"}, {"", true, "*"}, {"example.com", true, "*.example.com"},
        {"example.com", false, "example.com"}, {"*.example.com", true, "*.example.com"}, {"*x", true, "*x"},
    };
    for (const auto& c : cases) {
        NoCrtString name(c.name);
        const std::string form = Word32(name.size()) + c.name + (c.matchDomain ? '\x01' : '\x00');
        DnsNameRule rule;
        const Decoded result = Decode(rule, form);
        EXPECT_EQ(static_cast<int>(form.size()), result.count) << c.name;
        EXPECT_EQ(std::string(c.held), rule.m_dnsName.c_str());
        const std::string again = Encoded(rule);
        EXPECT_EQ(Word32(std::strlen(c.held)) + c.held + '\x00', again);
    }
    DnsNameRule empty;
    EXPECT_TRUE(ValidityTexts(empty, false).empty());
    DnsNameRule domain = MakeDnsRule("*.example.com");
    EXPECT_TRUE(ValidityTexts(domain, true).empty());

    const Decoded noFlag = Decode(empty, FromHex("00 00 00 01 61"));
    EXPECT_EQ((std::vector<std::string>{"DecodeByte(): premature end of input data",
                                        "DecodeBoolean(): failed at DecodeByte()",
                                        "called from DnsNameRule::Decode() at matchDomain"}),
              noFlag.errors);
    EXPECT_EQ((std::vector<std::string>{"EncodeString(): out of space", "called from DnsNameRule::Encode() at m_dnsName"}),
              EncodeFailureTexts(empty));
}

TEST(AddressRules, DnsNameLanguageChecksTheName)
{
    DnsNameRule rule;
    LanguageOn language(rule);
    EXPECT_EQ(L"", language.Run(L"dnsName \"*.example.com\""));
    EXPECT_EQ(L"MemberMapEvaluator: Instruction 'dnsName \"a..com\"': expression must check out as a valid DNS name",
              language.Run(L"dnsName \"a..com\""));
    EXPECT_NE(L"", language.Run(L"dnsName \"ex\\x00e4mple.com\""));  // above 127
    EXPECT_EQ(std::string("*.example.com"), rule.m_dnsName.c_str());
}

TEST(AddressRules, DnsNameOrder)
{
    RuleList<DnsNameAcceptRule> list;
    for (const char* name : {"*", "example.com", "*.example.com", "mail.example.com", "ftp.example.com", "a.com",
                             "b.com", "Example.com"}) {
        DnsNameAcceptRule* rule = list.New();
        rule->dnsNameRule.m_dnsName.assign(name);
        ASSERT_EQ(0, list.NewCommit()) << name;
    }
    std::vector<std::string> order;
    for (std::uint32_t i = 0; i < list.size(); ++i)
        order.push_back(list.at(i)->dnsNameRule.m_dnsName.c_str());
    EXPECT_EQ((std::vector<std::string>{"ftp.example.com", "mail.example.com", "*.example.com", "example.com",
                                        "Example.com", "b.com", "a.com", "*"}),
              order);
}

TEST(AddressRules, PortRangesAndTargetPort)
{
    const struct {
        std::uint32_t minPort, from, to;
        const char* text;
    } cases[] = {
        {1, 0, 80, "PortRangeRule::IsValid(): invalid low limit value"},
        {0, 0, 80, nullptr},
        {1, 443, 80, "PortRangeRule::IsValid(): high limit is less than low limit"},
        {1, 1, 65536, "PortRangeRule::IsValid(): invalid high limit value"},
        {1, 65536, 65536, "PortRangeRule::IsValid(): invalid low limit value"},
        {1, 22, 22, nullptr},
    };
    for (const auto& c : cases) {
        PortRangeRule rule(c.minPort);
        rule.m_portFrom = c.from;
        rule.m_portTo = c.to;
        EXPECT_EQ(c.text ? std::vector<std::string>{c.text} : std::vector<std::string>{},
                  ValidityTexts(rule, c.text == nullptr))
            << c.from << " " << c.to;
    }
    PortRangeRule a(1), b(1), c(1);
    a.m_portFrom = a.m_portTo = 22;
    b.m_portFrom = 22, b.m_portTo = 80;
    c.m_portFrom = c.m_portTo = 23;
    EXPECT_TRUE(a < b);
    EXPECT_TRUE(b < c);
    EXPECT_FALSE(b < a);

    // A copy keeps the lowest port of its source; the language bounds come from it.
    PortRangeRule listen(0);
    PortRangeRule copy(listen);
    EXPECT_EQ(0u, copy.m_minPort);
    LanguageOn language(copy);
    EXPECT_EQ(L"", language.Run(L"portFrom 0"));
    PortRangeRule connect(1);
    LanguageOn connectLanguage(connect);
    EXPECT_NE(L"", connectLanguage.Run(L"portFrom 0"));
    EXPECT_EQ(L"1", connectLanguage.Query(L"portFrom"));

    ConnectInstructions instr;
    instr.m_targetPort = 65535;
    EXPECT_TRUE(ValidityTexts(instr, true).empty());
    instr.m_targetPort = 65536;
    EXPECT_EQ(std::vector<std::string>{"ConnectInstructions::IsValid(): invalid target port value"},
              ValidityTexts(instr, false));
}

TEST(RuleLists, EncodingsAndFailureTexts)
{
    ConnectRules rules;
    int count = 0;
    EXPECT_EQ("00 00 00 00 00 00 00 00", ToHex(Encoded(rules, &count)));
    EXPECT_EQ(8, count);
    EXPECT_EQ(8, Decode(rules, FromHex("00 00 00 00 00 00 00 00")).count);

    IpConnectRule rule;
    EXPECT_EQ((std::vector<std::string>{"EncodeWord32(): out of space", "called from IpRule::Encode() at m_ip",
                                        "called from IpConnectRule::Encode()"}),
              EncodeFailureTexts(rule));
    EXPECT_EQ((std::vector<std::string>{"EncodeWord32(): out of space", "called from RuleList::Encode()",
                                        "called from ConnectRules::Encode() for IP connect rules"}),
              EncodeFailureTexts(rules));
    AcceptRules accept;
    EXPECT_EQ((std::vector<std::string>{"EncodeWord32(): out of space", "called from RuleList::Encode()",
                                        "called from AcceptRules::Encode() for IP accept rules"}),
              EncodeFailureTexts(accept));
    ListenInstructions listen;
    EXPECT_EQ((std::vector<std::string>{"EncodeByte(): out of space", "called from ListenInstructions::Encode()"}),
              EncodeFailureTexts(listen));

    // An IP accept rule takes 6 bytes; a connect rule 5 + 8 + 13 + names.
    IpAcceptRule acceptRule;
    EXPECT_EQ(6u, Encoded(acceptRule).size());
    rule.instr.m_targetHost.assign("db");
    rule.instr.m_proxyProfile.assign("Default");
    EXPECT_EQ(5u + 8u + 13u + 2u + 7u, Encoded(rule).size());

    // The DNS list fails after the IP list was decoded.
    const Decoded dnsFails = Decode(rules, FromHex("00 00 00 00 00 00 00 01"));
    EXPECT_EQ((std::vector<std::string>{"DecodeWord32(): premature end of input data",
                                        "DecodeString(): failed at DecodeWord32()",
                                        "called from DnsNameRule::Decode() at m_dnsName",
                                        "called from DnsNameConnectRule::Decode()", "called from RuleList::Decode()",
                                        "called from ConnectRules::Decode() for DNS name connect rules"}),
              dnsFails.errors);
}

TEST(RuleLists, DecodeDropsDuplicatesAndStopsAtMissingData)
{
    const std::string slash8 = IpConnectForm("0A000000 08", "00000001 0000FFFF", true);
    const std::string slash16 = IpConnectForm("0A000000 10", "00000001 0000FFFF", false);
    ConnectRules rules;
    Decoded result = Decode(rules, Word32(2) + slash8 + slash16 + Word32(0));
    EXPECT_EQ(static_cast<int>(8 + slash8.size() + slash16.size()), result.count);
    EXPECT_TRUE(result.errors.empty());
    EXPECT_EQ(std::vector<std::string>{"RuleList::Decode() - dropping decoded record - is equal in order to a "
                                       "previously decoded record"},
              result.warnings);
    ASSERT_EQ(1u, rules.ipRules.size());
    EXPECT_EQ(8, rules.ipRules.at(0)->ipRule.m_sigBits);

    // Different ports do not collide; the lower range comes first.
    const std::string port80 = IpConnectForm("0A000000 08", "00000050 00000050", true);
    const std::string port22 = IpConnectForm("0A000000 08", "00000016 00000016", true);
    Decode(rules, Word32(2) + port80 + port22 + Word32(0));
    ASSERT_EQ(2u, rules.ipRules.size());
    EXPECT_EQ(22u, rules.ipRules.at(0)->portRangeRule.m_portFrom);

    // Entries are written in list order, not in the order they came.
    const std::string any = IpConnectForm("00000000 00", "00000001 0000FFFF", true);
    const std::string lan = IpConnectForm("C0A80100 18", "00000001 0000FFFF", true);
    Decode(rules, Word32(2) + any + lan + Word32(0));
    EXPECT_EQ(Word32(2) + lan + any + Word32(0), Encoded(rules));

    // A count of 3 with two rules: both stay, the DNS list is not read.
    rules.dnsNameRules.New()->dnsNameRule.m_dnsName.assign("kept.example.com");
    ASSERT_EQ(0, rules.dnsNameRules.NewCommit());
    result = Decode(rules, Word32(3) + lan + any);
    EXPECT_EQ(0, result.count);
    EXPECT_EQ((std::vector<std::string>{"DecodeWord32(): premature end of input data",
                                        "called from IpRule::Decode() at m_ip", "called from IpConnectRule::Decode()",
                                        "called from RuleList::Decode()",
                                        "called from ConnectRules::Decode() for IP connect rules"}),
              result.errors);
    EXPECT_EQ(2u, rules.ipRules.size());
    EXPECT_EQ(1u, rules.dnsNameRules.size());

    // Two accept rules on one address collide whatever they say; the first stays.
    AcceptRules accept;
    result = Decode(accept, FromHex("00000002 0A000000 08 01 0A000000 08 00 00000000"));
    EXPECT_EQ(1u, result.warnings.size());
    ASSERT_EQ(1u, accept.ipRules.size());
    EXPECT_TRUE(accept.ipRules.at(0)->instr.m_allowConnect);
}

TEST(RuleLists, ValidityOrder)
{
    // A listen rule is invalid through an invalid accept rule it carries.
    ListenRule listen;
    IpAcceptRule* acceptRule = listen.instr.m_acceptRules.ipRules.New();
    acceptRule->ipRule.m_sigBits = 40;
    ASSERT_EQ(0, listen.instr.m_acceptRules.ipRules.NewCommit());
    listen.portRangeRule.m_portTo = 70000;
    EXPECT_EQ(std::vector<std::string>{"IpRule::IsValid(): invalid significant bits value"},
              ValidityTexts(listen, false));
    listen.instr.m_acceptRules.ipRules.Clear();
    EXPECT_EQ(std::vector<std::string>{"PortRangeRule::IsValid(): invalid high limit value"},
              ValidityTexts(listen, false));

    // Instructions are checked before the address and the ports.
    IpConnectRule connect;
    connect.instr.m_targetPort = 70000;
    connect.ipRule.m_sigBits = 40;
    EXPECT_EQ(std::vector<std::string>{"ConnectInstructions::IsValid(): invalid target port value"},
              ValidityTexts(connect, false));

    // A new DNS rule has an empty name, which is invalid without a text.
    ConnectRules rules;
    rules.dnsNameRules.NewCommit();
    EXPECT_TRUE(ValidityTexts(rules, false).empty());
}

TEST(RuleLists, UndefinedProxyProfiles)
{
    DefaultProxyProfileList profiles;
    RuleList<IpConnectRule> ipRules;
    EXPECT_FALSE(profiles.HasUndefinedReference(ipRules));
    ipRules.New()->instr.m_proxyProfile.assign("Default");
    ipRules.NewCommit();
    EXPECT_FALSE(profiles.HasUndefinedReference(ipRules));
    IpConnectRule* backup = ipRules.New();
    backup->ipRule.m_ip = 0x0A000000u;
    backup->ipRule.m_sigBits = 8;
    backup->instr.m_proxyProfile.assign("Backup");
    ipRules.NewCommit();
    EXPECT_TRUE(profiles.HasUndefinedReference(ipRules));

    RuleList<DnsNameConnectRule> dnsRules;
    dnsRules.NewCommit();  // no profile name at all
    EXPECT_TRUE(profiles.HasUndefinedReference(dnsRules));
    dnsRules.at(0)->instr.m_proxyProfile.assign("default");
    EXPECT_TRUE(profiles.HasUndefinedReference(dnsRules));
}

TEST(DefaultRules, DefaultEncodings)
{
    DefaultConnectRules templateConnect;
    EXPECT_EQ("00 00 00 01 00 00 00 00 00 00 00 00 01 00 00 FF FF 01 00 00 00 00 00 00 00 00 "
              "00 00 00 07 44 65 66 61 75 6C 74 00 00 00 00",
              ToHex(Encoded(templateConnect)));
    DefaultAcceptRules hosts;
    const std::string hostsForm = "00 00 00 01 00 00 00 00 00 01 00 00 00 00";
    EXPECT_EQ(hostsForm, ToHex(Encoded(hosts)));
    DefaultListenRuleList listen;
    EXPECT_EQ("00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 FF FF 01 " + hostsForm, ToHex(Encoded(listen)));
    AccountConnectRules accountConnect;
    EXPECT_EQ("00 00 00 00 00 00 00 00", ToHex(Encoded(accountConnect)));
    for (Evaluator* e : std::vector<Evaluator*>{&templateConnect, &hosts, &listen, &accountConnect})
        EXPECT_TRUE(e->IsDefault());

    // Clear empties a kept-entry list; SetDefaults brings back the one allow-all rule.
    LanguageOn language(templateConnect);
    ASSERT_EQ(L"", language.Run(L"ipRules.Clear"));
    EXPECT_EQ(0u, templateConnect.ipRules.size());
    EXPECT_FALSE(templateConnect.IsDefault());
    ASSERT_EQ(L"", language.Run(L"ipRules.SetDefaults"));
    EXPECT_TRUE(templateConnect.IsDefault());
    EXPECT_EQ(1u, templateConnect.ipRules.size());
}

// A variant sets its values in its constructor and declares the same defaults only when
// its member maps are built: the two must agree.
template <class Variant>
void ExpectFreshAtItsDefaults(const char* name)
{
    Variant fresh;
    EXPECT_TRUE(fresh.IsDefault()) << name;
    Variant reset;
    reset.SetDefaults(1);
    EXPECT_EQ(Encoded(fresh), Encoded(reset)) << name;
}

TEST(DefaultRules, FreshVariantsHoldTheDefaultsTheirMembersDeclare)
{
    ExpectFreshAtItsDefaults<DefaultIpAcceptRule>("DefaultIpAcceptRule");
    ExpectFreshAtItsDefaults<DefaultIpConnectRule>("DefaultIpConnectRule");
    ExpectFreshAtItsDefaults<AccountIpConnectRule>("AccountIpConnectRule");
    ExpectFreshAtItsDefaults<DefaultDnsNameConnectRule>("DefaultDnsNameConnectRule");
    ExpectFreshAtItsDefaults<DefaultListenRule>("DefaultListenRule");
}

TEST(DefaultRules, NewEntriesAndDecodedEntriesAreVariants)
{
    DefaultConnectRules templateConnect;
    AccountConnectRules accountConnect;
    DnsNameConnectRule* dns = templateConnect.dnsNameRules.New();
    EXPECT_NE(nullptr, dynamic_cast<DefaultDnsNameConnectRule*>(dns));
    EXPECT_EQ(std::string("Default"), dns->instr.m_proxyProfile.c_str());
    EXPECT_FALSE(dns->instr.m_allowConnect);
    EXPECT_EQ(1u, dns->portRangeRule.m_portFrom);
    IpConnectRule* accountIp = accountConnect.ipRules.New();
    EXPECT_NE(nullptr, dynamic_cast<AccountIpConnectRule*>(accountIp));
    EXPECT_FALSE(accountIp->instr.m_allowConnect);
    EXPECT_EQ(std::string("Default"), accountIp->instr.m_proxyProfile.c_str());

    // Decoded entries take the blob's values and keep the variant's defaults.
    const std::string refuse = IpConnectForm("00000000 00", "00000001 0000FFFF", false, "Default");
    Decode(accountConnect, Word32(1) + refuse + Word32(0));
    ASSERT_EQ(1u, accountConnect.ipRules.size());
    EXPECT_TRUE(accountConnect.ipRules.at(0)->IsDefault());
    Decode(templateConnect, Word32(1) + refuse + Word32(0));
    EXPECT_NE(nullptr, dynamic_cast<DefaultIpConnectRule*>(templateConnect.ipRules.at(0)));
    EXPECT_FALSE(templateConnect.ipRules.at(0)->IsDefault());

    // A copy clones through its own factories: the entries are variants with the values.
    DefaultConnectRules copy(templateConnect);
    ASSERT_EQ(1u, copy.ipRules.size());
    EXPECT_NE(nullptr, dynamic_cast<DefaultIpConnectRule*>(copy.ipRules.at(0)));
    EXPECT_FALSE(copy.ipRules.at(0)->instr.m_allowConnect);
    copy.SetDefaults(1);
    EXPECT_TRUE(copy.ipRules.at(0)->instr.m_allowConnect);

    // A listen rule list copied from two rules holds clones of those, not its default rule.
    ListenRuleList plain;
    plain.NewCommit();
    ListenRule* second = plain.New();
    second->portRangeRule.m_portFrom = 22;
    plain.NewCommit();
    DefaultListenRuleList listen(plain);
    ASSERT_EQ(2u, listen.size());
    EXPECT_NE(nullptr, dynamic_cast<DefaultListenRule*>(listen.at(0)));
    EXPECT_FALSE(listen.at(0)->instr.m_allowListen);
    EXPECT_EQ(Encoded(plain), Encoded(listen));
    // New rules of the copy still get the product defaults, accept rules included.
    ListenRule* fresh = listen.New();
    EXPECT_TRUE(fresh->instr.m_allowListen);
    EXPECT_EQ(1u, fresh->instr.m_acceptRules.ipRules.size());
}

// A root that holds profiles and rule lists, so that "$proxyProfiles..." resolves.
struct ProfileRoot : MemberMapEvaluator {
    DefaultProxyProfileList proxyProfiles;
    DefaultConnectRules templateRules;
    ConnectRules plainRules;
    void BuildMemberMap(MemberMap& map) override
    {
        map.Add(MemberInfo(L"proxyProfiles", &proxyProfiles));
        map.Add(MemberInfo(L"templateRules", &templateRules));
        map.Add(MemberInfo(L"plainRules", &plainRules));
    }
};

TEST(DefaultRules, ProxyProfileMustBeDefined)
{
    ProfileRoot root;
    LanguageOn language(root);
    EXPECT_NE(L"", language.Run(L"templateRules.ipRules.New.instr.proxyProfile \"Backup\""));
    EXPECT_NE(L"", language.Run(L"templateRules.dnsNameRules.New.instr.proxyProfile \"Backup\""));
    EXPECT_EQ(L"", language.Run(L"plainRules.ipRules.New.instr.proxyProfile \"Backup\""));
    ASSERT_EQ(L"", language.Run(L"proxyProfiles.New.profileName \"Backup\""));
    ASSERT_EQ(L"", language.Run(L"proxyProfiles.NewCommit"));
    EXPECT_EQ(L"", language.Run(L"templateRules.ipRules.New.instr.proxyProfile \"Backup\""));
    const std::wstring help = language.Query(L"templateRules.ipRules.New.instr.?");
    // The help shows the restriction and the variant's own text (quoted, with escapes).
    EXPECT_NE(std::wstring::npos, help.find(L"default=\\\"Default\\\"\\r\\n    Restricted values: "
                                            L"$proxyProfiles.All.profileName\\r\\n    The name of the proxy "
                                            L"profile to use; must match"))
        << help;
}

} // namespace

namespace {

// Copies follow the allocation-failure convention: a marked target takes nothing, a
// marked source passes on its mark and nothing else.
TEST(RuleCopies, AllocationFailureMarks)
{
    IpConnectRule source;
    source.ipRule.m_ip = 0x0A000000u;
    source.instr.m_targetHost.assign("db");

    IpConnectRule marked;
    marked.af_ = 7;
    marked = source;
    EXPECT_EQ(0u, marked.ipRule.m_ip);
    EXPECT_EQ(7, marked.af_);

    IpConnectRule target;
    source.af_ = 9;
    target = source;
    EXPECT_EQ(9, target.af_);
    EXPECT_EQ(0u, target.ipRule.m_ip);
    EXPECT_TRUE(target.instr.m_targetHost.empty());

    source.af_ = 0;
    IpConnectRule copy(source);
    EXPECT_EQ(0, copy.af_);
    EXPECT_EQ(0x0A000000u, copy.ipRule.m_ip);
    EXPECT_EQ(std::string("db"), copy.instr.m_targetHost.c_str());

    // A part that fails to copy marks the whole record.
    IpConnectRule partFails;
    source.instr.m_proxyProfile.af_ = 11;
    partFails = source;
    EXPECT_EQ(11, partFails.af_);
    EXPECT_EQ(0x0A000000u, partFails.ipRule.m_ip);

}

} // namespace
