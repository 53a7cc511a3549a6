// Strings that carry their encoding: a standard string of code units plus the virtual
// operations that know the encoding (validity, code page, multi-unit characters, counts).
// They convert nothing themselves; see encoding_conversion.h.
#pragma once

#include <string>

static_assert(sizeof(wchar_t) == 2, "UTF-16 strings use the Windows 16-bit wchar_t");
static_assert(sizeof(char32_t) == 4, "code points are 32-bit");

template <class U>
class EncodedString {
public:
    using unit_type = U;
    using string_type = std::basic_string<U>;
    using const_iterator = typename string_type::const_iterator;

    string_type text;

    EncodedString() = default;
    explicit EncodedString(string_type units) : text(std::move(units)) {}
    EncodedString(const EncodedString&) = default;
    // Assignment replaces the text only: a target keeps its class and code page.
    EncodedString& operator=(const EncodedString& other)
    {
        text = other.text;
        return *this;
    }
    virtual ~EncodedString() = default;

    virtual bool IsValid() const { return true; }
    virtual unsigned CodePage() const { return 0; }
    virtual bool IsLeadAt(const const_iterator&) const { return false; }
    virtual bool IsLeadAtIndex(const size_t&) const { return false; }
    virtual bool IsTrailAt(const const_iterator&) const { return false; }
    virtual bool IsTrailAtIndex(const size_t&) const { return false; }
    virtual unsigned ByteCount() const { return static_cast<unsigned>(text.size() * sizeof(U)); }
    virtual unsigned CharCount() const { return static_cast<unsigned>(text.size()); }
    // Never null: an empty or invalid string gives an empty text.
    virtual const U* c_str() const
    {
        static const U empty[1] = {U()};
        return (!text.empty() && IsValid()) ? text.c_str() : empty;
    }

    size_t length() const { return text.size(); }
    bool empty() const { return text.empty(); }
};

// Narrow assignment from a zero-terminated text and appending one; the target keeps its class.
template <class S>
S& AssignText(S& target, const char* units)
{
    target.text = units ? units : "";
    return target;
}

class CodePageString : public EncodedString<char> {
public:
    explicit CodePageString(unsigned codePage);
    // count -1: up to the terminating zero.
    CodePageString(const char* units, int count, unsigned codePage);
    // count -1 (npos): to the end.
    CodePageString(const std::string& source, size_t pos, size_t count, unsigned codePage);
    CodePageString(size_t count, char unit, unsigned codePage);
    CodePageString(const CodePageString& other) = default;
    CodePageString& operator=(const EncodedString<char>& other)
    {
        text = other.text;
        return *this;
    }
    CodePageString& operator=(const CodePageString& other)
    {
        text = other.text;
        return *this;
    }
    CodePageString& operator=(const char* units) { return AssignText(*this, units); }
    CodePageString& operator+=(const char* units)
    {
        text += units ? units : "";
        return *this;
    }

    bool IsValid() const override;
    unsigned CodePage() const override { return codePage; }
    bool IsLeadAt(const const_iterator& it) const override;
    bool IsLeadAtIndex(const size_t& i) const override;
    bool IsTrailAt(const const_iterator& it) const override;
    bool IsTrailAtIndex(const size_t& i) const override;
    unsigned CharCount() const override;

    bool IsLeadByte(unsigned char byte) const;
    const std::string& LeadBytes() const { return leadBytes; }

private:
    void BuildLeadByteTable();

    unsigned codePage;
    std::string leadBytes;  // lead-byte values of codePage, range by range
};

// A CodePageString in the ANSI code page current at the call.
CodePageString AnsiString(const std::string& text);

class Utf8String : public EncodedString<char> {
public:
    Utf8String() = default;
    explicit Utf8String(const std::string& source, size_t pos = 0, size_t count = std::string::npos)
        : EncodedString(source.substr(pos, count)) {}
    Utf8String(const Utf8String&) = default;
    Utf8String& operator=(const EncodedString<char>& other)
    {
        text = other.text;
        return *this;
    }
    Utf8String& operator=(const Utf8String& other)
    {
        text = other.text;
        return *this;
    }
    Utf8String& operator=(const char* units) { return AssignText(*this, units); }
    Utf8String& operator+=(const char* units)
    {
        text += units ? units : "";
        return *this;
    }

    bool IsValid() const override { return text.empty() || CharCount() != 0; }
    unsigned CodePage() const override { return 65001; }
    bool IsLeadAt(const const_iterator& it) const override { return IsLead(*it); }
    bool IsLeadAtIndex(const size_t& i) const override { return IsLead(text.at(i)); }
    bool IsTrailAt(const const_iterator& it) const override { return IsTrail(*it); }
    bool IsTrailAtIndex(const size_t& i) const override { return IsTrail(text.at(i)); }
    unsigned CharCount() const override;

private:
    static bool IsLead(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0xC0; }
    static bool IsTrail(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }
};

// 7-bit text only; no UTF-7 shift sequences are produced or interpreted.
class Utf7String : public EncodedString<char> {
public:
    Utf7String() = default;
    Utf7String(const Utf7String&) = default;
    Utf7String& operator=(const EncodedString<char>& other)
    {
        text = other.text;
        return *this;
    }
    Utf7String& operator=(const Utf7String& other)
    {
        text = other.text;
        return *this;
    }
    Utf7String& operator=(const char* units) { return AssignText(*this, units); }
    Utf7String& operator+=(const char* units)
    {
        text += units ? units : "";
        return *this;
    }

    bool IsValid() const override;
    unsigned CodePage() const override { return 65000; }
    unsigned CharCount() const override { return IsValid() ? static_cast<unsigned>(text.size()) : 0; }
};

// UTF-16 units; surrogates are not interpreted (a pair counts as two characters).
class Utf16String : public EncodedString<wchar_t> {
public:
    Utf16String() = default;
    // count -1: up to the terminating zero.
    Utf16String(const wchar_t* units, int count);
    explicit Utf16String(const std::wstring& source, size_t pos = 0, size_t count = std::wstring::npos)
        : EncodedString(source.substr(pos, count)) {}
    Utf16String(const Utf16String&) = default;
    Utf16String& operator=(const Utf16String& other)
    {
        text = other.text;
        return *this;
    }
    Utf16String& operator=(const std::wstring& units)
    {
        text = units;
        return *this;
    }

    unsigned CodePage() const override { return 1200; }

    // Copies that leave no copy of the target's old units in freed memory.
    static void SecureAssign(Utf16String& target, const Utf16String& source);
    static void SecureAppend(Utf16String& target, const Utf16String& source);
    static void SecureAssignRange(Utf16String& target, const Utf16String& source, size_t first, size_t last);
};

// Code points; the intermediate form of the UTF-8 conversions.
class Utf32String : public EncodedString<char32_t> {
public:
    Utf32String() = default;
    unsigned CodePage() const override { return 65501; }
};

// Sets every unit to 0; the length stays.
void Wipe(EncodedString<char>& s);
void Wipe(EncodedString<wchar_t>& s);
void Wipe(EncodedString<char32_t>& s);

// Wipes the string at scope exit when armed.
template <class U>
class SecureWipeGuard {
public:
    SecureWipeGuard(EncodedString<U>* target, bool armed) : target_(target), armed_(armed) {}
    SecureWipeGuard(const SecureWipeGuard&) = delete;
    SecureWipeGuard& operator=(const SecureWipeGuard&) = delete;
    virtual ~SecureWipeGuard()
    {
        if (armed_ && target_)
            Wipe(*target_);
    }

private:
    EncodedString<U>* target_;
    bool armed_;
};
