#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <cryptopp/filters.h>

#include "settings/server/server_cfg.h"
#include "settings/server/tests/settings_builder.h"
#include "settings/server/tests/test_support.h"

namespace {

std::wstring DecodeFailure(ServerCfg& cfg, const std::string& bytes)
{
    CryptoPP::StringStore store(bytes);
    return cfg.Decode(store) ? std::wstring() : cfg.LastError();
}

std::string ProfilesBlob(const std::vector<std::string>& names)
{
    ProxyProfileList profiles;
    for (const std::string& name : names) {
        profiles.New()->m_profileName.assign(name.c_str());
        profiles.New()->OnMembersChanged();
        EXPECT_EQ(0, profiles.NewCommit());
    }
    return Encoded(profiles);
}

// One IP connect rule for any address and port that names the profile given.
std::string ConnectRulesNaming(const std::string& profile)
{
    return FromHex("00 00 00 01; 00 00 00 00 00; 00 00 00 01 00 00 FF FF; 01; 00 00 00 00; 00 00 00 00") +
           Message().Blob(profile).bytes + FromHex("00 00 00 00");
}

// A C2S rule on port 80 to db:5432 through the profile given, and no S2C rule.
std::string ForwardingNaming(const std::string& profile)
{
    const std::string c2s = Message().Word(1).Word(0).Word(80).Blob("db").Word(5432).Blob(profile).bytes;
    return Message().Blob(c2s).Blob(FromHex("00 00 00 00")).bytes;
}

TEST(SettingsMigration, AnUnnamedProfileOf326IsNamedAndFillsEmptyConnectRules)
{
    AccessPart access;
    const std::vector<std::string> templates{TemplateEntry("3.26", L"", true, ConnectRulesNaming(""))};
    access.templates = &templates;
    ServerCfg cfg(false);
    ASSERT_EQ(L"", DecodeFailure(cfg, DefaultMessage("3.26", access, ProfilesBlob({"", "Default"}))));
    const DefaultProxyProfileList& profiles = cfg.m_root.proxyProfiles;
    ASSERT_EQ(2u, profiles.size());
    EXPECT_STREQ("Default", profiles.at(0)->m_profileName.c_str());
    EXPECT_STREQ("Default0", profiles.at(1)->m_profileName.c_str());
    const AccountTemplate& t = *cfg.m_root.access.templates.at(0);
    EXPECT_EQ(L"Default", t.name);
    EXPECT_STREQ("Default0", t.connectRules.ipRules.at(0)->instr.m_proxyProfile.c_str());
}

TEST(SettingsMigration, A328MessagePrefersDefaultElseTheFirstProfileForC2SRules)
{
    AccessPart access;
    const std::vector<std::string> templates{
        TemplateEntry("3.28", L"Default", true, ConnectRulesNaming("Beta"), ForwardingNaming(""))};
    access.templates = &templates;
    ServerCfg cfg(false);
    ASSERT_EQ(L"", DecodeFailure(cfg, DefaultMessage("3.28", access, ProfilesBlob({"Alpha", "Beta"}))));
    const AccountTemplate& t = *cfg.m_root.access.templates.at(0);
    EXPECT_STREQ("Alpha", t.srvSideFwding.c2s.at(0)->m_sProxyProfile.c_str());
    EXPECT_STREQ("Beta", t.connectRules.ipRules.at(0)->instr.m_proxyProfile.c_str());

    // From 3.30 on nothing is filled: the empty reference is left for validation to refuse.
    const std::vector<std::string> current{
        TemplateEntry("3.31", L"Default", true, ConnectRulesNaming("Beta"), ForwardingNaming(""))};
    access.templates = &current;
    EXPECT_EQ(L"undefined proxy profiles referenced in template server-side c2s rule data",
              DecodeFailure(cfg, DefaultMessage("3.31", access, ProfilesBlob({"Alpha", "Beta"}))));
}

// Decodes a 3.27 message holding these templates, this stored default template and one
// account, "bob": the failure text, empty when it decoded.
std::wstring Decode327WithOneAccount(ServerCfg& cfg, const std::vector<std::string>& templates,
                                     const std::wstring& defaultTemplate)
{
    AccessPart access;
    access.templates = &templates;
    access.defaultTemplate = defaultTemplate;
    AccountFields bob;
    bob.account = L"bob";
    access.accounts.push_back(AccountEntryBytes("3.27", bob));
    return DecodeFailure(cfg, DefaultMessage("3.27", access));
}

TEST(SettingsMigration, AnUnnamedTemplateOf327IsNamedAndTakesTheAccountsAndTheDefault)
{
    const std::vector<std::string> templates{TemplateEntry("3.27", L""), TemplateEntry("3.27", L"Default")};
    ServerCfg cfg(false);
    ASSERT_EQ(L"", Decode327WithOneAccount(cfg, templates, L""));
    const AccessSettings& a = cfg.m_root.access;
    ASSERT_EQ(2u, a.templates.size());
    EXPECT_EQ(L"Default", a.templates.at(0)->name);
    EXPECT_EQ(L"Default0", a.templates.at(1)->name);
    EXPECT_EQ(L"Default0", a.m_sDefaultTemplate);
    ASSERT_EQ(1u, a.accounts.size());
    EXPECT_EQ(L"Default0", a.accounts.at(0)->templateName);
}

TEST(SettingsMigration, AccountsOf327WithEveryTemplateNamedTakeTheStoredDefault)
{
    const std::vector<std::string> templates{TemplateEntry("3.27", L"Default"), TemplateEntry("3.27", L"Staff")};
    ServerCfg cfg(false);
    ASSERT_EQ(L"", Decode327WithOneAccount(cfg, templates, L"Staff"));
    const AccessSettings& a = cfg.m_root.access;
    EXPECT_EQ(L"Staff", a.m_sDefaultTemplate);
    ASSERT_EQ(1u, a.accounts.size());
    EXPECT_EQ(L"Staff", a.accounts.at(0)->templateName);

    // Without a stored default there is nothing to take: the message is refused and the
    // settings keep what they held.
    EXPECT_EQ(L"undefined template name referenced in default template setting",
              Decode327WithOneAccount(cfg, templates, L""));
    EXPECT_EQ(L"Staff", cfg.m_root.access.accounts.at(0)->templateName);
}

TEST(SettingsMigration, AllOthersOf325BecomesTheTemplatesLoginRight)
{
    AccessPart access;
    AccountFields others;
    others.account = L"<<all others>>";
    others.loginAllowed = 0;
    AccountFields alice;
    alice.account = L"alice";
    alice.loginAllowed = 1;
    AccountFields unnamed;
    access.accounts = {AccountEntryBytes("3.25", others), AccountEntryBytes("3.25", alice),
                       AccountEntryBytes("3.25", unnamed)};
    ServerCfg cfg(false);
    ASSERT_EQ(L"", DecodeFailure(cfg, DefaultMessage("3.25", access)));
    const AccessSettings& a = cfg.m_root.access;
    ASSERT_EQ(1u, a.templates.size());
    EXPECT_FALSE(a.templates.at(0)->loginAllowed);
    ASSERT_EQ(1u, a.accounts.size());
    EXPECT_EQ(L"alice", a.accounts.at(0)->account);
    EXPECT_EQ(1, a.accounts.at(0)->loginAllowed);
    EXPECT_EQ(L"Default", a.accounts.at(0)->templateName);
}

TEST(SettingsMigration, EmptyAccountTextsBefore325StandForTheTemplate)
{
    AccessPart access;
    AccountFields carol;
    carol.account = L"carol";
    carol.loginAllowed = 0;
    carol.terminalShell = L"";
    carol.initDir = L"C:\\";
    carol.sftpRootDir = L"";
    access.accounts.push_back(AccountEntryBytes("3.12", carol));
    ServerCfg cfg(false);
    ASSERT_EQ(L"", DecodeFailure(cfg, DefaultMessage("3.12", access)));
    const AccountEntry& a = *cfg.m_root.access.accounts.at(0);
    EXPECT_EQ(L"*", a.terminalShell);
    EXPECT_EQ(L"C:\\", a.initDir);
    EXPECT_EQ(L"*", a.sftpRootDir);
    EXPECT_EQ(2, a.loginAllowed);
}

TEST(SettingsMigration, A308MessageHasOneLogLevelAndTheReexchangeFields)
{
    std::string message = DefaultMessage("3.08");
    // The level byte follows the binding; the reexchange flag follows the level.
    const std::size_t level = 4 + 12 + 8;
    ASSERT_EQ(2, message[level]);
    message[level] = 1;
    message[level + 1] = 0;
    ServerCfg cfg(false);
    ASSERT_EQ(L"", DecodeFailure(cfg, message));
    const LoggingSettings& logging = cfg.m_root.server.logging;
    EXPECT_EQ(1, logging.m_nEventLogLevel);
    EXPECT_EQ(1, logging.m_nLogFileLevel);
    EventList expected;
    expected.SetToLogLevel(1);
    for (std::uint32_t i = 0; i < 202; ++i) {
        EXPECT_EQ(expected.Flags()[i], logging.eventLogEventList.Flags()[i]) << i;
        EXPECT_EQ(expected.Flags()[i], logging.logFileEventList.Flags()[i]) << i;
    }
    EXPECT_FALSE(cfg.m_root.session.m_bStartReexchange);
    EXPECT_TRUE(logging.m_bLogToEventLog);
    EXPECT_EQ(100u, cfg.m_root.server.mlterm.m_nMaxBufWidth);
}

TEST(SettingsMigration, OlderHostEntriesBecomeIpAcceptRules)
{
    AccessPart access;
    access.hosts = Message()
                       .Word(3)
                       .Word(0x0A000000).Word(40).Bool(true)
                       .Word(0xC0A80100).Word(24).Bool(false)
                       .Word(0x0A000000).Word(8).Bool(false)  // equal in order to the first: dropped
                       .bytes;
    ServerCfg cfg(false);
    ASSERT_EQ(L"", DecodeFailure(cfg, DefaultMessage("3.26", access)));
    const AcceptRules& hosts = cfg.m_root.access.hosts;
    EXPECT_EQ(0u, hosts.dnsNameRules.size());
    ASSERT_EQ(2u, hosts.ipRules.size());
    EXPECT_EQ(0xC0A80100u, hosts.ipRules.at(0)->ipRule.m_ip);
    EXPECT_EQ(24, hosts.ipRules.at(0)->ipRule.m_sigBits);
    EXPECT_FALSE(hosts.ipRules.at(0)->instr.m_allowConnect);
    EXPECT_EQ(0x0A000000u, hosts.ipRules.at(1)->ipRule.m_ip);
    EXPECT_EQ(32, hosts.ipRules.at(1)->ipRule.m_sigBits);
    EXPECT_TRUE(hosts.ipRules.at(1)->instr.m_allowConnect);
}

} // namespace
