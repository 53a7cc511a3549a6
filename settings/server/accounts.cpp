#include "settings/server/accounts.h"

#include <cwchar>

#include "settings/framework/cfg_enc_dec.h"
#include "settings/framework/enum_info.h"
#include "settings/server/record_members.h"

namespace {

MemberInfo YesNoMember(const std::wstring& name, unsigned char* value, unsigned char defaultValue)
{
    return MemberInfo(name, value, defaultValue, &DefaultYesNoEnumInfo::Instance());
}

// The fields from permitRemoteAdmin on, which templates define and accounts override
// under the same names.
template <class Record>
void CopyTemplateFields(Record& to, const Record& from)
{
    to.permitRemoteAdmin = from.permitRemoteAdmin;
    to.mapRemoteHomeDir = from.mapRemoteHomeDir;
    if (!CopyField(to, to.onLogonCmd, from.onLogonCmd) || !CopyField(to, to.onLogoffCmd, from.onLogoffCmd))
        return;
    to.allowSessionJobBreakaway = from.allowSessionJobBreakaway;
    to.permitTerminalShell = from.permitTerminalShell;
    to.terminalShell = from.terminalShell;
    to.initDir = from.initDir;
    to.permitExecRequests = from.permitExecRequests;
    to.permitSftp = from.permitSftp;
    to.sftpRootDir = from.sftpRootDir;
    to.permitC2SForwarding = from.permitC2SForwarding;
    to.permitS2CForwarding = from.permitS2CForwarding;
    CopyField(to, to.connectRules, from.connectRules) && CopyField(to, to.listenRules, from.listenRules) &&
        CopyField(to, to.srvSideFwding, from.srvSideFwding);
}

} // namespace

const std::wstring& DefaultTemplateName()
{
    static const std::wstring name(L"Default");
    return name;
}

// The records of this file set their members' defaults without the member map, which is
// built only when the settings language reaches the record: a decoded account builds none.
LogonCommand::LogonCommand(const std::wstring& defaultCommand)
    : command(defaultCommand), execAsService(false), maxWaitTime(0), allowJobBreakaway(false),
      m_sDefaultCommand(defaultCommand)
{
}

LogonCommand::LogonCommand(const LogonCommand& src) : LogonCommand(src.m_sDefaultCommand) { *this = src; }

LogonCommand& LogonCommand::operator=(const LogonCommand& src)
{
    if (&src != this && BeginCopy(*this, src)) {
        command = src.command;
        execAsService = src.execAsService;
        maxWaitTime = src.maxWaitTime;
        allowJobBreakaway = src.allowJobBreakaway;
        m_sDefaultCommand = src.m_sDefaultCommand;
    }
    return *this;
}

void LogonCommand::BuildMemberMap(MemberMap& map)
{
    map.Add(MemberInfo(L"command", &command, m_sDefaultCommand));
    map.Add(MemberInfo(L"execAsService", &execAsService, false));
    map.Add(MemberInfo(L"maxWaitTime", &maxWaitTime, 0u, 0u, 9999u));
    map.Add(MemberInfo(L"allowJobBreakaway", &allowJobBreakaway, false));
}

void LogonCommand::Encode(CryptoPP::BufferedTransformation& out) const
{
    CfgEncDec::WriteWString(out, command);
    CfgEncDec::WriteByte(out, execAsService ? 1 : 0);
    CfgEncDec::WriteWord32(out, maxWaitTime);
    CfgEncDec::WriteByte(out, allowJobBreakaway ? 1 : 0);
}

void LogonCommand::Decode(CryptoPP::BufferedTransformation& in)
{
    // Read whole before anything changes, so a failed decode leaves the command as it was.
    std::wstring text;
    bool service = false, breakaway = false;
    CryptoPP::word32 wait = 0;
    CfgEncDec::ReadWString(in, text);
    CfgEncDec::ReadBoolean(in, service);
    CfgEncDec::ReadWord32(in, wait);
    CfgEncDec::ReadBoolean(in, breakaway);
    command.swap(text);
    execAsService = service;
    maxWaitTime = wait;
    allowJobBreakaway = breakaway;
}

AccountTemplate::AccountTemplate()
    : name(DefaultTemplateName()), loginAllowed(true), permitRemoteAdmin(true), mapRemoteHomeDir(false),
      onLogonCmd(L""), onLogoffCmd(L""), allowSessionJobBreakaway(false), permitTerminalShell(true),
      terminalShell(L"cmd.exe"), permitExecRequests(true), permitSftp(true), sftpRootDir(L"\\\\"),
      permitC2SForwarding(true), permitS2CForwarding(true)
{
}

AccountTemplate::AccountTemplate(const AccountTemplate& src) : AccountTemplate() { *this = src; }

AccountTemplate& AccountTemplate::operator=(const AccountTemplate& src)
{
    if (&src == this || !BeginCopy(*this, src))
        return *this;
    name = src.name;
    loginAllowed = src.loginAllowed;
    CopyTemplateFields(*this, src);
    return *this;
}

void AccountTemplate::BuildMemberMap(MemberMap& map)
{
    map.Add(MemberInfo(L"name", &name, DefaultTemplateName()));
    map.Add(MemberInfo(L"loginAllowed", &loginAllowed, true));
    map.Add(MemberInfo(L"permitRemoteAdmin", &permitRemoteAdmin, true));
    map.Add(MemberInfo(L"mapRemoteHomeDir", &mapRemoteHomeDir, false));
    map.Add(MemberInfo(L"onLogonCmd", &onLogonCmd));
    map.Add(MemberInfo(L"onLogoffCmd", &onLogoffCmd));
    map.Add(MemberInfo(L"allowSessionJobBreakaway", &allowSessionJobBreakaway, false));
    map.Add(MemberInfo(L"permitTerminalShell", &permitTerminalShell, true));
    map.Add(MemberInfo(L"terminalShell", &terminalShell, L"cmd.exe"));
    map.Add(MemberInfo(L"initDir", &initDir, L""));
    map.Add(MemberInfo(L"permitExecRequests", &permitExecRequests, true));
    map.Add(MemberInfo(L"permitSftp", &permitSftp, true));
    map.Add(MemberInfo(L"sftpRootDir", &sftpRootDir, L"\\\\"));
    map.Add(MemberInfo(L"permitC2SForwarding", &permitC2SForwarding, true));
    map.Add(MemberInfo(L"permitS2CForwarding", &permitS2CForwarding, true));
    map.Add(MemberInfo(L"connectRules", &connectRules));
    map.Add(MemberInfo(L"listenRules", &listenRules));
    map.Add(MemberInfo(L"srvSideFwding", &srvSideFwding));
}

bool AccountTemplate::operator<(const AccountTemplate& other) const
{
    return _wcsicmp(name.c_str(), other.name.c_str()) < 0;
}

PublicKeyEntry& PublicKeyEntry::operator=(const PublicKeyEntry& src)
{
    if (&src != this && BeginCopy(*this, src))
        publicKey = src.publicKey;
    return *this;
}

void PublicKeyEntry::BuildMemberMap(MemberMap& map)
{
    map.Add(MemberInfo(L"publicKey", &publicKey, ""));
}

bool PublicKeyEntry::operator<(const PublicKeyEntry& other) const
{
    // std::string compares its characters as unsigned bytes, then the shorter first.
    return publicKey.compare(other.publicKey) < 0;
}

AccountEntry::AccountEntry()
    : templateName(DefaultTemplateName()), loginAllowed(DefaultYesNoYes), authType(AuthTypePwdOrKey),
      permitRemoteAdmin(DefaultYesNoDefault), mapRemoteHomeDir(DefaultYesNoDefault), onLogonCmd(L"*"),
      onLogoffCmd(L"*"), allowSessionJobBreakaway(DefaultYesNoDefault), permitTerminalShell(DefaultYesNoDefault),
      terminalShell(L"*"), initDir(L"*"), permitExecRequests(DefaultYesNoDefault), permitSftp(DefaultYesNoDefault),
      sftpRootDir(L"*"), permitC2SForwarding(DefaultYesNoDefault), permitS2CForwarding(DefaultYesNoDefault)
{
}

AccountEntry::AccountEntry(const AccountEntry& src) : AccountEntry() { *this = src; }

AccountEntry& AccountEntry::operator=(const AccountEntry& src)
{
    if (&src == this || !BeginCopy(*this, src))
        return *this;
    account = src.account;
    templateName = src.templateName;
    loginAllowed = src.loginAllowed;
    authType = src.authType;
    if (!CopyField(*this, keys, src.keys))
        return *this;
    CopyTemplateFields(*this, src);
    return *this;
}

void AccountEntry::BuildMemberMap(MemberMap& map)
{
    map.Add(MemberInfo(L"account", &account, L""));
    map.Add(MemberInfo(L"template", &templateName, DefaultTemplateName())
                .SetValuesQuery(L"$access.templates.All.name"));
    map.Add(YesNoMember(L"loginAllowed", &loginAllowed, DefaultYesNoYes));
    map.Add(MemberInfo(L"authType", &authType, AuthTypePwdOrKey, &AuthTypeEnumInfo::Instance()));
    map.Add(MemberInfo(L"keys", &keys));
    map.Add(YesNoMember(L"permitRemoteAdmin", &permitRemoteAdmin, DefaultYesNoDefault));
    map.Add(YesNoMember(L"mapRemoteHomeDir", &mapRemoteHomeDir, DefaultYesNoDefault));
    map.Add(MemberInfo(L"onLogonCmd", &onLogonCmd));
    map.Add(MemberInfo(L"onLogoffCmd", &onLogoffCmd));
    map.Add(YesNoMember(L"allowSessionJobBreakaway", &allowSessionJobBreakaway, DefaultYesNoDefault));
    map.Add(YesNoMember(L"permitTerminalShell", &permitTerminalShell, DefaultYesNoDefault));
    map.Add(MemberInfo(L"terminalShell", &terminalShell, L"*"));
    map.Add(MemberInfo(L"initDir", &initDir, L"*"));
    map.Add(YesNoMember(L"permitExecRequests", &permitExecRequests, DefaultYesNoDefault));
    map.Add(YesNoMember(L"permitSftp", &permitSftp, DefaultYesNoDefault));
    map.Add(MemberInfo(L"sftpRootDir", &sftpRootDir, L"*"));
    map.Add(YesNoMember(L"permitC2SForwarding", &permitC2SForwarding, DefaultYesNoDefault));
    map.Add(YesNoMember(L"permitS2CForwarding", &permitS2CForwarding, DefaultYesNoDefault));
    map.Add(MemberInfo(L"connectRules", &connectRules));
    map.Add(MemberInfo(L"listenRules", &listenRules));
    map.Add(MemberInfo(L"srvSideFwding", &srvSideFwding));
}

bool AccountEntry::operator<(const AccountEntry& other) const
{
    return _wcsicmp(account.c_str(), other.account.c_str()) < 0;
}

AccountTemplateList::AccountTemplateList()
{
    SetKeepDefaultEntry(true);
    SetDefaults(1);
}

int FindTemplateByName(const SortedListEvaluator<AccountTemplate>& templates, const std::wstring& name)
{
    for (std::uint32_t i = 0; i < templates.size(); ++i) {
        if (_wcsicmp(templates.at(i)->name.c_str(), name.c_str()) == 0)
            return static_cast<int>(i);
    }
    return -1;
}
