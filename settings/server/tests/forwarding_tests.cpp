#include "settings/server/tests/test_support.h"

#include <cryptopp/filters.h>

#include "settings/framework/cfg_enc_dec.h"
#include "settings/server/forwarding.h"
#include "settings/server/proxy_profile.h"

namespace {

const char kC2SExample[] = "7F 00 00 01 00 00 1F 90 00 00 00 02 64 62 00 00 15 38 00 00 00 07 44 65 66 61 75 6C 74";

std::string EncodedPair(SrvSideFwding& fwd)
{
    std::string bytes;
    CryptoPP::StringSink sink(bytes);
    fwd.Encode(sink);
    return bytes;
}

// "" when the pair decoded, else the exception's text.
std::wstring DecodePair(SrvSideFwding& fwd, const std::string& bytes)
{
    CryptoPP::StringStore store(bytes);
    try {
        fwd.Decode(store);
        return L"";
    } catch (const CfgEncDec::CEncodeDecodeException& e) {
        return e.WideWhat();
    }
}

SrvSideC2SRule* AddC2S(RuleList<SrvSideC2SRule>& list, std::uint32_t intf, std::uint32_t port, int expected = 0)
{
    SrvSideC2SRule* rule = list.New();
    rule->m_nListenIntf = intf;
    rule->m_nListenPort = port;
    rule->m_sTargetHost.assign("db");
    EXPECT_EQ(expected, list.NewCommit()) << intf << ":" << port;
    if (expected)
        list.NewClear();
    return rule;
}

TEST(Forwarding, DefaultsAndExampleForm)
{
    SrvSideC2SRule c2s;
    EXPECT_EQ(999u, c2s.m_nListenPort);
    EXPECT_EQ(999u, c2s.m_nTargetPort);
    EXPECT_TRUE(c2s.IsDefault());
    c2s.m_nListenIntf = 0x7F000001u;
    c2s.m_nListenPort = 8080;
    c2s.m_sTargetHost.assign("db");
    c2s.m_nTargetPort = 5432;
    c2s.m_sProxyProfile.assign("Default");
    int count = 0;
    EXPECT_EQ(kC2SExample, ToHex(Encoded(c2s, &count)));
    EXPECT_EQ(29, count);
    SrvSideC2SRule back;
    EXPECT_EQ(29, Decode(back, FromHex(kC2SExample)).count);
    EXPECT_EQ(kC2SExample, ToHex(Encoded(back)));

    SrvSideS2CRule s2c;
    EXPECT_EQ(0u, s2c.m_nListenPort);
    EXPECT_TRUE(s2c.IsDefault());
    EXPECT_EQ("00 00 00 00 00 00 00 00 00 00 00 00 00 00 03 E7 00 00 00 01 00 00 00 00 00 01 00 00 00 00",
              ToHex(Encoded(s2c)));

    SrvSideFwding fwd;
    EXPECT_EQ("00 00 00 04 00 00 00 00 00 00 00 04 00 00 00 00", ToHex(EncodedPair(fwd)));
    EXPECT_TRUE(fwd.IsDefault());
}

TEST(Forwarding, OrderAndDuplicates)
{
    RuleList<SrvSideC2SRule> list;
    AddC2S(list, 0x0A000001u, 23);
    AddC2S(list, 0x0A000001u, 22);
    AddC2S(list, 0, 80);
    AddC2S(list, 0, 80, RuleList<SrvSideC2SRule>::kDuplicateEntry);
    ASSERT_EQ(3u, list.size());
    EXPECT_EQ(0u, list.at(0)->m_nListenIntf);
    EXPECT_EQ(22u, list.at(1)->m_nListenPort);
    EXPECT_EQ(23u, list.at(2)->m_nListenPort);

    // A blob with two rules on one interface and port keeps the first.
    SrvSideFwding fwd;
    const std::string rule = FromHex(kC2SExample);
    std::string other = rule;
    other[13] = 'x';  // another target host
    const std::string c2sBlob = FromHex("00 00 00 02") + rule + other;
    EXPECT_EQ(L"", DecodePair(fwd, FromHex("00 00 00 3E") + c2sBlob + FromHex("00 00 00 04 00 00 00 00")));
    ASSERT_EQ(1u, fwd.c2s.size());
    EXPECT_EQ(std::string("db"), fwd.c2s.at(0)->m_sTargetHost.c_str());
}

TEST(Forwarding, Validity)
{
    SrvSideS2CRule s2c;
    EXPECT_EQ(std::vector<std::string>{"SrvSideS2CRule::IsValid(): invalid listen port value"}, ValidityTexts(s2c, false));
    s2c.m_nListenPort = 2222;
    EXPECT_TRUE(ValidityTexts(s2c, true).empty());  // an empty target host is allowed
    s2c.m_nTargetPort = 0;
    EXPECT_EQ(std::vector<std::string>{"SrvSideS2CRule::IsValid(): invalid target port value"}, ValidityTexts(s2c, false));
    s2c.m_nTargetPort = 22;
    s2c.m_acceptRules.ipRules.at(0)->ipRule.m_sigBits = 33;
    EXPECT_EQ((std::vector<std::string>{"IpRule::IsValid(): invalid significant bits value",
                                        "called from SrvSideS2CRule::IsValid() at m_acceptRules"}),
              ValidityTexts(s2c, false));

    SrvSideC2SRule c2s;
    EXPECT_EQ(std::vector<std::string>{"SrvSideC2SRule::IsValid(): empty target host value"}, ValidityTexts(c2s, false));
    c2s.m_nListenPort = 65536;
    EXPECT_EQ(std::vector<std::string>{"SrvSideC2SRule::IsValid(): invalid listen port value"}, ValidityTexts(c2s, false));
    c2s.m_nListenPort = 22;
    c2s.m_sTargetHost.assign("db");
    c2s.m_nTargetPort = 0;
    EXPECT_EQ(std::vector<std::string>{"SrvSideC2SRule::IsValid(): invalid target port value"}, ValidityTexts(c2s, false));

    // A decoded listen port 0 is refused only by the check.
    std::string zeroPort = FromHex(kC2SExample);
    zeroPort[6] = zeroPort[7] = '\0';
    EXPECT_EQ(29, Decode(c2s, zeroPort).count);
    EXPECT_EQ(std::vector<std::string>{"SrvSideC2SRule::IsValid(): invalid listen port value"}, ValidityTexts(c2s, false));
}

TEST(Forwarding, DecodeFailures)
{
    const std::string rule = FromHex(kC2SExample);
    SrvSideFwding fwd;
    // The C2S blob ends inside its rule's target port.
    const std::string cut = FromHex("00 00 00 01") + rule.substr(0, 16);
    EXPECT_EQ(L"Error decoding server-side forwarding C2S rules: [Error] DecodeWord32(): premature end of input "
              L"data\n[Error] called from SrvSideC2SRule::Decode() at m_nTargetPort\n[Error] called from "
              L"RuleList::Decode()",
              DecodePair(fwd, FromHex("00 00 00 14") + cut));
    // A block longer than the message.
    EXPECT_EQ(L"unexpected end of packet", DecodePair(fwd, FromHex("00 00 00 20 00 00 00 00")));
    // An empty S2C block has no count.
    EXPECT_EQ(L"Error decoding server-side forwarding S2C rules: [Error] DecodeWord32(): premature end of input "
              L"data\n[Error] called from RuleList::Decode()",
              DecodePair(fwd, FromHex("00 00 00 04 00 00 00 00 00 00 00 00")));
    // Bytes after a block's list are ignored.
    EXPECT_EQ(L"", DecodePair(fwd, FromHex("00 00 00 06 00 00 00 00 FF FF 00 00 00 04 00 00 00 00")));

    SrvSideS2CRule s2c;
    const Decoded result = Decode(s2c, FromHex("00 00 00 00 00 00 00 16 00 00 00 00 00 00 00 16 00 00 00 01"));
    EXPECT_EQ(0, result.count);
    EXPECT_EQ((std::vector<std::string>{"DecodeWord32(): premature end of input data",
                                        "called from IpRule::Decode() at m_ip", "called from IpAcceptRule::Decode()",
                                        "called from RuleList::Decode()",
                                        "called from AcceptRules::Decode() for IP accept rules",
                                        "called from SrvSideS2CRule::Decode() at m_acceptRules"}),
              result.errors);
}

TEST(Forwarding, CopiesAndProfiles)
{
    SrvSideFwding fwd;
    AddC2S(fwd.c2s, 0, 80)->m_sProxyProfile.assign("Default");
    SrvSideS2CRule* s2c = fwd.s2c.New();
    s2c->m_nListenPort = 2222;
    s2c->m_acceptRules.ipRules.at(0)->instr.m_allowConnect = false;
    ASSERT_EQ(0, fwd.s2c.NewCommit());

    SrvSideFwding copy(fwd);
    EXPECT_EQ(EncodedPair(fwd), EncodedPair(copy));
    // The copied S2C rule's accept rules still make product-default entries.
    IpAcceptRule* fresh = copy.s2c.at(0)->m_acceptRules.ipRules.New();
    EXPECT_TRUE(fresh->instr.m_allowConnect);

    DefaultProxyProfileList profiles;
    EXPECT_FALSE(profiles.HasUndefinedReference(fwd.c2s));
    AddC2S(fwd.c2s, 0, 81);  // no profile name
    EXPECT_TRUE(profiles.HasUndefinedReference(fwd.c2s));

    // The language refuses ports out of range.
    SrvSideC2SRule rule;
    LanguageOn language(rule);
    EXPECT_NE(L"", language.Run(L"listenPort 0"));
    EXPECT_NE(L"", language.Run(L"targetPort 65536"));
    EXPECT_EQ(L"", language.Run(L"targetHost \"db.example.com\""));
    EXPECT_EQ(L"", language.Run(L"listenIntf 10.0.0.1"));
    EXPECT_EQ(0x0A000001u, rule.m_nListenIntf);
}

} // namespace
