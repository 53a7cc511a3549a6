// A short secret held encrypted with Blowfish-CBC and authenticated with HMAC-SHA1. Each
// subclass supplies the two fixed 16-byte keys of its kind of secret.
//
// Stored form (the bytes of `ciphertext`):
//   0..19   HMAC-SHA1 (MAC key) over bytes 20 to the end
//   20..27  IV, 8 random bytes
//   28..    Blowfish-CBC (cipher key, IV) of the plaintext and its padding: p = 8 - (n mod 8)
//           bytes of value p (1 to 8)
#pragma once

#include "RoVodEre/ErrorInfo.h"
#include "RoVodEre/datavect.h"

#include <cstdint>

class CryptBlock : public virtual AllocFailState {
public:
    static constexpr std::uint32_t kTagSize = 20;
    static constexpr std::uint32_t kIvOffset = 20;
    static constexpr std::uint32_t kDataOffset = 28;
    static constexpr std::uint32_t kMinStoredSize = kDataOffset + 8;

    // Both buffers are overwritten with random bytes whenever their memory is given back.
    datavect<unsigned char> ciphertext;
    datavect<unsigned char> plaintext;

    CryptBlock();
    // A copy holds the stored form only, as after operator=.
    CryptBlock(const CryptBlock& src);
    virtual ~CryptBlock() {}

    // Takes the source's stored form; this block's plaintext is wiped and left empty.
    CryptBlock& operator=(const CryptBlock& src);

    // Both point to 16 bytes of constant data of the subclass.
    virtual const unsigned char* GetCipherKey() const = 0;
    virtual const unsigned char* GetMacKey() const = 0;

    // Builds the stored form from plaintext, which stays as it is. On failure the
    // stored form is left empty.
    bool SetCryptFromPlain(ErrorInfo& info);
    // Checks and decrypts the stored form into plaintext. A stored form that is too short,
    // not whole blocks or fails its tag changes nothing; a failure after decryption leaves
    // plaintext wiped and empty, never holding the decrypted bytes.
    bool SetPlainFromCrypt(ErrorInfo& info);

    bool WipePlain(ErrorInfo& info);
    bool WipeCrypt(ErrorInfo& info);

private:
    bool FailDecryption(const char* text, ErrorInfo& info);
};
