// Joining and splitting paths at a separator unit (callers pass the backslash). The
// code-page forms never take the second byte of a double-byte character for a separator.
#pragma once

#include <vector>

#include "foundation/encoded_string.h"

template <class S>
S EmptyPathString()
{
    return S();
}
// A new code-page string is in the ANSI code page.
template <>
CodePageString EmptyPathString<CodePageString>();

// Copying keeps the strings' classes; assigning copies the texts only.
template <class S>
struct PathPair {
    S directory;
    S file;
    PathPair() : directory(EmptyPathString<S>()), file(EmptyPathString<S>()) {}
};

// Exactly one separator at the seam when both sides are non-empty; an empty side gives
// the other side unchanged.
Utf16String PathJoin(const Utf16String& left, const Utf16String& right, wchar_t separator);
Utf8String PathJoin(const Utf8String& left, const Utf8String& right, char separator);
// The result is in the ANSI code page current at the call.
CodePageString PathJoin(const CodePageString& left, const CodePageString& right, char separator);
Utf16String PathJoin(const PathPair<Utf16String>& parts, wchar_t separator);
Utf8String PathJoin(const PathPair<Utf8String>& parts, char separator);
CodePageString PathJoin(const PathPair<CodePageString>& parts, char separator);

// (directory, file) at the last separator; trailing separators are ignored, except one
// at the very start. No separator: (path, empty).
PathPair<Utf16String> PathSplit(const Utf16String& path, wchar_t separator);
PathPair<Utf8String> PathSplit(const Utf8String& path, char separator);
PathPair<CodePageString> PathSplit(const CodePageString& path, char separator);

// Every component, empty ones between separators and at the start included; a trailing
// separator adds none.
std::vector<Utf16String> SplitPathComponents(const Utf16String& path, wchar_t separator);
Utf16String JoinPathComponents(const std::vector<Utf16String>& components, wchar_t separator);
