// The SSH library's private-key object: one "ssh-dss" (DSA, 1024 bits, SHA-1) or "ssh-rsa"
// (RSA, public exponent 17, PKCS #1 v1.5 with SHA-1) key. It is generated, or read from our
// private-key blob or from the DER body of an OpenSSH PEM file, and writes both of those, the
// SSH public-key blob and signatures.
//
// Private-key blob: uint32 0, string algorithm, then the PKCS #8 PrivateKeyInfo to the end.
#pragma once

#include <cryptopp/cryptlib.h>
#include <cryptopp/dsa.h>
#include <cryptopp/rsa.h>

#include <cstddef>
#include <memory>
#include <string>

class Signer {
public:
    // Generates a key; "ssh-dss" takes only 1024 bits.
    Signer(CryptoPP::RandomNumberGenerator& rng, const std::string& algorithm, unsigned int bits);
    // Reads a private-key blob.
    explicit Signer(CryptoPP::BufferedTransformation& privateKeyBlob);
    // Reads a PEM DER body of the PEM key type "DSA" or "RSA".
    Signer(CryptoPP::BufferedTransformation& pemBody, const std::string& pemKeyType);
    ~Signer();

    Signer(const Signer&) = delete;
    Signer& operator=(const Signer&) = delete;

    // "ssh-dss", "ssh-rsa" or "".
    std::string AlgorithmName() const;
    // "DSA", "RSA" or "".
    std::string PemKeyType() const;

    void EncodePrivateKey(CryptoPP::BufferedTransformation& out) const;
    void EncodePemBody(CryptoPP::BufferedTransformation& out) const;
    void EncodePublicKey(CryptoPP::BufferedTransformation& out) const;

    // The SSH signature blob over the data.
    std::string Sign(CryptoPP::RandomNumberGenerator& rng, const void* data, std::size_t length) const;

private:
    // A key read from outside must prove itself: one that passes the structural checks yet
    // makes signatures that do not verify (a damaged generator, say) is refused here rather
    // than handed to peers who would all reject it.
    void RequireSignsVerifiably(const char* failureText) const;

    std::unique_ptr<CryptoPP::DSA::Signer> dsa_;
    std::unique_ptr<CryptoPP::InvertibleRSAFunction> rsa_;
};

namespace SSH {

// True when the signature blob is valid for the data under the public-key blob. A DSA
// signature may also be the bare 40 bytes of r and s, as older peers send it. Never throws.
bool VerifySignature(const void* publicKeyBlob, std::size_t publicKeyLength, const void* data,
                     std::size_t dataLength, const void* signatureBlob, std::size_t signatureLength);

}  // namespace SSH
