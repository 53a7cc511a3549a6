#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/paths.h"
#include "foundation/text_helpers.h"

namespace {

TEST(FormatIntegerTest, BasesWidthsAndSigns)
{
    EXPECT_EQ("0000001f", FormatInteger<DWORD>(0x1F, 16, 8));
    EXPECT_EQ("c0000005", FormatInteger<DWORD>(0xC0000005, 16, 8));
    EXPECT_EQ("-2147221164", FormatInteger<long>(-2147221164L, 10, 0));
    EXPECT_EQ("005", FormatInteger<long>(5, 10, 3));
    EXPECT_EQ("00-5", FormatInteger<long>(-5, 10, 4));
    EXPECT_EQ("ffffffff", FormatInteger<long>(-1, 16, 0));
    EXPECT_EQ("37777777777", FormatInteger<int>(-1, 8, 0));
    EXPECT_EQ("17", FormatInteger<unsigned>(15, 8, 0));
    EXPECT_EQ("10", FormatInteger<unsigned>(10, 2, 0));  // unsupported base: decimal
    EXPECT_EQ("12345", FormatInteger<unsigned>(12345, 10, 3));
    EXPECT_EQ("0", FormatInteger<int>(0, 10, 0));
    EXPECT_EQ("65", FormatInteger<unsigned char>(65, 10, 0));
}

TEST(ToUpperAsciiTest, ChangesOnlyAsciiLetters)
{
    EXPECT_EQ("ABCXYZ09", ToUpperAscii("abcXYZ09"));
    EXPECT_EQ("\xe9" "A{`@", ToUpperAscii("\xe9" "a{`@"));
    EXPECT_EQ("", ToUpperAscii(""));
    EXPECT_EQ(std::string("A\0B", 3), ToUpperAscii(std::string("a\0b", 3)));
}

Utf16String W(const wchar_t* s) { return Utf16String(s, -1); }
Utf8String U8(const char* s) { return Utf8String(s); }
CodePageString Cp(const char* s, unsigned codePage) { return CodePageString(s, -1, codePage); }

TEST(PathJoinTest, OneSeparatorAtTheSeam)
{
    const struct {
        const wchar_t *left, *right, *joined;
    } cases[] = {
        {L"D:\\dir", L"file.txt", L"D:\\dir\\file.txt"},
        {L"D:\\dir\\", L"file.txt", L"D:\\dir\\file.txt"},
        {L"D:\\dir", L"\\file.txt", L"D:\\dir\\file.txt"},
        {L"D:\\dir\\", L"\\file.txt", L"D:\\dir\\file.txt"},
        {L"a\\\\", L"\\b", L"a\\\\b"},
        {L"", L"\\b", L"\\b"},
        {L"a\\", L"", L"a\\"},
        {L"", L"", L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.joined, PathJoin(W(c.left), W(c.right), L'\\').text) << c.left << " + " << c.right;
        const std::string narrowLeft(c.left, c.left + wcslen(c.left));
        const std::string narrowRight(c.right, c.right + wcslen(c.right));
        const std::string narrowJoined(c.joined, c.joined + wcslen(c.joined));
        EXPECT_EQ(narrowJoined, PathJoin(U8(narrowLeft.c_str()), U8(narrowRight.c_str()), '\\').text);
        const CodePageString joined = PathJoin(Cp(narrowLeft.c_str(), 1252), Cp(narrowRight.c_str(), 1252), '\\');
        EXPECT_EQ(narrowJoined, joined.text);
    }

    PathPair<Utf16String> pair;
    pair.directory = W(L"C:\\x");
    pair.file = W(L"y");
    EXPECT_EQ(L"C:\\x\\y", PathJoin(pair, L'\\').text);
}

TEST(PathJoinTest, DoubleByteAndUtf8Seams)
{
    // In code page 932 "\x95\x5c" is one character whose second byte has the backslash's value.
    const CodePageString joined = PathJoin(Cp("D:\\\x95\x5c", 932), Cp("x", 932), '\\');
    EXPECT_EQ("D:\\\x95\x5c\\x", joined.text);
    EXPECT_EQ(GetACP(), joined.CodePage());
    EXPECT_EQ("D:\\\x95\x5c\\x", PathJoin(Cp("D:\\\x95\x5c\\", 932), Cp("x", 932), '\\').text);

    EXPECT_EQ("d\xc3\xa9\\x", PathJoin(U8("d\xc3\xa9\\"), U8("x"), '\\').text);
}

TEST(PathSplitTest, SplitsAtTheLastSeparator)
{
    const struct {
        const wchar_t *path, *directory, *file;
    } cases[] = {
        {L"D:\\dir\\file.txt", L"D:\\dir", L"file.txt"},
        {L"file.txt", L"file.txt", L""},
        {L"\\file", L"", L"file"},
        {L"D:\\", L"D:", L""},
        {L"D:\\dir\\\\", L"D:", L"dir"},
        {L"\\", L"", L""},
        {L"", L"", L""},
    };
    for (const auto& c : cases) {
        PathPair<Utf16String> parts = PathSplit(W(c.path), L'\\');
        EXPECT_EQ(c.directory, parts.directory.text) << c.path;
        EXPECT_EQ(c.file, parts.file.text) << c.path;
        const std::string narrow(c.path, c.path + wcslen(c.path));
        PathPair<Utf8String> u8 = PathSplit(U8(narrow.c_str()), '\\');
        EXPECT_EQ(std::string(c.directory, c.directory + wcslen(c.directory)), u8.directory.text);
        PathPair<CodePageString> cp = PathSplit(Cp(narrow.c_str(), 1252), '\\');
        EXPECT_EQ(std::string(c.file, c.file + wcslen(c.file)), cp.file.text);
    }
}

TEST(PathSplitTest, SkipsSecondBytesOfDoubleByteCharacters)
{
    PathPair<CodePageString> parts = PathSplit(Cp("D:\\dir\\\x95\x5c", 932), '\\');
    EXPECT_EQ("D:\\dir", parts.directory.text);
    EXPECT_EQ("\x95\x5c", parts.file.text);
    EXPECT_EQ(GetACP(), parts.directory.CodePage());

    // After a trailing separator is dropped the rest is still read as code page 932.
    parts = PathSplit(Cp("a\\\x95\x5c\\", 932), '\\');
    EXPECT_EQ("a", parts.directory.text);
    EXPECT_EQ("\x95\x5c", parts.file.text);

    parts = PathSplit(Cp("\x95\x5c", 932), '\\');
    EXPECT_EQ("\x95\x5c", parts.directory.text);
    EXPECT_EQ("", parts.file.text);
}

TEST(PathComponentsTest, SplitAndJoin)
{
    std::vector<Utf16String> parts = SplitPathComponents(W(L"\\a\\\\b\\"), L'\\');
    ASSERT_EQ(4u, parts.size());
    EXPECT_EQ(L"", parts[0].text);
    EXPECT_EQ(L"a", parts[1].text);
    EXPECT_EQ(L"", parts[2].text);
    EXPECT_EQ(L"b", parts[3].text);
    EXPECT_EQ(L"\\a\\\\b", JoinPathComponents(parts, L'\\').text);
    EXPECT_TRUE(SplitPathComponents(W(L""), L'\\').empty());
    EXPECT_EQ(L"", JoinPathComponents({}, L'\\').text);
    EXPECT_EQ(1u, SplitPathComponents(W(L"C:"), L'\\').size());
}

}  // namespace
