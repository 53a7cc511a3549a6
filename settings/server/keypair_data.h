// The server's host keypair as it is stored: the SSH public-key blob and the SSH
// private-key blob, neither parsed here. The private bytes are wiped whenever their block
// is released or resized.
#pragma once

#include <string>

#include <cryptopp/cryptlib.h>
#include <cryptopp/secblock.h>

class KeypairData {
public:
    std::string m_publicKey;
    CryptoPP::SecByteBlock m_privateKey;

    KeypairData() {}
    KeypairData(const KeypairData& other) : m_publicKey(other.m_publicKey), m_privateKey(other.m_privateKey) {}
    KeypairData& operator=(const KeypairData& other)
    {
        m_publicKey = other.m_publicKey;
        m_privateKey = other.m_privateKey;
        return *this;
    }
    // Members go in reverse order: the private block (wiped) first, then the string.
    ~KeypairData() {}

    bool operator==(const KeypairData& other) const
    {
        return m_publicKey == other.m_publicKey && m_privateKey == other.m_privateKey;
    }
};

// The stored form: public blob and private blob, each a word32 count and its bytes, then
// the end of the message. Nothing else: no header, version or checksum.
void WriteKeypairData(CryptoPP::BufferedTransformation& out, const KeypairData& keypair);
// Throws CfgEncDec::CEncodeDecodeException for short input or bytes after the private
// blob; keypair changes only on success.
void ReadKeypairData(CryptoPP::BufferedTransformation& in, KeypairData& keypair);
