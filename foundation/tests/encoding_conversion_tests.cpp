#include "foundation/encoding_conversion.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

Utf16String Wide(const std::wstring& units)
{
    return Utf16String(units);
}

Utf32String Points(const std::u32string& points)
{
    Utf32String s;
    s.text = points;
    return s;
}

TEST(OwnEncodingTest, Utf16ToUtf8AndBack)
{
    struct Case {
        std::wstring wide;
        std::string utf8;
    };
    const Case cases[] = {
        {L"", ""},
        {L"abc", "abc"},
        {L"\x00E9", "\xC3\xA9"},
        {L"\x20AC", "\xE2\x82\xAC"},
        {L"\xD800\xDC00", "\xED\xA0\x80\xED\xB0\x80"},  // units are never combined
        {L"a\x07FF\x0800\xFFFF", "a\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ToUtf8(Wide(c.wide)).text, c.utf8);
        EXPECT_EQ(ToUtf16(Utf8String(c.utf8)).text, c.wide);
        EXPECT_EQ(WideToUtf8(c.wide), c.utf8);
        EXPECT_EQ(Utf8ToWide(c.utf8), c.wide);
    }
}

TEST(OwnEncodingTest, Utf8ToUtf16ReplacesWhatUtf16CannotHold)
{
    EXPECT_EQ(ToUtf16(Utf8String(std::string("\xF0\x9F\x98\x80"))).text, L"?");
    EXPECT_EQ(Utf8ToWide("x\xF0\x9F\x98\x80"), L"x?");
    // Invalid UTF-8 gives nothing at all.
    EXPECT_EQ(ToUtf16(Utf8String(std::string("\xC3"))).text, L"");
    EXPECT_EQ(Utf8ToWide("ab\xE9"), L"");
    // The default character widens as a signed byte.
    Utf16String wide;
    const char def = '\xE9';
    ConvertUtf8ToUtf16(Utf8String(std::string("\xF0\x9F\x98\x80")), wide, &def);
    EXPECT_EQ(wide.text, std::wstring(1, static_cast<wchar_t>(0xFFE9)));
}

TEST(OwnEncodingTest, Utf32ToUtf8CoversSixByteFormsAndTheDefault)
{
    struct Case {
        char32_t point;
        std::string utf8;
    };
    const Case cases[] = {
        {0x7F, "\x7F"},
        {0x10FFFF, "\xF4\x8F\xBF\xBF"},
        {0x1FFFFF, "\xF7\xBF\xBF\xBF"},
        {0x200000, "\xF8\x88\x80\x80\x80"},
        {0x7FFFFFFF, "\xFD\xBF\xBF\xBF\xBF\xBF"},
        {0x80000000u, "?"},
    };
    for (const Case& c : cases) {
        Utf8String utf8;
        ConvertUtf32ToUtf8(Points(std::u32string(1, c.point)), utf8);
        EXPECT_EQ(utf8.text, c.utf8) << std::hex << static_cast<unsigned>(c.point);
        if (c.point < 0x80000000u) {
            Utf32String back;
            ConvertUtf8ToUtf32(utf8, back);
            EXPECT_EQ(back.text, std::u32string(1, c.point));
        }
    }
    Utf8String utf8;
    const char def = '#';
    ConvertUtf32ToUtf8(Points(U"a\x80000000"), utf8, &def);
    EXPECT_EQ(utf8.text, "a#");
    Utf32String points;
    ConvertUtf8ToUtf32(Utf8String(std::string("\xC3")), points);
    EXPECT_TRUE(points.text.empty());
}

TEST(OwnEncodingTest, SevenBitText)
{
    EXPECT_EQ(ToUtf7(Wide(L"a\x00E9" L"b")).text, "a?b");
    EXPECT_EQ(ToUtf7(Wide(L"\xD800\xDC00")).text, "??");
    Utf7String seven;
    const char def = '_';
    ConvertUtf8ToUtf7(Utf8String(std::string("x\xE2\x82\xAC")), seven, &def);
    EXPECT_EQ(seven.text, "x_");
    EXPECT_EQ(ToUtf7(Utf8String(std::string("\xC3"))).text, "");
    Utf7String plain;
    plain = "+AOk-";
    EXPECT_EQ(ToUtf8(plain).text, "+AOk-");
    EXPECT_EQ(ToUtf16(plain).text, L"+AOk-");
    plain = "\xE9";
    EXPECT_EQ(ToUtf16(plain).text, L"");
    EXPECT_EQ(ToUtf8(plain).text, "");
}

TEST(CodePageConversionTest, ToCodePageThroughTheSystem)
{
    struct Case {
        std::wstring wide;
        unsigned codePage;
        std::string bytes;
    };
    const Case cases[] = {
        {L"caf\x00E9", 1252, "caf\xE9"},
        {L"\x20AC", 1252, "\x80"},
        {L"a\x4E2D", 1252, "a?"},               // no mapping: the system's default character
        {L"\x00E9", 65001, "\xC3\xA9"},
        {L"\x00E9", 65000, "+AOk-"},
        {L"\x3042", 932, "\x82\xA0"},
        {L"", 1252, ""},
    };
    for (const Case& c : cases) {
        const CodePageString converted = ToCodePage(Wide(c.wide), c.codePage);
        EXPECT_EQ(converted.text, c.bytes) << c.codePage;
        EXPECT_EQ(converted.CodePage(), c.codePage);
    }
    CodePageString withDefault(1252);
    const char def = '#';
    EXPECT_EQ(ConvertUtf16ToCodePage(Wide(L"a\x4E2D"), withDefault, &def), 2);
    EXPECT_EQ(withDefault.text, "a#");
    // The system refuses a default character for UTF-7 and UTF-8; it is dropped.
    CodePageString utf8Page(65001);
    EXPECT_EQ(ConvertUtf16ToCodePage(Wide(L"\x4E2D"), utf8Page, &def), 3);
    EXPECT_EQ(utf8Page.text, "\xE4\xB8\xAD");
    CodePageString utf7Page(65000);
    EXPECT_GT(ConvertUtf16ToCodePage(Wide(L"\x4E2D"), utf7Page, &def), 0);
}

TEST(CodePageConversionTest, FromCodePagesThroughTheSystem)
{
    EXPECT_EQ(ToUtf16(CodePageString("caf\xE9\x80", -1, 1252)).text, L"caf\x00E9\x20AC");
    EXPECT_EQ(ToUtf16(CodePageString("\x82\xA0" "A", -1, 932)).text, L"\x3042" L"A");
    EXPECT_EQ(ToUtf8(CodePageString("\xE9", -1, 1252)).text, "\xC3\xA9");
    EXPECT_EQ(ToUtf7(CodePageString("a\xE9", -1, 1252)).text, "a?");
    // A lone lead byte goes to the system unchanged; the by-way-of-UTF-8 forms check first.
    EXPECT_FALSE(ToUtf16(CodePageString("A\x82", -1, 932)).text.empty());
    EXPECT_EQ(ToUtf8(CodePageString("A\x82", -1, 932)).text, "");
    Utf32String points;
    ConvertCodePageToUtf32(CodePageString("\xE9", -1, 1252), points);
    EXPECT_EQ(points.text, U"\x00E9");
}

TEST(CodePageConversionTest, CodePageToCodePage)
{
    // Its own code page: an exact copy, even of bytes that are not valid there.
    const CodePageString lone("A\x82", -1, 932);
    const CodePageString same = ToCodePage(lone, 932);
    EXPECT_EQ(same.text, lone.text);
    EXPECT_EQ(ToCodePage(lone).text, lone.text);
    EXPECT_EQ(ToCodePage(CodePageString("\x82\xA0", -1, 932), 65001).text, "\xE3\x81\x82");
    EXPECT_EQ(ToCodePage(CodePageString("\x82\xA0", -1, 932), 1252).text, "?");
    EXPECT_EQ(ToCodePage(Utf8String(std::string("\xC3\xA9")), 1252).text, "\xE9");
    EXPECT_EQ(ToCodePage(Utf8String(std::string("\xC3")), 1252).text, "");
    Utf7String seven;
    seven = "abc";
    EXPECT_EQ(ToCodePage(seven, 1252).text, "abc");
}

TEST(CodePageConversionTest, TargetsAreWipedFirst)
{
    Utf8String target(std::string("stale"));
    ConvertUtf16ToUtf8(Wide(L"x"), target);
    EXPECT_EQ(target.text, "x");
    Utf16String wideTarget(L"stale", -1);
    ConvertCodePageToUtf16(CodePageString(1252), wideTarget);
    // Nothing converted: the target is empty, not five zero units.
    EXPECT_EQ(wideTarget.text, L"");
    CodePageString narrowTarget("stale", -1, 1252);
    EXPECT_EQ(ConvertUtf16ToCodePage(Utf16String(), narrowTarget), 0);
    EXPECT_EQ(narrowTarget.text, "");
}

TEST(ByteOrderTest, SwapTwiceRestores)
{
    std::wstring text = L"a\x20AC";
    SwapUtf16ByteOrder(text);
    EXPECT_EQ(text, std::wstring(L"\x6100\xAC20"));
    SwapUtf16ByteOrder(text);
    EXPECT_EQ(text, L"a\x20AC");
    wchar_t z[] = L"\x0102\x0304";
    SwapUtf16ByteOrderZ(z);
    EXPECT_EQ(std::wstring(z), L"\x0201\x0403");
    SwapUtf16ByteOrderZ(nullptr);
}

} // namespace
