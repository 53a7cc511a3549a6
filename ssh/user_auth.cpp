#include "ssh/user_auth.h"

#include "ssh/key_files.h"
#include "ssh/manager.h"
#include "ssh/message_numbers.h"
#include "ssh/signer.h"
#include "ssh/transport_state.h"
#include "ssh/wire.h"

#include <cryptopp/filters.h>
#include <cryptopp/queue.h>

namespace SSH {

using CryptoPP::BufferedTransformation;
using CryptoPP::ConstByteArrayParameter;

namespace {

const char ConnectionService[] = "ssh-connection";

void EncodeRequestStart(BufferedTransformation& out, const std::string& user, const char* method)
{
    EncodeByte(out, SSH_MSG_USERAUTH_REQUEST);
    EncodeString(out, user);
    EncodeString(out, ConnectionService);
    EncodeString(out, method);
}

void EncodePassword(BufferedTransformation& out, const ConstByteArrayParameter& password)
{
    EncodeStringBytes(out, password.begin(), password.size());
}

void SendIgnore(BufferedTransformation& out, std::uint32_t zeroBytes)
{
    EncodeByte(out, SSH_MSG_IGNORE);
    EncodeUint32(out, zeroBytes);
    const CryptoPP::byte zeros[1024] = {};
    for (std::uint32_t left = zeroBytes; left != 0;) {
        const std::uint32_t part = left < sizeof zeros ? left : std::uint32_t(sizeof zeros);
        out.Put(zeros, part);
        left -= part;
    }
    out.MessageEnd();
}

// Writes a request through a meter, ends it, and pads it to the common size.
template <class Write>
void SendPadded(BufferedTransformation& out, const TransportState& transport, Write write)
{
    CryptoPP::MeterFilter meter(new CryptoPP::Redirector(out), true);
    write(static_cast<BufferedTransformation&>(meter));
    meter.MessageEnd();
    const CryptoPP::lword sent = meter.GetTotalBytes();
    SendLengthPadding(out, transport, sent > AuthPaddingTarget ? AuthPaddingTarget : std::uint32_t(sent),
                      AuthPaddingTarget);
}

}  // namespace

void SendServiceRequest(BufferedTransformation& out)
{
    EncodeByte(out, SSH_MSG_SERVICE_REQUEST);
    EncodeString(out, "ssh-userauth");
    out.MessageEnd();
}

void SendUserauthBanner(BufferedTransformation& out, const std::string& message, const std::string& language)
{
    EncodeByte(out, SSH_MSG_USERAUTH_BANNER);
    EncodeString(out, message);
    EncodeString(out, language);
    out.MessageEnd();
}

void RequestNoneAuth(BufferedTransformation& out, const TransportState& transport, const std::string& user)
{
    SendPadded(out, transport, [&](BufferedTransformation& m) { EncodeRequestStart(m, user, "none"); });
}

void RequestPasswordAuth(BufferedTransformation& out, const TransportState& transport, const std::string& user,
                         const ConstByteArrayParameter& password, bool primeCompression)
{
    SendPadded(out, transport, [&](BufferedTransformation& m) {
        EncodeRequestStart(m, user, "password");
        EncodeBoolean(m, false);
        EncodePassword(m, password);
    });
    if (primeCompression) SendCompressionPrimer(out, transport);
}

void RequestPasswordChange(BufferedTransformation& out, const TransportState& transport, const std::string& user,
                           const ConstByteArrayParameter& oldPassword, const ConstByteArrayParameter& newPassword,
                           bool primeCompression)
{
    SendPadded(out, transport, [&](BufferedTransformation& m) {
        EncodeRequestStart(m, user, "password");
        EncodeBoolean(m, true);
        EncodePassword(m, oldPassword);
        EncodePassword(m, newPassword);
    });
    if (primeCompression) SendCompressionPrimer(out, transport);
}

void QueryPublicKeyAuth(BufferedTransformation& out, const std::string& user, const std::string& algorithm,
                        const std::string& publicKeyBlob)
{
    EncodeRequestStart(out, user, "publickey");
    EncodeBoolean(out, false);
    EncodeString(out, algorithm);
    EncodeString(out, publicKeyBlob);
    out.MessageEnd();
}

void SendPublicKeyAuth(BufferedTransformation& out, const std::string& user, const std::string& algorithm,
                       const std::string& publicKeyBlob, const std::string& signatureBlob)
{
    EncodeRequestStart(out, user, "publickey");
    EncodeBoolean(out, true);
    EncodeString(out, algorithm);
    EncodeString(out, publicKeyBlob);
    EncodeString(out, signatureBlob);
    out.MessageEnd();
}

void RequestPublicKeyAuth(BufferedTransformation& out, const TransportState& transport, const std::string& user,
                          BufferedTransformation& pemFile, const void* passphrase, std::size_t passphraseLength,
                          CryptoPP::RandomNumberGenerator* rng)
{
    CryptoPP::ByteQueue der;
    const std::string keyType = ReadPemPrivateKey(pemFile, passphrase, passphraseLength, der);
    const Signer signer(der, keyType);
    const std::string algorithm = signer.AlgorithmName();
    std::string blob;
    CryptoPP::StringSink blobSink(blob);
    signer.EncodePublicKey(blobSink);

    if (!rng) {
        QueryPublicKeyAuth(out, user, algorithm, blob);
        return;
    }
    CryptoPP::SecByteBlock signedData;
    BuildPublicKeyAuthData(signedData, transport.SessionId(), user, algorithm, blob);
    SendPublicKeyAuth(out, user, algorithm, blob, signer.Sign(*rng, signedData.data(), signedData.size()));
}

void SendLengthPadding(BufferedTransformation& out, const TransportState& transport, std::uint32_t sent,
                       std::uint32_t target)
{
    if (sent >= target) return;
    const std::uint32_t d = transport.PacketSizeFor(target) - transport.PacketSizeFor(sent);
    if (d == 0) return;
    const std::uint32_t n = transport.IgnorePayloadFor(d);
    SendIgnore(out, n < 5 ? 0 : n - 5);
}

void SendCompressionPrimer(BufferedTransformation& out, const TransportState& transport)
{
    if (transport.ChooseCompression(transport.IsServer()) == "none") return;
    SendIgnore(out, CompressionPrimerBytes);
    SendIgnore(out, CompressionPrimerBytes);
}

void BuildPublicKeyAuthData(CryptoPP::SecByteBlock& out, const CryptoPP::SecByteBlock& sessionId,
                            const std::string& user, const std::string& algorithm, const std::string& publicKeyBlob)
{
    std::string rest;
    CryptoPP::StringSink restSink(rest);
    EncodeRequestStart(restSink, user, "publickey");
    EncodeBoolean(restSink, true);
    EncodeString(restSink, algorithm);
    EncodeString(restSink, publicKeyBlob);

    CryptoPP::ByteQueue whole;
    EncodeByteBlock(whole, sessionId);
    whole.Put(reinterpret_cast<const CryptoPP::byte*>(rest.data()), rest.size());
    out.New(static_cast<std::size_t>(whole.CurrentSize()));
    whole.Get(out.data(), out.size());
    CryptoPP::SecureWipeBuffer(reinterpret_cast<CryptoPP::byte*>(&rest[0]), rest.size());
}

bool CheckPublicKeyAlgorithm(const std::string& algorithm, const std::string& publicKeyBlob)
{
    try {
        CryptoPP::StringStore blob(publicKeyBlob);
        std::string named;
        DecodeString(blob, named);
        return named == algorithm && (algorithm == "ssh-rsa" || algorithm == "ssh-dss");
    } catch (...) {
        return false;
    }
}

bool VerifyPublicKeyAuth(const CryptoPP::SecByteBlock& sessionId, const std::string& user,
                         const std::string& algorithm, const std::string& publicKeyBlob,
                         const std::string& signatureBlob)
{
    try {
        CryptoPP::SecByteBlock signedData;
        BuildPublicKeyAuthData(signedData, sessionId, user, algorithm, publicKeyBlob);
        // The signature must be a whole SSH signature blob of the same algorithm: the bare 40
        // bytes of a DSA signature that older peers send in key exchange do not count here.
        CryptoPP::StringStore blob(publicKeyBlob), signature(signatureBlob);
        std::string keyAlgorithm, signatureAlgorithm, signatureBytes;
        DecodeString(blob, keyAlgorithm);
        DecodeString(signature, signatureAlgorithm);
        DecodeString(signature, signatureBytes);
        if (keyAlgorithm != algorithm || signatureAlgorithm != algorithm) return false;
        if (algorithm != "ssh-rsa" && algorithm != "ssh-dss") return false;
        return VerifySignature(publicKeyBlob.data(), publicKeyBlob.size(), signedData.data(), signedData.size(),
                               signatureBlob.data(), signatureBlob.size());
    } catch (...) {
        return false;
    }
}

// The connection manager's side of the same messages: each request goes out on the manager's
// outgoing path and records its method, by which the dispatcher reads the answer.

void Manager::SendServiceRequest()
{
    SSH::SendServiceRequest(Output());
}

void Manager::RequestNoneAuth(const std::string& user)
{
    userAuth_.currentMethod = "none";
    SSH::RequestNoneAuth(Output(), transport_, user);
}

void Manager::RequestPasswordAuth(const std::string& user, const ConstByteArrayParameter& password,
                                  bool primeCompression)
{
    userAuth_.currentMethod = "password";
    SSH::RequestPasswordAuth(Output(), transport_, user, password, primeCompression);
}

void Manager::RequestPasswordChange(const std::string& user, const ConstByteArrayParameter& oldPassword,
                                    const ConstByteArrayParameter& newPassword, bool primeCompression)
{
    userAuth_.currentMethod = "password";
    SSH::RequestPasswordChange(Output(), transport_, user, oldPassword, newPassword, primeCompression);
}

void Manager::QueryPublicKeyAuth(const std::string& user, const std::string& algorithm,
                                 const std::string& publicKeyBlob)
{
    userAuth_.currentMethod = "publickey";
    SSH::QueryPublicKeyAuth(Output(), user, algorithm, publicKeyBlob);
}

void Manager::SendPublicKeyAuth(const std::string& user, const std::string& algorithm,
                                const std::string& publicKeyBlob, const std::string& signatureBlob)
{
    userAuth_.currentMethod = "publickey";
    SSH::SendPublicKeyAuth(Output(), user, algorithm, publicKeyBlob, signatureBlob);
}

void Manager::RequestPublicKeyAuth(const std::string& user, BufferedTransformation& pemFile, const void* passphrase,
                                   std::size_t passphraseLength, CryptoPP::RandomNumberGenerator* rng)
{
    // The key is read before anything is sent; a key that cannot be read leaves the method as it was.
    SSH::RequestPublicKeyAuth(Output(), transport_, user, pemFile, passphrase, passphraseLength, rng);
    userAuth_.currentMethod = "publickey";
}

void Manager::SendLengthPadding(std::uint32_t sent, std::uint32_t target)
{
    SSH::SendLengthPadding(Output(), transport_, sent, target);
}

void Manager::SendCompressionPrimer()
{
    SSH::SendCompressionPrimer(Output(), transport_);
}

void Manager::SendUserauthBanner(const std::string& message, const std::string& language)
{
    SSH::SendUserauthBanner(Output(), message, language);
}

bool Manager::CheckPublicKeyAlgorithm(const std::string& algorithm, const std::string& publicKeyBlob)
{
    return SSH::CheckPublicKeyAlgorithm(algorithm, publicKeyBlob);
}

bool Manager::VerifyPublicKeyAuth(const std::string& user, const std::string& algorithm,
                                  const std::string& publicKeyBlob, const std::string& signatureBlob) const
{
    return SSH::VerifyPublicKeyAuth(transport_.SessionId(), user, algorithm, publicKeyBlob, signatureBlob);
}

}  // namespace SSH
