// Narrow string of bytes on a datavect<char>: the element count includes a terminating
// zero byte once the string has held a character (s_ is 0 before that).
#pragma once

#include <cstdint>

#include "RoVodEre/datavect.h"

class NoCrtString : public datavect<char> {
public:
    // As a count: up to the end.
    static constexpr std::uint32_t npos = 0xFFFFFFFFu;

    NoCrtString() {}
    NoCrtString(const char* s, std::uint32_t count = npos) { append(s, count); }
    NoCrtString(const NoCrtString& str, std::uint32_t off = 0, std::uint32_t extend = npos) : datavect<char>() {
        if (str.af_)
            af_ = str.af_;
        else
            append(str, off, extend);
    }

    NoCrtString& operator=(const NoCrtString& str) {
        if (&str == this || af_) return *this;
        if (str.af_) {
            af_ = str.af_;
            return *this;
        }
        return assign(str, 0, npos);
    }

    // Both keep the buffer and its capacity.
    NoCrtString& assign(const NoCrtString& str, std::uint32_t off, std::uint32_t extend);
    NoCrtString& assign(const char* s, std::uint32_t count = npos);

    // count npos: up to s's zero byte. A null s appends nothing.
    NoCrtString& append(const char* s, std::uint32_t count = npos);
    // extend npos: to str's end; the range may take str's terminator as a character.
    NoCrtString& append(const NoCrtString& str, std::uint32_t off = 0, std::uint32_t extend = npos);

    std::uint32_t size() const { return s_ ? s_ - 1 : 0; }
    std::uint32_t length() const { return size(); }
    bool empty() const { return size() == 0; }
    const char* c_str() const { return s_ ? p_ : ""; }

    char& operator[](std::uint32_t i) {
        NOCRT_CHECK(!af_ && i < length(), "!af_ && i<length()", 136);
        return p_[i];
    }
    const char& operator[](std::uint32_t i) const {
        NOCRT_CHECK(!af_ && i < length(), "!af_ && i<length()", 136);
        return p_[i];
    }

    // Unsigned byte order over the common length; then the shorter first.
    int compare(const NoCrtString& str) const;
    int compare(const char* s) const;

private:
    // Checks of the string form of append and assign; returns the real count.
    std::uint32_t CheckedRange(const NoCrtString& str, std::uint32_t off, std::uint32_t extend) const;
    NoCrtString& AppendBytes(const char* from, std::uint32_t count);
    int compare(const char* s, std::uint32_t n) const;
};

bool operator<(const NoCrtString& a, const NoCrtString& b);

// Bytes before the first zero byte; 0 for null.
std::uint32_t SafeStrLen(const char* s);
