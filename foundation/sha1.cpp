#include "foundation/sha1.h"

#include <cstring>

namespace {

inline std::uint32_t Rotl(std::uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

void CompressBlock(Sha1Context& ctx, const unsigned char* block) {
    std::uint32_t words[16];
    for (int i = 0; i < 16; ++i) {
        words[i] = (std::uint32_t(block[4 * i]) << 24) | (std::uint32_t(block[4 * i + 1]) << 16) |
                   (std::uint32_t(block[4 * i + 2]) << 8) | std::uint32_t(block[4 * i + 3]);
    }
    Sha1Transform(ctx, words);
}

}  // namespace

void Sha1Init(Sha1Context& ctx) {
    ctx.state[0] = 0x67452301;
    ctx.state[1] = 0xEFCDAB89;
    ctx.state[2] = 0x98BADCFE;
    ctx.state[3] = 0x10325476;
    ctx.state[4] = 0xC3D2E1F0;
    ctx.blockUsed = 0;
    ctx.totalHigh = 0;
    ctx.totalLow = 0;
}

void Sha1Transform(Sha1Context& ctx, const std::uint32_t words[16]) {
    std::uint32_t w[80];
    for (int t = 0; t < 16; ++t) w[t] = words[t];
    for (int t = 16; t < 80; ++t) w[t] = Rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
    std::uint32_t a = ctx.state[0], b = ctx.state[1], c = ctx.state[2], d = ctx.state[3], e = ctx.state[4];
    for (int t = 0; t < 80; ++t) {
        std::uint32_t f, k;
        if (t < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (t < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        std::uint32_t temp = Rotl(a, 5) + f + e + w[t] + k;
        e = d;
        d = c;
        c = Rotl(b, 30);
        b = a;
        a = temp;
    }
    ctx.state[0] += a;
    ctx.state[1] += b;
    ctx.state[2] += c;
    ctx.state[3] += d;
    ctx.state[4] += e;
}

void Sha1Update(Sha1Context& ctx, const void* data, std::size_t count) {
    const unsigned char* in = static_cast<const unsigned char*>(data);
    std::uint64_t total = (std::uint64_t(ctx.totalHigh) << 32 | ctx.totalLow) + count;
    ctx.totalHigh = static_cast<std::uint32_t>(total >> 32);
    ctx.totalLow = static_cast<std::uint32_t>(total);
    while (count) {
        std::size_t take = kSha1BlockSize - ctx.blockUsed;
        if (take > count) take = count;
        std::memcpy(ctx.block + ctx.blockUsed, in, take);
        ctx.blockUsed += static_cast<std::uint32_t>(take);
        in += take;
        count -= take;
        if (ctx.blockUsed == kSha1BlockSize) {
            CompressBlock(ctx, ctx.block);
            ctx.blockUsed = 0;
        }
    }
}

void Sha1Final(Sha1Context& ctx, unsigned char digest[kSha1DigestSize]) {
    std::uint64_t bits = (std::uint64_t(ctx.totalHigh) << 32 | ctx.totalLow) << 3;
    unsigned char pad[kSha1BlockSize + 8] = {0x80};
    std::size_t padLength = (ctx.blockUsed < 56 ? 56 : 120) - ctx.blockUsed;
    for (int i = 0; i < 8; ++i) pad[padLength + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    // The padding must not count towards the length it carries.
    std::uint32_t high = ctx.totalHigh, low = ctx.totalLow;
    Sha1Update(ctx, pad, padLength + 8);
    ctx.totalHigh = high;
    ctx.totalLow = low;
    for (int i = 0; i < 5; ++i) {
        digest[4 * i] = static_cast<unsigned char>(ctx.state[i] >> 24);
        digest[4 * i + 1] = static_cast<unsigned char>(ctx.state[i] >> 16);
        digest[4 * i + 2] = static_cast<unsigned char>(ctx.state[i] >> 8);
        digest[4 * i + 3] = static_cast<unsigned char>(ctx.state[i]);
    }
}
