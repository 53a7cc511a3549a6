// SHA-1 (FIPS 180-1) over caller-owned contexts: allocates nothing and cannot fail.
#pragma once

#include <cstddef>
#include <cstdint>

const std::size_t kSha1DigestSize = 20;
const std::size_t kSha1BlockSize = 64;

struct Sha1Context {
    std::uint32_t state[5];
    unsigned char block[kSha1BlockSize];
    std::uint32_t blockUsed;     // bytes waiting in block, 0..63
    std::uint32_t totalHigh;     // bytes hashed so far, high word first
    std::uint32_t totalLow;
};

void Sha1Init(Sha1Context& ctx);
void Sha1Update(Sha1Context& ctx, const void* data, std::size_t count);
void Sha1Final(Sha1Context& ctx, unsigned char digest[kSha1DigestSize]);
// The compression function over one block already turned into 16 big-endian words.
void Sha1Transform(Sha1Context& ctx, const std::uint32_t words[16]);
