#include "RoVodEre/NoCrtString.h"

#include <climits>
#include <cstring>
#include <functional>

NoCrtString& NoCrtString::append(const char* s, std::uint32_t count) {
    NOCRT_CHECK(!af_, "!af_", 16);
    if (count == npos || !s) count = SafeStrLen(s);
    return AppendBytes(s, count);
}

std::uint32_t NoCrtString::CheckedRange(const NoCrtString& str, std::uint32_t off,
                                        std::uint32_t extend) const {
    NOCRT_CHECK(!af_ && !str.af_, "!af_ && !str.af_", 31);
    NOCRT_CHECK(off <= str.size(), "off <= str.size()", 32);
    if (extend == npos) extend = str.size() - off;
    // The range may reach the source's terminator, never beyond it.
    if (extend != 0) NOCRT_CHECK(extend <= str.size() + 1 - off, "off + extend <= str.size() + 1", 35);
    return extend;
}

NoCrtString& NoCrtString::append(const NoCrtString& str, std::uint32_t off, std::uint32_t extend) {
    std::uint32_t count = CheckedRange(str, off, extend);
    // c_str() also gives a readable terminator for a source that never had a buffer.
    return AppendBytes(str.c_str() + off, count);
}

NoCrtString& NoCrtString::AppendBytes(const char* from, std::uint32_t count) {
    if (count == 0) return *this;
    std::uint32_t cur = size();
    std::uint64_t needed = std::uint64_t(cur) + count + 1;
    // A source inside this buffer is found again after the growth by its offset.
    bool own = p_ && !std::less<const char*>()(from, p_) && std::less<const char*>()(from, p_ + cap_);
    std::size_t offset = own ? static_cast<std::size_t>(from - p_) : 0;
    if (reserve(needed)) return *this;
    if (own) from = p_ + offset;
    std::memmove(p_ + cur, from, count);
    s_ = static_cast<std::uint32_t>(needed);
    p_[needed - 1] = 0;
    return *this;
}

NoCrtString& NoCrtString::assign(const NoCrtString& str, std::uint32_t off, std::uint32_t extend) {
    if (&str != this) {
        s_ = 0;
        return append(str, off, extend);
    }
    // A part of this very string: move it to the front.
    std::uint32_t count = CheckedRange(str, off, extend);
    if (count == 0 || s_ == 0) {
        s_ = 0;
        return AppendBytes(c_str() + off, count);
    }
    std::memmove(p_, p_ + off, count);
    p_[count] = 0;
    s_ = count + 1;
    return *this;
}

NoCrtString& NoCrtString::assign(const char* s, std::uint32_t count) {
    s_ = 0;
    return append(s, count);
}

int NoCrtString::compare(const NoCrtString& str) const {
    return compare(str.c_str(), str.size());
}

int NoCrtString::compare(const char* s) const {
    return compare(s ? s : "", SafeStrLen(s));
}

int NoCrtString::compare(const char* s, std::uint32_t n) const {
    std::uint32_t mine = size();
    std::uint32_t common = mine < n ? mine : n;
    int r = common ? std::memcmp(c_str(), s, common) : 0;
    if (r != 0) return r;
    std::int64_t difference = std::int64_t(mine) - std::int64_t(n);
    if (difference > INT_MAX) return INT_MAX;
    if (difference < -INT_MAX) return -INT_MAX;
    return static_cast<int>(difference);
}

bool operator<(const NoCrtString& a, const NoCrtString& b) { return a.compare(b) < 0; }

std::uint32_t SafeStrLen(const char* s) {
    if (!s) return 0;
    std::size_t n = std::strlen(s);
    return n > 0xFFFFFFFEu ? 0xFFFFFFFEu : static_cast<std::uint32_t>(n);
}
