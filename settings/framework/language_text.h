// Text helpers of the settings language: its whitespace, the splitting of instructions and
// queries, and the readers of number, IPv4-address and quoted-string values. Everything
// here is pure; the readers report a malformed value through the message they return, which
// the evaluator throws.
#pragma once

#include <cstdint>
#include <string>

// The language's whitespace is exactly tab, LF, CR and space.
bool IsLanguageWhitespace(wchar_t c);
bool HasNoLeadingWhitespace(const std::wstring& text);
bool HasNoTrailingWhitespace(const std::wstring& text);
bool IsTrimmed(const std::wstring& text);
std::wstring TrimWhitespace(const std::wstring& text);
std::wstring TrimLeadingWhitespace(const std::wstring& text);

// before = the text in front of index (all of it for npos), after = the text behind index;
// returns the character at index, 0 for npos.
wchar_t SplitAtSeparator(const std::wstring& text, size_t index, std::wstring& before, std::wstring& after);

// The first character of set outside double-quoted parts (backslash escapes inside quotes
// are honoured), or npos.
size_t FindFirstOutsideQuotes(const std::wstring& text, const std::wstring& set);

// 'A' to 'Z' become 'a' to 'z'; every other code unit stays.
std::wstring LowerCaseAscii(const std::wstring& text);

// Ids of list entries: decimal digits only, 1 to 2^31-1; anything else gives 0.
std::uint32_t ParseEntryId(const std::wstring& text);

// A value that begins with '+' or a digit: a 32-bit number in decimal, octal (leading 0) or
// hex (0x), or a dotted IPv4 address. Returns the empty text on success, else the message.
std::wstring ReadNumberOrAddress(const std::wstring& text, bool& isAddress, std::uint32_t& number);

// A value that begins with a double quote: the quotes removed and the escapes decoded.
// Returns the empty text on success, else the message.
std::wstring ReadQuotedString(const std::wstring& text, std::wstring& value);

// A list instruction or query split at its first separator: head, the separator (0 when
// there is none) and rest. With '(' as separator, head loses its trailing whitespace and
// test is the trimmed text up to the first ')' outside quotes, rest what follows that ')'
// (the whole of rest is the test when there is no such ')'); otherwise test is empty.
struct ListTextParts {
    std::wstring head;
    wchar_t separator = 0;
    std::wstring rest;
    std::wstring test;
};
ListTextParts SplitListText(const std::wstring& text, const std::wstring& separators);
