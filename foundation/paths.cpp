#include "foundation/paths.h"

#include <windows.h>

template <>
CodePageString EmptyPathString<CodePageString>()
{
    return CodePageString(GetACP());
}

namespace {

// The seam rule shared by every form; leftEnds says whether left ends in a separator.
template <class Text, class Unit>
void AppendAtSeam(Text& result, bool leftEnds, const Text& right, Unit separator)
{
    if (result.empty() || right.empty()) {
        result += right;
        return;
    }
    const bool rightBegins = right[0] == separator;
    if (leftEnds && rightBegins)
        result.append(right, 1, Text::npos);
    else if (leftEnds || rightBegins)
        result += right;
    else {
        result += separator;
        result += right;
    }
}

template <class S, class Unit>
S JoinUnits(const S& left, const S& right, Unit separator)
{
    S result(left);
    AppendAtSeam(result.text, !left.empty() && left.text.back() == separator, right.text, separator);
    return result;
}

template <class S, class Unit>
PathPair<S> SplitUnits(const S& path, Unit separator)
{
    PathPair<S> parts;
    auto text = path.text;
    for (;;) {
        const size_t pos = text.rfind(separator);
        if (pos == decltype(text)::npos) {
            parts.directory.text = text;
            return parts;
        }
        if (pos != 0 && pos + 1 == text.size()) {
            text.pop_back();
            continue;
        }
        parts.directory.text = text.substr(0, pos);
        parts.file.text = text.substr(pos + 1);
        return parts;
    }
}

}  // namespace

Utf16String PathJoin(const Utf16String& left, const Utf16String& right, wchar_t separator)
{
    return JoinUnits(left, right, separator);
}

Utf8String PathJoin(const Utf8String& left, const Utf8String& right, char separator)
{
    return JoinUnits(left, right, separator);
}

CodePageString PathJoin(const CodePageString& left, const CodePageString& right, char separator)
{
    CodePageString result(left.text, 0, std::string::npos, GetACP());
    const size_t n = left.length();
    const bool leftEnds = n != 0 && left.text[n - 1] == separator && !left.IsTrailAtIndex(n - 1);
    AppendAtSeam(result.text, leftEnds, right.text, separator);
    return result;
}

Utf16String PathJoin(const PathPair<Utf16String>& parts, wchar_t separator)
{
    return PathJoin(parts.directory, parts.file, separator);
}

Utf8String PathJoin(const PathPair<Utf8String>& parts, char separator)
{
    return PathJoin(parts.directory, parts.file, separator);
}

CodePageString PathJoin(const PathPair<CodePageString>& parts, char separator)
{
    return PathJoin(parts.directory, parts.file, separator);
}

PathPair<Utf16String> PathSplit(const Utf16String& path, wchar_t separator)
{
    return SplitUnits(path, separator);
}

PathPair<Utf8String> PathSplit(const Utf8String& path, char separator)
{
    return SplitUnits(path, separator);
}

PathPair<CodePageString> PathSplit(const CodePageString& path, char separator)
{
    PathPair<CodePageString> parts;
    // The shortened path keeps the input's code page, so its double-byte characters are
    // still recognised after a trailing separator is dropped.
    CodePageString rest(path);
    for (;;) {
        size_t pos = rest.length();
        while (pos > 0 && (rest.text[pos - 1] != separator || rest.IsTrailAtIndex(pos - 1)))
            --pos;
        if (pos == 0) {
            parts.directory.text = rest.text;
            return parts;
        }
        --pos;  // the separator's index
        if (pos != 0 && pos + 1 == rest.length()) {
            rest.text.pop_back();
            continue;
        }
        parts.directory.text = rest.text.substr(0, pos);
        parts.file.text = rest.text.substr(pos + 1);
        return parts;
    }
}

std::vector<Utf16String> SplitPathComponents(const Utf16String& path, wchar_t separator)
{
    std::vector<Utf16String> components;
    const std::wstring& text = path.text;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::wstring::npos)
            end = text.size();
        components.push_back(Utf16String(text, start, end - start));
        start = end + 1;
    }
    return components;
}

Utf16String JoinPathComponents(const std::vector<Utf16String>& components, wchar_t separator)
{
    Utf16String result;
    for (size_t i = 0; i < components.size(); ++i) {
        if (i != 0)
            result.text += separator;
        result.text += components[i].text;
    }
    return result;
}
