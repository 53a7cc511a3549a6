// Key files other SSH software exchanges: the traditional OpenSSH PEM private-key file (plain,
// or "Proc-Type: 4,ENCRYPTED" with DES-EDE3-CBC), the RFC 4716 public key file and the
// one-line public key. The readers of the two public forms are PublicKeyInfo's.
#pragma once

#include "ssh/signer.h"

#include <cryptopp/cryptlib.h>

#include <cstddef>
#include <memory>
#include <string>

// The OpenSSL key derivation of PEM files: MD5 of passphrase and salt, then MD5 of that
// digest, passphrase and salt; the key is the first 24 of those 32 bytes.
void PemDeriveKey(const void* passphrase, std::size_t passphraseLength, const CryptoPP::byte salt[8],
                  CryptoPP::byte key[24]);

// keyType: "DSA" or "RSA". A passphrase of length 0 writes the file unencrypted. The DER body
// is copied, not consumed.
void WritePemPrivateKey(CryptoPP::BufferedTransformation& out, const std::string& keyType,
                        CryptoPP::RandomNumberGenerator& rng, const void* passphrase, std::size_t passphraseLength,
                        const CryptoPP::BufferedTransformation& derBody);

// Writes the DER body to `derBody` and returns the key type (the word after "-----BEGIN ").
std::string ReadPemPrivateKey(CryptoPP::BufferedTransformation& in, const void* passphrase,
                              std::size_t passphraseLength, CryptoPP::BufferedTransformation& derBody);

// The comment without control characters and bytes of 0x80 and above.
std::string SanitizeKeyComment(const std::string& comment);

void WriteSsh2PublicKeyFile(CryptoPP::BufferedTransformation& out, const std::string& comment,
                            const CryptoPP::BufferedTransformation& publicKeyBlob);
void WriteOneLinePublicKey(CryptoPP::BufferedTransformation& out, const std::string& algorithm, const char* comment,
                           const CryptoPP::BufferedTransformation& publicKeyBlob);

// Generates a key and writes its three files.
void GenerateKeyFiles(const std::string& algorithm, CryptoPP::RandomNumberGenerator& rng, unsigned int bits,
                      const std::string& comment, CryptoPP::BufferedTransformation& ssh2PublicKeyOut,
                      CryptoPP::BufferedTransformation& oneLinePublicKeyOut, const void* passphrase,
                      std::size_t passphraseLength, CryptoPP::BufferedTransformation& pemPrivateKeyOut);

// Only peeks: true when the line after the first holds "Proc-Type: ".
bool IsEncryptedPem(CryptoPP::BufferedTransformation& in);

// True when the passphrase opens the PEM private key and the key is sound; the input is
// copied, not consumed.
bool CheckPemPrivateKey(const CryptoPP::BufferedTransformation& in, const void* passphrase,
                        std::size_t passphraseLength);

// Key files named by a person (on a command line): every failure is a KeyFileError whose text
// begins with the file's name and says in words what is wrong with the file.
class KeyFileError : public CryptoPP::Exception {
public:
    explicit KeyFileError(const std::string& text) : Exception(OTHER_ERROR, text) {}
};

// The bytes of a key file named by a UTF-8 path; key files are small, and one over 1 MiB is
// refused as no key file.
std::string ReadKeyFile(const std::string& path);

// The key of a PEM private-key file's text, read from path. passphrase null means none was
// given. passphraseHint tells how to give one (" with --passphrase"), for the text about an
// encrypted key without it; null where none can be given.
std::unique_ptr<Signer> DecodePrivateKeyFile(const std::string& path, const std::string& text,
                                             const std::string* passphrase, const char* passphraseHint);
