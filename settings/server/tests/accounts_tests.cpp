#include "settings/server/tests/test_support.h"

#include <cryptopp/filters.h>

#include "settings/framework/cfg_enc_dec.h"
#include "settings/server/accounts.h"

namespace {

std::string EncodedCommand(const LogonCommand& command)
{
    std::string bytes;
    CryptoPP::StringSink sink(bytes);
    command.Encode(sink);
    return bytes;
}

// A root with the access part of the tree, so that "$access.templates..." resolves.
struct Access : MemberMapEvaluator {
    AccountTemplateList templates;
    SortedListEvaluator<AccountEntry> accounts;
    void BuildMemberMap(MemberMap& map) override
    {
        map.Add(MemberInfo(L"templates", &templates));
        map.Add(MemberInfo(L"accounts", &accounts));
    }
};

struct Root : MemberMapEvaluator {
    Access access;
    void BuildMemberMap(MemberMap& map) override { map.Add(MemberInfo(L"access", &access)); }
};

TEST(Accounts, FreshTemplateList)
{
    AccountTemplateList templates;
    ASSERT_EQ(1u, templates.size());
    EXPECT_TRUE(templates.IsDefault());
    const AccountTemplate& t = *templates.at(0);
    EXPECT_EQ(L"Default", t.name);
    EXPECT_EQ(L"cmd.exe", t.terminalShell);
    EXPECT_EQ(L"\\\\", t.sftpRootDir);
    EXPECT_EQ(2u, t.sftpRootDir.size());
    EXPECT_TRUE(t.loginAllowed && t.permitRemoteAdmin && t.permitTerminalShell && t.permitSftp);
    EXPECT_FALSE(t.mapRemoteHomeDir || t.allowSessionJobBreakaway);
    EXPECT_EQ(L"", t.onLogonCmd.command);
    EXPECT_EQ(1u, t.connectRules.ipRules.size());
    EXPECT_EQ(1u, t.listenRules.size());
    EXPECT_EQ("00 00 00 00 00 00 00 00 00 00", ToHex(EncodedCommand(t.onLogoffCmd)));

    EXPECT_EQ(0, FindTemplateByName(templates, L"DEFAULT"));
    EXPECT_EQ(-1, FindTemplateByName(templates, L"Other"));

    LanguageOn language(templates);
    ASSERT_EQ(L"", language.Run(L"Clear"));
    EXPECT_EQ(0u, templates.size());
    ASSERT_EQ(L"", language.Run(L"SetDefaults"));
    EXPECT_EQ(1u, templates.size());
    EXPECT_TRUE(templates.IsDefault());
}

TEST(Accounts, LogonCommandForm)
{
    LogonCommand command(L"*");
    EXPECT_EQ(L"*", command.command);
    command.command = L"cmd";
    command.execAsService = true;
    command.maxWaitTime = 30;
    const std::string form = EncodedCommand(command);
    EXPECT_EQ("00 00 00 06 63 00 6D 00 64 00 01 00 00 00 1E 00", ToHex(form));

    LogonCommand back(L"");
    // A store reads from the string it is given, which must outlive it.
    const std::string followed = form + FromHex("05");
    CryptoPP::StringStore store(followed);
    back.Decode(store);
    EXPECT_EQ(L"cmd", back.command);
    EXPECT_TRUE(back.execAsService);
    EXPECT_EQ(30u, back.maxWaitTime);
    EXPECT_EQ(L"", back.m_sDefaultCommand);
    EXPECT_FALSE(back.IsDefault());

    // Decoding tests no range; truncated input and odd counts throw and change nothing.
    const std::string outOfRange = FromHex("00 00 00 00 02 00 00 27 10 07");
    CryptoPP::StringStore wide(outOfRange);
    back.Decode(wide);
    EXPECT_EQ(10000u, back.maxWaitTime);
    EXPECT_TRUE(back.execAsService);
    const struct {
        const char* form;
        const char* text;
    } failures[] = {
        {"00 00 00 06 63 00 6D 00 64 00 01 00 00 00 1E", "unexpected end of packet"},
        {"00 00 00 03 63 00 6D 01 00 00 00 00 00", "unexpected end of unicode string"},
        {"", "unexpected end of packet"},
    };
    for (const auto& f : failures) {
        const std::string bytes = FromHex(f.form);
        CryptoPP::StringStore in(bytes);
        try {
            back.Decode(in);
            ADD_FAILURE() << f.form;
        } catch (const CfgEncDec::CEncodeDecodeException& e) {
            EXPECT_STREQ(f.text, e.what());
        }
        EXPECT_EQ(L"", back.command);
        EXPECT_EQ(10000u, back.maxWaitTime);
    }
    LanguageOn language(back);
    EXPECT_NE(L"", language.Run(L"maxWaitTime 10000"));
    EXPECT_EQ(L"", language.Run(L"maxWaitTime 9999"));
}

TEST(Accounts, NewAccountDefaults)
{
    AccountEntry account;
    EXPECT_TRUE(account.IsDefault());
    EXPECT_EQ(L"Default", account.templateName);
    EXPECT_EQ(DefaultYesNoYes, account.loginAllowed);
    EXPECT_EQ(AuthTypePwdOrKey, account.authType);
    for (unsigned char v : {account.permitRemoteAdmin, account.mapRemoteHomeDir, account.allowSessionJobBreakaway,
                            account.permitTerminalShell, account.permitExecRequests, account.permitSftp,
                            account.permitC2SForwarding, account.permitS2CForwarding})
        EXPECT_EQ(DefaultYesNoDefault, v);
    EXPECT_EQ(L"*", account.terminalShell);
    EXPECT_EQ(L"*", account.initDir);
    EXPECT_EQ(L"*", account.sftpRootDir);
    EXPECT_EQ(L"*", account.onLogonCmd.command);
    EXPECT_EQ(L"*", account.onLogoffCmd.command);
    EXPECT_EQ(0u, account.keys.size());
    EXPECT_EQ(0u, account.connectRules.ipRules.size());
    EXPECT_EQ(0u, account.listenRules.size());
    EXPECT_EQ(0u, account.srvSideFwding.c2s.size());

    LanguageOn language(account);
    const struct {
        const wchar_t* instruction;
        unsigned char value;
    } yesNo[] = {{L"permitSftp default", 0}, {L"permitSftp yes", 1}, {L"permitSftp no", 2},
                 {L"permitSftp true", 1},    {L"permitSftp false", 2}, {L"permitSftp 2", 2}};
    for (const auto& c : yesNo) {
        EXPECT_EQ(L"", language.Run(c.instruction)) << c.instruction;
        EXPECT_EQ(c.value, account.permitSftp) << c.instruction;
    }
    EXPECT_EQ(L"no", language.Query(L"permitSftp"));
    EXPECT_NE(L"", language.Run(L"permitSftp 3"));
    EXPECT_NE(L"", language.Run(L"permitSftp maybe"));
    EXPECT_NE(L"", language.Run(L"authType pwdOrPin"));
    EXPECT_EQ(L"", language.Run(L"authType pwdAndKey"));
    EXPECT_EQ(L"", language.Run(L"keys.New.publicKey \"0A0B\""));
    EXPECT_NE(L"", language.Run(L"keys.New.publicKey \"0G\""));
    EXPECT_EQ(L"", language.Run(L"keys.NewCommit"));
    ASSERT_EQ(1u, account.keys.size());
    EXPECT_EQ(std::string("\x0A\x0B"), account.keys.at(0)->publicKey);
}

TEST(Accounts, OrdersRefuseDuplicates)
{
    Root root;
    LanguageOn language(root);
    ASSERT_EQ(L"", language.Run(L"access.templates.New.name \"default\""));
    EXPECT_NE(L"", language.Run(L"access.templates.NewCommit"));
    ASSERT_EQ(L"", language.Run(L"access.templates.New.name \"Restricted\""));
    ASSERT_EQ(L"", language.Run(L"access.templates.NewCommit"));

    ASSERT_EQ(L"", language.Run(L"access.accounts.New.account \"alice\""));
    ASSERT_EQ(L"", language.Run(L"access.accounts.New.template \"Restricted\""));
    EXPECT_NE(L"", language.Run(L"access.accounts.New.template \"Nothing\""));
    ASSERT_EQ(L"", language.Run(L"access.accounts.NewCommit"));
    ASSERT_EQ(L"", language.Run(L"access.accounts.New.account \"ALICE\""));
    EXPECT_NE(L"", language.Run(L"access.accounts.NewCommit"));
    ASSERT_EQ(1u, root.access.accounts.size());
    EXPECT_EQ(L"Restricted", root.access.accounts.at(0)->templateName);

    PublicKeyEntry a, b, c;
    a.publicKey = "ab";
    b.publicKey = "abc";
    c.publicKey = std::string("\xFF", 1);
    EXPECT_TRUE(a < b);
    EXPECT_TRUE(b < c);
    EXPECT_FALSE(b < a);
    SortedListEvaluator<PublicKeyEntry> keys;
    keys.New()->publicKey = "ab";
    EXPECT_EQ(0, keys.NewCommit());
    keys.New()->publicKey = "ab";
    EXPECT_EQ(SortedListEvaluator<PublicKeyEntry>::kDuplicateEntry, keys.NewCommit());
}

TEST(Accounts, CopiesKeepFactories)
{
    AccountTemplate source;
    source.name = L"Copied";
    source.connectRules.ipRules.at(0)->instr.m_allowConnect = false;
    source.srvSideFwding.c2s.New()->m_sTargetHost.assign("db");
    source.srvSideFwding.c2s.NewCommit();
    AccountTemplate copy(source);
    EXPECT_EQ(L"Copied", copy.name);
    EXPECT_EQ(L"", copy.onLogonCmd.m_sDefaultCommand);
    EXPECT_EQ(1u, copy.srvSideFwding.c2s.size());
    ASSERT_EQ(1u, copy.connectRules.ipRules.size());
    EXPECT_NE(nullptr, dynamic_cast<DefaultIpConnectRule*>(copy.connectRules.ipRules.at(0)));
    EXPECT_FALSE(copy.connectRules.ipRules.at(0)->instr.m_allowConnect);
    EXPECT_TRUE(copy.connectRules.ipRules.New()->instr.m_allowConnect);

    AccountEntry account;
    account.account = L"bob";
    account.connectRules.ipRules.NewCommit();
    AccountEntry accountCopy(account);
    EXPECT_EQ(L"*", accountCopy.onLogonCmd.m_sDefaultCommand);
    ASSERT_EQ(1u, accountCopy.connectRules.ipRules.size());
    EXPECT_NE(nullptr, dynamic_cast<AccountIpConnectRule*>(accountCopy.connectRules.ipRules.at(0)));
    EXPECT_NE(nullptr, dynamic_cast<AccountIpConnectRule*>(accountCopy.connectRules.ipRules.New()));
    EXPECT_NE(nullptr, dynamic_cast<DefaultDnsNameConnectRule*>(accountCopy.connectRules.dnsNameRules.New()));

    AccountTemplateList templates;
    templates.New()->name = L"Second";
    templates.NewCommit();
    AccountTemplateList templatesCopy(templates);
    EXPECT_EQ(2u, templatesCopy.size());
    EXPECT_EQ(1, FindTemplateByName(templatesCopy, L"second"));
}

} // namespace
