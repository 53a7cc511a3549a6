// The Blowfish block cipher with its standard tables, and CBC mode over whole blocks.
#pragma once

#include <cstddef>
#include <cstdint>

const std::size_t kBlowfishBlockSize = 8;

struct BlowfishContext {
    std::uint32_t s[4][256];
    std::uint32_t p[18];
    std::uint32_t ivLeft;   // CBC chaining value
    std::uint32_t ivRight;
};

// Standard key schedule; keys of 1 to 56 bytes are what Blowfish defines.
void BlowfishSetKey(BlowfishContext& ctx, const unsigned char* key, std::size_t keyLength);
void BlowfishSetKey128(BlowfishContext& ctx, const unsigned char key[16]);

void BlowfishEncryptBlock(std::uint32_t left, std::uint32_t right, std::uint32_t out[2], const BlowfishContext& ctx);
void BlowfishDecryptBlock(std::uint32_t left, std::uint32_t right, std::uint32_t out[2], const BlowfishContext& ctx);

void BlowfishSetIv(BlowfishContext& ctx, const unsigned char iv[8]);
// In place; the chaining value carries over to the next call. Only whole blocks are
// processed: a count that is not a multiple of 8 is refused (false) and nothing changes.
bool BlowfishCbcEncrypt(BlowfishContext& ctx, unsigned char* data, std::size_t count);
bool BlowfishCbcDecrypt(BlowfishContext& ctx, unsigned char* data, std::size_t count);
