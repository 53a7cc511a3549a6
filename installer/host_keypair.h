// Where the installer's host keypair comes from when the store has none: the values that
// release 1.1 left under the product key, or a new "ssh-dss" key of 1024 bits. Both give
// the SSH public-key blob and our private-key blob.
#pragma once

#include <cryptopp/secblock.h>

#include <string>

// Takes over release 1.1's keypair: "PublicKey" (hexadecimal text) and "PrivateKey"
// (hexadecimal REG_SZ). False, with both blobs empty, when either is missing, of another
// type or holds no hexadecimal digit. The values stay in the registry.
bool ImportEarlierKeypair(std::string& publicKey, CryptoPP::SecByteBlock& privateKey);

// Generates a new host key from an auto-seeded random pool; throws what the generation
// throws.
void GenerateHostKeypair(std::string& publicKey, CryptoPP::SecByteBlock& privateKey);

// "MD5 Fingerprint: ..." and "BubbleBabble: ..." of a public-key blob.
void PrintFingerprints(const std::string& publicKey);
