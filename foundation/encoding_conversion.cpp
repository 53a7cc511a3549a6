#include "foundation/encoding_conversion.h"

#include <windows.h>

#include <climits>

namespace {

// A temporary that is zeroed before it is freed, whichever way the scope ends.
template <class S>
struct WipedTemporary {
    S value;
    WipedTemporary() = default;
    WipedTemporary(const WipedTemporary&) = delete;
    WipedTemporary& operator=(const WipedTemporary&) = delete;
    ~WipedTemporary() { Wipe(value); }
};

template <class S>
void WipeAndClear(S& target)
{
    Wipe(target);
    target.text.clear();
}

const char* SystemDefaultFor(unsigned codePage, const char* defaultChar)
{
    // The system refuses a default character for UTF-7 and UTF-8.
    return (codePage == CP_UTF7 || codePage == CP_UTF8) ? nullptr : defaultChar;
}

char ReplacementByte(const char* defaultChar)
{
    return defaultChar ? *defaultChar : '?';
}

} // namespace

int ConvertUtf16ToCodePage(const Utf16String& source, EncodedString<char>& target, const char* defaultChar)
{
    Wipe(target);
    if (source.text.size() > static_cast<size_t>(INT_MAX))
        return 0;
    const UINT cp = target.CodePage();
    const char* def = SystemDefaultFor(cp, defaultChar);
    const int units = static_cast<int>(source.text.size());
    const int n = WideCharToMultiByte(cp, 0, source.text.data(), units, nullptr, 0, def, nullptr);
    if (n < 1) {
        // Nothing converted: no old length of zeros may pass for a text.
        target.text.clear();
        return n;
    }
    target.text.resize(static_cast<size_t>(n));
    return WideCharToMultiByte(cp, 0, source.text.data(), units, &target.text[0], n, def, nullptr);
}

int ConvertCodePageToUtf16(const EncodedString<char>& source, Utf16String& target)
{
    Wipe(target);
    if (source.text.size() > static_cast<size_t>(INT_MAX))
        return 0;
    const UINT cp = source.CodePage();
    const int bytes = static_cast<int>(source.text.size());
    const int n = MultiByteToWideChar(cp, 0, source.text.data(), bytes, nullptr, 0);
    if (n < 1) {
        target.text.clear();
        return n;
    }
    target.text.resize(static_cast<size_t>(n));
    return MultiByteToWideChar(cp, 0, source.text.data(), bytes, &target.text[0], n);
}

void ConvertUtf32ToUtf8(const Utf32String& source, Utf8String& target, const char* defaultChar)
{
    WipeAndClear(target);
    if (source.text.size() <= target.text.max_size() / 6)
        target.text.reserve(source.text.size() * 6);
    for (char32_t c : source.text) {
        if (c >= 0x80000000u) {
            target.text.push_back(ReplacementByte(defaultChar));
            continue;
        }
        if (c < 0x80) {
            target.text.push_back(static_cast<char>(c));
            continue;
        }
        const unsigned n = c < 0x800 ? 2 : c < 0x10000 ? 3 : c < 0x200000 ? 4 : c < 0x4000000 ? 5 : 6;
        const unsigned lead = (0xFFu << (8 - n)) & 0xFFu;
        target.text.push_back(static_cast<char>(lead | (c >> (6 * (n - 1)))));
        for (int k = static_cast<int>(n) - 2; k >= 0; --k)
            target.text.push_back(static_cast<char>(0x80u | ((c >> (6 * k)) & 0x3Fu)));
    }
}

void ConvertUtf8ToUtf32(const Utf8String& source, Utf32String& target)
{
    WipeAndClear(target);
    if (!source.IsValid())
        return;
    target.text.reserve(source.text.size());
    char32_t accumulator = 0;
    unsigned pending = 0;
    for (char c : source.text) {
        char32_t b = static_cast<unsigned char>(c);
        if (pending != 0) {
            --pending;
            accumulator |= (b & 0x3F) << (6 * pending);
            if (pending == 0)
                target.text.push_back(accumulator);
        } else if ((b & 0x80) == 0) {
            target.text.push_back(b);
        } else {
            unsigned ones = 0;
            while (ones < 8 && (b & (0x80u >> ones))) {
                b &= ~(0x80u >> ones);
                ++ones;
            }
            pending = ones - 1;
            accumulator = b << (6 * pending);
        }
    }
}

void ConvertUtf16ToUtf32(const Utf16String& source, Utf32String& target)
{
    Wipe(target);
    target.text.resize(source.text.size());
    for (size_t i = 0; i < source.text.size(); ++i)
        target.text[i] = static_cast<char16_t>(source.text[i]);
}

void ConvertUtf32ToUtf16(const Utf32String& source, Utf16String& target, const char* defaultChar)
{
    WipeAndClear(target);
    // The default byte widens as a signed byte, as a char does.
    const wchar_t replacement = defaultChar ? static_cast<wchar_t>(static_cast<signed char>(*defaultChar)) : L'?';
    target.text.reserve(source.text.size());
    for (char32_t c : source.text)
        target.text.push_back(c <= 0xFFFF ? static_cast<wchar_t>(c) : replacement);
}

void ConvertUtf8ToUtf7(const Utf8String& source, Utf7String& target, const char* defaultChar)
{
    WipeAndClear(target);
    if (!source.IsValid())
        return;
    for (char c : source.text) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (b < 0x80)
            target.text.push_back(c);
        else if ((b & 0xC0) == 0xC0)
            target.text.push_back(ReplacementByte(defaultChar));
    }
}

void ConvertUtf7ToUtf8(const Utf7String& source, Utf8String& target)
{
    WipeAndClear(target);
    if (!source.IsValid())
        return;
    target.text = source.text;
}

void ConvertUtf16ToUtf8(const Utf16String& source, Utf8String& target)
{
    WipeAndClear(target);
    WipedTemporary<Utf32String> points;
    ConvertUtf16ToUtf32(source, points.value);
    ConvertUtf32ToUtf8(points.value, target);
}

void ConvertUtf8ToUtf16(const Utf8String& source, Utf16String& target, const char* defaultChar)
{
    WipeAndClear(target);
    if (!source.IsValid())
        return;
    WipedTemporary<Utf32String> points;
    ConvertUtf8ToUtf32(source, points.value);
    ConvertUtf32ToUtf16(points.value, target, defaultChar);
}

void ConvertCodePageToUtf8(const CodePageString& source, Utf8String& target)
{
    WipeAndClear(target);
    if (!source.IsValid())
        return;
    WipedTemporary<Utf16String> wide;
    ConvertCodePageToUtf16(source, wide.value);
    ConvertUtf16ToUtf8(wide.value, target);
}

void ConvertUtf8ToCodePage(const Utf8String& source, EncodedString<char>& target, const char* defaultChar)
{
    WipeAndClear(target);
    if (!source.IsValid())
        return;
    WipedTemporary<Utf32String> points;
    ConvertUtf8ToUtf32(source, points.value);
    ConvertUtf32ToCodePage(points.value, target, defaultChar);
}

void ConvertUtf32ToCodePage(const Utf32String& source, EncodedString<char>& target, const char* defaultChar)
{
    WipeAndClear(target);
    WipedTemporary<Utf16String> wide;
    ConvertUtf32ToUtf16(source, wide.value, defaultChar);
    ConvertUtf16ToCodePage(wide.value, target, defaultChar);
}

void ConvertCodePageToCodePage(const CodePageString& source, EncodedString<char>& target, const char* defaultChar)
{
    WipedTemporary<Utf16String> wide;
    ConvertCodePageToUtf16(source, wide.value);
    ConvertUtf16ToCodePage(wide.value, target, defaultChar);
}

void ConvertUtf7ToCodePage(const Utf7String& source, EncodedString<char>& target, const char* defaultChar)
{
    WipedTemporary<Utf16String> wide;
    ConvertUtf7ToUtf16(source, wide.value);
    ConvertUtf16ToCodePage(wide.value, target, defaultChar);
}

void ConvertUtf16ToUtf7(const Utf16String& source, Utf7String& target, const char* defaultChar)
{
    WipedTemporary<Utf8String> utf8;
    ConvertUtf16ToUtf8(source, utf8.value);
    ConvertUtf8ToUtf7(utf8.value, target, defaultChar);
}

void ConvertUtf32ToUtf7(const Utf32String& source, Utf7String& target, const char* defaultChar)
{
    WipedTemporary<Utf8String> utf8;
    ConvertUtf32ToUtf8(source, utf8.value);
    ConvertUtf8ToUtf7(utf8.value, target, defaultChar);
}

void ConvertCodePageToUtf7(const CodePageString& source, Utf7String& target, const char* defaultChar)
{
    WipeAndClear(target);
    if (!source.IsValid())
        return;
    WipedTemporary<Utf8String> utf8;
    ConvertCodePageToUtf8(source, utf8.value);
    ConvertUtf8ToUtf7(utf8.value, target, defaultChar);
}

void ConvertCodePageToUtf32(const CodePageString& source, Utf32String& target)
{
    WipeAndClear(target);
    if (!source.IsValid())
        return;
    WipedTemporary<Utf16String> wide;
    ConvertCodePageToUtf16(source, wide.value);
    ConvertUtf16ToUtf32(wide.value, target);
}

void ConvertUtf7ToUtf32(const Utf7String& source, Utf32String& target)
{
    WipeAndClear(target);
    if (!source.IsValid())
        return;
    WipedTemporary<Utf8String> utf8;
    ConvertUtf7ToUtf8(source, utf8.value);
    ConvertUtf8ToUtf32(utf8.value, target);
}

void ConvertUtf7ToUtf16(const Utf7String& source, Utf16String& target)
{
    WipeAndClear(target);
    if (!source.IsValid())
        return;
    WipedTemporary<Utf8String> utf8;
    ConvertUtf7ToUtf8(source, utf8.value);
    ConvertUtf8ToUtf16(utf8.value, target);
}

namespace {

// A new string filled by a converter, without a default character.
template <class Target, class Source>
Target Converted(void (*convert)(const Source&, Target&), const Source& source)
{
    Target result;
    convert(source, result);
    return result;
}

template <class Target, class Source>
Target Converted(void (*convert)(const Source&, Target&, const char*), const Source& source)
{
    Target result;
    convert(source, result, nullptr);
    return result;
}

template <class Source>
CodePageString ConvertedToCodePage(void (*convert)(const Source&, EncodedString<char>&, const char*),
                                   const Source& source, unsigned codePage)
{
    CodePageString result(codePage);
    convert(source, result, nullptr);
    return result;
}

} // namespace

Utf16String ToUtf16(const CodePageString& source)
{
    Utf16String result;
    ConvertCodePageToUtf16(source, result);
    return result;
}

Utf16String ToUtf16(const Utf8String& source) { return Converted(ConvertUtf8ToUtf16, source); }
Utf16String ToUtf16(const Utf7String& source) { return Converted(ConvertUtf7ToUtf16, source); }

CodePageString ToCodePage(const Utf16String& source, unsigned codePage)
{
    CodePageString result(codePage);
    ConvertUtf16ToCodePage(source, result);
    return result;
}

CodePageString ToCodePage(const Utf8String& source, unsigned codePage)
{
    return ConvertedToCodePage(ConvertUtf8ToCodePage, source, codePage);
}

CodePageString ToCodePage(const CodePageString& source, unsigned codePage)
{
    if (codePage == source.CodePage())
        return source;
    return ConvertedToCodePage(ConvertCodePageToCodePage, source, codePage);
}

CodePageString ToCodePage(const Utf7String& source, unsigned codePage)
{
    return ConvertedToCodePage(ConvertUtf7ToCodePage, source, codePage);
}

CodePageString ToCodePage(const CodePageString& source)
{
    return source;
}

Utf8String ToUtf8(const Utf16String& source) { return Converted(ConvertUtf16ToUtf8, source); }
Utf8String ToUtf8(const CodePageString& source) { return Converted(ConvertCodePageToUtf8, source); }
Utf8String ToUtf8(const Utf7String& source) { return Converted(ConvertUtf7ToUtf8, source); }
Utf7String ToUtf7(const Utf16String& source) { return Converted(ConvertUtf16ToUtf7, source); }
Utf7String ToUtf7(const CodePageString& source) { return Converted(ConvertCodePageToUtf7, source); }
Utf7String ToUtf7(const Utf8String& source) { return Converted(ConvertUtf8ToUtf7, source); }

void SwapUtf16ByteOrder(std::wstring& units)
{
    for (wchar_t& u : units)
        u = static_cast<wchar_t>(((u & 0xFF) << 8) | ((u >> 8) & 0xFF));
}

void SwapUtf16ByteOrderZ(wchar_t* units)
{
    if (!units)
        return;
    for (; *units; ++units)
        *units = static_cast<wchar_t>(((*units & 0xFF) << 8) | ((*units >> 8) & 0xFF));
}

std::string WideToUtf8(const std::wstring& text)
{
    return ToUtf8(Utf16String(text)).text;
}

std::wstring Utf8ToWide(const std::string& text)
{
    return ToUtf16(Utf8String(text)).text;
}
