// The checks of a whole settings tree beyond what the member ranges exclude: values that
// arrive by decoding, and references between parts of the tree (proxy profiles named by
// rules, templates named by the default-template setting and by accounts). The checks
// run in a fixed order and stop at the first failure.
#include "settings/server/server_cfg.h"

#include "foundation/encoding_conversion.h"
#include "settings/server/settings_validation.h"

namespace {

bool InRange(std::uint32_t value, std::uint32_t low, std::uint32_t high)
{
    return value >= low && value <= high;
}

bool IsStorableLogLevel(unsigned char level)
{
    // Level 4 has a name but no events of its own to select here.
    return level <= logLevelEWIT || level == logLevelCustom;
}

} // namespace

std::wstring DescribeValidityErrors(ErrorInfo& info, const char* separator)
{
    return ToUtf16(AnsiString(info.Describe(separator).c_str())).text;
}

bool ServerCfg::Validate(CfgRoot& root, bool throwAlways)
{
    std::wstring failure;
    if (FirstValidationFailure(root, failure)) {
        if (throwAlways || m_throwOnError)
            throw OrvidexCfgException(failure);
        return false;
    }
    return true;
}

bool FirstValidationFailure(CfgRoot& root, std::wstring& message)
{
    struct RangeCheck {
        std::uint32_t value;
        std::uint32_t low;
        std::uint32_t high;
        const wchar_t* message;
    };
    const ServerSettings& server = root.server;
    const SessionSettings& session = root.session;

    const RangeCheck serverChecks[] = {
        {server.binding.m_nPort, 1, 65535, L"invalid server binding port"},
        {server.m_nAcceptDelayMs, 1, 9999, L"invalid server accept delay"},
    };
    for (const RangeCheck& check : serverChecks) {
        if (!InRange(check.value, check.low, check.high)) {
            message = check.message;
            return true;
        }
    }
    if (!IsStorableLogLevel(server.logging.m_nEventLogLevel)) {
        message = L"invalid event log log-level value";
        return true;
    }
    if (!IsStorableLogLevel(server.logging.m_nLogFileLevel)) {
        message = L"invalid log file log-level value";
        return true;
    }
    const RangeCheck valueChecks[] = {
        {server.mlterm.m_nMaxBufWidth, 40, 9999, L"invalid mlterm maximal buffer width value"},
        {server.mlterm.m_nMaxBufHeight, 10, 99999, L"invalid mlterm maximal buffer height value"},
        {server.mlterm.m_nRefreshDelay, 30, 5000, L"invalid mlterm minimal refresh delay value"},
        {session.m_nLoginTimeout, 0, 999999, L"invalid login timeout value"},
        {session.m_nMaxLoginAttempts, 0, 9999, L"invalid login attempts value"},
        {session.m_nLoginAttemptDelay, 0, 9999, L"invalid login attempt delay value"},
        {session.m_nIpBlockWindowSecs, 0, 99999, L"invalid ip block window value"},
        {session.m_nIpBlockThreshold, 0, 9999, L"invalid ip block threshold value"},
        {session.m_nIpBlockLockoutSecs, 0, 99999, L"invalid ip block lockout value"},
        {session.m_nKeepAliveTimeout, 0, 999999, L"invalid keep alive timeout value"},
        {session.m_nSessionTimeout, 0, 999999, L"invalid session timeout value"},
    };
    for (const RangeCheck& check : valueChecks) {
        if (!InRange(check.value, check.low, check.high)) {
            message = check.message;
            return true;
        }
    }

    DefaultProxyProfileList& profiles = root.proxyProfiles;
    for (std::uint32_t i = 0; i < profiles.size(); ++i) {
        if (profiles.at(i)->m_profileName.empty()) {
            message = L"empty proxy profile name";
            return true;
        }
    }
    ErrorInfo errors;
    if (!profiles.IsValid(errors)) {
        message = L"invalid proxy profile: " + DescribeValidityErrors(errors, "\ninvalid proxy profile: ");
        return true;
    }
    return FirstAccessFailure(root, message);
}

namespace {

// The collected texts of a failed validity check behind prefix.
template <class Checked>
bool FailsValidity(Checked& checked, const wchar_t* prefix, std::wstring& message)
{
    ErrorInfo errors;
    if (checked.IsValid(errors))
        return false;
    message = prefix + DescribeValidityErrors(errors, "\n");
    return true;
}

struct RuleChecks {
    const wchar_t* waitOnLogon;
    const wchar_t* waitOnLogoff;
    const wchar_t* connectRules;
    const wchar_t* listenRules;
    const wchar_t* ipProfiles;
    const wchar_t* dnsProfiles;
    const wchar_t* c2sRules;
    const wchar_t* c2sProfiles;
    const wchar_t* s2cRules;
};

const RuleChecks kTemplateChecks = {
    L"invalid template on-logon cmd wait time data",
    L"invalid template on-logoff cmd wait time data",
    L"invalid template connect rule data: ",
    L"invalid template listen rule data: ",
    L"undefined proxy profiles referenced in template ip connect rule data",
    L"undefined proxy profiles referenced in template dnsname connect rule data",
    L"invalid template server-side c2s rule data: ",
    L"undefined proxy profiles referenced in template server-side c2s rule data",
    L"invalid template server-side s2c rule data: ",
};

const RuleChecks kAccountChecks = {
    L"invalid account on-logon cmd wait time data",
    L"invalid account on-logoff cmd wait time data",
    L"invalid account connect rule data: ",
    L"invalid account listen rule data: ",
    L"undefined proxy profiles referenced in account ip connect rule data",
    L"undefined proxy profiles referenced in account dnsname connect rule data",
    L"invalid account server-side c2s rule data: ",
    L"undefined proxy profiles referenced in account server-side c2s rule data",
    L"invalid account server-side s2c rule data: ",
};

// The checks that templates and accounts share: the logon commands' wait times, and the
// rule lists with their profile references. The two kinds check them in different
// orders around their own fields, so the shared checks come in two parts.
template <class Entry>
bool FailsWaitTimes(Entry& entry, const RuleChecks& texts, std::wstring& message)
{
    if (entry.onLogonCmd.maxWaitTime > 9999) {
        message = texts.waitOnLogon;
        return true;
    }
    if (entry.onLogoffCmd.maxWaitTime > 9999) {
        message = texts.waitOnLogoff;
        return true;
    }
    return false;
}

template <class Entry>
bool FailsRules(Entry& entry, const ProxyProfileList& profiles, const RuleChecks& texts, std::wstring& message)
{
    if (FailsValidity(entry.connectRules, texts.connectRules, message) ||
        FailsValidity(entry.listenRules, texts.listenRules, message))
        return true;
    if (profiles.HasUndefinedReference(entry.connectRules.ipRules)) {
        message = texts.ipProfiles;
        return true;
    }
    if (profiles.HasUndefinedReference(entry.connectRules.dnsNameRules)) {
        message = texts.dnsProfiles;
        return true;
    }
    if (FailsValidity(entry.srvSideFwding.c2s, texts.c2sRules, message))
        return true;
    if (profiles.HasUndefinedReference(entry.srvSideFwding.c2s)) {
        message = texts.c2sProfiles;
        return true;
    }
    return FailsValidity(entry.srvSideFwding.s2c, texts.s2cRules, message);
}

bool FailsTemplate(AccountTemplate& t, const ProxyProfileList& profiles, std::wstring& message)
{
    if (t.name.empty()) {
        message = L"empty template name";
        return true;
    }
    return FailsWaitTimes(t, kTemplateChecks, message) || FailsRules(t, profiles, kTemplateChecks, message);
}

bool FailsAccount(AccountEntry& a, AccountTemplateList& templates, const ProxyProfileList& profiles,
                  std::wstring& message)
{
    if (a.account.empty()) {
        message = L"empty account name";
        return true;
    }
    if (FindTemplateByName(templates, a.templateName) < 0) {
        message = L"undefined template name referenced in account data";
        return true;
    }
    if (a.authType > 1) {
        message = L"invalid account authentication type data";
        return true;
    }
    // Yes-or-no overrides hold default (0), yes (1) or no (2).
    const struct {
        unsigned char value;
        const wchar_t* message;
    } before[] = {
        {a.permitRemoteAdmin, L"invalid account permit remote administration data"},
        {a.mapRemoteHomeDir, L"invalid account map remote home dir data"},
    };
    for (const auto& check : before) {
        if (check.value > 2) {
            message = check.message;
            return true;
        }
    }
    if (FailsWaitTimes(a, kAccountChecks, message))
        return true;
    const struct {
        unsigned char value;
        const wchar_t* message;
    } after[] = {
        {a.allowSessionJobBreakaway, L"invalid account allow session job breakaway data"},
        {a.permitTerminalShell, L"invalid account permit terminal shell data"},
        {a.permitExecRequests, L"invalid account permit exec request data"},
        {a.permitSftp, L"invalid account permit file transfer data"},
        {a.permitC2SForwarding, L"invalid account permit C2S port forwarding data"},
        {a.permitS2CForwarding, L"invalid account permit S2C port forwarding data"},
    };
    for (const auto& check : after) {
        if (check.value > 2) {
            message = check.message;
            return true;
        }
    }
    return FailsRules(a, profiles, kAccountChecks, message);
}

} // namespace

bool FirstAccessFailure(CfgRoot& root, std::wstring& message)
{
    AccessSettings& access = root.access;
    const ProxyProfileList& profiles = root.proxyProfiles;
    for (std::uint32_t i = 0; i < access.templates.size(); ++i) {
        if (FailsTemplate(*access.templates.at(i), profiles, message))
            return true;
    }
    if (FindTemplateByName(access.templates, access.m_sDefaultTemplate) < 0) {
        message = L"undefined template name referenced in default template setting";
        return true;
    }
    for (std::uint32_t i = 0; i < access.accounts.size(); ++i) {
        if (FailsAccount(*access.accounts.at(i), access.templates, profiles, message))
            return true;
    }
    return FailsValidity(access.hosts, L"invalid host accept rule data: ", message);
}
