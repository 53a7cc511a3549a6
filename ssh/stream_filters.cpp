#include "ssh/stream_filters.h"

#include "ssh/version_info.h"
#include "ssh/wire.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/aes.h>
#include <cryptopp/arc4.h>
#include <cryptopp/blowfish.h>
#include <cryptopp/cast.h>
#include <cryptopp/des.h>
#include <cryptopp/hmac.h>
#include <cryptopp/md5.h>
#include <cryptopp/misc.h>
#include <cryptopp/modes.h>
#include <cryptopp/sha.h>
#include <cryptopp/twofish.h>
#include <cryptopp/zlib.h>

#include <cstring>
#include <functional>

using CryptoPP::BufferedTransformation;
using CryptoPP::byte;
using CryptoPP::HashTransformation;
using CryptoPP::Integer;
using CryptoPP::InvalidArgument;
using CryptoPP::SecByteBlock;

namespace SSH {

SecByteBlock DeriveKey(HashTransformation& hash, const Integer& K, const SecByteBlock& H,
                       const SecByteBlock& sessionId, char letter, std::size_t length)
{
    std::string k;
    {
        CryptoPP::StringSink sink(k);
        EncodeMpint(sink, K);
    }
    const std::size_t digest = hash.DigestSize();
    const std::size_t rounded = (length + digest - 1) / digest * digest;
    SecByteBlock key(rounded);
    std::size_t produced = 0;
    while (produced < rounded) {
        hash.Update(reinterpret_cast<const byte*>(k.data()), k.size());
        hash.Update(H, H.size());
        if (produced == 0) {
            const byte l = byte(letter);
            hash.Update(&l, 1);
            hash.Update(sessionId, sessionId.size());
        } else {
            hash.Update(key, produced);
        }
        hash.Final(key + produced);
        produced += digest;
    }
    CryptoPP::SecureWipeBuffer(reinterpret_cast<byte*>(&k[0]), k.size());
    return key;
}

namespace {

bool StartsWith(const std::string& text, const char* prefix) { return text.compare(0, std::strlen(prefix), prefix) == 0; }

}  // namespace

bool PeerUsesShortHmacKey(const VersionInfo& peer)
{
    if (!StartsWith(peer.Comments(), "SSH Secure Shell") && !StartsWith(peer.Comments(), "F-SECURE SSH")) return false;
    const std::string& v = peer.SoftwareVersion();
    return StartsWith(v, "2.3.0") || StartsWith(v, "2.2.") || StartsWith(v, "2.1.") || StartsWith(v, "2.0.") ||
           v == "2.2" || v == "2.1" || v == "2.0";
}

StreamFilter::StreamFilter(BufferedTransformation* inner, BufferedTransformation* attachment)
    : ProxyFilter(inner, 0, 0, attachment)
{
    // Without an attachment, output is discarded until it is redirected; the default
    // attachment would keep a record of every message end for ever.
    if (!attachment) RedirectOutputTo(nullptr);
}

void StreamFilter::RedirectOutputTo(BufferedTransformation& target) { RedirectOutputTo(&target); }

void StreamFilter::RedirectOutputTo(BufferedTransformation* target)
{
    if (!redirector_) {
        redirector_ = new CryptoPP::Redirector;
        redirector_->SetBehavior(CryptoPP::Redirector::DATA_ONLY);
        Detach(redirector_);
    }
    if (target)
        redirector_->Redirect(*target);
    else
        redirector_->StopRedirection();
}

void StreamFilter::LastPut(const byte*, std::size_t)
{
    if (m_filter.get()) m_filter->MessageEnd();
}

namespace {

using CipherFactory = std::function<CryptoPP::StreamTransformation*(const SecByteBlock& key, const SecByteBlock& iv)>;

template <class Block>
CipherFactory Cbc(bool decrypt)
{
    return [decrypt](const SecByteBlock& key, const SecByteBlock& iv) -> CryptoPP::StreamTransformation* {
        if (decrypt) return new typename CryptoPP::CBC_Mode<Block>::Decryption(key, key.size(), iv);
        return new typename CryptoPP::CBC_Mode<Block>::Encryption(key, key.size(), iv);
    };
}

struct CipherType {
    std::size_t keyLength;
    std::size_t ivLength;
    CipherFactory make;
};

bool FindCipher(const std::string& name, bool decrypt, CipherType& type)
{
    if (name == "aes256-cbc") type = {32, 16, Cbc<CryptoPP::AES>(decrypt)};
    else if (name == "aes128-cbc") type = {16, 16, Cbc<CryptoPP::AES>(decrypt)};
    else if (name == "blowfish-cbc") type = {16, 8, Cbc<CryptoPP::Blowfish>(decrypt)};
    else if (name == "3des-cbc") type = {24, 8, Cbc<CryptoPP::DES_EDE3>(decrypt)};
    else if (name == "twofish-cbc" || name == "twofish256-cbc") type = {32, 16, Cbc<CryptoPP::Twofish>(decrypt)};
    else if (name == "twofish128-cbc") type = {16, 16, Cbc<CryptoPP::Twofish>(decrypt)};
    else if (name == "cast128-cbc") type = {16, 8, Cbc<CryptoPP::CAST128>(decrypt)};
    else if (name == "arcfour")
        type = {16, 0, [](const SecByteBlock& key, const SecByteBlock&) -> CryptoPP::StreamTransformation* {
                    return new CryptoPP::Weak::ARC4(key, key.size());
                }};
    else
        return false;
    return true;
}

// Takes the first n bytes of a derived key.
SecByteBlock Prefix(const SecByteBlock& block, std::size_t n) { return SecByteBlock(block.data(), n); }

}  // namespace

Cipher::Cipher(BufferedTransformation* attachment) : StreamFilter(new CryptoPP::TransparentFilter, attachment) {}

Cipher::~Cipher() = default;

void Cipher::SetAlgorithm(const std::string& name, HashTransformation& hash, const Integer& K, const SecByteBlock& H,
                          const SecByteBlock& sessionId, bool serverToClient, bool decrypt)
{
    CipherType type;
    const bool known = FindCipher(name, decrypt, type);
    if (!known && name != "none") throw InvalidArgument("SSH::Cipher: unsupported cipher type");
    SetFilter(nullptr);
    cipher_.reset();
    blockSize_ = 1;
    if (!known) {
        SetFilter(new CryptoPP::TransparentFilter);
        return;
    }
    const SecByteBlock key = Prefix(DeriveKey(hash, K, H, sessionId, serverToClient ? 'D' : 'C', type.keyLength),
                                    type.keyLength);
    SecByteBlock iv;
    if (type.ivLength)
        iv = Prefix(DeriveKey(hash, K, H, sessionId, serverToClient ? 'B' : 'A', type.ivLength), type.ivLength);
    cipher_.reset(type.make(key, iv));
    blockSize_ = cipher_->MandatoryBlockSize();
    SetFilter(new CryptoPP::StreamTransformationFilter(*cipher_, nullptr,
                                                       CryptoPP::BlockPaddingSchemeDef::NO_PADDING));
}

void Cipher::Process(byte* output, const byte* input, std::size_t length)
{
    if (cipher_)
        cipher_->ProcessData(output, input, length);
    else if (output != input)
        std::memcpy(output, input, length);
}

Mac::Mac(BufferedTransformation* attachment) : StreamFilter(new CryptoPP::OpaqueFilter, attachment), mac_(new NullMac) {}

Mac::~Mac() = default;

void Mac::SetAlgorithm(const std::string& name, HashTransformation& hash, const Integer& K, const SecByteBlock& H,
                       const SecByteBlock& sessionId, bool serverToClient, bool compute, const VersionInfo& peerVersion)
{
    std::unique_ptr<CryptoPP::MessageAuthenticationCode> mac;
    std::size_t keyLength = 0;
    unsigned digestSize = 0;
    const bool shortKey = PeerUsesShortHmacKey(peerVersion);
    if (name == "none") {
        mac.reset(new NullMac);
    } else if (name == "hmac-sha1" || name == "hmac-sha1-96") {
        mac.reset(new CryptoPP::HMAC<CryptoPP::SHA1>);
        keyLength = shortKey ? 16 : 20;
        digestSize = name == "hmac-sha1" ? 20 : 12;
    } else if (name == "hmac-md5" || name == "hmac-md5-96") {
        mac.reset(new CryptoPP::HMAC<CryptoPP::Weak::MD5>);
        keyLength = 16;
        digestSize = name == "hmac-md5" ? 16 : 12;
    } else {
        throw InvalidArgument("SSH::Mac: unsupported MAC algorithm");
    }
    if (keyLength) {
        const SecByteBlock key = DeriveKey(hash, K, H, sessionId, serverToClient ? 'F' : 'E', keyLength);
        mac->SetKey(key, keyLength);
    }
    SetFilter(nullptr);
    verifier_ = nullptr;
    mac_ = std::move(mac);
    digestSize_ = digestSize;
    const int truncated = digestSize && digestSize < mac_->DigestSize() ? int(digestSize) : -1;
    if (compute) {
        SetFilter(new CryptoPP::HashFilter(*mac_, nullptr, false, truncated));
    } else {
        // The verdict is compared in constant time (VerifyBufsEqual) and read by the decoder.
        verifier_ = new CryptoPP::HashVerificationFilter(*mac_, nullptr, CryptoPP::HashVerificationFilter::HASH_AT_BEGIN,
                                                         truncated);
        SetFilter(verifier_);
    }
}

bool Mac::Verified() const { return verifier_ ? verifier_->GetLastResult() : true; }

void Mac::Sign(std::uint32_t sequence, const byte* packet, std::size_t length, byte* digest)
{
    byte number[4];
    CryptoPP::PutWord(false, CryptoPP::BIG_ENDIAN_ORDER, number, sequence);
    mac_->Update(number, sizeof number);
    mac_->Update(packet, length);
    mac_->TruncatedFinal(digest, digestSize_);
}

bool Mac::Verify(std::uint32_t sequence, const byte* packet, std::size_t length, const byte* received)
{
    byte number[4];
    CryptoPP::PutWord(false, CryptoPP::BIG_ENDIAN_ORDER, number, sequence);
    mac_->Update(number, sizeof number);
    mac_->Update(packet, length);
    return mac_->TruncatedVerify(received, digestSize_);
}

Compressor::Compressor(BufferedTransformation* attachment, int level)
    : StreamFilter(new CryptoPP::TransparentFilter, attachment), level_(level)
{
}

void Compressor::SetAlgorithm(const std::string& name, bool compress)
{
    if (name == "none") {
        SetFilter(new CryptoPP::TransparentFilter);
    } else if (name == "zlib") {
        if (compress)
            SetFilter(new CryptoPP::ZlibCompressor(nullptr, level_ < 0 ? 4 : unsigned(level_), 14));
        else
            SetFilter(new CryptoPP::ZlibDecompressor(nullptr, false, -1));
    } else {
        throw InvalidArgument("SSH::Compressor: unsupported compression algorithm");
    }
    passesThrough_ = name == "none";
}

}  // namespace SSH
