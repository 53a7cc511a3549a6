#include <gtest/gtest.h>

#include "settings/framework/expression.h"

namespace {

ExpressionResult Make(int type, std::uint32_t number, const std::wstring& text = L"")
{
    ExpressionResult r;
    r.type = type;
    r.number = number;
    r.text = text;
    return r;
}

TEST(ExpressionResult, EqualityComparesTypeAndValueButNotTheReferenceFlag)
{
    EXPECT_FALSE(Make(0, 7) == Make(1, 7));
    EXPECT_TRUE(Make(0, 7) == Make(0, 7, L"ignored"));
    EXPECT_TRUE(Make(2, 1, L"abc") == Make(2, 2, L"abc"));
    EXPECT_FALSE(Make(2, 0, L"abc") == Make(3, 0, L"abc"));
    EXPECT_FALSE(Make(2, 0, L"abc") == Make(2, 0, L"ab"));
    ExpressionResult ref = Make(2, 0, L"x");
    ref.reference = 1;
    EXPECT_TRUE(ref == Make(2, 0, L"x"));
    EXPECT_FALSE(Make(4, 0) == Make(4, 0));
}

TEST(ExpressionResult, ToStringByType)
{
    struct Case {
        int type;
        std::uint32_t number;
        const wchar_t* text;
        bool quoted;
        const wchar_t* expected;
    } cases[] = {
        {0, 4294967295u, L"", true, L"4294967295"},
        {1, 0x0A000001u, L"", true, L"10.0.0.1"},
        {1, 0xFFFFFFFFu, L"", false, L"255.255.255.255"},
        {2, 0, L"a\tb", true, L"\"a\\tb\""},
        {2, 0, L"a\tb", false, L"a\tb"},
        {3, 0, L"pwdOrKey", true, L"pwdOrKey"},
    };
    for (const Case& c : cases) {
        std::wstring out;
        Make(c.type, c.number, c.text).ToString(out, c.quoted);
        EXPECT_EQ(c.expected, out);
    }
    std::wstring out;
    try {
        Make(7, 0).ToString(out, true);
        FAIL();
    } catch (const EvaluationErr& e) {
        EXPECT_EQ(L"ExpressionResult::ToString(): unrecognized value type 7", e.WideMessage().text);
    }
}

TEST(TextHelpers, QuoteWithEscapes)
{
    EXPECT_EQ(L"\"\"", QuoteWithEscapes(L""));
    EXPECT_EQ(L"\"\\t\\n\\r\\\"\\\\\"", QuoteWithEscapes(L"\t\n\r\"\\"));
    EXPECT_EQ(L"\"caf\\x00e9 \\x20ac\"", QuoteWithEscapes(L"caf\u00e9 \u20ac"));
    // Other control characters pass unchanged; DEL is 127 and stays too.
    EXPECT_EQ(std::wstring(L"\"\x01\x7f\""), QuoteWithEscapes(std::wstring(L"\x01\x7f")));
}

TEST(TextHelpers, NumbersAddressesAndCodePageNames)
{
    EXPECT_EQ(L"22", UIntToWString(22, 10, 0));
    EXPECT_EQ(L"0000ffff", UIntToWString(0xFFFF, 16, 8));
    EXPECT_EQ(L"00e9", UIntToWString(0xE9, 16, 4));
    EXPECT_EQ(L"123456", UIntToWString(123456, 10, 2));
    EXPECT_EQ(L"0", UIntToWString(0, 10, 0));
    std::string narrow;
    Ip4ToString(0xC0A80101u, narrow);
    EXPECT_EQ("192.168.1.1", narrow);
    EXPECT_EQ(L"UTF-7", CodePageName(65000));
    EXPECT_EQ(L"UTF-8", CodePageName(65001));
    EXPECT_EQ(L"code page 1252", CodePageName(1252));
    const unsigned char bytes[] = {0x00, 0xAB, 0x7F, 0xFF};
    EXPECT_EQ(L"00AB7FFF", BytesToHex(bytes, sizeof bytes));
    EXPECT_EQ(L"", BytesToHex(bytes, 0));
}

TEST(TextHelpers, CodePageConversionsBothWays)
{
    EXPECT_EQ(L"caf\u00e9", CodePageToWString("caf\xc3\xa9", -1, 65001));
    EXPECT_EQ(L"caf\u00e9", CodePageToWString("caf\xe9xyz", 4, 1252));
    EXPECT_EQ(L"abc", CodePageToWString("abc", 3, 65000));
    EXPECT_EQ(L"", CodePageToWString(nullptr, 0, 65001));
    EXPECT_EQ("caf\xc3\xa9", WStringToCodePage(L"caf\u00e9", 65001));
    EXPECT_EQ("caf\xe9", WStringToCodePage(L"caf\u00e9", 1252));
    EXPECT_EQ("caf?", WStringToCodePage(L"caf\u00e9", 65000));
}

TEST(RootEvaluator, StartsWithoutWithPrefixes)
{
    RootEvaluator root(nullptr);
    EXPECT_EQ(nullptr, root.Root());
    EXPECT_EQ(0u, root.WithDepth());
    EXPECT_EQ(L"", root.CurrentWithPrefix());
}

TEST(EvaluationErr, IsAWideExceptionWithItsText)
{
    try {
        throw EvaluationErr(L"bad \u00e9");
    } catch (const WException& e) {
        EXPECT_EQ(L"bad \u00e9", e.WideMessage().text);
    }
}

} // namespace
