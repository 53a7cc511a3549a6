#include "settings/framework/expression.h"

#include <algorithm>

#include <cryptopp/filters.h>
#include <cryptopp/hex.h>

#include "foundation/encoding_conversion.h"

void ExpressionResult::Clear()
{
    type = kNumber;
    reference = 0;
    number = 0;
    text.clear();
}

bool ExpressionResult::operator==(const ExpressionResult& other) const
{
    if (type != other.type)
        return false;
    switch (type) {
    case kNumber:
    case kIpAddress:
        return number == other.number;
    case kString:
    case kLiteral:
        return text == other.text;
    default:
        return false;
    }
}

void ExpressionResult::ToString(std::wstring& out, bool quoted) const
{
    switch (type) {
    case kNumber:
        out = UIntToWString(number, 10, 0);
        return;
    case kIpAddress:
        Ip4ToString(number, out);
        return;
    case kString:
        out = quoted ? QuoteWithEscapes(text) : text;
        return;
    case kLiteral:
        out = text;
        return;
    default:
        throw EvaluationErr(L"ExpressionResult::ToString(): unrecognized value type " +
                            UIntToWString(static_cast<std::uint32_t>(type), 10, 0));
    }
}

void RootEvaluator::ClearWithPrefixes()
{
    withPrefix_.clear();
    withEnds_.clear();
}

void Ip4ToString(std::uint32_t address, std::string& out)
{
    out.clear();
    for (int shift = 24; shift >= 0; shift -= 8) {
        if (shift != 24)
            out += '.';
        out += std::to_string((address >> shift) & 0xFF);
    }
}

void Ip4ToString(std::uint32_t address, std::wstring& out)
{
    std::string narrow;
    Ip4ToString(address, narrow);
    out.assign(narrow.begin(), narrow.end());
}

std::wstring QuoteWithEscapes(const std::wstring& text)
{
    std::wstring out;
    out.reserve(text.size() * 2 + 100);
    out += L'"';
    for (wchar_t c : text) {
        switch (c) {
        case L'\t': out += L"\\t"; break;
        case L'\n': out += L"\\n"; break;
        case L'\r': out += L"\\r"; break;
        case L'"': out += L"\\\""; break;
        case L'\\': out += L"\\\\"; break;
        default:
            if (static_cast<std::uint16_t>(c) > 127) {
                out += L"\\x";
                out += UIntToWString(static_cast<std::uint16_t>(c), 16, 4);
            } else {
                out += c;
            }
        }
    }
    out += L'"';
    return out;
}

std::wstring CodePageName(unsigned codePage)
{
    if (codePage == 65000)
        return L"UTF-7";
    if (codePage == 65001)
        return L"UTF-8";
    return L"code page " + UIntToWString(codePage, 10, 0);
}

std::wstring CodePageToWString(const char* bytes, int length, unsigned codePage)
{
    std::string units;
    if (bytes)
        units = length < 0 ? std::string(bytes) : std::string(bytes, static_cast<std::size_t>(length));
    Utf16String wide;
    if (codePage == 65000) {
        Utf7String source;
        source.text = units;
        wide = ToUtf16(source);
        Wipe(source);
    } else if (codePage == 65001) {
        Utf8String source(units);
        wide = ToUtf16(source);
        Wipe(source);
    } else {
        CodePageString source(units, 0, std::string::npos, codePage);
        wide = ToUtf16(source);
        Wipe(source);
    }
    std::fill(units.begin(), units.end(), '\0');
    return wide.text;
}

std::string WStringToCodePage(const std::wstring& text, unsigned codePage)
{
    Utf16String source(text);
    std::string result;
    if (codePage == 65000) {
        Utf7String converted = ToUtf7(source);
        result = converted.text;
        Wipe(converted);
    } else if (codePage == 65001) {
        Utf8String converted = ToUtf8(source);
        result = converted.text;
        Wipe(converted);
    } else {
        CodePageString converted = ToCodePage(source, codePage);
        result = converted.text;
        Wipe(converted);
    }
    Wipe(source);
    return result;
}

std::wstring BytesToHex(const unsigned char* bytes, std::size_t length)
{
    std::string hex;
    CryptoPP::StringSource(bytes, length, true, new CryptoPP::HexEncoder(new CryptoPP::StringSink(hex), true, 0));
    return std::wstring(hex.begin(), hex.end());
}

std::wstring UIntToWString(std::uint32_t value, unsigned base, unsigned width)
{
    if (base < 2 || base > 36)
        base = 10;
    wchar_t digits[33];
    int n = 0;
    do {
        std::uint32_t d = value % base;
        digits[n++] = static_cast<wchar_t>(d < 10 ? L'0' + d : L'a' + (d - 10));
        value /= base;
    } while (value != 0);
    std::wstring out;
    if (width > static_cast<unsigned>(n))
        out.assign(width - n, L'0');
    while (n > 0)
        out += digits[--n];
    return out;
}
