#include "foundation/text_wrapper.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

const Utf16String kCrLf(L"\r\n", -1);

std::wstring Wrap(const std::wstring& text, unsigned width, unsigned indent = 0, const Utf16String* sep = &kCrLf) {
    Utf16String out;
    WrapText(out, Utf16String(text), width, indent, sep);
    return out.text;
}

std::vector<std::wstring> Lines(const std::wstring& text, const std::wstring& sep = L"\r\n") {
    std::vector<std::wstring> lines;
    std::size_t start = 0;
    for (;;) {
        std::size_t at = text.find(sep, start);
        lines.push_back(text.substr(start, at == std::wstring::npos ? std::wstring::npos : at - start));
        if (at == std::wstring::npos) return lines;
        start = at + sep.size();
    }
}

TEST(WrapTextTest, LineEnds) {
    const Utf16String bar(L"|", -1);
    struct Case {
        std::wstring input;
        unsigned width;
        std::wstring expected;
    } cases[] = {
        {L"a\r\nb", 0, L"a  b"},
        {L"x\r\ny", 72, L"x|y"},
        {L"x\r\ry", 72, L"x||y"},
        {L"x\n\ry", 72, L"x|y"},
        {L"x\n\ny", 72, L"x||y"},
        {L"x\r\n\r\ny", 72, L"x||y"},
        {L"x\r\n", 72, L"x"},
        {L"", 72, L""},
        {L"", 0, L""},
    };
    for (const Case& c : cases) EXPECT_EQ(c.expected, Wrap(c.input, c.width, 0, &bar)) << c.input;
}

TEST(WrapTextTest, BreaksAtSpacesWithIndentAndSeparator) {
    std::wstring text;
    for (int i = 0; i < 70; ++i) text += (i ? L" " : L"") + std::wstring(L"w") + wchar_t(L'a' + i % 26) + L"rd";
    std::wstring out = Wrap(text, 72, 6);
    std::vector<std::wstring> lines = Lines(out);
    ASSERT_GT(lines.size(), 4u);
    std::wstring joined;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::wstring line = lines[i];
        if (i) {
            ASSERT_EQ(L"      ", line.substr(0, 6));
            line = line.substr(6);
        }
        EXPECT_LE(line.size(), 66u);
        EXPECT_NE(L' ', line.front());
        EXPECT_NE(L' ', line.back());
        joined += (i ? L" " : L"") + line;
    }
    EXPECT_EQ(text, joined);  // only the break spaces are gone
    EXPECT_EQ(64u, lines[0].size());  // 13 words of 4 letters and 12 spaces; a 14th would need 69
}

TEST(WrapTextTest, MinimumWidthAndHardBreaks) {
    const std::wstring longWord(200, L'x');
    // Widths up to 63 all mean 63 columns.
    EXPECT_EQ(Wrap(longWord, 1), Wrap(longWord, 63));
    std::vector<std::wstring> lines = Lines(Wrap(longWord, 63));
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ(63u, lines[0].size());
    EXPECT_EQ(11u, lines[3].size());
    EXPECT_EQ(64u, Lines(Wrap(longWord, 64))[0].size());

    // A space further back than 20 characters is not used: the word is cut at the limit.
    std::wstring text = std::wstring(30, L'a') + L" " + std::wstring(80, L'b');
    lines = Lines(Wrap(text, 63));
    EXPECT_EQ(63u, lines[0].size());
    EXPECT_EQ(text.substr(0, 63), lines[0]);
    // Within 20 characters it is.
    text = std::wstring(50, L'a') + L" " + std::wstring(40, L'b');
    lines = Lines(Wrap(text, 63));
    EXPECT_EQ(std::wstring(50, L'a'), lines[0]);
    EXPECT_EQ(std::wstring(40, L'b'), lines[1]);
    // Above 80 columns the reach is a quarter of the line: 25 for 100, where a space 22
    // characters back is used.
    text = std::wstring(78, L'a') + L" " + std::wstring(50, L'b');
    EXPECT_EQ(std::wstring(78, L'a'), Lines(Wrap(text, 100))[0]);
    EXPECT_EQ(63u, Lines(Wrap(text, 63))[0].size());
    text = std::wstring(60, L'a') + L" " + std::wstring(60, L'b');
    EXPECT_EQ(100u, Lines(Wrap(text, 100))[0].size());
}

TEST(WrapTextTest, TabsCountEightAndStartTheNextLine) {
    std::wstring text = std::wstring(60, L'a') + L"\tbbbb";
    std::vector<std::wstring> lines = Lines(Wrap(text, 63));
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(std::wstring(60, L'a'), lines[0]);
    EXPECT_EQ(L"\tbbbb", lines[1]);
}

TEST(WrapTextTest, AppendsAndSurvivesOddArguments) {
    Utf16String out(L"Label: ", -1);
    WrapText(out, Utf16String(std::wstring(L"one\ntwo")), 72, 4, &kCrLf);
    EXPECT_EQ(L"Label: one\r\n    two", out.text);

    // An indent as wide as the line leaves one column per line instead of wrapping round.
    const std::wstring lead = L"\r\n" + std::wstring(70, L' ');
    EXPECT_EQ(L"a" + lead + L"b" + lead + L"c", Wrap(L"ab\nc", 63, 70));
    EXPECT_EQ(L"a\r\n" + std::wstring(63, L' ') + L"b", Wrap(L"ab", 63, 63));
    // No separator: lines follow each other with their indent only.
    EXPECT_EQ(L"a  b", Wrap(L"a\nb", 72, 2, nullptr));
}

TEST(WrapTextTest, FoldsDigitsAndCompatibilityForms) {
    // Full-width and Arabic-Indic digits fold to ASCII; a ligature expands beyond the
    // 2n + 100 a fixed buffer would give.
    EXPECT_EQ(L"12", Wrap(L"\xFF11\x0662", 0));
    const std::wstring ligatures(200, L'\xFB03');
    std::wstring expected;
    for (int i = 0; i < 200; ++i) expected += L"ffi";
    EXPECT_EQ(expected, Wrap(ligatures, 0));
}

}  // namespace
