#include <gtest/gtest.h>

#include <string>

#include "settings/server/default_rules.h"
#include "settings/server/server_cfg.h"
#include "settings/server/tests/test_support.h"

namespace {

TEST(CfgRoot, AFreshTreeHoldsTheProductDefaults)
{
    CfgRoot root;
    EXPECT_TRUE(root.IsDefault());
    EXPECT_STREQ("0.0.0.0", root.server.binding.m_sInterfaceText.c_str());
    EXPECT_STREQ("diffie-hellman-group1-sha1,diffie-hellman-group14-sha1", root.algs.m_kex.m_sNameList.c_str());
    EXPECT_STREQ("aes256-cbc,twofish256-cbc,twofish-cbc,aes128-cbc,twofish128-cbc,blowfish-cbc,3des-cbc,arcfour,"
                 "cast128-cbc",
                 root.algs.encr.m_sNameList.c_str());
    EXPECT_STREQ("hmac-sha1,hmac-md5,hmac-sha1-96,hmac-md5-96", root.algs.mac.m_sNameList.c_str());
    EXPECT_STREQ("zlib,none", root.algs.cmpr.m_sNameList.c_str());
    ASSERT_EQ(1u, root.proxyProfiles.size());
    EXPECT_STREQ("Default", root.proxyProfiles.at(0)->m_profileName.c_str());
    ASSERT_EQ(1u, root.access.templates.size());
    EXPECT_EQ(L"Default", root.access.templates.at(0)->name);
    EXPECT_EQ(L"Default", root.access.m_sDefaultTemplate);
    EXPECT_EQ(0u, root.access.accounts.size());
    EXPECT_EQ(1u, root.access.hosts.ipRules.size());
}

TEST(CfgRoot, TheLanguageSeesEveryMemberInOrder)
{
    ServerCfg cfg(false);
    LanguageOn language(cfg.m_root);
    const struct {
        const wchar_t* query;
        const wchar_t* answer;
    } cases[] = {
        {L"server.binding.port", L"22"},
        {L"server.binding.interface", L"0.0.0.0"},
        {L"server.acceptDelayMs", L"200"},
        {L"server.logging.eventLogLevel", L"logLevelEWI"},
        {L"server.logging.logFileWrapColumn", L"79"},
        {L"server.mlterm.maxBufHeight", L"500"},
        {L"server.ext.sftpPlugins", L"\"\""},
        {L"algs.encr.none", L"false"},
        {L"algs.cmpr.none", L"true"},
        {L"session.ipBlockLockoutSecs", L"3600"},
        {L"session.maxSubsequentFaultBytes", L"35000"},
        {L"access.defaultTemplate", L"\"Default\""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.answer, language.Query(c.query)) << std::wstring(c.query);
    // The key-exchange list is not a member.
    EXPECT_EQ(0u, language.Query(L"algs.kex").find(L"ERR "));
    // "%" of a fresh tree lists no value.
    EXPECT_EQ(L"\"SetDefaults\\r\\n\"", language.Query(L"%"));
    const std::wstring all = language.Query(L"*");
    std::size_t at = 0;
    for (const wchar_t* member :
         {L"With server {", L"binding.interface 0.0.0.0", L"binding.port 22", L"acceptDelayMs 200", L"omitVersion",
          L"With logging {", L"logToEventLog", L"eventLogLevel", L"eventLogEventList.List", L"logToFile",
          L"logFileLevel", L"logFileEventList.List", L"logFile ", L"logFileUnicode", L"logFileCodePage",
          L"logFileWrapColumn", L"With mlterm {", L"ext.sftpPlugins", L"With algs {", L"With encr {",
          L"With mac {", L"cmpr.zlib", L"With session {", L"bannerFile", L"loginTimeout", L"startReexchange",
          L"maxSubsequentFaultBytes", L"With proxyProfiles {", L"With access {", L"With templates {",
          L"defaultTemplate \\\"Default\\\"", L"accounts.Clear", L"With hosts {"}) {
        const std::size_t found = all.find(member, at);
        EXPECT_NE(std::wstring::npos, found) << std::wstring(member);
        if (found != std::wstring::npos)
            at = found;
    }
}

TEST(CfgRoot, InstructionsRefreshTheDerivedTexts)
{
    ServerCfg cfg(false);
    LanguageOn language(cfg.m_root);
    ASSERT_EQ(L"", language.Run(L"server.binding.interface 192.168.0.1"));
    EXPECT_STREQ("192.168.0.1", cfg.m_root.server.binding.m_sInterfaceText.c_str());

    AlgList& encr = cfg.m_root.algs.encr;
    for (std::size_t i = 0; i < encr.Count(); ++i)
        ASSERT_EQ(L"", language.Run(L"algs.encr." + std::wstring(encr.EntryAt(i).member) + L" false"));
    EXPECT_STREQ("", encr.m_sNameList.c_str());
    ASSERT_EQ(L"", language.Run(L"algs.encr.none true"));
    EXPECT_STREQ("none", encr.m_sNameList.c_str());
    ASSERT_EQ(L"", language.Run(L"algs.encr.none false"));
    ASSERT_EQ(L"", language.Run(L"algs.encr.twofish256-cbc true"));
    EXPECT_STREQ("twofish256-cbc,twofish-cbc", encr.m_sNameList.c_str());

    // Defaults applied through an enclosing record refresh the derived texts too.
    ASSERT_EQ(L"", language.Run(L"server.SetDefaults"));
    EXPECT_STREQ("0.0.0.0", cfg.m_root.server.binding.m_sInterfaceText.c_str());
    ASSERT_EQ(L"", language.Run(L"SetDefaults"));
    EXPECT_STREQ("aes256-cbc,twofish256-cbc,twofish-cbc,aes128-cbc,twofish128-cbc,blowfish-cbc,3des-cbc,arcfour,"
                 "cast128-cbc",
                 encr.m_sNameList.c_str());

    // Refused values leave the members as they were.
    EXPECT_NE(L"", language.Run(L"server.acceptDelayMs 0"));
    EXPECT_NE(L"", language.Run(L"server.logging.eventLogLevel 5"));
    EXPECT_NE(L"", language.Run(L"access.defaultTemplate \"Other\""));
    EXPECT_EQ(200u, cfg.m_root.server.m_nAcceptDelayMs);
    EXPECT_EQ(L"Default", cfg.m_root.access.m_sDefaultTemplate);
}

TEST(CfgRoot, EventLogFilterFollowsLevelListAndSwitch)
{
    LoggingSettings logging;
    const std::uint32_t error = 10004, warning = 20002, info = 30005, trace = 44112, dump = 50190;
    EXPECT_TRUE(logging.IsEventLogged(error));
    EXPECT_TRUE(logging.IsEventLogged(warning));
    EXPECT_TRUE(logging.IsEventLogged(info));
    EXPECT_FALSE(logging.IsEventLogged(trace));
    EXPECT_FALSE(logging.IsEventLogged(dump));

    // The last answer is kept for the same number, even after a change.
    logging.m_bLogToEventLog = false;
    EXPECT_FALSE(logging.IsEventLogged(dump));
    EXPECT_FALSE(logging.IsEventLogged(info));
    logging.m_bLogToEventLog = true;
    EXPECT_FALSE(logging.IsEventLogged(info));
    EXPECT_TRUE(logging.IsEventLogged(error));
    EXPECT_TRUE(logging.IsEventLogged(info));

    logging.m_nEventLogLevel = logLevelCustom;
    logging.eventLogEventList.SetAll(false);
    EXPECT_FALSE(logging.IsEventLogged(error));
    EXPECT_FALSE(logging.IsEventLogged(info));

    logging.m_nEventLogLevel = logLevelEWITD;
    EXPECT_TRUE(logging.IsEventLogged(dump));
}

TEST(CfgRoot, FileLoggingNeedsAFileAndUnionCoversBothDestinations)
{
    LoggingSettings logging;
    logging.m_bLogToFile = true;
    EXPECT_FALSE(logging.IsFileLogged(10004));
    EventList events;
    logging.GetLoggedEvents(events);
    EXPECT_TRUE(events.IsOn(30005));
    EXPECT_FALSE(events.IsOn(44112));

    logging.m_sLogFile = L"C:\\server.log";
    logging.m_nLogFileLevel = logLevelEWIT;
    EXPECT_TRUE(logging.IsFileLogged(44112));
    logging.GetLoggedEvents(events);
    EXPECT_TRUE(events.IsOn(44112));
    EXPECT_FALSE(events.IsOn(50190));

    // Level 4 selects everything in the filter, but the union's fresh list ignores it.
    logging.m_bLogToFile = false;
    logging.m_nEventLogLevel = logLevelEWITD;
    logging.GetLoggedEvents(events);
    EventList defaults;
    for (std::uint32_t i = 0; i < events.Count(); ++i)
        EXPECT_EQ(defaults.Flags()[i], events.Flags()[i]) << i;

    logging.m_bLogToEventLog = false;
    logging.GetLoggedEvents(events);
    for (std::uint32_t i = 0; i < events.Count(); ++i)
        EXPECT_EQ(0, events.Flags()[i]) << i;
}

TEST(CfgRoot, AssignmentCopiesDerivedFieldsAsTheyStand)
{
    CfgRoot source;
    source.algs.mac.m_enabled[0] = false;  // name list left stale on purpose
    source.server.binding.m_nInterface = 0x7F000001;
    source.server.binding.OnMembersChanged();
    LanguageOn language(source);
    ASSERT_EQ(L"", language.Run(L"access.templates.New.name \"Staff\""));
    ASSERT_EQ(L"", language.Run(L"access.templates.NewCommit"));
    CfgRoot copy;
    copy = source;
    EXPECT_FALSE(copy.algs.mac.m_enabled[0]);
    EXPECT_STREQ("hmac-sha1,hmac-md5,hmac-sha1-96,hmac-md5-96", copy.algs.mac.m_sNameList.c_str());
    EXPECT_STREQ("127.0.0.1", copy.server.binding.m_sInterfaceText.c_str());
    ASSERT_EQ(2u, copy.access.templates.size());
    EXPECT_EQ(L"Staff", copy.access.templates.at(1)->name);
    // The copy's lists keep making product-default entries.
    LanguageOn copyLanguage(copy);
    ASSERT_EQ(L"", copyLanguage.Run(L"access.hosts.ipRules.Clear"));
    ASSERT_EQ(L"", copyLanguage.Run(L"access.hosts.ipRules.NewCommit"));
    EXPECT_TRUE(copy.access.hosts.ipRules.at(0)->instr.m_allowConnect);
}

// Taking a tree gives the tree that a copy gives, ids, variants and pending entries
// included, and leaves the source with the taker's old entries.
TEST(CfgRoot, TakingATreeGivesWhatACopyGives)
{
    CfgRoot source;
    source.algs.mac.m_enabled[0] = false;
    LanguageOn language(source);
    for (const wchar_t* instruction :
         {L"access.templates.New.name \"Staff\"", L"access.templates.NewCommit", L"access.defaultTemplate \"Staff\"",
          L"access.accounts.New.account \"alice\"", L"access.accounts.NewCommit",
          L"access.hosts.ipRules.New.ipRule.ip 10.0.0.0", L"access.hosts.ipRules.New.ipRule.sigBits 8",
          L"access.hosts.ipRules.NewCommit", L"access.hosts.dnsNameRules.New.dnsNameRule.dnsName \"*.example.org\"",
          L"access.hosts.dnsNameRules.NewCommit", L"proxyProfiles.New.profileName \"Backup\"",
          L"proxyProfiles.NewCommit", L"access.hosts.ipRules.New.ipRule.ip 10.9.9.9"}) {
        ASSERT_EQ(L"", language.Run(instruction)) << std::wstring(instruction);
    }
    CfgRoot copied;
    copied = source;
    CfgRoot taken;
    LanguageOn takenLanguage(taken);
    ASSERT_EQ(L"", takenLanguage.Run(L"access.hosts.ipRules.New.ipRule.ip 192.168.0.1"));
    ASSERT_EQ(L"", takenLanguage.Run(L"access.hosts.ipRules.New.ipRule.sigBits 32"));
    ASSERT_EQ(L"", takenLanguage.Run(L"access.hosts.ipRules.NewCommit"));
    taken.TakeFrom(source);

    LanguageOn copiedLanguage(copied);
    const std::wstring script = copiedLanguage.Query(L"*");
    EXPECT_NE(std::wstring::npos, script.find(L"alice")) << script;
    EXPECT_EQ(script, takenLanguage.Query(L"*"));
    EXPECT_FALSE(taken.algs.mac.m_enabled[0]);
    RuleList<IpAcceptRule>& hosts = taken.access.hosts.ipRules;
    ASSERT_EQ(2u, hosts.size());
    for (std::uint32_t i = 0; i < hosts.size(); ++i)
        EXPECT_NE(nullptr, dynamic_cast<DefaultIpAcceptRule*>(hosts.at(i))) << i;
    ASSERT_NE(nullptr, hosts.m_pNewEntry);
    EXPECT_EQ(copied.access.hosts.ipRules.m_pNewEntry->id, hosts.m_pNewEntry->id);
    EXPECT_EQ(0x0A090909u, hosts.m_pNewEntry->entry->ipRule.m_ip);

    ASSERT_EQ(2u, source.access.hosts.ipRules.size());
    EXPECT_EQ(0xC0A80001u, source.access.hosts.ipRules.at(0)->ipRule.m_ip);
    EXPECT_EQ(1u, source.access.templates.size());
    EXPECT_EQ(nullptr, source.access.hosts.ipRules.m_pNewEntry);

    // Each list kept its own factory and flag.
    ASSERT_EQ(L"", takenLanguage.Run(L"access.hosts.ipRules.SetDefaults"));
    ASSERT_EQ(1u, hosts.size());
    EXPECT_TRUE(hosts.at(0)->instr.m_allowConnect);
}

TEST(CfgRoot, SettingsKeysAreTheTwoConstants)
{
    EXPECT_EQ("9D 3F 0A 6E 21 C4 B8 57 F0 E9 1D 2A 6C 35 B4 E8",
              ToHex(std::string(reinterpret_cast<const char*>(GetSettingsCipherKey()), 16)));
    EXPECT_EQ("4B 82 E7 D1 0F 5A 39 C6 A2 D8 E4 17 0B 9F 6C 53",
              ToHex(std::string(reinterpret_cast<const char*>(GetSettingsMacKey()), 16)));
}

} // namespace
