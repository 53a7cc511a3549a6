#include "foundation/hmac_sha1.h"

#include "foundation/secure_bytes.h"

#include <cstring>

void HmacSha1Init(HmacSha1Context& ctx, const void* key, std::size_t keyLength) {
    unsigned char block[kSha1BlockSize] = {};
    if (keyLength > kSha1BlockSize) {
        Sha1Context keyHash;
        Sha1Init(keyHash);
        Sha1Update(keyHash, key, keyLength);
        Sha1Final(keyHash, block);
        ScrubBytes(&keyHash, sizeof keyHash);
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
    ScrubBytes(block, sizeof block);
    ScrubBytes(pad, sizeof pad);
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
    ScrubBytes(innerDigest, sizeof innerDigest);
    ScrubBytes(&ctx, sizeof ctx);
}
