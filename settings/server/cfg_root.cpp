#include "settings/server/cfg_root.h"

#include "settings/framework/expression.h"
#include "settings/server/log_events.h"
#include "ssh/kex_method_names.h"

namespace {

const std::uint32_t kNoEventAsked = 0xFFFFFFFFu;

// A level below 9 takes the events whose level digit is at most the level plus one; 9
// takes those on in the destination's own list.
bool LevelTakes(unsigned char level, EventList& list, std::uint32_t eventNumber)
{
    if (level != logLevelCustom)
        return eventNumber / 10000 <= static_cast<std::uint32_t>(level) + 1;
    return list.IsOn(eventNumber);
}

void MergeLevel(EventList& out, unsigned char level, const EventList& own)
{
    if (level == logLevelCustom) {
        out.Merge(own);
        return;
    }
    EventList fromLevel;
    fromLevel.SetToLogLevel(level);
    out.Merge(fromLevel);
}

} // namespace

BindingSettings::BindingSettings() { SetDefaults(0); }

BindingSettings::~BindingSettings() {}

void BindingSettings::SetDefaults(int recurse)
{
    MemberMapEvaluator::SetDefaults(recurse);
    OnMembersChanged();
}

void BindingSettings::OnMembersChanged()
{
    std::string text;
    Ip4ToString(m_nInterface, text);
    m_sInterfaceText.assign(text.c_str());
}

void BindingSettings::BuildMemberMap(MemberMap& map)
{
    map.Add(MemberInfo(L"interface", &m_nInterface, 0u));
    map.Add(MemberInfo(L"port", &m_nPort, 22u, 1u, 65535u));
}

LoggingSettings::LoggingSettings()
    : m_nLastEventLogQuery(kNoEventAsked), m_nLastFileLogQuery(kNoEventAsked), m_lastEventLogAnswer(false),
      m_lastFileLogAnswer(false)
{
    SetDefaults(0);
}

LoggingSettings::~LoggingSettings() {}

void LoggingSettings::BuildMemberMap(MemberMap& map)
{
    const EnumInfo* levels = &LogLevelEnumInfo::Instance();
    map.Add(MemberInfo(L"logToEventLog", &m_bLogToEventLog, true));
    map.Add(MemberInfo(L"eventLogLevel", &m_nEventLogLevel, static_cast<unsigned char>(logLevelEWI), levels));
    map.Add(MemberInfo(L"eventLogEventList", &eventLogEventList));
    map.Add(MemberInfo(L"logToFile", &m_bLogToFile, false));
    map.Add(MemberInfo(L"logFileLevel", &m_nLogFileLevel, static_cast<unsigned char>(logLevelEWI), levels));
    map.Add(MemberInfo(L"logFileEventList", &logFileEventList));
    map.Add(MemberInfo(L"logFile", &m_sLogFile, L""));
    map.Add(MemberInfo(L"logFileUnicode", &m_bLogFileUnicode, false));
    map.Add(MemberInfo(L"logFileCodePage", &m_nLogFileCodePage, 0u, 0u, 0xFFFFFFFFu));
    map.Add(MemberInfo(L"logFileWrapColumn", &m_nLogFileWrapColumn, 79u, 0u, 0xFFFFFFFFu));
}

bool LoggingSettings::IsEventLogged(std::uint32_t eventNumber)
{
    if (eventNumber == m_nLastEventLogQuery)
        return m_lastEventLogAnswer;
    m_nLastEventLogQuery = eventNumber;
    m_lastEventLogAnswer = m_bLogToEventLog && LevelTakes(m_nEventLogLevel, eventLogEventList, eventNumber);
    return m_lastEventLogAnswer;
}

bool LoggingSettings::IsFileLogged(std::uint32_t eventNumber)
{
    if (eventNumber == m_nLastFileLogQuery)
        return m_lastFileLogAnswer;
    m_nLastFileLogQuery = eventNumber;
    // The name counts up to its first NUL character.
    const bool haveFile = !m_sLogFile.empty() && m_sLogFile[0] != L'\0';
    m_lastFileLogAnswer = m_bLogToFile && haveFile && LevelTakes(m_nLogFileLevel, logFileEventList, eventNumber);
    return m_lastFileLogAnswer;
}

void LoggingSettings::GetLoggedEvents(EventList& out)
{
    out.SetAll(false);
    if (m_bLogToEventLog)
        MergeLevel(out, m_nEventLogLevel, eventLogEventList);
    if (m_bLogToFile && !m_sLogFile.empty() && m_sLogFile[0] != L'\0')
        MergeLevel(out, m_nLogFileLevel, logFileEventList);
}

TerminalSettings::TerminalSettings() { SetDefaults(0); }
TerminalSettings::~TerminalSettings() {}

void TerminalSettings::BuildMemberMap(MemberMap& map)
{
    map.Add(MemberInfo(L"maxBufWidth", &m_nMaxBufWidth, 100u, 40u, 9999u));
    map.Add(MemberInfo(L"maxBufHeight", &m_nMaxBufHeight, 500u, 10u, 99999u));
    map.Add(MemberInfo(L"refreshDelay", &m_nRefreshDelay, 50u, 30u, 5000u));
}

ExtSettings::ExtSettings() { SetDefaults(0); }
ExtSettings::~ExtSettings() {}

void ExtSettings::BuildMemberMap(MemberMap& map)
{
    map.Add(MemberInfo(L"sftpPlugins", &m_sSftpPlugins, L""));
}

ServerSettings::ServerSettings() { SetDefaults(0); }
ServerSettings::~ServerSettings() {}

void ServerSettings::BuildMemberMap(MemberMap& map)
{
    map.Add(MemberInfo(L"binding", &binding));
    map.Add(MemberInfo(L"acceptDelayMs", &m_nAcceptDelayMs, 200u, 1u, 9999u));
    map.Add(MemberInfo(L"omitVersion", &m_bOmitVersion, false));
    map.Add(MemberInfo(L"logging", &logging));
    map.Add(MemberInfo(L"mlterm", &mlterm));
    map.Add(MemberInfo(L"ext", &ext));
}

AlgList::AlgList(const Entry* entries, std::size_t count) : entries_(entries), count_(count)
{
    for (std::size_t i = 0; i < kMaxEntries; ++i)
        m_enabled[i] = false;
    SetDefaults(0);
}

AlgList::~AlgList() {}

void AlgList::SetDefaults(int recurse)
{
    MemberMapEvaluator::SetDefaults(recurse);
    OnMembersChanged();
}

AlgList& AlgList::operator=(const AlgList& other)
{
    for (std::size_t i = 0; i < kMaxEntries; ++i)
        m_enabled[i] = other.m_enabled[i];
    m_sNameList = other.m_sNameList;
    return *this;
}

void AlgList::OnMembersChanged()
{
    std::string names;
    for (std::size_t i = 0; i < count_; ++i) {
        if (m_enabled[i]) {
            names += entries_[i].names;
            names += ',';
        }
    }
    if (!names.empty())
        names.erase(names.size() - 1);
    m_sNameList.assign(names.c_str());
}

void AlgList::BuildMemberMap(MemberMap& map)
{
    for (std::size_t i = 0; i < count_; ++i)
        map.Add(MemberInfo(entries_[i].member, &m_enabled[i], entries_[i].enabledByDefault));
}

namespace {

// Built on first use: the key-exchange names are the SSH library's.
const AlgList::Entry* KexEntries()
{
    static const AlgList::Entry entries[] = {
        {L"group1-sha1", true, DhKexMethodNames::Group1Sha1Name()},
        {L"group14-sha1", true, DhKexMethodNames::Group14Sha1Name()},
    };
    return entries;
}

const AlgList::Entry kEncrEntries[] = {
    {L"aes256-cbc", true, "aes256-cbc"},
    // One member enables both names of the 256-bit Twofish cipher.
    {L"twofish256-cbc", true, "twofish256-cbc,twofish-cbc"},
    {L"aes128-cbc", true, "aes128-cbc"},
    {L"twofish128-cbc", true, "twofish128-cbc"},
    {L"blowfish-cbc", true, "blowfish-cbc"},
    {L"3des-cbc", true, "3des-cbc"},
    {L"arcfour", true, "arcfour"},
    {L"cast128-cbc", true, "cast128-cbc"},
    {L"none", false, "none"},
};

const AlgList::Entry kMacEntries[] = {
    {L"hmac-sha1", true, "hmac-sha1"},
    {L"hmac-md5", true, "hmac-md5"},
    {L"hmac-sha1-96", true, "hmac-sha1-96"},
    {L"hmac-md5-96", true, "hmac-md5-96"},
    {L"none", false, "none"},
};

const AlgList::Entry kCmprEntries[] = {
    {L"zlib", true, "zlib"},
    {L"none", true, "none"},
};

template <std::size_t N>
constexpr std::size_t CountOf(const AlgList::Entry (&)[N])
{
    return N;
}

} // namespace

KexAlgList::KexAlgList() : AlgList(KexEntries(), 2) {}
EncrAlgList::EncrAlgList() : AlgList(kEncrEntries, CountOf(kEncrEntries)) {}
MacAlgList::MacAlgList() : AlgList(kMacEntries, CountOf(kMacEntries)) {}
CmprAlgList::CmprAlgList() : AlgList(kCmprEntries, CountOf(kCmprEntries)) {}

AlgSettings::AlgSettings() {}
AlgSettings::~AlgSettings() {}

void AlgSettings::BuildMemberMap(MemberMap& map)
{
    map.Add(MemberInfo(L"encr", &encr));
    map.Add(MemberInfo(L"mac", &mac));
    map.Add(MemberInfo(L"cmpr", &cmpr));
}

SessionSettings::SessionSettings() { SetDefaults(0); }
SessionSettings::~SessionSettings() {}

void SessionSettings::BuildMemberMap(MemberMap& map)
{
    map.Add(MemberInfo(L"bannerFile", &m_sBannerFile, L""));
    map.Add(MemberInfo(L"loginTimeout", &m_nLoginTimeout, 60u, 0u, 999999u));
    map.Add(MemberInfo(L"maxLoginAttempts", &m_nMaxLoginAttempts, 3u, 0u, 9999u));
    map.Add(MemberInfo(L"loginAttemptDelay", &m_nLoginAttemptDelay, 3u, 0u, 9999u));
    map.Add(MemberInfo(L"ipBlockWindowSecs", &m_nIpBlockWindowSecs, 300u, 0u, 99999u));
    map.Add(MemberInfo(L"ipBlockThreshold", &m_nIpBlockThreshold, 20u, 0u, 9999u));
    map.Add(MemberInfo(L"ipBlockLockoutSecs", &m_nIpBlockLockoutSecs, 3600u, 0u, 99999u));
    map.Add(MemberInfo(L"clearPwdCacheOnPubKeyAuthFailure", &m_bClearPwdCacheOnPubKeyAuthFailure, false));
    map.Add(MemberInfo(L"startReexchange", &m_bStartReexchange, true));
    map.Add(MemberInfo(L"keepAliveTimeout", &m_nKeepAliveTimeout, 60u, 0u, 999999u));
    map.Add(MemberInfo(L"sessionTimeout", &m_nSessionTimeout, 0u, 0u, 999999u));
    map.Add(MemberInfo(L"tolerateFirstWindowFault", &m_bTolerateFirstWindowFault, true));
    map.Add(MemberInfo(L"maxSubsequentFaultBytes", &m_nMaxSubsequentFaultBytes, 35000u, 0u, 0xFFFFFFFFu));
}

AccessSettings::AccessSettings() { SetDefaults(0); }
AccessSettings::~AccessSettings() {}

void AccessSettings::TakeFrom(AccessSettings& src)
{
    if (&src == this)
        return;
    m_sDefaultTemplate = src.m_sDefaultTemplate;
    templates.TakeEntries(src.templates);
    accounts.TakeEntries(src.accounts);
    hosts.TakeFrom(src.hosts);
}

void AccessSettings::BuildMemberMap(MemberMap& map)
{
    map.Add(MemberInfo(L"templates", &templates));
    map.Add(MemberInfo(L"defaultTemplate", &m_sDefaultTemplate, DefaultTemplateName())
                .SetValuesQuery(L"$access.templates.All.name"));
    map.Add(MemberInfo(L"accounts", &accounts));
    map.Add(MemberInfo(L"hosts", &hosts));
}

CfgRoot::CfgRoot() { SetDefaults(0); }
CfgRoot::~CfgRoot() {}

CfgRoot& CfgRoot::operator=(const CfgRoot& other)
{
    if (&other == this)
        return *this;
    server = other.server;
    algs = other.algs;
    session = other.session;
    proxyProfiles = other.proxyProfiles;
    access = other.access;
    return *this;
}

void CfgRoot::TakeFrom(CfgRoot& other)
{
    if (&other == this)
        return;
    server = other.server;
    algs = other.algs;
    session = other.session;
    proxyProfiles.TakeEntries(other.proxyProfiles);
    access.TakeFrom(other.access);
}

void CfgRoot::BuildMemberMap(MemberMap& map)
{
    map.Add(MemberInfo(L"server", &server));
    map.Add(MemberInfo(L"algs", &algs));
    map.Add(MemberInfo(L"session", &session));
    map.Add(MemberInfo(L"proxyProfiles", &proxyProfiles));
    map.Add(MemberInfo(L"access", &access));
}

namespace {

const unsigned char kSettingsCipherKey[16] = {0x9D, 0x3F, 0x0A, 0x6E, 0x21, 0xC4, 0xB8, 0x57,
                                              0xF0, 0xE9, 0x1D, 0x2A, 0x6C, 0x35, 0xB4, 0xE8};
const unsigned char kSettingsMacKey[16] = {0x4B, 0x82, 0xE7, 0xD1, 0x0F, 0x5A, 0x39, 0xC6,
                                           0xA2, 0xD8, 0xE4, 0x17, 0x0B, 0x9F, 0x6C, 0x53};

} // namespace

const unsigned char* GetSettingsCipherKey() { return kSettingsCipherKey; }
const unsigned char* GetSettingsMacKey() { return kSettingsMacKey; }
