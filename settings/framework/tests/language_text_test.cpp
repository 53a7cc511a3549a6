#include "settings/framework/language_text.h"

#include <gtest/gtest.h>

namespace {

TEST(LanguageText, WhitespaceIsTabLfCrAndSpaceOnly)
{
    EXPECT_TRUE(IsTrimmed(L""));
    EXPECT_TRUE(IsTrimmed(L"a b"));
    EXPECT_FALSE(IsTrimmed(L" a"));
    EXPECT_FALSE(IsTrimmed(L"a\r"));
    EXPECT_TRUE(IsTrimmed(L"\va\f"));  // vertical tab and form feed are not whitespace here
    EXPECT_EQ(TrimWhitespace(L"\t\r\n a b \n"), L"a b");
    EXPECT_EQ(TrimWhitespace(L" \t "), L"");
    EXPECT_EQ(TrimLeadingWhitespace(L" \ta "), L"a ");
}

TEST(LanguageText, SplitAtSeparator)
{
    std::wstring before, after;
    EXPECT_EQ(SplitAtSeparator(L"port 22", 4, before, after), L' ');
    EXPECT_EQ(before, L"port");
    EXPECT_EQ(after, L"22");
    EXPECT_EQ(SplitAtSeparator(L"binding.", 7, before, after), L'.');
    EXPECT_EQ(before, L"binding");
    EXPECT_EQ(after, L"");
    EXPECT_EQ(SplitAtSeparator(L"whole", std::wstring::npos, before, after), 0);
    EXPECT_EQ(before, L"whole");
    EXPECT_EQ(after, L"");
}

TEST(LanguageText, FindFirstOutsideQuotesSkipsQuotedTextAndEscapedQuotes)
{
    EXPECT_EQ(FindFirstOutsideQuotes(L"name eq \")\")x", L")"), 11u);
    EXPECT_EQ(FindFirstOutsideQuotes(L"name eq \"a\\\")\")", L")"), 14u);
    EXPECT_EQ(FindFirstOutsideQuotes(L"a\\)", L")"), 2u);  // a backslash outside quotes escapes nothing
    EXPECT_EQ(FindFirstOutsideQuotes(L"\"))", L")"), std::wstring::npos);
}

TEST(LanguageText, EntryIdsAreDecimalDigitsInRange)
{
    const struct {
        const wchar_t* text;
        std::uint32_t id;
    } cases[] = {
        {L"1", 1}, {L"007", 7}, {L"000000000000007", 7}, {L"00000000002147483647", 2147483647u},
        {L"2147483647", 2147483647u}, {L"2147483648", 0}, {L"4294967297", 0},
        {L"0", 0}, {L"", 0}, {L"7x", 0}, {L"+7", 0}, {L" 7", 0}, {L"0x7", 0}, {L"\x0663", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseEntryId(c.text), c.id) << c.text;
}

TEST(LanguageText, NumbersAndAddresses)
{
    const struct {
        const wchar_t* text;
        bool address;
        std::uint32_t number;
    } good[] = {
        {L"22", false, 22},           {L"+22", false, 22},        {L"0x16", false, 22},
        {L"0X16", false, 22},         {L"026", false, 22},        {L"0", false, 0},
        {L"4294967295", false, 0xFFFFFFFFu}, {L"0xffffffff", false, 0xFFFFFFFFu},
        {L"10.0.0.1", true, 0x0A000001u}, {L"0.0.0.0", true, 0},  {L"255.255.255.255", true, 0xFFFFFFFFu},
        {L"1. 2.3.4", true, 0x01020304u},
    };
    for (const auto& c : good) {
        bool isAddress = !c.address;
        std::uint32_t number = 12345;
        EXPECT_EQ(ReadNumberOrAddress(c.text, isAddress, number), L"") << c.text;
        EXPECT_EQ(isAddress, c.address) << c.text;
        EXPECT_EQ(number, c.number) << c.text;
    }
    const struct {
        const wchar_t* text;
        const wchar_t* message;
    } bad[] = {
        {L"08", L"RootEvaluator: invalid numeric expression '08'"},
        {L"4294967296", L"RootEvaluator: invalid numeric expression '4294967296'"},
        {L"0x100000000", L"RootEvaluator: invalid numeric expression '0x100000000'"},
        {L"+", L"RootEvaluator: invalid numeric expression '+'"},
        {L"0x", L"RootEvaluator: invalid numeric expression '0x'"},
        {L"12ab", L"RootEvaluator: invalid numeric expression '12ab'"},
        {L"256.1.1.1", L"RootEvaluator: invalid numeric expression '256.1.1.1'"},
        {L"10.1.1.256", L"RootEvaluator: invalid IP address '10.1.1.256'"},
        {L"10.1.-1.1", L"RootEvaluator: invalid IP address '10.1.-1.1'"},
        {L"10.1.1", L"RootEvaluator: invalid numeric expression or IP address '10.1.1'"},
        {L"10.1.1.1.1", L"RootEvaluator: invalid numeric expression or IP address '10.1.1.1.1'"},
        {L"10.1.1.1x", L"RootEvaluator: invalid numeric expression or IP address '10.1.1.1x'"},
    };
    for (const auto& c : bad) {
        bool isAddress = false;
        std::uint32_t number = 0;
        EXPECT_EQ(ReadNumberOrAddress(c.text, isAddress, number), c.message);
    }
}

TEST(LanguageText, QuotedStringsAndEscapes)
{
    const struct {
        const wchar_t* text;
        std::wstring value;
    } good[] = {
        {L"\"\"", L""},
        {L"\"a\\tb\"", L"a\tb"},
        {L"\"\\\"\\'\\\\\\a\\b\\f\\n\\r\\t\\v\"", L"\"'\\\a\b\f\n\r\t\v"},
        {L"\"\\x00e9\"", L"\x00e9"},
        {L"\"\\xFFFF\"", L"\xffff"},
        {L"\"\\101\"", L"A"},
        {L"\"\\777\"", std::wstring(1, static_cast<wchar_t>(511))},
        {L"\"\\0000\"", std::wstring(1, L'\0') + L"0"},
        {L"\"say \"hi\"\"", L"say \"hi\""},
    };
    for (const auto& c : good) {
        std::wstring value = L"unchanged";
        EXPECT_EQ(ReadQuotedString(c.text, value), L"") << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
    const struct {
        const wchar_t* text;
        const wchar_t* message;
    } bad[] = {
        {L"\"", L"RootEvaluator: unmatched quote in string expression '\"'"},
        {L"\"abc", L"RootEvaluator: unmatched quote in string expression '\"abc'"},
        {L"\"abc\\\"", L"RootEvaluator: invalid escape sequence in string expression 'abc\\' at position 3"},
        {L"\"a\\x12\"", L"RootEvaluator: invalid hexadecimal escape sequence in string expression 'a\\x12' at "
                        L"position 1 - must have four hexadecimal digits"},
        {L"\"\\x 123\"", L"RootEvaluator: invalid hexadecimal escape sequence in string expression '\\x 123' at "
                         L"position 0 - must have four hexadecimal digits"},
        {L"\"\\x0x12\"", L"RootEvaluator: invalid hexadecimal escape sequence in string expression '\\x0x12' at "
                         L"position 0 - must have four hexadecimal digits"},
        {L"\"ab\\12\"", L"RootEvaluator: invalid octal escape sequence in string expression 'ab\\12' at position 2 "
                        L"- must have three octal digits"},
        {L"\"\\18x\"", L"RootEvaluator: invalid octal escape sequence in string expression '\\18x' at position 0 - "
                       L"must have three octal digits"},
        {L"\"\\8\"", L"RootEvaluator: unrecognized escape sequence in expression '\\8' at position 0"},
        {L"\"ok\\q\"", L"RootEvaluator: unrecognized escape sequence in expression 'ok\\q' at position 2"},
    };
    for (const auto& c : bad) {
        std::wstring value = L"unchanged";
        EXPECT_EQ(ReadQuotedString(c.text, value), c.message);
        EXPECT_EQ(value, L"unchanged");
    }
}

}  // namespace
