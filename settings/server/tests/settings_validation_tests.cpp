#include <gtest/gtest.h>

#include <cstdint>
#include <cwchar>
#include <functional>
#include <string>

#include "settings/server/server_cfg.h"
#include "settings/server/tests/test_support.h"

namespace {

// The message of the first failing check, or "" when the tree passes.
std::wstring Failure(ServerCfg& cfg, CfgRoot& root)
{
    try {
        return cfg.Validate(root, true) ? std::wstring() : L"returned false";
    } catch (const OrvidexCfgException& e) {
        return e.WideWhat();
    }
}

AccountEntry& AddAccount(CfgRoot& root, const wchar_t* name)
{
    AccountEntry* account = root.access.accounts.New();
    account->account = name;
    EXPECT_EQ(0, root.access.accounts.NewCommit());
    return *account;
}

TEST(SettingsValidation, TheDefaultTreePasses)
{
    ServerCfg cfg(false);
    CfgRoot root;
    EXPECT_EQ(L"", Failure(cfg, root));
    AddAccount(root, L"alice");
    EXPECT_EQ(L"", Failure(cfg, root));
}

TEST(SettingsValidation, EachCheckHasItsMessage)
{
    const struct {
        std::function<void(CfgRoot&)> change;
        const wchar_t* message;
    } cases[] = {
        {[](CfgRoot& r) { r.server.logging.m_nEventLogLevel = 4; }, L"invalid event log log-level value"},
        {[](CfgRoot& r) { r.server.logging.m_nLogFileLevel = 10; }, L"invalid log file log-level value"},
        {[](CfgRoot& r) { r.proxyProfiles.at(0)->m_profileName.assign(""); }, L"empty proxy profile name"},
        {[](CfgRoot& r) { r.proxyProfiles.at(0)->m_proxyPort = 0; },
         L"invalid proxy profile: [Error] ProxyProfile::IsValid(): invalid proxy port value"},
        {[](CfgRoot& r) { r.access.templates.at(0)->name.clear(); }, L"empty template name"},
        {[](CfgRoot& r) { r.access.templates.at(0)->connectRules.ipRules.at(0)->instr.m_proxyProfile.assign(""); },
         L"undefined proxy profiles referenced in template ip connect rule data"},
        {[](CfgRoot& r) { r.access.templates.at(0)->srvSideFwding.s2c.NewCommit(); },
         L"invalid template server-side s2c rule data: [Error] SrvSideS2CRule::IsValid(): invalid listen port value"},
        {[](CfgRoot& r) { r.access.m_sDefaultTemplate = L"Other"; },
         L"undefined template name referenced in default template setting"},
        {[](CfgRoot& r) { AddAccount(r, L"alice").templateName = L"Other"; },
         L"undefined template name referenced in account data"},
        {[](CfgRoot& r) { AddAccount(r, L"alice").authType = 2; }, L"invalid account authentication type data"},
        {[](CfgRoot& r) { AddAccount(r, L"alice").mapRemoteHomeDir = 3; }, L"invalid account map remote home dir data"},
        {[](CfgRoot& r) { AddAccount(r, L"alice").permitS2CForwarding = 3; },
         L"invalid account permit S2C port forwarding data"},
        {[](CfgRoot& r) { r.access.hosts.ipRules.at(0)->ipRule.m_sigBits = 33; }, L"invalid host accept rule data: "},
    };
    ServerCfg cfg(false);
    for (const auto& c : cases) {
        CfgRoot root;
        c.change(root);
        const std::wstring failure = Failure(cfg, root);
        EXPECT_EQ(0u, failure.find(c.message)) << std::string(failure.begin(), failure.end());
    }
}

// Every numeric limit: a value on each bound passes, one just past it fails with its message.
TEST(SettingsValidation, EachLimitHoldsOnItsBoundsAndFailsJustPastThem)
{
    using Setter = std::function<void(CfgRoot&, std::uint32_t)>;
    const struct {
        Setter set;
        std::uint32_t low;
        std::uint32_t high;
        const wchar_t* message;
    } limits[] = {
        {[](CfgRoot& r, std::uint32_t v) { r.server.binding.m_nPort = v; }, 1, 65535, L"invalid server binding port"},
        {[](CfgRoot& r, std::uint32_t v) { r.server.m_nAcceptDelayMs = v; }, 1, 9999, L"invalid server accept delay"},
        {[](CfgRoot& r, std::uint32_t v) { r.server.mlterm.m_nMaxBufWidth = v; }, 40, 9999,
         L"invalid mlterm maximal buffer width value"},
        {[](CfgRoot& r, std::uint32_t v) { r.server.mlterm.m_nMaxBufHeight = v; }, 10, 99999,
         L"invalid mlterm maximal buffer height value"},
        {[](CfgRoot& r, std::uint32_t v) { r.server.mlterm.m_nRefreshDelay = v; }, 30, 5000,
         L"invalid mlterm minimal refresh delay value"},
        {[](CfgRoot& r, std::uint32_t v) { r.session.m_nLoginTimeout = v; }, 0, 999999, L"invalid login timeout value"},
        {[](CfgRoot& r, std::uint32_t v) { r.session.m_nMaxLoginAttempts = v; }, 0, 9999,
         L"invalid login attempts value"},
        {[](CfgRoot& r, std::uint32_t v) { r.session.m_nLoginAttemptDelay = v; }, 0, 9999,
         L"invalid login attempt delay value"},
        {[](CfgRoot& r, std::uint32_t v) { r.session.m_nIpBlockWindowSecs = v; }, 0, 99999,
         L"invalid ip block window value"},
        {[](CfgRoot& r, std::uint32_t v) { r.session.m_nIpBlockThreshold = v; }, 0, 9999,
         L"invalid ip block threshold value"},
        {[](CfgRoot& r, std::uint32_t v) { r.session.m_nIpBlockLockoutSecs = v; }, 0, 99999,
         L"invalid ip block lockout value"},
        {[](CfgRoot& r, std::uint32_t v) { r.session.m_nKeepAliveTimeout = v; }, 0, 999999,
         L"invalid keep alive timeout value"},
        {[](CfgRoot& r, std::uint32_t v) { r.session.m_nSessionTimeout = v; }, 0, 999999,
         L"invalid session timeout value"},
        {[](CfgRoot& r, std::uint32_t v) { r.access.templates.at(0)->onLogonCmd.maxWaitTime = v; }, 0, 9999,
         L"invalid template on-logon cmd wait time data"},
        {[](CfgRoot& r, std::uint32_t v) { r.access.templates.at(0)->onLogoffCmd.maxWaitTime = v; }, 0, 9999,
         L"invalid template on-logoff cmd wait time data"},
        {[](CfgRoot& r, std::uint32_t v) { AddAccount(r, L"alice").onLogonCmd.maxWaitTime = v; }, 0, 9999,
         L"invalid account on-logon cmd wait time data"},
        {[](CfgRoot& r, std::uint32_t v) { AddAccount(r, L"alice").onLogoffCmd.maxWaitTime = v; }, 0, 9999,
         L"invalid account on-logoff cmd wait time data"},
    };
    ServerCfg cfg(false);
    const auto failureWith = [&cfg](const Setter& set, std::uint32_t value) {
        CfgRoot root;
        set(root, value);
        return Failure(cfg, root);
    };
    for (const auto& limit : limits) {
        const std::string name(limit.message, limit.message + std::wcslen(limit.message));
        EXPECT_EQ(L"", failureWith(limit.set, limit.low)) << name << " at " << limit.low;
        EXPECT_EQ(L"", failureWith(limit.set, limit.high)) << name << " at " << limit.high;
        EXPECT_EQ(limit.message, failureWith(limit.set, limit.high + 1)) << name << " at " << limit.high + 1;
        if (limit.low > 0) {
            EXPECT_EQ(limit.message, failureWith(limit.set, limit.low - 1)) << name << " at " << limit.low - 1;
        }
    }
}

TEST(SettingsValidation, OnlyTheFirstFailureIsReported)
{
    ServerCfg cfg(false);
    CfgRoot root;
    root.access.templates.at(0)->name.clear();
    AddAccount(root, L"").authType = 7;
    EXPECT_EQ(L"empty template name", Failure(cfg, root));

    // Two invalid profiles: the list's check stops at the first.
    CfgRoot profiles;
    LanguageOn language(profiles);
    ASSERT_EQ(L"", language.Run(L"proxyProfiles.New.profileName \"Backup\""));
    ASSERT_EQ(L"", language.Run(L"proxyProfiles.NewCommit"));
    profiles.proxyProfiles.at(0)->m_proxyPort = 0;
    profiles.proxyProfiles.at(1)->m_proxyPort = 0;
    EXPECT_EQ(L"invalid proxy profile: [Error] ProxyProfile::IsValid(): invalid proxy port value",
              Failure(cfg, profiles));
}

TEST(SettingsValidation, WithoutThrowingTheLastErrorStays)
{
    ServerCfg cfg(false);
    CfgRoot root;
    root.server.binding.m_nPort = 0;
    EXPECT_FALSE(cfg.Validate(root, false));
    EXPECT_EQ(L"The operation completed successfully", cfg.LastError());
    ServerCfg throwing(true);
    EXPECT_THROW(throwing.Validate(root, false), OrvidexCfgException);
    root.server.binding.m_nPort = 65535;
    EXPECT_TRUE(cfg.Validate(root, false));
}

} // namespace
