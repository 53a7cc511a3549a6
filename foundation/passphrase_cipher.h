// Protects a byte string with a passphrase (the inner format of passphrase-protected
// keypair files).
//
// Encrypted form of n plaintext bytes, K = SHA-256(passphrase):
//   p + n  AES-256-CFB (K, IV) of p pad bytes, then the plaintext; p = 18 - (n mod 15), and
//          the first pad byte's low four bits hold p - 3
//   8      salt; IV[i] = H[i] XOR H[i + 16] with H = SHA-256(salt)
//   20     HMAC-SHA1 (K) over everything before it
#pragma once

#include <cryptopp/algparam.h>
#include <cryptopp/cryptlib.h>

#include <cstddef>

namespace PassphraseCipher {

const std::size_t kSaltSize = 8;
const std::size_t kTagSize = 20;
const std::size_t kIvSize = 16;
// The shortest encrypted form: an empty plaintext with its pad of 18.
const std::size_t kMinEncryptedSize = 18 + kSaltSize + kTagSize;

// Writes the encrypted form of plaintext to output, which must hold CiphertextBound of
// its length; returns the bytes written. Exceptions of the generator pass through.
std::size_t Encrypt(CryptoPP::RandomNumberGenerator& rng, const CryptoPP::ConstByteArrayParameter& passphrase,
                    CryptoPP::byte* output, const CryptoPP::ConstByteArrayParameter& plaintext);

// The plaintext of an encrypted form, written to output (room for its length minus 28).
// Invalid, with nothing decrypted, for a short or altered input or another passphrase.
CryptoPP::DecodingResult Decrypt(const CryptoPP::ConstByteArrayParameter& passphrase, CryptoPP::byte* output,
                                 const CryptoPP::ConstByteArrayParameter& encrypted);

// The output size that Encrypt needs for n plaintext bytes.
std::size_t CiphertextBound(std::size_t n);

void DeriveIv(const CryptoPP::byte* salt, CryptoPP::byte* iv);

}  // namespace PassphraseCipher
