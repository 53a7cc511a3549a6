#include "foundation/encoded_string.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

Utf8String Utf8Bytes(const std::string& bytes)
{
    return Utf8String(bytes);
}

TEST(Utf8StringTest, ValidityAndCharacterCount)
{
    struct Case {
        std::string bytes;
        bool valid;
        unsigned chars;
    };
    const Case cases[] = {
        {"", true, 0},
        {"abc", true, 3},
        {"\xC3\xA9", true, 1},
        {"\xC3", false, 0},
        {"\xE9\x41", false, 0},
        {"\xFC\x84\x80\x80\x80\x80", true, 1},
        {"a\xFE", false, 0},
        {"\xFF", false, 0},
        {"\xC0\x80", true, 1},           // overlong forms are accepted
        {"\xED\xA0\x80", true, 1},       // so are surrogate code points
        {"\x80", false, 0},              // a continuation cannot start a character
        {"\xE2\x82\xAC" "x", true, 2},
    };
    for (const Case& c : cases) {
        const Utf8String s = Utf8Bytes(c.bytes);
        EXPECT_EQ(s.IsValid(), c.valid) << c.bytes;
        EXPECT_EQ(s.CharCount(), c.chars) << c.bytes;
        EXPECT_EQ(s.ByteCount(), c.bytes.size());
        EXPECT_EQ(std::string(s.c_str()), c.valid ? c.bytes : std::string()) << c.bytes;
    }
    EXPECT_EQ(Utf8String().CodePage(), 65001u);
}

TEST(Utf8StringTest, LeadAndTrailLookAtOneByteAndCheckTheIndex)
{
    const Utf8String s = Utf8Bytes("a\xC3\xA9");
    EXPECT_FALSE(s.IsLeadAtIndex(0));
    EXPECT_TRUE(s.IsLeadAtIndex(1));
    EXPECT_TRUE(s.IsTrailAtIndex(2));
    EXPECT_TRUE(s.IsLeadAt(s.text.begin() + 1));
    EXPECT_TRUE(s.IsTrailAt(s.text.begin() + 2));
    EXPECT_THROW(s.IsLeadAtIndex(3), std::out_of_range);
    EXPECT_THROW(s.IsTrailAtIndex(3), std::out_of_range);
}

TEST(Utf7StringTest, HoldsSevenBitTextOnly)
{
    Utf7String s;
    EXPECT_TRUE(s.IsValid());
    s = "+AOk-";
    s += "x";
    EXPECT_TRUE(s.IsValid());
    EXPECT_EQ(s.CharCount(), 6u);
    EXPECT_EQ(s.CodePage(), 65000u);
    s = "\xE9";
    EXPECT_FALSE(s.IsValid());
    EXPECT_EQ(s.CharCount(), 0u);
    EXPECT_STREQ(s.c_str(), "");
}

TEST(CodePageStringTest, DoubleByteRulesInCodePage932)
{
    const CodePageString s("\x82\xA0\x41", -1, 932);
    EXPECT_TRUE(s.IsValid());
    EXPECT_EQ(s.CharCount(), 2u);
    EXPECT_TRUE(s.IsLeadAtIndex(0));
    EXPECT_FALSE(s.IsLeadAtIndex(1));
    EXPECT_TRUE(s.IsTrailAtIndex(1));
    EXPECT_FALSE(s.IsTrailAtIndex(0));
    EXPECT_FALSE(s.IsLeadAtIndex(2));
    EXPECT_FALSE(s.IsLeadAtIndex(99));
    EXPECT_TRUE(s.IsLeadAt(s.text.begin()));
    EXPECT_TRUE(s.IsTrailAt(s.text.begin() + 1));
    EXPECT_FALSE(s.IsTrailAt(s.text.begin()));
    EXPECT_FALSE(s.IsLeadAt(s.text.end()));

    const CodePageString lone("A\x82", -1, 932);
    EXPECT_FALSE(lone.IsValid());
    EXPECT_EQ(lone.CharCount(), 0u);
    EXPECT_STREQ(lone.c_str(), "");

    // A second byte is taken whatever its value: 81 81 pairs, the last 81 is alone.
    const CodePageString repeated("\x81\x81\x81", -1, 932);
    EXPECT_TRUE(repeated.IsLeadAtIndex(0));
    EXPECT_TRUE(repeated.IsTrailAtIndex(1));
    EXPECT_FALSE(repeated.IsLeadAtIndex(1));
    EXPECT_TRUE(repeated.IsLeadAtIndex(2));
    EXPECT_EQ(repeated.CharCount(), 0u);

    // 0x81-0x9F and 0xE0-0xFC, in the order the system reports them.
    const std::string& lead = s.LeadBytes();
    ASSERT_FALSE(lead.empty());
    EXPECT_EQ(static_cast<unsigned char>(lead.front()), 0x81);
    EXPECT_EQ(static_cast<unsigned char>(lead.back()), 0xFC);
    EXPECT_TRUE(s.IsLeadByte(0x9F));
    EXPECT_FALSE(s.IsLeadByte(0xA0));
    EXPECT_TRUE(s.IsLeadByte(0xE0));
}

TEST(CodePageStringTest, SingleByteAndUnknownCodePages)
{
    const CodePageString s("\x82\xA0\xFF", -1, 1252);
    EXPECT_TRUE(s.LeadBytes().empty());
    EXPECT_EQ(s.CharCount(), 3u);
    EXPECT_EQ(s.CodePage(), 1252u);
    // GetCPInfo fails: every byte is a character of its own.
    const CodePageString unknown("\x82\xA0", -1, 12345);
    EXPECT_TRUE(unknown.LeadBytes().empty());
    EXPECT_EQ(unknown.CharCount(), 2u);

    const CodePageString empty(932);
    EXPECT_TRUE(empty.IsValid());
    EXPECT_EQ(empty.CharCount(), 0u);
    EXPECT_STREQ(empty.c_str(), "");
}

TEST(CodePageStringTest, ConstructorsAndTextOnlyAssignment)
{
    EXPECT_EQ(CodePageString("abcdef", 3, 1252).text, "abc");
    EXPECT_EQ(CodePageString(std::string("abcdef"), 2, 3, 1252).text, "cde");
    EXPECT_EQ(CodePageString(std::string("abcdef"), 2, std::string::npos, 1252).text, "cdef");
    EXPECT_EQ(CodePageString(3, 'z', 1252).text, "zzz");

    CodePageString target(932);
    target = CodePageString("abc", -1, 1252);
    EXPECT_EQ(target.CodePage(), 932u);
    EXPECT_FALSE(target.LeadBytes().empty());
    EXPECT_EQ(target.text, "abc");
    target += "de";
    EXPECT_EQ(target.text, "abcde");
    target = Utf8Bytes("\xC3\xA9");
    EXPECT_EQ(target.CodePage(), 932u);

    const CodePageString copy(target);
    EXPECT_EQ(copy.CodePage(), 932u);
    EXPECT_EQ(copy.LeadBytes(), target.LeadBytes());
}

TEST(Utf16StringTest, SurrogatesAreUnitsOfTheirOwn)
{
    const Utf16String pair(L"\xD83D\xDE00", -1);
    EXPECT_EQ(pair.CharCount(), 2u);
    EXPECT_EQ(pair.ByteCount(), 4u);
    EXPECT_EQ(pair.CodePage(), 1200u);
    EXPECT_FALSE(pair.IsLeadAtIndex(0));
    EXPECT_EQ(Utf16String(L"abc", 2).text, L"ab");
    EXPECT_EQ(Utf16String(std::wstring(L"abcd"), 1, 2).text, L"bc");
    EXPECT_STREQ(Utf16String().c_str(), L"");
    Utf32String points;
    points.text = U"ab";
    EXPECT_EQ(points.ByteCount(), 8u);
    EXPECT_EQ(points.CodePage(), 65501u);
}

TEST(WipeTest, WipingKeepsTheLengthAndGuardsWipeOnlyWhenArmed)
{
    Utf8String narrow = Utf8Bytes("abc");
    Wipe(narrow);
    EXPECT_EQ(narrow.text, std::string(3, '\0'));
    EXPECT_EQ(narrow.c_str(), narrow.text.c_str());

    Utf16String wide(L"secret", -1);
    {
        SecureWipeGuard<wchar_t> guard(&wide, false);
    }
    EXPECT_EQ(wide.text, L"secret");
    {
        SecureWipeGuard<wchar_t> guard(&wide, true);
    }
    EXPECT_EQ(wide.text, std::wstring(6, L'\0'));
}

TEST(SecureCopyTest, AssignAppendAndRange)
{
    Utf16String target(L"old text", -1);
    Utf16String::SecureAssign(target, Utf16String(L"ab", -1));
    EXPECT_EQ(target.text, L"ab");
    Utf16String::SecureAppend(target, Utf16String(L"cdef", -1));
    EXPECT_EQ(target.text, L"abcdef");
    Utf16String::SecureAppend(target, target);
    EXPECT_EQ(target.text, L"abcdefabcdef");
    Utf16String::SecureAssignRange(target, Utf16String(L"0123456", -1), 2, 5);
    EXPECT_EQ(target.text, L"234");
    Utf16String::SecureAssign(target, target);
    EXPECT_EQ(target.text, L"234");
    Utf16String::SecureAssignRange(target, target, 1, 3);
    EXPECT_EQ(target.text, L"34");
    EXPECT_THROW(Utf16String::SecureAssignRange(target, Utf16String(L"01", -1), 1, 5), std::out_of_range);
}

} // namespace
