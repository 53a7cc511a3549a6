// The access part of the whole-settings message (templates, default template, accounts,
// host rules) with the conversions of older versions: before 3.27 one unnamed template
// and the host rules in an older form, before 3.28 plain-boolean logins and unnamed
// templates and profiles that get names here.
#include <algorithm>

#include "settings/server/settings_message.h"

using namespace CfgEncDec;

namespace {

// The account that stood for everyone else in messages before 3.27.
const wchar_t kAllOthersAccount[] = L"<<all others>>";
// What an account's text member holds when it leaves the value to its template.
const wchar_t kTemplateMarker[] = L"*";

const unsigned char kYes = 1;
const unsigned char kNo = 2;

template <class Rule>
void FillEmptyProfiles(RuleList<Rule>& rules, const std::string& name)
{
    for (std::uint32_t i = 0; i < rules.size(); ++i) {
        NoCrtString& profile = rules.at(i)->instr.m_proxyProfile;
        if (profile.empty())
            profile.assign(name.c_str());
    }
}

template <class Rule>
void FillEmptyProfiles(NoCrtVector<RuleList<Rule>>& lists, const std::string& name)
{
    for (std::uint32_t i = 0; i < lists.size(); ++i)
        FillEmptyProfiles(lists[i], name);
}

// Connect rules of messages from 3.26 on and C2S rules from 3.27 on that name no profile
// take the profile that the conversion of older profiles named.
void FillProxyReferences(const SettingsVersion& version, ConnectRules& connectRules, SrvSideFwding& forwarding,
                         const MigrationNames& names)
{
    if (version.AtLeast("3.26") && !names.profileName.empty()) {
        FillEmptyProfiles(connectRules.ipRules, names.profileName);
        FillEmptyProfiles(connectRules.dnsNameRules, names.profileName);
        FillEmptyProfiles(connectRules.m_ipRuleLists, names.profileName);
        FillEmptyProfiles(connectRules.m_dnsNameRuleLists, names.profileName);
    }
    if (version.AtLeast("3.27") && (!names.profileName.empty() || !names.preferredProfile.empty())) {
        const std::string& name = names.profileName.empty() ? names.preferredProfile : names.profileName;
        RuleList<SrvSideC2SRule>& c2s = forwarding.c2s;
        for (std::uint32_t i = 0; i < c2s.size(); ++i) {
            if (c2s.at(i)->m_sProxyProfile.empty())
                c2s.at(i)->m_sProxyProfile.assign(name.c_str());
        }
    }
}

// Commits the pending New entry of a list that decoding filled; an entry equal in order to
// one decoded before it means the message was not written by a sound encoder.
template <class List>
void CommitDecoded(List& list, const wchar_t* what)
{
    if (list.NewCommit() != 0)
        throw CEncodeDecodeException(std::wstring(L"Error decoding ") + what + L": an entry is equal in order to a "
                                     L"previously decoded entry");
}

void WriteTemplate(CryptoPP::BufferedTransformation& out, AccountTemplate& t)
{
    WriteWString(out, t.name);
    WriteBoolean(out, t.loginAllowed);
    WriteBoolean(out, t.permitRemoteAdmin);
    WriteBoolean(out, t.mapRemoteHomeDir);
    t.onLogonCmd.Encode(out);
    t.onLogoffCmd.Encode(out);
    WriteBoolean(out, t.allowSessionJobBreakaway);
    WriteBoolean(out, t.permitTerminalShell);
    WriteWString(out, t.terminalShell);
    WriteWString(out, t.initDir);
    WriteBoolean(out, t.permitExecRequests);
    WriteBoolean(out, t.permitSftp);
    WriteWString(out, t.sftpRootDir);
    WriteBoolean(out, t.permitC2SForwarding);
    WriteBoolean(out, t.permitS2CForwarding);
    WriteRecordBlob(out, t.connectRules, "Error encoding template connect rules: ", "\n");
    WriteRecordBlob(out, t.listenRules, "error encoding template listen rules: ", "\n");
    t.srvSideFwding.Encode(out);
}

void ReadTemplate(CryptoPP::BufferedTransformation& in, const SettingsVersion& version, AccountTemplate& t)
{
    if (version.AtLeast("3.27")) {
        ReadWString(in, t.name);
        ReadBoolean(in, t.loginAllowed);
    }
    ReadBoolean(in, t.permitRemoteAdmin);
    ReadBoolean(in, t.mapRemoteHomeDir);
    if (version.AtLeast("3.25")) {
        t.onLogonCmd.Decode(in);
        t.onLogoffCmd.Decode(in);
        ReadBoolean(in, t.allowSessionJobBreakaway);
    }
    ReadBoolean(in, t.permitTerminalShell);
    ReadWString(in, t.terminalShell);
    ReadWString(in, t.initDir);
    ReadBoolean(in, t.permitExecRequests);
    ReadBoolean(in, t.permitSftp);
    ReadWString(in, t.sftpRootDir);
    ReadBoolean(in, t.permitC2SForwarding);
    ReadBoolean(in, t.permitS2CForwarding);
    if (version.AtLeast("3.26")) {
        ReadRecordBlob(in, t.connectRules, "Error decoding template connect rules: ", "\n");
        ReadRecordBlob(in, t.listenRules, "Error decoding template listen rules: ", "\n");
    }
    if (version.AtLeast("3.27"))
        t.srvSideFwding.Decode(in);
}

void WriteAccount(CryptoPP::BufferedTransformation& out, AccountEntry& a)
{
    WriteWString(out, a.account);
    WriteWString(out, a.templateName);
    WriteByte(out, a.loginAllowed);
    WriteByte(out, a.authType);
    WriteWord32(out, a.keys.size());
    for (std::uint32_t i = 0; i < a.keys.size(); ++i)
        WriteString(out, a.keys.at(i)->publicKey);
    WriteByte(out, a.permitRemoteAdmin);
    WriteByte(out, a.mapRemoteHomeDir);
    a.onLogonCmd.Encode(out);
    a.onLogoffCmd.Encode(out);
    WriteByte(out, a.allowSessionJobBreakaway);
    WriteByte(out, a.permitTerminalShell);
    WriteWString(out, a.terminalShell);
    WriteWString(out, a.initDir);
    WriteByte(out, a.permitExecRequests);
    WriteByte(out, a.permitSftp);
    WriteWString(out, a.sftpRootDir);
    WriteByte(out, a.permitC2SForwarding);
    WriteByte(out, a.permitS2CForwarding);
    WriteRecordBlob(out, a.connectRules, "Error encoding account connect rules: ",
                    "\nError encoding account connect rules: ");
    WriteRecordBlob(out, a.listenRules, "error encoding account listen rules: ",
                    "\nerror encoding account listen rules: ");
    a.srvSideFwding.Encode(out);
}

// olderTemplate: the template of an account from a message that stores none (before 3.28).
void ReadAccount(CryptoPP::BufferedTransformation& in, const SettingsVersion& version, AccountEntry& a,
                 const std::wstring& olderTemplate)
{
    ReadWString(in, a.account);
    if (version.AtLeast("3.28")) {
        ReadWString(in, a.templateName);
        ReadByte(in, a.loginAllowed);
    } else {
        a.templateName = olderTemplate;
        bool allowed = false;
        ReadBoolean(in, allowed);
        a.loginAllowed = allowed ? kYes : kNo;
    }
    ReadByte(in, a.authType);

    CryptoPP::word32 keyCount = 0;
    ReadWord32(in, keyCount);
    a.keys.Clear();
    for (CryptoPP::word32 k = 0; k < keyCount; ++k) {
        PublicKeyEntry* key = a.keys.New();
        ReadString(in, key->publicKey);
        CommitDecoded(a.keys, L"account keys");
    }

    ReadByte(in, a.permitRemoteAdmin);
    ReadByte(in, a.mapRemoteHomeDir);
    if (version.AtLeast("3.25")) {
        a.onLogonCmd.Decode(in);
        a.onLogoffCmd.Decode(in);
        ReadByte(in, a.allowSessionJobBreakaway);
    }
    ReadByte(in, a.permitTerminalShell);
    ReadWString(in, a.terminalShell);
    ReadWString(in, a.initDir);
    ReadByte(in, a.permitExecRequests);
    ReadByte(in, a.permitSftp);
    ReadWString(in, a.sftpRootDir);
    ReadByte(in, a.permitC2SForwarding);
    ReadByte(in, a.permitS2CForwarding);
    if (version.AtLeast("3.26")) {
        ReadRecordBlob(in, a.connectRules, "Error decoding account connect rules: ",
                       "\nError decoding account connect rules: ");
        ReadRecordBlob(in, a.listenRules, "Error decoding account listen rules: ",
                       "\nError decoding account listen rules: ");
    }
    if (version.AtLeast("3.27"))
        a.srvSideFwding.Decode(in);

    if (!version.AtLeast("3.25")) {
        // Older accounts left these to their template by leaving them empty.
        for (std::wstring* text : {&a.terminalShell, &a.initDir, &a.sftpRootDir}) {
            if (text->empty())
                *text = kTemplateMarker;
        }
    }
}

// Host rules before 3.27: address, significant bits and whether to allow, per entry.
void ReadOlderHostRules(CryptoPP::BufferedTransformation& in, DefaultAcceptRules& hosts)
{
    hosts.ipRules.Clear();
    hosts.dnsNameRules.Clear();
    CryptoPP::word32 count = 0;
    ReadWord32(in, count);
    for (CryptoPP::word32 k = 0; k < count; ++k) {
        CryptoPP::word32 address = 0;
        CryptoPP::word32 bits = 0;
        bool allow = false;
        ReadWord32(in, address);
        ReadWord32(in, bits);
        ReadBoolean(in, allow);
        IpAcceptRule* rule = hosts.ipRules.New();
        rule->ipRule.m_ip = address;
        rule->ipRule.m_sigBits = static_cast<unsigned char>(std::min<CryptoPP::word32>(bits, 32));
        rule->instr.m_allowConnect = allow;
        // An entry equal in order to an earlier one is dropped, as decoded rule lists do.
        if (hosts.ipRules.NewCommit() != 0)
            hosts.ipRules.NewClear();
    }
}

} // namespace

void WriteAccess(CryptoPP::BufferedTransformation& out, AccessSettings& access)
{
    AccountTemplateList& templates = access.templates;
    if (templates.size() == 0)
        throw CEncodeDecodeException(L"Error encoding templates: there must be at least one template entry");
    WriteWord32(out, templates.size());
    for (std::uint32_t i = 0; i < templates.size(); ++i)
        WriteTemplate(out, *templates.at(i));
    WriteWString(out, access.m_sDefaultTemplate);
    WriteWord32(out, access.accounts.size());
    for (std::uint32_t i = 0; i < access.accounts.size(); ++i)
        WriteAccount(out, *access.accounts.at(i));
    WriteRecordBlob(out, access.hosts, "error encoding host accept rules: ", "\n");
}

void ReadAccess(CryptoPP::BufferedTransformation& in, const SettingsVersion& version, CfgRoot& root,
                MigrationNames& names)
{
    AccessSettings& access = root.access;
    AccountTemplateList& templates = access.templates;
    templates.Clear();
    CryptoPP::word32 templateCount = 1;
    if (version.AtLeast("3.27"))
        ReadWord32(in, templateCount);
    for (CryptoPP::word32 k = 0; k < templateCount; ++k) {
        AccountTemplate* t = templates.New();
        ReadTemplate(in, version, *t);
        FillProxyReferences(version, t->connectRules, t->srvSideFwding, names);
        CommitDecoded(templates, L"templates");
    }

    if (version.AtLeast("3.27")) {
        if (!version.AtLeast("3.28")) {
            for (std::uint32_t i = 0; i < templates.size(); ++i) {
                if (!templates.at(i)->name.empty())
                    continue;
                names.templateName = FirstFreeName(std::wstring(DefaultTemplateName()),
                                                   [&templates](const std::wstring& name) {
                                                       return FindTemplateByName(templates, name) >= 0;
                                                   });
                templates.at(i)->name = names.templateName;
                ResortRenamedEntry(templates, i);
                break;
            }
        }
        ReadWString(in, access.m_sDefaultTemplate);
        if (!names.templateName.empty() && access.m_sDefaultTemplate.empty())
            access.m_sDefaultTemplate = names.templateName;
    }

    // A 3.27 account belongs to the unnamed template; when every template has a name, it
    // takes the stored default template instead.
    std::wstring olderTemplate = DefaultTemplateName();
    if (version.AtLeast("3.27"))
        olderTemplate = names.templateName.empty() ? access.m_sDefaultTemplate : names.templateName;

    SortedListEvaluator<AccountEntry>& accounts = access.accounts;
    accounts.Clear();
    CryptoPP::word32 accountCount = 0;
    ReadWord32(in, accountCount);
    for (CryptoPP::word32 k = 0; k < accountCount; ++k) {
        AccountEntry* a = accounts.New();
        ReadAccount(in, version, *a, olderTemplate);
        FillProxyReferences(version, a->connectRules, a->srvSideFwding, names);
        if (!version.AtLeast("3.28") && a->account.empty()) {
            accounts.NewClear();
            continue;
        }
        if (!version.AtLeast("3.27") && a->account == kAllOthersAccount) {
            // It stood for the login right of everyone without an account of their own.
            if (templates.size() > 0)
                templates.at(0)->loginAllowed = a->loginAllowed != kNo;
            accounts.NewClear();
            continue;
        }
        CommitDecoded(accounts, L"accounts");
    }

    if (version.AtLeast("3.27"))
        ReadRecordBlob(in, access.hosts, "Error decoding host accept rules: ", "\n");
    else
        ReadOlderHostRules(in, access.hosts);
}
