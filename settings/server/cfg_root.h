// The server's whole configuration: one tree of settings records rooted in CfgRoot. A
// freshly constructed tree holds exactly the product defaults. Member order is binding:
// the settings language lists members in it and the whole-settings encoding follows it.
//
//   server            ServerSettings
//     binding         BindingSettings
//     logging         LoggingSettings (two EventLists)
//     mlterm          TerminalSettings
//     ext             ExtSettings
//   algs              AlgSettings (encr, mac, cmpr; the key-exchange list is not a member)
//   session           SessionSettings
//   proxyProfiles     DefaultProxyProfileList
//   access            AccessSettings (templates, defaultTemplate, accounts, hosts)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "RoVodEre/NoCrtString.h"
#include "settings/framework/evaluator.h"
#include "settings/framework/sorted_list_evaluator.h"
#include "settings/server/accounts.h"
#include "settings/server/event_list.h"
#include "settings/server/proxy_profile.h"
#include "settings/server/default_rules.h"

class BindingSettings : public MemberMapEvaluator {
public:
    // IPv4, first dotted octet in the most significant byte.
    std::uint32_t m_nInterface;
    // The dotted text of m_nInterface; refreshed by OnMembersChanged only.
    NoCrtString m_sInterfaceText;
    std::uint32_t m_nPort;

    BindingSettings();
    ~BindingSettings() override;
    // Also through an enclosing record's "SetDefaults": the text follows the address.
    void SetDefaults(int recurse) override;
    void OnMembersChanged() override;
    void BuildMemberMap(MemberMap& map) override;
};

class LoggingSettings : public MemberMapEvaluator {
public:
    bool m_bLogToEventLog;
    unsigned char m_nEventLogLevel;  // LogLevel
    EventList eventLogEventList;
    bool m_bLogToFile;
    unsigned char m_nLogFileLevel;  // LogLevel
    EventList logFileEventList;
    std::wstring m_sLogFile;
    bool m_bLogFileUnicode;
    std::uint32_t m_nLogFileCodePage;
    std::uint32_t m_nLogFileWrapColumn;
    // The last question each filter answered and its answer; 0xFFFFFFFF names no event.
    std::uint32_t m_nLastEventLogQuery;
    std::uint32_t m_nLastFileLogQuery;
    bool m_lastEventLogAnswer;
    bool m_lastFileLogAnswer;

    LoggingSettings();
    ~LoggingSettings() override;
    void BuildMemberMap(MemberMap& map) override;

    // Whether an event goes to the event log, respectively the log file. The answer to
    // the last number asked is kept and given again without looking at the members.
    bool IsEventLogged(std::uint32_t eventNumber);
    bool IsFileLogged(std::uint32_t eventNumber);
    // The union of the events that either destination takes.
    void GetLoggedEvents(EventList& out);
};

class TerminalSettings : public MemberMapEvaluator {
public:
    std::uint32_t m_nMaxBufWidth;
    std::uint32_t m_nMaxBufHeight;
    std::uint32_t m_nRefreshDelay;

    TerminalSettings();
    ~TerminalSettings() override;
    void BuildMemberMap(MemberMap& map) override;
};

class ExtSettings : public MemberMapEvaluator {
public:
    std::wstring m_sSftpPlugins;

    ExtSettings();
    ~ExtSettings() override;
    void BuildMemberMap(MemberMap& map) override;
};

class ServerSettings : public MemberMapEvaluator {
public:
    BindingSettings binding;
    std::uint32_t m_nAcceptDelayMs;
    bool m_bOmitVersion;
    LoggingSettings logging;
    TerminalSettings mlterm;
    ExtSettings ext;

    ServerSettings();
    ~ServerSettings() override;
    void BuildMemberMap(MemberMap& map) override;
};

// A record of one boolean member per algorithm entry and the comma-separated SSH names of
// the enabled ones, in member order (m_sNameList, refreshed by OnMembersChanged only).
class AlgList : public MemberMapEvaluator {
public:
    struct Entry {
        const wchar_t* member;
        bool enabledByDefault;
        // One name, or several joined by commas, that the entry enables.
        const char* names;
    };
    static const std::size_t kMaxEntries = 9;

    bool m_enabled[kMaxEntries];
    NoCrtString m_sNameList;

    ~AlgList() override;
    // Copies the flags and the name list as they stand; both lists are of one class.
    AlgList& operator=(const AlgList& other);

    std::size_t Count() const { return count_; }
    const Entry& EntryAt(std::size_t i) const { return entries_[i]; }

    // Also through an enclosing record's "SetDefaults": the names follow the flags.
    void SetDefaults(int recurse) override;
    void OnMembersChanged() override;
    void BuildMemberMap(MemberMap& map) override;

protected:
    // Applies the defaults and builds the name list.
    AlgList(const Entry* entries, std::size_t count);

private:
    const Entry* entries_;
    std::size_t count_;
};

// group1-sha1, group14-sha1: the names the SSH library's key exchange implements.
class KexAlgList : public AlgList {
public:
    KexAlgList();
};

class EncrAlgList : public AlgList {
public:
    EncrAlgList();
};

class MacAlgList : public AlgList {
public:
    MacAlgList();
};

class CmprAlgList : public AlgList {
public:
    CmprAlgList();
};

class AlgSettings : public MemberMapEvaluator {
public:
    // Not a member: the language neither shows nor changes it.
    KexAlgList m_kex;
    EncrAlgList encr;
    MacAlgList mac;
    CmprAlgList cmpr;

    AlgSettings();
    ~AlgSettings() override;
    void BuildMemberMap(MemberMap& map) override;
};

class SessionSettings : public MemberMapEvaluator {
public:
    std::wstring m_sBannerFile;
    std::uint32_t m_nLoginTimeout;
    std::uint32_t m_nMaxLoginAttempts;
    std::uint32_t m_nLoginAttemptDelay;
    std::uint32_t m_nIpBlockWindowSecs;
    std::uint32_t m_nIpBlockThreshold;
    std::uint32_t m_nIpBlockLockoutSecs;
    bool m_bClearPwdCacheOnPubKeyAuthFailure;
    bool m_bStartReexchange;
    std::uint32_t m_nKeepAliveTimeout;
    std::uint32_t m_nSessionTimeout;
    bool m_bTolerateFirstWindowFault;
    std::uint32_t m_nMaxSubsequentFaultBytes;

    SessionSettings();
    ~SessionSettings() override;
    void BuildMemberMap(MemberMap& map) override;
};

// Field order differs from member order: defaultTemplate is the first field, the second
// member.
class AccessSettings : public MemberMapEvaluator {
public:
    std::wstring m_sDefaultTemplate;
    AccountTemplateList templates;
    SortedListEvaluator<AccountEntry> accounts;
    DefaultAcceptRules hosts;

    AccessSettings();
    ~AccessSettings() override;
    // The assignment, with the lists' entries taken from src (TakeEntries).
    void TakeFrom(AccessSettings& src);
    void BuildMemberMap(MemberMap& map) override;
};

class CfgRoot : public MemberMapEvaluator {
public:
    ServerSettings server;
    AlgSettings algs;
    SessionSettings session;
    DefaultProxyProfileList proxyProfiles;
    AccessSettings access;

    CfgRoot();
    ~CfgRoot() override;
    // Copies every record member by member, derived fields and filter caches as they
    // stand; member maps stay each record's own.
    CfgRoot& operator=(const CfgRoot& other);
    // The assignment without cloning the lists' entries: they change places with other's
    // (TakeEntries), so a tree read in full is installed without being built twice and
    // other is left holding this tree's old entries.
    void TakeFrom(CfgRoot& other);
    void BuildMemberMap(MemberMap& map) override;
};

// The two 16-byte keys of the settings' own encrypted values: cipher key, MAC key.
const unsigned char* GetSettingsCipherKey();
const unsigned char* GetSettingsMacKey();
