#include "foundation/hmac_sha1.h"

#include <cstring>

namespace {

// Overwrites key material in a way the compiler may not drop as a dead store.
void Scrub(void* p, std::size_t n) {
    volatile unsigned char* v = static_cast<volatile unsigned char*>(p);
    while (n--) *v++ = 0;
}

}  // namespace

void HmacSha1Init(HmacSha1Context& ctx, const void* key, std::size_t keyLength) {
    unsigned char block[kSha1BlockSize] = {};
    if (keyLength > kSha1BlockSize) {
        Sha1Context keyHash;
        Sha1Init(keyHash);
        Sha1Update(keyHash, key, keyLength);
        Sha1Final(keyHash, block);
        Scrub(&keyHash, sizeof keyHash);
    } else if (keyLength) {
        std::memcpy(block, key, keyLength);
    }
    unsigned char pad[kSha1BlockSize];
    for (std::size_t i = 0; i < kSha1BlockSize; ++i) pad[i] = block[i] ^ 0x36;
    Sha1Init(ctx.inner);
    Sha1Update(ctx.inner, pad, kSha1BlockSize);
    for (std::size_t i = 0; i < kSha1BlockSize; ++i) pad[i] = block[i] ^ 0x5C;
    Sha1Init(ctx.outer);
    Sha1Update(ctx.outer, pad, kSha1BlockSize);
    Scrub(block, sizeof block);
    Scrub(pad, sizeof pad);
}

void HmacSha1(const void* key, std::size_t keyLength, const void* data, std::size_t dataLength,
              unsigned char mac[kSha1DigestSize]) {
    HmacSha1Context ctx;
    HmacSha1Init(ctx, key, keyLength);
    unsigned char innerDigest[kSha1DigestSize];
    Sha1Update(ctx.inner, data, dataLength);
    Sha1Final(ctx.inner, innerDigest);
    Sha1Update(ctx.outer, innerDigest, sizeof innerDigest);
    Sha1Final(ctx.outer, mac);
    Scrub(&ctx, sizeof ctx);
}

bool ConstantTimeEqual(const void* a, const void* b, std::size_t length) {
    const volatile unsigned char* x = static_cast<const volatile unsigned char*>(a);
    const volatile unsigned char* y = static_cast<const volatile unsigned char*>(b);
    unsigned char difference = 0;
    for (std::size_t i = 0; i < length; ++i) difference |= x[i] ^ y[i];
    return difference == 0;
}
