#include "ssh/dh_kex_handler.h"

#include "ssh/exceptions.h"
#include "ssh/message_numbers.h"
#include "ssh/signer.h"
#include "ssh/wire.h"

#include <cryptopp/filters.h>
#include <cryptopp/queue.h>

#include <algorithm>

using CryptoPP::BufferedTransformation;
using CryptoPP::byte;
using CryptoPP::Integer;
using CryptoPP::SecByteBlock;

namespace {

const char Group1Modulus[] =
    "0x"
    "FFFFFFFF FFFFFFFF C90FDAA2 2168C234 C4C6628B 80DC1CD1 29024E08 8A67CC74 020BBEA6 3B139B22 514A0879 8E3404DD "
    "EF9519B3 CD3A431B 302B0A6D F25F1437 4FE1356D 6D51C245 E485B576 625E7EC6 F44C42E9 A637ED6B 0BFF5CB6 F406B7ED "
    "EE386BFB 5A899FA5 AE9F2411 7C4B1FE6 49286651 ECE65381 FFFFFFFF FFFFFFFF";

const char Group14Modulus[] =
    "0x"
    "FFFFFFFF FFFFFFFF C90FDAA2 2168C234 C4C6628B 80DC1CD1 29024E08 8A67CC74 020BBEA6 3B139B22 514A0879 8E3404DD "
    "EF9519B3 CD3A431B 302B0A6D F25F1437 4FE1356D 6D51C245 E485B576 625E7EC6 F44C42E9 A637ED6B 0BFF5CB6 F406B7ED "
    "EE386BFB 5A899FA5 AE9F2411 7C4B1FE6 49286651 ECE45B3D C2007CB8 A163BF05 98DA4836 1C55D39A 69163FA8 FD24CF5F "
    "83655D23 DCA3AD96 1C62F356 208552BB 9ED52907 7096966D 670C354E 4ABC9804 F1746C08 CA18217C 32905E46 2E36CE3B "
    "E39E772C 180E8603 9B2783A2 EC07A28F B5C55DF0 6F4C52C9 DE2BCBF6 95581718 3995497C EA956AE5 15D22618 98FA0510 "
    "15728E5A 8AACAA68 FFFFFFFF FFFFFFFF";

[[noreturn]] void Disconnect(std::uint32_t reason, const std::string& text)
{
    throw SSH::CauseToDisconnect(reason, text, "en");
}

void EncodeBytesString(BufferedTransformation& out, const std::string& bytes)
{
    SSH::EncodeStringBytes(out, bytes.data(), bytes.size());
}

}  // namespace

const DhGroup& DhKexHandler::Group1Params()
{
    static const DhGroup group(Integer(Group1Modulus), Integer(2));
    return group;
}

const DhGroup& DhKexHandler::Group14Params()
{
    static const DhGroup group(Integer(Group14Modulus), Integer(2));
    return group;
}

const DhGroup* ChooseGexGroup(std::uint32_t min, std::uint32_t n, std::uint32_t max)
{
    struct Sized {
        std::uint32_t bits;
        const DhGroup& group;
    };
    const Sized groups[] = {{1024, DhKexHandler::Group1Params()}, {2048, DhKexHandler::Group14Params()}};
    const DhGroup* atMostN = nullptr;
    const DhGroup* smallestAboveN = nullptr;
    for (const Sized& g : groups) {  // ascending sizes
        if (g.bits < min || g.bits > max) continue;
        if (g.bits <= n)
            atMostN = &g.group;
        else if (!smallestAboveN)
            smallestAboveN = &g.group;
    }
    return atMostN ? atMostN : smallestAboveN;
}

DhKexHandler::DhKexHandler() : KexHandler(SupportedAlgorithms()) {}

DhKexHandler::DhKexHandler(HostKeyVerifier& verifier, std::uint32_t gexMin, std::uint32_t gexN, std::uint32_t gexMax)
    : KexHandler(SupportedAlgorithms()), min_(gexMin), n_(gexN), max_(gexMax), verifier_(&verifier)
{
}

DhKexHandler::~DhKexHandler() = default;

std::string DhKexHandler::SupportedAlgorithms() const
{
    return std::string(Group14Sha1Name()) + "," + GroupExchangeSha1Name() + "," + Group1Sha1Name();
}

bool DhKexHandler::SelectGroup()
{
    const std::string method = state_->ChooseKexAlgorithm();
    // Decided anew for every exchange: a re-exchange may negotiate another method.
    groupExchange_ = method == GroupExchangeSha1Name();
    if (groupExchange_) {
        domain_.reset();
        return false;
    }
    if (method == Group1Sha1Name())
        SetGroup(Group1Params());
    else if (method == Group14Sha1Name())
        SetGroup(Group14Params());
    else
        throw CryptoPP::Exception(CryptoPP::Exception::OTHER_ERROR, "DhKexHandler: key exchange algorithm unsupported");
    return true;
}

void DhKexHandler::SetGroup(const DhGroup& group)
{
    group_ = group;
    domain_.reset(new CryptoPP::DH(group.p, group.g));
    privateValue_.CleanNew(domain_->PrivateKeyLength());
}

void DhKexHandler::Start(BufferedTransformation& out)
{
    if (GetRole() == ServerRole) {
        SelectGroup();
        return;
    }
    if (SelectGroup()) {
        SendInit(out);
        return;
    }
    SSH::EncodeByte(out, SSH::SSH_MSG_KEX_DH_GEX_REQUEST);
    SSH::EncodeUint32(out, min_);
    SSH::EncodeUint32(out, n_);
    SSH::EncodeUint32(out, max_);
    out.MessageEnd();
}

void DhKexHandler::SendInit(BufferedTransformation& out)
{
    SecByteBlock publicValue(domain_->PublicKeyLength());
    domain_->GenerateKeyPair(state_->Rng(), privateValue_, publicValue);
    e_.Decode(publicValue, publicValue.size());
    SSH::EncodeByte(out, groupExchange_ ? SSH::SSH_MSG_KEX_DH_GEX_INIT : SSH::SSH_MSG_KEXDH_INIT);
    SSH::EncodeMpint(out, e_);
    out.MessageEnd();
}

bool DhKexHandler::ProcessMessage(BufferedTransformation& message, BufferedTransformation& out)
{
    return GetRole() == ServerRole ? ServerProcessMessage(message, out) : ClientProcessMessage(message, out);
}

Integer DhKexHandler::Agree(const Integer& otherPublic)
{
    // RFC 4253 section 8: the other side's value must lie in [2, p-2]; 1 and p-1 would force
    // a shared secret an eavesdropper knows.
    const Integer& p = group_.p;
    if (otherPublic <= Integer::One() || otherPublic >= p - Integer::One())
        Disconnect(SSH::DisconnectKeyExchangeFailed, "invalid DH value");
    SecByteBlock other(domain_->PublicKeyLength());
    otherPublic.Encode(other, other.size());
    SecByteBlock agreed(domain_->AgreedValueLength());
    if (!domain_->Agree(agreed, privateValue_, other, false))
        Disconnect(SSH::DisconnectKeyExchangeFailed, "invalid DH value");
    return Integer(agreed, agreed.size());
}

bool DhKexHandler::ServerProcessMessage(BufferedTransformation& message, BufferedTransformation& out)
{
    if (groupExchange_ && !domain_) {
        byte number;
        SSH::DecodeByte(message, number);
        if (number == SSH::SSH_MSG_KEX_DH_GEX_REQUEST_OLD) {
            oldRequest_ = true;
            SSH::DecodeUint32(message, n_);
            min_ = std::min<std::uint32_t>(1024, n_);
            max_ = std::max<std::uint32_t>(8192, n_);
        } else if (number == SSH::SSH_MSG_KEX_DH_GEX_REQUEST) {
            oldRequest_ = false;
            SSH::DecodeUint32(message, min_);
            SSH::DecodeUint32(message, n_);
            SSH::DecodeUint32(message, max_);
        } else {
            Disconnect(SSH::DisconnectProtocolError,
                       "unexpected message number " + std::to_string(unsigned(number)) +
                           ", should be SSH_MSG_KEX_DH_GEX_REQUEST or SSH_MSG_KEX_DH_GEX_REQUEST_OLD");
        }
        const DhGroup* group = ChooseGexGroup(min_, n_, max_);
        if (!group)
            Disconnect(SSH::DisconnectKeyExchangeFailed,
                       "no Diffie-Hellman group of " + std::to_string(min_) + " to " + std::to_string(max_) +
                           " bits is available (groups of 1024 and 2048 bits are)");
        SetGroup(*group);
        SSH::EncodeByte(out, SSH::SSH_MSG_KEX_DH_GEX_GROUP);
        SSH::EncodeMpint(out, group_.p);
        SSH::EncodeMpint(out, group_.g);
        out.MessageEnd();
        return false;
    }

    const Signer* signer = state_->ChosenSigner();
    if (!signer) Disconnect(SSH::DisconnectKeyExchangeFailed, "this key exchange method not possible without a host key");
    std::string hostKey;
    {
        CryptoPP::StringSink sink(hostKey);
        signer->EncodePublicKey(sink);
    }
    state_->SetHostKey(hostKey, signer->AlgorithmName());

    SSH::DecodeMessageNumber(message, groupExchange_ ? SSH::SSH_MSG_KEX_DH_GEX_INIT : SSH::SSH_MSG_KEXDH_INIT);
    SSH::DecodeMpint(message, e_);

    SecByteBlock publicValue(domain_->PublicKeyLength());
    domain_->GenerateKeyPair(state_->Rng(), privateValue_, publicValue);
    f_.Decode(publicValue, publicValue.size());
    state_->SetSharedSecret(Agree(e_));
    ComputeExchangeHash();

    const SecByteBlock& H = state_->ExchangeHash();
    const std::string signature = signer->Sign(state_->Rng(), H.data(), H.size());
    SSH::EncodeByte(out, groupExchange_ ? SSH::SSH_MSG_KEX_DH_GEX_REPLY : SSH::SSH_MSG_KEXDH_REPLY);
    EncodeBytesString(out, hostKey);
    SSH::EncodeMpint(out, f_);
    EncodeBytesString(out, signature);
    out.MessageEnd();
    return true;
}

bool DhKexHandler::ClientProcessMessage(BufferedTransformation& message, BufferedTransformation& out)
{
    if (groupExchange_ && !domain_) {
        SSH::DecodeMessageNumber(message, SSH::SSH_MSG_KEX_DH_GEX_GROUP);
        Integer p, g;
        SSH::DecodeMpint(message, p);
        SSH::DecodeMpint(message, g);
        // A group outside the sizes we asked for would let the server weaken the exchange;
        // a malformed modulus makes the dependency throw rather than answer.
        const unsigned bits = p.BitCount();
        bool valid = bits >= min_ && bits <= max_ && p.IsOdd() && g > Integer::One() && g < p - Integer::One();
        if (valid) {
            try {
                SetGroup(DhGroup(p, g));
                valid = domain_->GetGroupParameters().Validate(state_->Rng(), 1);
            } catch (const CryptoPP::Exception&) {
                valid = false;
            }
        }
        if (!valid) Disconnect(SSH::DisconnectKeyExchangeFailed, "server-proposed DH group parameters did not validate");
        SendInit(out);
        return false;
    }

    SSH::DecodeMessageNumber(message, groupExchange_ ? SSH::SSH_MSG_KEX_DH_GEX_REPLY : SSH::SSH_MSG_KEXDH_REPLY);
    std::string hostKey;
    SSH::DecodeString(message, hostKey);
    SSH::DecodeMpint(message, f_);
    SecByteBlock signature;
    SSH::DecodeByteBlock(message, signature);

    std::string algorithm;
    {
        CryptoPP::StringSource blob(hostKey, true);
        SSH::DecodeString(blob, algorithm);
    }
    if (algorithm != state_->ChooseHostKeyAlgorithm()) Disconnect(SSH::DisconnectProtocolError, "invalid host key algorithm");
    state_->SetHostKey(hostKey, algorithm);
    if (!verifier_->Verify(hostKey, algorithm, state_->KexCount() > 1))
        Disconnect(SSH::DisconnectHostKeyNotVerifiable, "host key verification failed");

    state_->SetSharedSecret(Agree(f_));
    ComputeExchangeHash();
    const SecByteBlock& H = state_->ExchangeHash();
    if (!SSH::VerifySignature(hostKey.data(), hostKey.size(), H.data(), H.size(), signature.data(), signature.size()))
        Disconnect(SSH::DisconnectHostKeyNotVerifiable, "signature check failed");
    return true;
}

void DhKexHandler::ComputeExchangeHash()
{
    CryptoPP::ByteQueue input;
    SSH::EncodeString(input, state_->ClientVersion().Line());
    SSH::EncodeString(input, state_->ServerVersion().Line());
    for (const KexInit* init : {&state_->ClientKexInit(), &state_->ServerKexInit()}) {
        CryptoPP::ByteQueue encoded;
        init->Encode(encoded);
        SSH::EncodeQueue(input, encoded);
    }
    EncodeBytesString(input, state_->HostKeyBlob());
    if (groupExchange_) {
        if (!oldRequest_) SSH::EncodeUint32(input, min_);
        SSH::EncodeUint32(input, n_);
        if (!oldRequest_) SSH::EncodeUint32(input, max_);
        SSH::EncodeMpint(input, group_.p);
        SSH::EncodeMpint(input, group_.g);
    }
    SSH::EncodeMpint(input, e_);
    SSH::EncodeMpint(input, f_);
    SSH::EncodeMpint(input, state_->SharedSecret());

    SecByteBlock H(hash_.DigestSize());
    CryptoPP::HashFilter filter(hash_, new CryptoPP::ArraySink(H, H.size()));
    input.TransferTo(filter);
    filter.MessageEnd();
    state_->SetExchangeHash(H);
}
