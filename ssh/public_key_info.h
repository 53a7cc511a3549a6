// An SSH public key read from a binary blob, a one-line key ("ssh-rsa AAAA... comment") or an
// RFC 4716 file, with the facts a user compares: algorithm, size, the MD5 fingerprint and the
// Bubble Babble text of its SHA-1 digest.
#pragma once

#include <cryptopp/filters.h>
#include <cryptopp/queue.h>
#include <cryptopp/simple.h>

#include <string>

// The queue holds the public-key blob (for binary input, everything the input held).
class PublicKeyInfo : public CryptoPP::ByteQueue {
public:
    // Consumes what it reads; throws on bad input.
    explicit PublicKeyInfo(CryptoPP::BufferedTransformation& in);
    ~PublicKeyInfo() override;

    const std::string& Algorithm() const { return algorithm_; }
    unsigned int KeySize() const { return keySize_; }
    // 47 characters: lower-case hex byte pairs joined by ':'.
    std::string Md5Fingerprint() const { return md5Fingerprint_; }
    // 65 characters: eleven five-letter words joined by '-'.
    std::string BubbleBabble() const { return bubbleBabble_; }

private:
    std::string algorithm_;
    unsigned int keySize_;
    std::string md5Fingerprint_;
    std::string bubbleBabble_;
};

// The Bubble Babble binary data encoding as a filter; one message may arrive over any number
// of puts, and each message end starts a new encoding.
class BubbleBabbleEncoder : public CryptoPP::Unflushable<CryptoPP::Filter> {
public:
    explicit BubbleBabbleEncoder(CryptoPP::BufferedTransformation* attachment = nullptr);
    ~BubbleBabbleEncoder() override;

    size_t Put2(const CryptoPP::byte* input, size_t length, int messageEnd, bool blocking) override;
    void IsolatedInitialize(const CryptoPP::NameValuePairs& parameters) override;
    bool InputBufferIsEmpty() const override { return !pending_; }

private:
    void MakeGroup(unsigned b1, unsigned b2);
    void MakeFinal();

    bool started_;
    bool pending_;
    CryptoPP::byte pendingByte_;
    unsigned int seed_;
    char output_[6];
};
