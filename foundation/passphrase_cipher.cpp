#include "foundation/passphrase_cipher.h"

#include <cryptopp/aes.h>
#include <cryptopp/hmac.h>
#include <cryptopp/misc.h>
#include <cryptopp/modes.h>
#include <cryptopp/secblock.h>
#include <cryptopp/sha.h>

namespace PassphraseCipher {

namespace {

using CryptoPP::byte;

CryptoPP::SecByteBlock PassphraseKey(const CryptoPP::ConstByteArrayParameter& passphrase) {
    CryptoPP::SecByteBlock key(CryptoPP::SHA256::DIGESTSIZE);
    CryptoPP::SHA256().CalculateDigest(key, passphrase.begin(), passphrase.size());
    return key;
}

}  // namespace

std::size_t CiphertextBound(std::size_t n) { return n + 50; }

void DeriveIv(const byte* salt, byte* iv) {
    byte hash[CryptoPP::SHA256::DIGESTSIZE];
    CryptoPP::SHA256().CalculateDigest(hash, salt, kSaltSize);
    for (std::size_t i = 0; i < kIvSize; ++i) iv[i] = hash[i] ^ hash[i + kIvSize];
}

std::size_t Encrypt(CryptoPP::RandomNumberGenerator& rng, const CryptoPP::ConstByteArrayParameter& passphrase,
                    byte* output, const CryptoPP::ConstByteArrayParameter& plaintext) {
    const std::size_t n = plaintext.size();
    const std::size_t pad = 18 - n % 15;
    rng.GenerateBlock(output, pad);
    const byte b = output[0];
    output[0] = static_cast<byte>((((b ^ (b << 4)) & 0xF0) | ((pad - 3) & 0x0F)));
    byte* salt = output + pad + n;
    rng.GenerateBlock(salt, kSaltSize);

    CryptoPP::SecByteBlock key = PassphraseKey(passphrase);
    byte iv[kIvSize];
    DeriveIv(salt, iv);
    CryptoPP::CFB_Mode<CryptoPP::AES>::Encryption cipher(key, key.size(), iv);
    cipher.ProcessData(output, output, pad);
    cipher.ProcessData(output + pad, plaintext.begin(), n);

    CryptoPP::HMAC<CryptoPP::SHA1>(key, key.size()).CalculateDigest(salt + kSaltSize, output, pad + n + kSaltSize);
    return pad + n + kSaltSize + kTagSize;
}

CryptoPP::DecodingResult Decrypt(const CryptoPP::ConstByteArrayParameter& passphrase, byte* output,
                                 const CryptoPP::ConstByteArrayParameter& encrypted) {
    const std::size_t length = encrypted.size();
    if (length < kMinEncryptedSize) return CryptoPP::DecodingResult();
    const byte* in = encrypted.begin();
    const std::size_t sealed = length - kTagSize;

    CryptoPP::SecByteBlock key = PassphraseKey(passphrase);
    // Checked in constant time, and before anything is decrypted.
    if (!CryptoPP::HMAC<CryptoPP::SHA1>(key, key.size()).VerifyDigest(in + sealed, in, sealed))
        return CryptoPP::DecodingResult();

    byte iv[kIvSize];
    DeriveIv(in + sealed - kSaltSize, iv);
    CryptoPP::CFB_Mode<CryptoPP::AES>::Decryption cipher(key, key.size(), iv);
    byte first;
    cipher.ProcessData(&first, in, 1);
    const std::size_t pad = (first & 0x0F) + 3u;
    const std::size_t body = length - kSaltSize - kTagSize;
    if (pad > body) return CryptoPP::DecodingResult();
    const std::size_t m = body - pad;
    if (m != 0) {
        // The rest of the pad goes through the output only to keep the stream in step.
        cipher.ProcessData(output, in + 1, pad - 1);
        cipher.ProcessData(output, in + pad, m);
    }
    return CryptoPP::DecodingResult(m);
}

}  // namespace PassphraseCipher
