// HMAC over SHA-1 (RFC 2104).
#pragma once

#include "foundation/sha1.h"

struct HmacSha1Context {
    Sha1Context inner;
    Sha1Context outer;
};

// Keys longer than the 64-byte block are replaced by their SHA-1 digest first.
void HmacSha1Init(HmacSha1Context& ctx, const void* key, std::size_t keyLength);
void HmacSha1(const void* key, std::size_t keyLength, const void* data, std::size_t dataLength,
              unsigned char mac[kSha1DigestSize]);
