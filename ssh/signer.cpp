#include "ssh/signer.h"

#include "ssh/wire.h"

#include <cryptopp/asn.h>
#include <cryptopp/osrng.h>
#include <cryptopp/filters.h>
#include <cryptopp/queue.h>

using CryptoPP::BERSequenceDecoder;
using CryptoPP::BufferedTransformation;
using CryptoPP::DERSequenceEncoder;
using CryptoPP::DSA;
using CryptoPP::Exception;
using CryptoPP::Integer;
using CryptoPP::InvalidArgument;
using CryptoPP::InvalidDataFormat;
using CryptoPP::InvertibleRSAFunction;
using CryptoPP::SecByteBlock;

namespace {

const char DssName[] = "ssh-dss";
const char RsaName[] = "ssh-rsa";

// "ssh-dss" means DSA with a 1024-bit p and 160-bit q; Crypto++ would also make 2048- and
// 3072-bit keys with other subgroup sizes, which no SSH peer accepts under this name.
const unsigned DssBits = 1024;

void RequireSound(bool valid, const char* text)
{
    if (!valid) throw InvalidDataFormat(text);
}

// Crypto++ also validates 2048- and 3072-bit DSA keys, whose signatures do not fit "ssh-dss".
bool IsSoundDssKey(const DSA::PrivateKey& key)
{
    const auto& group = key.GetGroupParameters();
    return group.GetModulus().BitCount() == DssBits && group.GetSubgroupOrder().BitCount() == 160 &&
           key.Validate(CryptoPP::NullRNG(), 0);
}

// The version INTEGER of a PEM body must be 0.
void DecodePemVersion(BERSequenceDecoder& seq)
{
    CryptoPP::word32 version;
    CryptoPP::BERDecodeUnsigned<CryptoPP::word32>(seq, version, CryptoPP::INTEGER, 0, 0);
}

}  // namespace

Signer::Signer(CryptoPP::RandomNumberGenerator& rng, const std::string& algorithm, unsigned int bits)
{
    if (algorithm == DssName) {
        if (bits != DssBits) throw InvalidArgument("DSA: not a valid prime length");
        dsa_.reset(new DSA::Signer(rng, bits));
    } else if (algorithm == RsaName) {
        rsa_.reset(new InvertibleRSAFunction);
        rsa_->Initialize(rng, bits, 17);
    } else {
        throw InvalidArgument("Signer: unrecognized private key algorithm");
    }
}

Signer::Signer(BufferedTransformation& in)
{
    std::uint32_t version;
    SSH::DecodeUint32(in, version);
    if (version != 0) throw InvalidDataFormat("Signer: unsupported private key version");
    std::string algorithm;
    SSH::DecodeString(in, algorithm);
    if (algorithm == DssName) {
        std::unique_ptr<DSA::Signer> key(new DSA::Signer);
        key->AccessKey().BERDecode(in);
        RequireSound(IsSoundDssKey(key->GetKey()), "Signer: ssh-dss private key sanity check failed");
        dsa_ = std::move(key);
        RequireSignsVerifiably("Signer: ssh-dss private key makes signatures that do not verify");
    } else if (algorithm == RsaName) {
        std::unique_ptr<InvertibleRSAFunction> key(new InvertibleRSAFunction);
        key->BERDecode(in);
        RequireSound(key->Validate(CryptoPP::NullRNG(), 0), "Signer: ssh-rsa private key sanity check failed");
        rsa_ = std::move(key);
        RequireSignsVerifiably("Signer: ssh-rsa private key makes signatures that do not verify");
    } else {
        throw InvalidDataFormat("Signer: unsupported private key algorithm");
    }
}

Signer::Signer(BufferedTransformation& in, const std::string& pemKeyType)
{
    if (pemKeyType == "DSA") {
        Integer p, q, g, y, x;
        BERSequenceDecoder seq(in);
        DecodePemVersion(seq);
        p.BERDecode(seq);
        q.BERDecode(seq);
        g.BERDecode(seq);
        y.BERDecode(seq);  // follows from x
        x.BERDecode(seq);
        seq.MessageEnd();
        std::unique_ptr<DSA::Signer> key(new DSA::Signer);
        key->AccessKey().Initialize(p, q, g, x);
        RequireSound(IsSoundDssKey(key->GetKey()), "Signer: OpenSSH DSA private key sanity check failed");
        dsa_ = std::move(key);
        RequireSignsVerifiably("Signer: OpenSSH DSA private key makes signatures that do not verify");
    } else if (pemKeyType == "RSA") {
        Integer n, e, d, p, q, dp, dq, u;
        BERSequenceDecoder seq(in);
        DecodePemVersion(seq);
        for (Integer* v : {&n, &e, &d, &p, &q, &dp, &dq, &u}) v->BERDecode(seq);
        seq.MessageEnd();
        std::unique_ptr<InvertibleRSAFunction> key(new InvertibleRSAFunction);
        key->Initialize(n, e, d, p, q, dp, dq, u);
        RequireSound(key->Validate(CryptoPP::NullRNG(), 0), "Signer: OpenSSH RSA private key sanity check failed");
        rsa_ = std::move(key);
        RequireSignsVerifiably("Signer: OpenSSH RSA private key makes signatures that do not verify");
    } else {
        throw InvalidArgument("Signer: unrecognized PEM private key algorithm");
    }
}

Signer::~Signer() = default;

void Signer::RequireSignsVerifiably(const char* failureText) const
{
    static const char probe[] = "Signer self-test";
    CryptoPP::AutoSeededRandomPool rng;
    std::string publicKey;
    {
        CryptoPP::StringSink out(publicKey);
        EncodePublicKey(out);
    }
    const std::string signature = Sign(rng, probe, sizeof probe - 1);
    RequireSound(SSH::VerifySignature(publicKey.data(), publicKey.size(), probe, sizeof probe - 1, signature.data(),
                                      signature.size()),
                 failureText);
}

std::string Signer::AlgorithmName() const { return dsa_ ? DssName : rsa_ ? RsaName : ""; }

std::string Signer::PemKeyType() const { return dsa_ ? "DSA" : rsa_ ? "RSA" : ""; }

void Signer::EncodePrivateKey(BufferedTransformation& out) const
{
    if (!dsa_ && !rsa_) throw Exception(Exception::OTHER_ERROR, "Signer: no private key to encode");
    SSH::EncodeUint32(out, 0);
    SSH::EncodeString(out, AlgorithmName());
    if (dsa_)
        dsa_->GetKey().DEREncode(out);
    else
        rsa_->DEREncode(out);
}

void Signer::EncodePemBody(BufferedTransformation& out) const
{
    if (!dsa_ && !rsa_) throw Exception(Exception::OTHER_ERROR, "Signer: no private key to encode");
    DERSequenceEncoder seq(out);
    CryptoPP::DEREncodeUnsigned<CryptoPP::word32>(seq, 0);
    if (dsa_) {
        const DSA::PrivateKey& key = dsa_->GetKey();
        const auto& group = key.GetGroupParameters();
        Integer y = group.ExponentiateBase(key.GetPrivateExponent());
        const Integer fields[] = {group.GetModulus(), group.GetSubgroupOrder(), group.GetGenerator(), y,
                                  key.GetPrivateExponent()};
        for (const Integer& v : fields) v.DEREncode(seq);
    } else {
        const InvertibleRSAFunction& k = *rsa_;
        const Integer fields[] = {k.GetModulus(),  k.GetPublicExponent(),          k.GetPrivateExponent(),
                                  k.GetPrime1(),   k.GetPrime2(),                  k.GetModPrime1PrivateExponent(),
                                  k.GetModPrime2PrivateExponent(), k.GetMultiplicativeInverseOfPrime2ModPrime1()};
        for (const Integer& v : fields) v.DEREncode(seq);
    }
    seq.MessageEnd();
}

void Signer::EncodePublicKey(BufferedTransformation& out) const
{
    if (dsa_) {
        const DSA::PrivateKey& key = dsa_->GetKey();
        const auto& group = key.GetGroupParameters();
        SSH::EncodeString(out, DssName);
        SSH::EncodeMpint(out, group.GetModulus());
        SSH::EncodeMpint(out, group.GetSubgroupOrder());
        SSH::EncodeMpint(out, group.GetGenerator());
        SSH::EncodeMpint(out, group.ExponentiateBase(key.GetPrivateExponent()));
    } else if (rsa_) {
        SSH::EncodeString(out, RsaName);
        SSH::EncodeMpint(out, rsa_->GetPublicExponent());
        SSH::EncodeMpint(out, rsa_->GetModulus());
    } else {
        throw Exception(Exception::OTHER_ERROR, "Signer: no public key to encode");
    }
}

std::string Signer::Sign(CryptoPP::RandomNumberGenerator& rng, const void* data, std::size_t length) const
{
    std::string blob;
    CryptoPP::StringSink out(blob);
    const auto* bytes = static_cast<const CryptoPP::byte*>(data);
    if (dsa_) {
        SSH::EncodeString(out, DssName);
        SecByteBlock signature(dsa_->SignatureLength());
        dsa_->SignMessage(rng, bytes, length, signature);
        SSH::EncodeByteBlock(out, signature);
    } else if (rsa_) {
        SSH::EncodeString(out, RsaName);
        CryptoPP::RSASSA_PKCS1v15_SHA_Signer signer(*rsa_);
        SecByteBlock signature(signer.SignatureLength());
        signer.SignMessage(rng, bytes, length, signature);
        SSH::EncodeByteBlock(out, signature);
    } else {
        throw Exception(Exception::OTHER_ERROR, "Signer: no private key to sign with");
    }
    return blob;
}

namespace SSH {

namespace {

// Reads the signature string of a blob named `algorithm`; false when it names another.
bool DecodeNamedSignature(BufferedTransformation& in, const char* algorithm, SecByteBlock& signature)
{
    std::string name;
    DecodeString(in, name);
    if (name != algorithm) return false;
    DecodeByteBlock(in, signature);
    return true;
}

bool VerifyOrThrow(const CryptoPP::byte* key, std::size_t keyLength, const CryptoPP::byte* data,
                   std::size_t dataLength, const CryptoPP::byte* sig, std::size_t sigLength)
{
    CryptoPP::StringSource keyIn(key, keyLength, true);
    CryptoPP::StringSource sigIn(sig, sigLength, true);
    std::string algorithm;
    DecodeString(keyIn, algorithm);
    SecByteBlock signature;
    if (algorithm == DssName) {
        Integer p, q, g, y;
        for (Integer* v : {&p, &q, &g, &y}) DecodeMpint(keyIn, *v);
        DSA::Verifier verifier;
        verifier.AccessKey().Initialize(p, q, g, y);
        if (sigLength == verifier.SignatureLength())
            signature.Assign(sig, sigLength);
        else if (!DecodeNamedSignature(sigIn, DssName, signature))
            return false;
        return signature.size() == verifier.SignatureLength() &&
               verifier.VerifyMessage(data, dataLength, signature, signature.size());
    }
    if (algorithm == RsaName) {
        Integer e, n;
        DecodeMpint(keyIn, e);
        DecodeMpint(keyIn, n);
        CryptoPP::RSASSA_PKCS1v15_SHA_Verifier verifier(n, e);
        if (!DecodeNamedSignature(sigIn, RsaName, signature)) return false;
        // Some peers drop the leading zero bytes of the signature; it is still the same number.
        return signature.size() <= verifier.SignatureLength() &&
               verifier.VerifyMessage(data, dataLength, signature, signature.size());
    }
    return false;
}

}  // namespace

bool VerifySignature(const void* publicKeyBlob, std::size_t publicKeyLength, const void* data,
                     std::size_t dataLength, const void* signatureBlob, std::size_t signatureLength)
{
    try {
        return VerifyOrThrow(static_cast<const CryptoPP::byte*>(publicKeyBlob), publicKeyLength,
                             static_cast<const CryptoPP::byte*>(data), dataLength,
                             static_cast<const CryptoPP::byte*>(signatureBlob), signatureLength);
    } catch (...) {
        return false;
    }
}

}  // namespace SSH
