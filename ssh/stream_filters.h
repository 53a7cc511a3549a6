// The transport's three stream filters per direction (cipher, MAC, compression) and the key
// derivation that feeds them. Each is a proxy filter whose inner filter is replaced when new
// keys take effect; until then it passes data unchanged ("none"), the MAC passing nothing.
#pragma once

#include <cryptopp/cryptlib.h>
#include <cryptopp/filters.h>
#include <cryptopp/integer.h>
#include <cryptopp/secblock.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class VersionInfo;

namespace SSH {

// RFC 4253 section 7.2: HASH(K || H || letter || session id), extended by HASH(K || H || so
// far) up to the length rounded up to whole digests. Letters 'A' to 'F'.
CryptoPP::SecByteBlock DeriveKey(CryptoPP::HashTransformation& hash, const CryptoPP::Integer& K,
                                 const CryptoPP::SecByteBlock& H, const CryptoPP::SecByteBlock& sessionId,
                                 char letter, std::size_t length);

// Two older products key their HMAC-SHA1 with 16 bytes only.
bool PeerUsesShortHmacKey(const VersionInfo& peerVersion);

// The common part: a pass-through proxy whose output can be pointed at another target.
class StreamFilter : public CryptoPP::ProxyFilter {
public:
    // Output goes to target from now on (data only: message ends stay with this filter).
    void RedirectOutputTo(CryptoPP::BufferedTransformation& target);
    // Null discards the output.
    void RedirectOutputTo(CryptoPP::BufferedTransformation* target);

    void FirstPut(const CryptoPP::byte*) override {}
    void LastPut(const CryptoPP::byte*, std::size_t) override;

protected:
    StreamFilter(CryptoPP::BufferedTransformation* inner, CryptoPP::BufferedTransformation* attachment);

private:
    CryptoPP::Redirector* redirector_ = nullptr;
};

class Cipher : public StreamFilter {
public:
    explicit Cipher(CryptoPP::BufferedTransformation* attachment);
    ~Cipher() override;

    // serverToClient false: letters 'C' (key) and 'A' (IV), else 'D' and 'B'. InvalidArgument
    // "SSH::Cipher: unsupported cipher type" for an unknown name.
    void SetAlgorithm(const std::string& name, CryptoPP::HashTransformation& hash, const CryptoPP::Integer& K,
                      const CryptoPP::SecByteBlock& H, const CryptoPP::SecByteBlock& sessionId,
                      bool serverToClient, bool decrypt);
    // The cipher's block size, 1 for "none" and stream ciphers.
    unsigned BlockSize() const { return blockSize_; }
    // False for "none".
    bool IsKeyed() const { return cipher_ != nullptr; }
    // Whole blocks straight through the cipher object, bypassing the filter (which must hold
    // no partial block); the chaining state is the one the filter uses. output may be input.
    void Process(CryptoPP::byte* output, const CryptoPP::byte* input, std::size_t length);

private:
    std::unique_ptr<CryptoPP::StreamTransformation> cipher_;
    unsigned blockSize_ = 1;
};

// The message authentication code of "none": no digest, every verification succeeds.
class NullMac : public CryptoPP::MessageAuthenticationCode {
public:
    std::string AlgorithmName() const override { return "NullMac"; }
    unsigned int DigestSize() const override { return 0; }
    void Update(const CryptoPP::byte*, std::size_t) override {}
    void TruncatedFinal(CryptoPP::byte*, std::size_t) override {}
    bool TruncatedVerify(const CryptoPP::byte*, std::size_t) override { return true; }
    unsigned int OptimalBlockSize() const override { return 1; }
    unsigned int OptimalDataAlignment() const override { return 1; }
    std::size_t MinKeyLength() const override { return 0; }
    std::size_t MaxKeyLength() const override { return 0; }
    std::size_t DefaultKeyLength() const override { return 0; }
    std::size_t GetValidKeyLength(std::size_t) const override { return 0; }
    IV_Requirement IVRequirement() const override { return NOT_RESYNCHRONIZABLE; }

protected:
    void UncheckedSetKey(const CryptoPP::byte*, unsigned int, const CryptoPP::NameValuePairs&) override {}
};

class Mac : public StreamFilter {
public:
    explicit Mac(CryptoPP::BufferedTransformation* attachment);
    ~Mac() override;

    // serverToClient false takes letter 'E', else 'F'. compute (outgoing): the digest is
    // written at the message end; otherwise the received MAC comes first and the verdict is
    // kept for Verified(). InvalidArgument "SSH::Mac: unsupported MAC algorithm".
    void SetAlgorithm(const std::string& name, CryptoPP::HashTransformation& hash, const CryptoPP::Integer& K,
                      const CryptoPP::SecByteBlock& H, const CryptoPP::SecByteBlock& sessionId,
                      bool serverToClient, bool compute, const VersionInfo& peerVersion);
    unsigned DigestSize() const { return digestSize_; }
    bool Verified() const;
    // The MAC of the sequence number and a whole packet without the filter: written to
    // digest (DigestSize() bytes), or compared in constant time with the received one.
    void Sign(std::uint32_t sequence, const CryptoPP::byte* packet, std::size_t length, CryptoPP::byte* digest);
    bool Verify(std::uint32_t sequence, const CryptoPP::byte* packet, std::size_t length,
                const CryptoPP::byte* received);

private:
    std::unique_ptr<CryptoPP::MessageAuthenticationCode> mac_;
    unsigned digestSize_ = 0;
    CryptoPP::HashVerificationFilter* verifier_ = nullptr;
};

class Compressor : public StreamFilter {
public:
    // A negative level means 4.
    Compressor(CryptoPP::BufferedTransformation* attachment, int level);

    // "none" or "zlib"; InvalidArgument "SSH::Compressor: unsupported compression algorithm".
    void SetAlgorithm(const std::string& name, bool compress);
    // True for "none": what goes in comes out unchanged, so a caller may skip the filter.
    bool PassesThrough() const { return passesThrough_; }

private:
    int level_;
    bool passesThrough_ = true;
};

}  // namespace SSH
