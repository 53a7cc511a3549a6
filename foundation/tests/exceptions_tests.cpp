#include "foundation/exceptions.h"

#include "foundation/encoding_conversion.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

TEST(ErrorTextTest, BuiltInTextsAndTheFallback)
{
    struct Case {
        DWORD code;
        std::string text;
    };
    const Case cases[] = {
        {5, "Access is denied."},
        {10024, "Too many open sockets."},
        {10035, "A non-blocking socket operation could not be completed immediately."},
        {11001, "No such host is known."},
        {7, "Error code 0x7 received."},
        {0, "Error code 0x0 received."},
        {43, "Error code 0x2b received."},
        {10051, "Error code 0x2743 received."},
        {0xC0000005u, "Error code 0xc0000005 received."},
    };
    for (const Case& c : cases)
        EXPECT_EQ(BuiltInErrorText(c.code), c.text) << c.code;
}

TEST(ErrorTextTest, TrailingLineBreaksAreRemoved)
{
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {"Done.\r\n", "Done."},
        {"Done.\r\n\r\n", "Done."},
        {"Done.\n\r\n\r", "Done."},
        {"\r\n", ""},
        {"a\r\nb", "a\r\nb"},
        {"", ""},
    };
    for (Case c : cases) {
        TrimTrailingLineBreaks(c.in);
        EXPECT_EQ(c.in, c.out);
    }
}

TEST(ErrorTextTest, SystemTextsComeWithoutLineBreaksAndEveryCodeHasOne)
{
    // Whatever the system's wording, no trailing line break is left and no code is textless.
    const DWORD codes[] = {2, 5, 87, 126, 127, 10061, 0xDEADBEEFu};
    for (DWORD code : codes) {
        const CodePageString text = OsErrorText(code);
        ASSERT_FALSE(text.empty()) << code;
        EXPECT_NE(text.text.back(), '\n');
        EXPECT_NE(text.text.back(), '\r');
        EXPECT_EQ(text.CodePage(), GetACP());
        EXPECT_EQ(SystemErrorText(code).text, text.text);
        EXPECT_EQ(WideSystemErrorText(code).text, ToUtf16(text).text);
    }
    EXPECT_EQ(OsErrorText(0xDEADBEEFu).text, "Error code 0xdeadbeef received.");
}

TEST(ErrorTextTest, OsErrorMessageFormat)
{
    EXPECT_EQ(FormatOsErrorMessage(5, AnsiString(BuiltInErrorText(5))).text, "OS error 5: Access is denied.");
    EXPECT_EQ(FormatOsErrorMessage(4294967295u, AnsiString("")).text, "OS error 4294967295");
    EXPECT_EQ(FormatOsErrorMessage(5, Utf16String(std::wstring(L"x"))).text, L"OS error 5: x");
    EXPECT_EQ(FormatOsErrorMessage(7, Utf16String()).text, L"OS error 7");
    const std::string message = OsErrorMessage(2).text;
    EXPECT_EQ(message, "OS error 2: " + OsErrorText(2).text);
    EXPECT_EQ(WideOsErrorMessage(2).text, ToUtf16(AnsiString(message)).text);
}

TEST(OsErrorExceptionTest, FormsAndCode)
{
    const OsErrorException plain(126);
    EXPECT_EQ(plain.errorCode, 126u);
    EXPECT_EQ(std::string(plain.what()), "OS error 126: " + OsErrorText(126).text);

    const OsErrorException narrow(AnsiString("OpenProcessToken()"), 0xDEADBEEFu);
    EXPECT_STREQ(narrow.what(), "OpenProcessToken() failed: OS error 3735928559: Error code 0xdeadbeef received.");
    const OsErrorException wide(Utf16String(std::wstring(L"Call()")), 0xDEADBEEFu);
    EXPECT_EQ(WideErrorText(wide).text, L"Call() failed: OS error 3735928559: Error code 0xdeadbeef received.");
    EXPECT_EQ(wide.errorCode, 0xDEADBEEFu);
}

TEST(TExceptionTest, PrimaryFormsAndLazyConversion)
{
    const WException wide(Utf16String(std::wstring(L"caf\x00E9")));
    EXPECT_EQ(NarrowErrorText(wide).text, "caf\xE9");
    EXPECT_STREQ(wide.what(), "caf\xE9");
    EXPECT_EQ(wide.NarrowMessage().CodePage(), GetACP());

    const AException narrow(CodePageString("\x82\xA0", -1, 932));
    EXPECT_EQ(WideErrorText(narrow).text, L"\x3042");
    EXPECT_EQ(NarrowErrorText(narrow).CodePage(), 932u);

    // An empty wide message converts to nothing, again on every call.
    const WException empty{Utf16String()};
    EXPECT_STREQ(empty.what(), "");
    EXPECT_STREQ(empty.what(), "");

    // A narrow form that is not valid in its code page prints as nothing but still converts.
    const AException lone(CodePageString("ab\x82", -1, 932));
    EXPECT_STREQ(lone.what(), "");
    EXPECT_FALSE(WideErrorText(lone).empty());
}

TEST(TExceptionTest, CatchingThroughTheFamilyAndCopiesKeepBothForms)
{
    try {
        throw WException(Utf16String(std::wstring(L"boom")));
    } catch (const TException& e) {
        EXPECT_STREQ(e.what(), "boom");
        const TException copy = e;  // after what(): the narrow form is already there
        EXPECT_EQ(copy.NarrowMessage().text, "boom");
        EXPECT_EQ(copy.WideMessage().text, L"boom");
    }
    try {
        throw AException(AnsiString("narrow"));
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "narrow");
    }
}

} // namespace
