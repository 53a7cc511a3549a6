#include "settings/framework/dns_name.h"

namespace {

const int kMaxDnsNameLength = 253;

class DnsNameChecker {
public:
    explicit DnsNameChecker(int flags) : flags_(flags) {}

    // A wide code unit; surrogate halves would stand for characters outside the BMP.
    bool FeedUnit(unsigned unit)
    {
        if (unit > 127) {
            if (!(flags_ & kDnsAllowNonAscii) || (unit >= 0xD800 && unit <= 0xDFFF)) return false;
        }
        return Classify(unit);
    }

    // A narrow byte: ASCII, or with kDnsAllowNonAscii one byte of a strict UTF-8 sequence.
    bool FeedByte(unsigned byte)
    {
        if (!(flags_ & kDnsAllowNonAscii)) return byte <= 127 && Classify(byte);
        if (pending_ == 0) {
            if (byte <= 0x7F) return Classify(byte);
            if (byte >= 0xC2 && byte <= 0xDF) return Begin(1, byte - 0xC0, 0x80, 0xBF);
            if (byte == 0xE0) return Begin(2, 0, 0xA0, 0xBF);
            if (byte >= 0xE1 && byte <= 0xEC) return Begin(2, byte - 0xE0, 0x80, 0xBF);
            if (byte == 0xED) return Begin(2, 0x0D, 0x80, 0x9F);  // no encoded surrogates
            if (byte >= 0xEE && byte <= 0xEF) return Begin(2, byte - 0xE0, 0x80, 0xBF);
            if (byte == 0xF0) return Begin(3, 0, 0x90, 0xBF);
            if (byte >= 0xF1 && byte <= 0xF3) return Begin(3, byte - 0xF0, 0x80, 0xBF);
            if (byte == 0xF4) return Begin(3, 4, 0x80, 0x8F);  // nothing above U+10FFFF
            return false;
        }
        if (byte < low_ || byte > high_) return false;
        value_ = value_ * 64 + (byte - 0x80);
        low_ = 0x80;
        high_ = 0xBF;
        return --pending_ > 0 || Classify(value_);
    }

    bool AcceptsEnd() const { return pending_ == 0 && (state_ == kLabel || state_ == kStar); }

private:
    enum State { kStart, kDot, kLabel, kHyphen, kStar };

    bool Begin(int continuation, unsigned value, unsigned low, unsigned high)
    {
        pending_ = continuation;
        value_ = value;
        low_ = low;
        high_ = high;
        return true;
    }

    bool Classify(unsigned c)
    {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c > 127) {
            if (state_ == kStar) return false;
            state_ = kLabel;
        } else if (c == '-') {
            if (state_ != kLabel && state_ != kHyphen) return false;
            state_ = kHyphen;
        } else if (c == '*') {
            if (state_ != kStart || !(flags_ & kDnsAllowWildcard)) return false;
            state_ = kStar;
        } else if (c == '.') {
            if (state_ != kLabel && state_ != kStar) return false;
            state_ = kDot;
        } else {
            return false;
        }
        return true;
    }

    int flags_;
    State state_ = kStart;
    int pending_ = 0;
    unsigned value_ = 0;
    unsigned low_ = 0x80;
    unsigned high_ = 0xBF;
};

template <class Unit, class Feed>
bool CheckDnsName(const Unit* text, int count, DnsNameChecker& checker, Feed feed)
{
    if (count > kMaxDnsNameLength) return false;
    if (!text) return false;
    int seen = 0;
    for (int i = 0; count < 0 ? text[i] != 0 : i < count; ++i) {
        if (++seen > kMaxDnsNameLength) return false;
        if (!feed(checker, text[i])) return false;
    }
    return checker.AcceptsEnd();
}

}  // namespace

bool IsValidDnsName(int flags, const char* text, int count)
{
    DnsNameChecker checker(flags);
    return CheckDnsName(text, count, checker, [](DnsNameChecker& c, char unit) {
        return c.FeedByte(static_cast<unsigned char>(unit));
    });
}

bool IsValidDnsNameW(int flags, const wchar_t* text, int count)
{
    DnsNameChecker checker(flags);
    return CheckDnsName(text, count, checker, [](DnsNameChecker& c, wchar_t unit) {
        return c.FeedUnit(static_cast<unsigned>(static_cast<unsigned short>(unit)));
    });
}
