// The settings language on the member kinds and paths that the probe's tree does not have:
// code-page strings, binary and encrypted members, DNS names, byte members, enumerations
// with alternate names, descriptions, values queries and literal test expressions.
#include <gtest/gtest.h>

#include "foundation/crypt_block.h"
#include "foundation/random_source.h"
#include "settings/framework/enum_info.h"
#include "settings/framework/evaluator.h"
#include "settings/framework/expression.h"
#include "settings/framework/record_language.h"
#include "settings/framework/sorted_list_evaluator.h"
#include "settings/framework/test_expressions.h"

namespace {

struct Key : CryptBlock {
    const unsigned char* GetCipherKey() const override { return reinterpret_cast<const unsigned char*>("0123456789abcdef"); }
    const unsigned char* GetMacKey() const override { return reinterpret_cast<const unsigned char*>("fedcba9876543210"); }
};

struct Address : MemberMapEvaluator {
    std::wstring host;
    std::uint32_t port;
    bool secure;
    int changes = 0;

    Address() { SetDefaults(0); }
    void OnMembersChanged() override { ++changes; }
    void BuildMemberMap(MemberMap& map) override
    {
        MemberInfo dns(L"host", &host, L"example.com");
        dns.checkDnsName = 1;
        dns.dnsNameFlags = 1;
        map.Add(dns);
        map.Add(MemberInfo(L"port", &port, 22u, 1u, 65535u));
        map.Add(MemberInfo(L"secure", &secure, true));
    }
};

struct Account : MemberMapEvaluator {
    std::string ascii;     // kind 8, 7-bit text
    NoCrtString utf8;      // kind 9, UTF-8
    std::string blob;      // kind 11
    Key password;          // kind 10
    unsigned char level;   // kind 5
    std::uint32_t answer;  // kind 3
    std::wstring choice;   // kind 7 with a values query
    Address address;       // kind 12
    int changes = 0;

    Account() { SetDefaults(0); }
    void OnMembersChanged() override { ++changes; }
    void BuildMemberMap(MemberMap& map) override
    {
        MemberInfo text(L"ascii");
        text.Reset();
        text.kind = MemberInfo::kString;
        text.stringValue = &ascii;
        text.stringDefault = "plain";
        text.codePage = 65000;
        map.Add(text);
        map.Add(MemberInfo(L"utf8", &utf8, NoCrtString("caf\xC3\xA9"), 65001));
        map.Add(MemberInfo(L"blob", &blob, "\x0A\xFF"));
        MemberInfo secret(L"password");
        secret.Reset();
        secret.kind = MemberInfo::kEncrypted;
        secret.cryptValue = &password;
        secret.codePage = 65001;
        map.Add(secret.SetDescription(L"The password that the account logs on with; it is stored encrypted "
                                      L"and shown only in its encrypted form."));
        MemberInfo byteMember(L"level");
        byteMember.Reset();
        byteMember.kind = MemberInfo::kByte;
        byteMember.byteValue = &level;
        byteMember.byteDefault = 3;
        byteMember.minimum = 1;
        byteMember.maximum = 9;
        map.Add(byteMember);
        MemberInfo yesNo(L"answer");
        yesNo.Reset();
        yesNo.kind = MemberInfo::kWord32Enum;
        yesNo.word32Value = &answer;
        yesNo.word32Default = 0;
        yesNo.enumeration = &DefaultYesNoEnumInfo::Instance();
        map.Add(yesNo);
        map.Add(MemberInfo(L"choice", &choice, L"").SetValuesQuery(
            L"\"\\\"first\\\"\\r\\n\\\"second\\\"\\r\\n\\\"third, a last line without a line end\\\"\""));
        map.Add(MemberInfo(L"address", &address));
    }
};

class Language : public ::testing::Test {
protected:
    NoCrtRandom random;
    Account account;
    RootEvaluator root{&account};

    // "" when the instruction worked, else its message.
    std::wstring Run(const std::wstring& text)
    {
        try {
            account.Instruction(text, root);
            return L"";
        } catch (const EvaluationErr& e) {
            return e.WideMessage().text;
        }
    }

    // The value quoted, or "ERR " and the message.
    std::wstring Query(const std::wstring& text)
    {
        try {
            ExpressionResult result;
            account.Expression(text, root, L"", L"", result);
            std::wstring shown;
            result.ToString(shown, true);
            return shown;
        } catch (const EvaluationErr& e) {
            return L"ERR " + e.WideMessage().text;
        }
    }
};

struct Case {
    const wchar_t* instruction;
    const wchar_t* failure;  // "" for success
    const wchar_t* query;
    const wchar_t* shown;  // the query's answer afterwards
};

TEST_F(Language, InstructionsByKind)
{
    const std::wstring fail = L"MemberMapEvaluator: Instruction '";
    const Case cases[] = {
        // 7-bit text: characters outside ASCII become "?".
        {L"ascii \"caf\\x00e9\"", L"", L"ascii", L"\"caf?\""},
        {L"ascii 5", L"': expression must be a string", L"ascii", L"\"caf?\""},
        {L"utf8 \"\\x20ac\"", L"", L"utf8", L"\"\\x20ac\""},
        // Binary strings: hexadecimal digits in pairs only; a refused value keeps the old one.
        {L"blob \"00aBff\"", L"", L"blob", L"\"00ABFF\""},
        {L"blob \"00 ff\"", L"': expression must be a hexadecimal string", L"blob", L"\"00ABFF\""},
        {L"blob \"0g\"", L"': expression must be a hexadecimal string", L"blob", L"\"00ABFF\""},
        {L"blob \"abc\"", L"': expression must be a hexadecimal string", L"blob", L"\"00ABFF\""},
        {L"blob 12", L"': expression must be a hexadecimal string", L"blob", L"\"00ABFF\""},
        {L"blob \"\"", L"", L"blob", L"\"\""},
        // Bytes with bounds 1..9.
        {L"level 9", L"", L"level", L"9"},
        {L"level 0", L"': value must be between 1 and 9", L"level", L"9"},
        {L"level 265", L"': value must be between 1 and 9", L"level", L"9"},
        // Enumerations accept alternate names and answer with the primary one.
        {L"answer true", L"", L"answer", L"yes"},
        {L"answer false", L"", L"answer", L"no"},
        {L"answer 0", L"", L"answer", L"default"},
        {L"answer 3", L"': expression must be a valid DefaultYesNo value ", L"answer", L"default"},
        // DNS names (leading '*' allowed) are checked before anything is stored.
        {L"address.host \"*.example.org\"", L"", L"address.host", L"\"*.example.org\""},
        {L"address.host \"a_b.org\"", L"': expression must check out as a valid DNS name", L"address.host",
         L"\"*.example.org\""},
        {L"address.host \"\"", L"': expression must check out as a valid DNS name", L"address.host",
         L"\"*.example.org\""},
        {L"address.host 5", L"': expression must be a string", L"address.host", L"\"*.example.org\""},
        // Values queries: only lines followed by a line end count, compared by type and text.
        {L"choice \"second\"", L"", L"choice", L"\"second\""},
        {L"choice \"Second\"", L"': value to be assigned does not match results of values query", L"choice",
         L"\"second\""},
        {L"choice \"third, a last line without a line end\"",
         L"': value to be assigned does not match results of values query", L"choice", L"\"second\""},
        {L"choice first", L"': value to be assigned does not match results of values query", L"choice",
         L"\"second\""},
    };
    for (const Case& c : cases) {
        std::wstring failure = Run(c.instruction);
        if (*c.failure) {
            EXPECT_EQ(failure.rfind(fail, 0), 0u) << c.instruction;
            EXPECT_NE(failure.find(c.failure), std::wstring::npos) << failure;
        } else {
            EXPECT_EQ(failure, L"") << c.instruction;
        }
        EXPECT_EQ(Query(c.query), c.shown) << c.instruction;
    }
    EXPECT_EQ(Run(L"level 0"), fail + L"level 0': value must be between 1 and 9");
}

TEST_F(Language, RestrictedValuesStayOnTheirLineUpTo55Characters)
{
    const std::wstring query55 = L"$address.host" + std::wstring(42, L' ');
    account.AccessMemberInfo(L"choice").SetValuesQuery(query55);
    ExpressionResult r;
    account.Expression(L"?", root, L"", L"", r);
    EXPECT_NE(r.text.find(L"    Restricted values: " + query55 + L"\r\n  address,"), std::wstring::npos);
    account.AccessMemberInfo(L"choice").SetValuesQuery(query55 + L"x");
    account.Expression(L"?", root, L"", L"", r);
    EXPECT_NE(r.text.find(L"    Restricted values: \r\n" + query55 + L"x\r\n  address,"), std::wstring::npos);
    account.AccessMemberInfo(L"choice").SetValuesQuery(L"$a\r\n");
    account.Expression(L"?", root, L"", L"", r);
    EXPECT_NE(r.text.find(L"    Restricted values: \r\n$a"), std::wstring::npos);
}

TEST_F(Language, MemberOfAnUnknownKind)
{
    struct Odd : MemberMapEvaluator {
        void BuildMemberMap(MemberMap& map) override { map.Add(MemberInfo(L"odd")); }
    } odd;
    try {
        odd.Instruction(L"odd 5", root);
        ADD_FAILURE();
    } catch (const EvaluationErr& e) {
        EXPECT_EQ(e.WideMessage().text, L"MemberMapEvaluator: Instruction 'odd 5': member is known but is of an unrecognized type");
    }
    ExpressionResult r;
    try {
        odd.Expression(L"odd", root, L"", L"", r);
        ADD_FAILURE();
    } catch (const EvaluationErr& e) {
        EXPECT_EQ(e.WideMessage().text, L"MemberMapEvaluator: Expression 'odd': member is known but is of an unrecognized type");
    }
    odd.Expression(L"?", root, L"", L"", r);
    EXPECT_EQ(r.text, L"Supports *, %, ? queries and SetDefaults.\r\nMembers:\r\n  odd, unrecognized type\r\n");
}

TEST_F(Language, ValuesQueryOfTheWrongTypeIsReported)
{
    account.AccessMemberInfo(L"choice").SetValuesQuery(L"5");
    EXPECT_EQ(Run(L"choice \"x\""), L"MemberMapEvaluator: Instruction 'choice \"x\"': values query '5' for member "
                                    L"'choice' returned an incorrect result type");
}

TEST_F(Language, EncryptedMembers)
{
    EXPECT_EQ(Run(L"password \"Plain:s3cret\""), L"");
    const std::wstring stored = Query(L"password");
    ASSERT_EQ(stored.size(), 2 + 6 + 2 * 36u);  // quotes, "Crypt:", 36 bytes in hex
    EXPECT_EQ(stored.substr(0, 7), L"\"Crypt:");
    EXPECT_EQ(account.password.plaintext.size(), 0u);
    EXPECT_FALSE(account.address.IsDefault() && account.IsDefault());

    // The stored form replays; a damaged or non-hex one is refused and the value stays.
    const std::wstring hex = stored.substr(7, stored.size() - 8);
    EXPECT_EQ(Run(L"password \"Crypt:" + hex + L"\""), L"");
    EXPECT_EQ(Query(L"password"), stored);
    std::wstring damaged = hex;
    damaged[50] = damaged[50] == L'0' ? L'1' : L'0';
    const std::wstring refused = L"': ciphertext validation failed";
    EXPECT_EQ(Run(L"password \"Crypt:" + damaged + L"\""),
              L"MemberMapEvaluator: Instruction 'password \"Crypt:" + damaged + L"\"" + refused);
    EXPECT_EQ(Query(L"password"), stored);
    for (const std::wstring& bad : {hex.substr(2) + L"zz", hex + L"0", std::wstring(L"00"), std::wstring()}) {
        std::wstring failure = Run(L"password \"Crypt:" + bad + L"\"");
        EXPECT_EQ(failure.substr(failure.size() - refused.size()), refused) << bad;
        EXPECT_EQ(Query(L"password"), stored) << bad;
    }

    EXPECT_NE(Run(L"password \"Plain\"").find(L"': expression must be a string beginning with \"Crypt:\" or \"Plain:\""),
              std::wstring::npos);
    EXPECT_NE(Run(L"password 5").find(L"': expression must be a string"), std::wstring::npos);
    EXPECT_EQ(Query(L"password"), stored);

    // "Plain:" alone is the encryption of the empty text: the default.
    EXPECT_EQ(Run(L"password \"Plain:\""), L"");
    EXPECT_TRUE(account.AccessMemberInfo(L"password").IsDefault());
    EXPECT_NE(Query(L"password"), stored);
}

TEST_F(Language, SuccessfulInstructionsCallTheHookOfTheirRecord)
{
    const int before = account.changes;
    const int nestedBefore = account.address.changes;
    EXPECT_EQ(Run(L"level 4"), L"");
    EXPECT_EQ(Run(L"level 40"), L"MemberMapEvaluator: Instruction 'level 40': value must be between 1 and 9");
    EXPECT_EQ(Run(L"address.port 80"), L"");
    EXPECT_EQ(account.changes, before + 2);
    EXPECT_EQ(account.address.changes, nestedBefore + 1);
    EXPECT_EQ(Run(L"SetDefaults now"), L"");
    EXPECT_EQ(account.changes, before + 3);
    EXPECT_EQ(Query(L"address.port"), L"22");
}

TEST_F(Language, MemberListingWithKindsDescriptionsAndEnumerations)
{
    EXPECT_EQ(Query(L"?"),
              L"\"Supports *, %, ? queries and SetDefaults.\\r\\nMembers:\\r\\n"
              L"  ascii, string (UTF-7), default=\\\"plain\\\"\\r\\n"
              L"  utf8, string (UTF-8, nc), default=\\\"caf\\\\x00e9\\\"\\r\\n"
              L"  blob, binary string, default=\\\"0AFF\\\"\\r\\n"
              L"  password, encrypted string (UTF-8), default=(empty)\\r\\n"
              L"    The password that the account logs on with; it is stored encrypted and\\r\\n"
              L"    shown only in its encrypted form.\\r\\n"
              L"  level, byte, default=3, min=1, max=9\\r\\n"
              L"  answer, word32 enum, type=DefaultYesNo, default=default\\r\\n"
              L"  choice, string (Unicode), default=\\\"\\\"\\r\\n"
              L"    Restricted values: \\r\\n"
              L"\\\"\\\\\\\"first\\\\\\\"\\\\r\\\\n\\\\\\\"second\\\\\\\"\\\\r\\\\n\\\\\\\"third, a last line without a line\\r\\n"
              L"      end\\\\\\\"\\\"\\r\\n"
              L"  address, nested type (query with .? for more info)\\r\\n"
              L"DefaultYesNo enumeration type:\\r\\n"
              L"  default (0), yes (1), no (2)\\r\\n"
              L" Alternate names: false (2), true (1)\\r\\n\"");
    EXPECT_EQ(Query(L"address.?"),
              L"\"Supports *, %, ? queries and SetDefaults.\\r\\nMembers:\\r\\n"
              L"  host, string (Unicode), default=\\\"example.com\\\"\\r\\n"
              L"  port, word32, default=22, min=1, max=65535\\r\\n"
              L"  secure, boolean, default=true\\r\\n"
              L"Boolean enumeration type:\\r\\n  false (0), true (1)\\r\\n\"");

    account.AccessMemberMap().order.push_back(L"ghost");
    EXPECT_EQ(Query(L"?"), L"ERR MemberMapEvaluator: Expression '?': member 'ghost' is in order-vector but not in "
                           L"member-map");
}

TEST_F(Language, NestedScriptsAreDottedUpToTwoLinesThenAWithBlock)
{
    ExpressionResult r;
    EXPECT_EQ(Run(L"address.port 80"), L"");
    EXPECT_EQ(Run(L"address.secure false"), L"");
    account.Expression(L"%", root, L"", L"", r);
    EXPECT_EQ(r.text, L"SetDefaults\r\naddress.port 80\r\naddress.secure false\r\n");
    EXPECT_EQ(Run(L"address.host \"h\""), L"");
    account.Expression(L"%", root, L"", L"", r);
    EXPECT_EQ(r.text, L"SetDefaults\r\nWith address {\r\n  host \"h\"\r\n  port 80\r\n  secure false\r\n}\r\n");
    EXPECT_EQ(DescribeEvaluatorMembers(L"*", account.address, root, L"top", L"    ", L"address"),
              L"    With address {\r\n      host \"h\"\r\n      port 80\r\n      secure false\r\n    }\r\n");

    // A nested object whose script is empty still gets its line.
    struct Empty : MemberMapEvaluator {
        Empty() { SetDefaults(0); }
        void BuildMemberMap(MemberMap&) override {}
    } empty;
    EXPECT_EQ(DescribeEvaluatorMembers(L"*", empty, root, L"", L"", L"nothing"), L"nothing.\r\n");
    // A nested object that answers with anything but a string is refused.
    struct Odd : Empty {
        void Expression(const std::wstring&, RootEvaluator&, const std::wstring&, const std::wstring&,
                        ExpressionResult& result) override
        {
            result.Clear();
        }
    } odd;
    try {
        DescribeEvaluatorMembers(L"%", odd, root, L"a", L"", L"b");
        FAIL();
    } catch (const EvaluationErr& e) {
        EXPECT_EQ(e.WideMessage().text,
                  L"DescribeEvaluatorMembers: the equivalent of a 'a.b.%' query returned with an invalid result type");
    }
}

TEST_F(Language, LiteralTestExpressions)
{
    auto test = [&](const std::wstring& text) -> std::wstring {
        try {
            return IsolatedEvaluator::Test(account.address, text, root) ? L"true" : L"false";
        } catch (const EvaluationErr& e) {
            return e.WideMessage().text;
        }
    };
    EXPECT_EQ(test(L"secure == true"), L"true");
    EXPECT_EQ(test(L"secure != true"), L"false");
    EXPECT_EQ(test(L"secure == True"), L"false");
    EXPECT_EQ(test(L"secure == 1"), L"The left-hand side of test expression 'secure == 1' is a literal, while the "
                                    L"right-hand side is not; literal can only be compared to a literal");
    EXPECT_EQ(test(L"secure > false"),
              L"Invalid test expression 'secure > false' - invalid operator for comparison of literal values");
    EXPECT_EQ(test(L"secure eq \"true\""),
              L"Invalid test expression 'secure eq \"true\"' - string comparison attempted with non-string arguments");
    EXPECT_EQ(test(L""), L"Test expression is empty");
    EXPECT_EQ(test(L"port == 22 "), L"Test expression 'port == 22 ' is not trimmed");
}

struct WithRoot : RootEvaluator {
    explicit WithRoot(Evaluator* root) : RootEvaluator(root) {}
    void Open(const std::wstring& path) { OpenWith(path); }
};

TEST_F(Language, QueryContextUsesTheCurrentWithPrefix)
{
    WithRoot with(&account);
    with.Open(L"address");
    ExpressionResult r;
    with.Evaluate(L"port", r, RootEvaluator::kQueryContext);
    EXPECT_EQ(r.type, ExpressionResult::kNumber);
    EXPECT_EQ(r.number, 22u);
    with.Evaluate(L"port", r, RootEvaluator::kValueContext);
    EXPECT_EQ(r.type, ExpressionResult::kLiteral);
    with.Evaluate(L"WithClauses", r, RootEvaluator::kQueryContext);
    EXPECT_EQ(r.text, L"address.\r\n");
    with.ScriptInstruction(L"  port 80");
    EXPECT_EQ(account.address.port, 80u);
    with.ClearWithPrefixes();
    with.Evaluate(L"WithClauses", r, RootEvaluator::kQueryContext);
    EXPECT_EQ(r.text, L"No With clauses are currently active.");
    EXPECT_THROW(with.Evaluate(L"word", r, 2), EvaluationErr);
    with.Evaluate(L"", r, 2);
    EXPECT_EQ(r.text.substr(0, 46), L"- The \"?\" query will display possible instruct");
}

// Every clause adds only its own path; nesting stops at the limit of nested paths.
TEST_F(Language, WithClausesNestUpToTheNestingLimit)
{
    RootEvaluator root(&account);
    root.ScriptInstruction(L"With address {");
    std::wstring innermost = L"address.";
    for (int depth = 1; depth < RootEvaluator::kMaxNesting; ++depth) {
        root.ScriptInstruction(L"  With x {");
        innermost += L"x.";
    }
    ASSERT_EQ(static_cast<std::size_t>(RootEvaluator::kMaxNesting), root.WithDepth());
    try {
        root.ScriptInstruction(L"With x {");
        ADD_FAILURE() << "a clause beyond the limit was opened";
    } catch (const EvaluationErr& e) {
        EXPECT_EQ(L"RootEvaluator: With clauses nest more than 32 levels deep", e.WideMessage().text);
    }
    EXPECT_EQ(static_cast<std::size_t>(RootEvaluator::kMaxNesting), root.WithDepth());
    EXPECT_EQ(innermost, root.CurrentWithPrefix());
    ExpressionResult r;
    root.Evaluate(L"WithClauses", r, RootEvaluator::kQueryContext);
    EXPECT_EQ(L"address.\r\naddress.x.\r\n", r.text.substr(0, 22));
    EXPECT_EQ(innermost + L"\r\n", r.text.substr(r.text.size() - innermost.size() - 2));

    for (int depth = 1; depth < RootEvaluator::kMaxNesting; ++depth) root.ScriptInstruction(L"}");
    EXPECT_EQ(L"address.", root.CurrentWithPrefix());
    root.ScriptInstruction(L"  port 81");
    EXPECT_EQ(account.address.port, 81u);
    root.ScriptInstruction(L"}");
    EXPECT_EQ(L"", root.CurrentWithPrefix());
}

// Texts that a parent record never hands to its list (it refuses them itself first).
TEST_F(Language, ListRefusesEmptyAndUntrimmedTextItself)
{
    struct Port : MemberMapEvaluator {
        std::uint32_t port;
        Port() { SetDefaults(0); }
        void BuildMemberMap(MemberMap& map) override { map.Add(MemberInfo(L"port", &port, 0u, 0u, 65535u)); }
        bool operator<(const Port& other) const { return port < other.port; }
    };
    SortedListEvaluator<Port> list;
    auto instruction = [&](const std::wstring& text) -> std::wstring {
        try {
            list.Instruction(text, root);
            return L"";
        } catch (const EvaluationErr& e) {
            return e.WideMessage().text;
        }
    };
    auto expression = [&](const std::wstring& text) -> std::wstring {
        try {
            ExpressionResult r;
            list.Expression(text, root, L"list", L"", r);
            return r.text;
        } catch (const EvaluationErr& e) {
            return e.WideMessage().text;
        }
    };
    EXPECT_EQ(instruction(L""), L"SortedListEvaluator: instruction is empty");
    EXPECT_EQ(instruction(L"CreateNewWithId  "), L"SortedListEvaluator: Instruction 'CreateNewWithId  ' is not trimmed");
    EXPECT_EQ(instruction(L"Erase(port > 0) "), L"SortedListEvaluator: Instruction 'Erase(port > 0) ' is not trimmed");
    EXPECT_EQ(expression(L""), L"SortedListEvaluator: expression is empty");
    EXPECT_EQ(expression(L" Count"), L"SortedListEvaluator: Expression ' Count' is not trimmed");
    // The indent goes in front of every script line.
    EXPECT_EQ(instruction(L"New.port 5"), L"");
    EXPECT_EQ(instruction(L"NewCommit"), L"");
    ExpressionResult r;
    list.Expression(L"*", root, L"list", L"    ", r);
    EXPECT_EQ(r.text, L"    Clear\r\n    CreateNewWithId 1\r\n    New.port 5\r\n    NewCommit\r\n");
    list.Expression(L"%", root, L"list", L"  ", r);
    EXPECT_EQ(r.text, L"  Clear\r\n  CreateNewWithId 1\r\n  New.port 5\r\n  NewCommit\r\n");
    EXPECT_EQ(instruction(L"1.port 0"), L"");
    list.Expression(L"%", root, L"list", L"", r);
    EXPECT_EQ(r.text, L"Clear\r\nCreateNewWithId 1\r\nNewCommit\r\n");
}

}  // namespace
