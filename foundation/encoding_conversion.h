// Conversions between the encoded strings. Code pages go through the system
// (WideCharToMultiByte, MultiByteToWideChar) with UTF-16 as the hub; UTF-8 and UTF-32 use
// our own encoder and decoder. Every converter zeroes its target and temporaries first, so
// text that passed through leaves no copy in freed memory. Nothing here throws for bad
// input: an invalid source gives an empty result.
#pragma once

#include "foundation/encoded_string.h"

#include <string>

// defaultChar: one byte that replaces what the target cannot hold, or null ("?" for our own
// encoders, the system's default for a code page; always dropped for 65000 and 65001).
int ConvertUtf16ToCodePage(const Utf16String& source, EncodedString<char>& target, const char* defaultChar = nullptr);
int ConvertCodePageToUtf16(const EncodedString<char>& source, Utf16String& target);

void ConvertUtf32ToUtf8(const Utf32String& source, Utf8String& target, const char* defaultChar = nullptr);
void ConvertUtf8ToUtf32(const Utf8String& source, Utf32String& target);
void ConvertUtf16ToUtf32(const Utf16String& source, Utf32String& target);
void ConvertUtf32ToUtf16(const Utf32String& source, Utf16String& target, const char* defaultChar = nullptr);
void ConvertUtf8ToUtf7(const Utf8String& source, Utf7String& target, const char* defaultChar = nullptr);
void ConvertUtf7ToUtf8(const Utf7String& source, Utf8String& target);
void ConvertUtf16ToUtf8(const Utf16String& source, Utf8String& target);
void ConvertUtf8ToUtf16(const Utf8String& source, Utf16String& target, const char* defaultChar = nullptr);
void ConvertCodePageToUtf8(const CodePageString& source, Utf8String& target);
void ConvertUtf8ToCodePage(const Utf8String& source, EncodedString<char>& target, const char* defaultChar = nullptr);
void ConvertUtf32ToCodePage(const Utf32String& source, EncodedString<char>& target, const char* defaultChar = nullptr);
void ConvertCodePageToCodePage(const CodePageString& source, EncodedString<char>& target, const char* defaultChar = nullptr);
void ConvertUtf7ToCodePage(const Utf7String& source, EncodedString<char>& target, const char* defaultChar = nullptr);
void ConvertUtf16ToUtf7(const Utf16String& source, Utf7String& target, const char* defaultChar = nullptr);
void ConvertUtf32ToUtf7(const Utf32String& source, Utf7String& target, const char* defaultChar = nullptr);
void ConvertCodePageToUtf7(const CodePageString& source, Utf7String& target, const char* defaultChar = nullptr);
void ConvertCodePageToUtf32(const CodePageString& source, Utf32String& target);
void ConvertUtf7ToUtf32(const Utf7String& source, Utf32String& target);
void ConvertUtf7ToUtf16(const Utf7String& source, Utf16String& target);

Utf16String ToUtf16(const CodePageString& source);
Utf16String ToUtf16(const Utf8String& source);
Utf16String ToUtf16(const Utf7String& source);
CodePageString ToCodePage(const Utf16String& source, unsigned codePage);
CodePageString ToCodePage(const Utf8String& source, unsigned codePage);
CodePageString ToCodePage(const CodePageString& source, unsigned codePage);
CodePageString ToCodePage(const Utf7String& source, unsigned codePage);
CodePageString ToCodePage(const CodePageString& source);
Utf8String ToUtf8(const Utf16String& source);
Utf8String ToUtf8(const CodePageString& source);
Utf8String ToUtf8(const Utf7String& source);
Utf7String ToUtf7(const Utf16String& source);
Utf7String ToUtf7(const CodePageString& source);
Utf7String ToUtf7(const Utf8String& source);

// Exchanges the two bytes of every unit; the Z form stops at the terminating zero (null: nothing).
void SwapUtf16ByteOrder(std::wstring& units);
void SwapUtf16ByteOrderZ(wchar_t* units);

// UTF-8 std::string <-> UTF-16 std::wstring. Malformed UTF-8 gives an empty result;
// code points above 0xFFFF become "?".
std::string WideToUtf8(const std::wstring& text);
std::wstring Utf8ToWide(const std::string& text);
