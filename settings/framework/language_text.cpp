#include "settings/framework/language_text.h"

namespace {

const std::wstring kWhitespace = L"\t\n\r ";

bool IsDecimalDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

int HexDigitValue(wchar_t c)
{
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// Reads an unsigned number in base 8, 10 or 16 from pos; stops at the first character that
// is not a digit of the base. False when no digit was read or the value needs more than 32
// bits (such a value is refused rather than clamped).
bool ReadDigits(const std::wstring& text, size_t& pos, unsigned base, std::uint32_t& value)
{
    std::uint64_t v = 0;
    size_t start = pos;
    for (; pos < text.size(); ++pos) {
        int d = HexDigitValue(text[pos]);
        if (d < 0 || static_cast<unsigned>(d) >= base) break;
        v = v * base + static_cast<unsigned>(d);
        if (v > 0xFFFFFFFFu) return false;
    }
    value = static_cast<std::uint32_t>(v);
    return pos > start;
}

// One "%u" of the address scan: blanks skipped, an optional sign, decimal digits. A minus
// negates in 32 bits, so that only "-0" stays a valid octet.
bool ScanOctet(const std::wstring& text, size_t& pos, std::uint32_t& value)
{
    while (pos < text.size() && (IsLanguageWhitespace(text[pos]) || text[pos] == L'\v' || text[pos] == L'\f')) ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == L'+' || text[pos] == L'-')) negative = text[pos++] == L'-';
    size_t start = pos;
    std::uint64_t v = 0;
    while (pos < text.size() && IsDecimalDigit(text[pos])) {
        if (v <= 0xFFFFFFFFu) v = v * 10 + static_cast<unsigned>(text[pos] - L'0');
        ++pos;
    }
    if (pos == start) return false;
    if (v > 0xFFFFFFFFu) v = 0xFFFFFFFFu;
    value = negative ? static_cast<std::uint32_t>(0u - static_cast<std::uint32_t>(v)) : static_cast<std::uint32_t>(v);
    return true;
}

}  // namespace

bool IsLanguageWhitespace(wchar_t c) { return c == L'\t' || c == L'\n' || c == L'\r' || c == L' '; }

bool HasNoLeadingWhitespace(const std::wstring& text) { return text.empty() || !IsLanguageWhitespace(text.front()); }

bool HasNoTrailingWhitespace(const std::wstring& text) { return text.empty() || !IsLanguageWhitespace(text.back()); }

bool IsTrimmed(const std::wstring& text) { return HasNoLeadingWhitespace(text) && HasNoTrailingWhitespace(text); }

std::wstring TrimWhitespace(const std::wstring& text)
{
    size_t first = text.find_first_not_of(kWhitespace);
    if (first == std::wstring::npos) return std::wstring();
    size_t last = text.find_last_not_of(kWhitespace);
    return text.substr(first, last - first + 1);
}

std::wstring TrimLeadingWhitespace(const std::wstring& text)
{
    size_t first = text.find_first_not_of(kWhitespace);
    return first == std::wstring::npos ? std::wstring() : text.substr(first);
}

wchar_t SplitAtSeparator(const std::wstring& text, size_t index, std::wstring& before, std::wstring& after)
{
    if (index == std::wstring::npos || index >= text.size()) {
        before = text;
        after.clear();
        return 0;
    }
    wchar_t separator = text[index];
    before = text.substr(0, index);
    after = text.substr(index + 1);
    return separator;
}

size_t FindFirstOutsideQuotes(const std::wstring& text, const std::wstring& set)
{
    bool inQuotes = false;
    bool escaped = false;
    for (size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        if (!inQuotes) {
            if (c == L'"') inQuotes = true;
            else if (set.find(c) != std::wstring::npos) return i;
        } else if (escaped) {
            escaped = false;
        } else if (c == L'\\') {
            escaped = true;
        } else if (c == L'"') {
            inQuotes = false;
        }
    }
    return std::wstring::npos;
}

std::wstring LowerCaseAscii(const std::wstring& text)
{
    std::wstring lower(text);
    for (wchar_t& c : lower) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return lower;
}

std::uint32_t ParseEntryId(const std::wstring& text)
{
    if (text.empty()) return 0;
    // Leading zeros are digits like any other ("007" is 7), so the length alone says nothing.
    std::uint64_t id = 0;
    for (wchar_t c : text) {
        if (!IsDecimalDigit(c)) return 0;
        id = id * 10 + static_cast<unsigned>(c - L'0');
        if (id > 0x7FFFFFFFu) return 0;
    }
    return static_cast<std::uint32_t>(id);
}

std::wstring ReadNumberOrAddress(const std::wstring& text, bool& isAddress, std::uint32_t& number)
{
    const std::wstring invalidNumber = L"RootEvaluator: invalid numeric expression '" + text + L"'";
    isAddress = false;
    size_t pos = 0;
    if (pos < text.size() && text[pos] == L'+') ++pos;
    unsigned base = 10;
    if (pos < text.size() && text[pos] == L'0') {
        // "0x" counts as a prefix only when a hex digit follows; "0" alone is octal zero.
        if (pos + 2 < text.size() && (text[pos + 1] == L'x' || text[pos + 1] == L'X') &&
            HexDigitValue(text[pos + 2]) >= 0) {
            base = 16;
            pos += 2;
        } else {
            base = 8;
        }
    }
    std::uint32_t value = 0;
    if (!ReadDigits(text, pos, base, value)) return invalidNumber;
    if (pos == text.size()) {
        number = value;
        return std::wstring();
    }
    if (text[pos] != L'.' || value > 255) return invalidNumber;

    // The rest must be ".%u.%u.%u" and nothing more.
    std::uint32_t octets[3];
    bool scanned = true;
    for (std::uint32_t& octet : octets) {
        scanned = scanned && pos < text.size() && text[pos] == L'.';
        if (scanned) ++pos;
        scanned = scanned && ScanOctet(text, pos, octet);
    }
    if (!scanned || pos != text.size())
        return L"RootEvaluator: invalid numeric expression or IP address '" + text + L"'";
    for (std::uint32_t octet : octets) {
        if (octet > 255) return L"RootEvaluator: invalid IP address '" + text + L"'";
    }
    isAddress = true;
    number = value << 24 | octets[0] << 16 | octets[1] << 8 | octets[2];
    return std::wstring();
}

std::wstring ReadQuotedString(const std::wstring& text, std::wstring& value)
{
    if (text.size() < 2 || text.front() != L'"' || text.back() != L'"')
        return L"RootEvaluator: unmatched quote in string expression '" + text + L"'";
    const std::wstring inner = text.substr(1, text.size() - 2);
    std::wstring out;
    out.reserve(inner.size());
    size_t pos = 0;
    while (pos < inner.size()) {
        size_t backslash = inner.find(L'\\', pos);
        if (backslash == std::wstring::npos) {
            out.append(inner, pos, std::wstring::npos);
            break;
        }
        out.append(inner, pos, backslash - pos);
        const std::wstring at = L"' at position " + std::to_wstring(backslash);
        if (backslash + 1 >= inner.size())
            return L"RootEvaluator: invalid escape sequence in string expression '" + inner + at;
        wchar_t c = inner[backslash + 1];
        pos = backslash + 2;
        switch (c) {
        case L'"': out += L'"'; break;
        case L'\'': out += L'\''; break;
        case L'\\': out += L'\\'; break;
        case L'a': out += L'\a'; break;
        case L'b': out += L'\b'; break;
        case L'f': out += L'\f'; break;
        case L'n': out += L'\n'; break;
        case L'r': out += L'\r'; break;
        case L't': out += L'\t'; break;
        case L'v': out += L'\v'; break;
        case L'x': {
            // Exactly four hexadecimal digits: no blanks, signs or "0x" inside them.
            unsigned unit = 0;
            bool ok = pos + 4 <= inner.size();
            for (size_t k = 0; ok && k < 4; ++k) {
                int d = HexDigitValue(inner[pos + k]);
                ok = d >= 0;
                unit = unit * 16 + static_cast<unsigned>(d);
            }
            if (!ok) {
                return L"RootEvaluator: invalid hexadecimal escape sequence in string expression '" + inner + at +
                       L" - must have four hexadecimal digits";
            }
            out += static_cast<wchar_t>(unit);
            pos += 4;
            break;
        }
        default:
            if (c >= L'0' && c <= L'7') {
                unsigned unit = 0;
                size_t k = backslash + 1;
                for (; k < inner.size() && k < backslash + 4 && inner[k] >= L'0' && inner[k] <= L'7'; ++k)
                    unit = unit * 8 + static_cast<unsigned>(inner[k] - L'0');
                if (k != backslash + 4) {
                    return L"RootEvaluator: invalid octal escape sequence in string expression '" + inner + at +
                           L" - must have three octal digits";
                }
                out += static_cast<wchar_t>(unit);
                pos = k;
            } else {
                return L"RootEvaluator: unrecognized escape sequence in expression '" + inner + at;
            }
        }
    }
    value = out;
    return std::wstring();
}

ListTextParts SplitListText(const std::wstring& text, const std::wstring& separators)
{
    ListTextParts parts;
    parts.separator = SplitAtSeparator(text, text.find_first_of(separators), parts.head, parts.rest);
    if (parts.separator == L'(') {
        size_t last = parts.head.find_last_not_of(kWhitespace);
        parts.head.erase(last == std::wstring::npos ? 0 : last + 1);
        size_t close = FindFirstOutsideQuotes(parts.rest, L")");
        if (close == std::wstring::npos) {
            parts.test = parts.rest;
            parts.rest.clear();
        } else {
            parts.test = parts.rest.substr(0, close);
            parts.rest.erase(0, close + 1);
        }
        parts.test = TrimWhitespace(parts.test);
    }
    return parts;
}
