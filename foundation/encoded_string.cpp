#include "foundation/encoded_string.h"

#include <windows.h>

#include <stdexcept>

CodePageString::CodePageString(unsigned cp) : codePage(cp)
{
    BuildLeadByteTable();
}

CodePageString::CodePageString(const char* units, int count, unsigned cp) : codePage(cp)
{
    BuildLeadByteTable();
    if (!units)
        return;
    if (count < 0)
        text = units;
    else
        text.assign(units, static_cast<size_t>(count));
}

CodePageString::CodePageString(const std::string& source, size_t pos, size_t count, unsigned cp) : codePage(cp)
{
    BuildLeadByteTable();
    text = source.substr(pos, count);
}

CodePageString::CodePageString(size_t count, char unit, unsigned cp) : codePage(cp)
{
    BuildLeadByteTable();
    text.assign(count, unit);
}

void CodePageString::BuildLeadByteTable()
{
    leadBytes.clear();
    CPINFO info;
    if (!GetCPInfo(codePage, &info))
        return;
    for (int pair = 0; pair < MAX_LEADBYTES / 2; ++pair) {
        const unsigned low = info.LeadByte[2 * pair];
        const unsigned high = info.LeadByte[2 * pair + 1];
        if (low == 0 && high == 0)
            break;
        if (low == 0 || high == 0)
            continue;
        for (unsigned b = low; b <= high; ++b)
            leadBytes.push_back(static_cast<char>(b));
    }
}

bool CodePageString::IsLeadByte(unsigned char byte) const
{
    return leadBytes.find(static_cast<char>(byte)) != std::string::npos;
}

bool CodePageString::IsValid() const
{
    return text.empty() || CharCount() != 0;
}

unsigned CodePageString::CharCount() const
{
    unsigned count = 0;
    bool pending = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (pending) {
            ++count;
            pending = false;
        } else if (!IsLeadByte(static_cast<unsigned char>(text[i]))) {
            ++count;
        } else {
            pending = true;
            if (i + 1 == text.size())
                return 0;
        }
    }
    return count;
}

bool CodePageString::IsLeadAtIndex(const size_t& i) const
{
    if (i >= text.size())
        return false;
    bool secondNext = false;
    for (size_t k = 0; k < i; ++k)
        secondNext = IsLeadByte(static_cast<unsigned char>(text[k])) ? !secondNext : false;
    return !secondNext && IsLeadByte(static_cast<unsigned char>(text[i]));
}

bool CodePageString::IsLeadAt(const const_iterator& it) const
{
    const auto end = text.end();
    if (it >= end)
        return false;
    return IsLeadAtIndex(static_cast<size_t>(it - text.begin()));
}

bool CodePageString::IsTrailAt(const const_iterator& it) const
{
    if (it == text.begin())
        return false;
    return IsLeadAt(it - 1);
}

bool CodePageString::IsTrailAtIndex(const size_t& i) const
{
    if (i == 0)
        return false;
    return IsLeadAtIndex(i - 1);
}

CodePageString AnsiString(const std::string& text)
{
    return CodePageString(text, 0, std::string::npos, GetACP());
}

unsigned Utf8String::CharCount() const
{
    unsigned count = 0;
    unsigned pending = 0;
    for (char c : text) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (pending != 0) {
            if ((b & 0xC0) != 0x80)
                return 0;
            --pending;
        } else if ((b & 0x80) == 0) {
            ++count;
        } else {
            unsigned ones = 0;
            while (ones < 8 && (b & (0x80u >> ones)))
                ++ones;
            if (ones < 2 || ones > 6)
                return 0;
            ++count;
            pending = ones - 1;
        }
    }
    return pending != 0 ? 0 : count;
}

bool Utf7String::IsValid() const
{
    for (char c : text)
        if (static_cast<unsigned char>(c) & 0x80)
            return false;
    return true;
}

Utf16String::Utf16String(const wchar_t* units, int count)
{
    if (!units)
        return;
    if (count < 0)
        text = units;
    else
        text.assign(units, static_cast<size_t>(count));
}

namespace {

template <class U>
void WipeUnits(std::basic_string<U>& units)
{
    if (units.empty())
        return;
    // Volatile stores: the compiler may not drop them as dead before a free.
    volatile U* p = &units[0];
    for (size_t i = 0; i < units.size(); ++i)
        p[i] = U();
}

} // namespace

void Wipe(EncodedString<char>& s) { WipeUnits(s.text); }
void Wipe(EncodedString<wchar_t>& s) { WipeUnits(s.text); }
void Wipe(EncodedString<char32_t>& s) { WipeUnits(s.text); }

void Utf16String::SecureAssign(Utf16String& target, const Utf16String& source)
{
    if (&target == &source)
        return;
    // The old units are zero before any reallocation frees their buffer.
    Wipe(target);
    target.text.assign(source.text);
}

void Utf16String::SecureAppend(Utf16String& target, const Utf16String& source)
{
    // Appending a string to itself appends its old text, not the wiped one.
    const bool self = &target == &source;
    Utf16String temporary;
    SecureWipeGuard<wchar_t> wipeTemporary(&temporary, true);
    SecureAssign(temporary, target);
    const size_t addedLength = self ? temporary.text.size() : source.text.size();
    Wipe(target);
    target.text.clear();
    target.text.reserve(temporary.text.size() + addedLength);
    target.text.append(temporary.text);
    target.text.append(self ? temporary.text : source.text);
}

void Utf16String::SecureAssignRange(Utf16String& target, const Utf16String& source, size_t first, size_t last)
{
    if (first > last || last > source.text.size())
        throw std::out_of_range("Utf16String::SecureAssignRange");
    if (&target == &source) {
        Utf16String temporary;
        SecureWipeGuard<wchar_t> wipeTemporary(&temporary, true);
        SecureAssign(temporary, source);
        SecureAssignRange(target, temporary, first, last);
        return;
    }
    Wipe(target);
    target.text.assign(source.text, first, last - first);
}
