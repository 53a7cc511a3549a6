#include "foundation/crypt_block.h"

#include "foundation/blowfish.h"
#include "foundation/hmac_sha1.h"
#include "foundation/random_source.h"
#include "foundation/secure_bytes.h"

#include <cstring>

namespace {

const std::uint32_t kKeySize = 16;

}  // namespace

CryptBlock::CryptBlock() {
    ciphertext.wipe_ = RandomWipeBuffer;
    plaintext.wipe_ = RandomWipeBuffer;
}

CryptBlock::CryptBlock(const CryptBlock& src) : CryptBlock() { *this = src; }

CryptBlock& CryptBlock::operator=(const CryptBlock& src) {
    if (&src == this || af_) return *this;
    if (src.af_) {
        af_ = src.af_;
        return *this;
    }
    plaintext.wipe_and_resize(0);
    ciphertext = src.ciphertext;
    af_ = ciphertext.af_;
    return *this;
}

bool CryptBlock::SetCryptFromPlain(ErrorInfo& info) {
    const std::uint32_t n = plaintext.size();
    const std::uint32_t pad = 8 - n % 8;
    const std::uint64_t total = std::uint64_t(n) + pad + kDataOffset;
    if (!RandomWipe(ciphertext, info)) return false;
    ciphertext.resize(total);
    af_ = ciphertext.af_;
    if (af_) {
        info.AddError("Allocation failed");
        return false;
    }
    unsigned char* form = ciphertext.data();
    if (!NoCrtRandom::GenRandom(form + kIvOffset, 8, info)) {
        ciphertext.wipe_and_resize(0);
        return false;
    }
    if (n) std::memcpy(form + kDataOffset, plaintext.data(), n);
    std::memset(form + kDataOffset + n, static_cast<int>(pad), pad);

    BlowfishContext cipher;
    BlowfishSetKey128(cipher, GetCipherKey());
    BlowfishSetIv(cipher, form + kIvOffset);
    BlowfishCbcEncrypt(cipher, form + kDataOffset, n + pad);
    ScrubBytes(&cipher, sizeof cipher);
    HmacSha1(GetMacKey(), kKeySize, form + kIvOffset, std::size_t(total) - kIvOffset, form);
    return true;
}

bool CryptBlock::FailDecryption(const char* text, ErrorInfo& info) {
    // Whatever was decrypted must not outlive the failure.
    plaintext.wipe_and_resize(0);
    if (text) info.AddError(text);
    return false;
}

bool CryptBlock::SetPlainFromCrypt(ErrorInfo& info) {
    const std::uint32_t length = ciphertext.size();
    if (length < kMinStoredSize) {
        info.AddError("CryptBlock::SetPlainFromCrypt(): Encrypted data too short");
        return false;
    }
    if ((length - kDataOffset) % 8 != 0) {
        info.AddError("CryptBlock::SetPlainFromCrypt(): Ciphertext not a multiple of block size");
        return false;
    }
    const unsigned char* form = ciphertext.data();
    unsigned char tag[kTagSize];
    HmacSha1(GetMacKey(), kKeySize, form + kIvOffset, length - kIvOffset, tag);
    if (!ConstantTimeEqual(tag, form, kTagSize)) {
        info.AddError("CryptBlock::SetPlainFromCrypt(): Integrity check failed");
        return false;
    }

    if (!RandomWipe(plaintext, info)) return false;
    const std::uint32_t decryptedSize = length - kDataOffset;
    plaintext.resize(decryptedSize);
    af_ = plaintext.af_;
    if (af_) {
        info.AddError("Allocation failed");
        return false;
    }
    unsigned char* plain = plaintext.data();
    std::memcpy(plain, form + kDataOffset, decryptedSize);
    BlowfishContext cipher;
    BlowfishSetKey128(cipher, GetCipherKey());
    BlowfishSetIv(cipher, form + kIvOffset);
    BlowfishCbcDecrypt(cipher, plain, decryptedSize);
    ScrubBytes(&cipher, sizeof cipher);

    // Only 1 to 8 bytes that all hold the count were ever written.
    const std::uint32_t pad = plain[decryptedSize - 1];
    bool padOk = pad >= 1 && pad <= 8;
    for (std::uint32_t i = 1; padOk && i <= pad; ++i) padOk = plain[decryptedSize - i] == pad;
    if (!padOk) return FailDecryption("CryptBlock::SetPlainFromCrypt(): Invalid padding length", info);

    if (!NoCrtRandom::GenRandom(plain + decryptedSize - pad, pad, info)) return FailDecryption(nullptr, info);
    plaintext.resize(decryptedSize - pad);
    return true;
}

bool CryptBlock::WipePlain(ErrorInfo& info) { return RandomWipe(plaintext, info); }

bool CryptBlock::WipeCrypt(ErrorInfo& info) { return RandomWipe(ciphertext, info); }
