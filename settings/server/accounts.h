// Account templates and accounts: a template is a named set of logon permissions,
// commands, directories, forwarding permissions and rules; an account names a template
// and overrides its fields one by one ("default" and "*" leave a field to the template).
#pragma once

#include <cstdint>
#include <string>

#include <cryptopp/cryptlib.h>

#include "settings/framework/sorted_list_evaluator.h"
#include "settings/server/default_rules.h"
#include "settings/server/forwarding.h"

// The values of an account's yes-or-no overrides (DefaultYesNoEnumInfo).
enum DefaultYesNo : unsigned char {
    DefaultYesNoDefault = 0,  // as the template says
    DefaultYesNoYes = 1,
    DefaultYesNoNo = 2,
};

// How an account logs on (AuthTypeEnumInfo).
enum AuthType : unsigned char {
    AuthTypePwdOrKey = 0,
    AuthTypePwdAndKey = 1,
};

// The name of the template that the settings hold by default and that accounts name.
const std::wstring& DefaultTemplateName();

// A command run at logon or logoff.
class LogonCommand : public MemberMapEvaluator, public virtual AllocFailState {
public:
    std::wstring command;
    bool execAsService;
    std::uint32_t maxWaitTime;  // 0 to 9999
    bool allowJobBreakaway;
    std::wstring m_sDefaultCommand;  // the default of command; not a member

    explicit LogonCommand(const std::wstring& defaultCommand);
    LogonCommand(const LogonCommand& src);
    LogonCommand& operator=(const LogonCommand& src);
    ~LogonCommand() override {}

    void BuildMemberMap(MemberMap& map) override;
    // The whole-settings form: the command as a wide string, execAsService as a byte,
    // maxWaitTime, allowJobBreakaway as a byte. Decode throws
    // CfgEncDec::CEncodeDecodeException on short or malformed input.
    void Encode(CryptoPP::BufferedTransformation& out) const;
    void Decode(CryptoPP::BufferedTransformation& in);
};

class AccountTemplate : public MemberMapEvaluator, public virtual AllocFailState {
public:
    std::wstring name;
    bool loginAllowed;
    bool permitRemoteAdmin;
    bool mapRemoteHomeDir;
    LogonCommand onLogonCmd;
    LogonCommand onLogoffCmd;
    bool allowSessionJobBreakaway;
    bool permitTerminalShell;
    std::wstring terminalShell;
    std::wstring initDir;
    bool permitExecRequests;
    bool permitSftp;
    std::wstring sftpRootDir;
    bool permitC2SForwarding;
    bool permitS2CForwarding;
    DefaultConnectRules connectRules;
    DefaultListenRuleList listenRules;
    SrvSideFwding srvSideFwding;

    AccountTemplate();
    AccountTemplate(const AccountTemplate& src);
    AccountTemplate& operator=(const AccountTemplate& src);
    ~AccountTemplate() override {}

    void BuildMemberMap(MemberMap& map) override;
    // By name, letter case ignored.
    bool operator<(const AccountTemplate& other) const;
};

// One SSH public-key blob of an account.
class PublicKeyEntry : public MemberMapEvaluator, public virtual AllocFailState {
public:
    std::string publicKey;  // not parsed here

    PublicKeyEntry() {}  // the default key is empty
    PublicKeyEntry(const PublicKeyEntry& src) : PublicKeyEntry() { *this = src; }
    PublicKeyEntry& operator=(const PublicKeyEntry& src);
    ~PublicKeyEntry() override {}

    void BuildMemberMap(MemberMap& map) override;
    // Unsigned bytes over the shorter length, then the shorter first.
    bool operator<(const PublicKeyEntry& other) const;
};

class AccountEntry : public MemberMapEvaluator, public virtual AllocFailState {
public:
    std::wstring account;
    std::wstring templateName;  // member "template"
    unsigned char loginAllowed;  // DefaultYesNo
    unsigned char authType;      // AuthType
    SortedListEvaluator<PublicKeyEntry> keys;
    unsigned char permitRemoteAdmin;
    unsigned char mapRemoteHomeDir;
    LogonCommand onLogonCmd;
    LogonCommand onLogoffCmd;
    unsigned char allowSessionJobBreakaway;
    unsigned char permitTerminalShell;
    std::wstring terminalShell;
    std::wstring initDir;
    unsigned char permitExecRequests;
    unsigned char permitSftp;
    std::wstring sftpRootDir;
    unsigned char permitC2SForwarding;
    unsigned char permitS2CForwarding;
    AccountConnectRules connectRules;
    ListenRuleList listenRules;
    SrvSideFwding srvSideFwding;

    AccountEntry();
    AccountEntry(const AccountEntry& src);
    AccountEntry& operator=(const AccountEntry& src);
    ~AccountEntry() override {}

    void BuildMemberMap(MemberMap& map) override;
    // By account name, letter case ignored.
    bool operator<(const AccountEntry& other) const;
};

// The templates of the access settings; by default one "Default" template.
class AccountTemplateList : public SortedListEvaluator<AccountTemplate> {
public:
    AccountTemplateList();
    AccountTemplateList(const AccountTemplateList& src) : AccountTemplateList() { *this = src; }
    AccountTemplateList& operator=(const AccountTemplateList& src)
    {
        SortedListEvaluator<AccountTemplate>::operator=(src);
        return *this;
    }
    ~AccountTemplateList() override {}
};

// The index in list order of the first template with this name, letter case ignored; -1
// for none.
int FindTemplateByName(const SortedListEvaluator<AccountTemplate>& templates, const std::wstring& name);
