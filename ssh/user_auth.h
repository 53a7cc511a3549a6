// The messages of SSH user authentication (RFC 4252) that a client sends, with the padding that
// hides the length of "none" and "password" requests, the server's banner, and the server's
// checks of a "publickey" key and signature. Each sender writes one message to the connection's
// outgoing path and ends it; the connection manager records the method it asks with.
#pragma once

#include <cryptopp/algparam.h>
#include <cryptopp/cryptlib.h>
#include <cryptopp/secblock.h>

#include <cstdint>
#include <string>

class TransportState;

namespace SSH {

// Requests of "none" and "password" are padded to the wire size of a request of this payload.
const std::uint32_t AuthPaddingTarget = 300;
// Each of the two compression-priming SSH_MSG_IGNORE messages carries this many zero bytes.
const std::uint32_t CompressionPrimerBytes = 32500;

void SendServiceRequest(CryptoPP::BufferedTransformation& out);
void SendUserauthBanner(CryptoPP::BufferedTransformation& out, const std::string& message, const std::string& language);

void RequestNoneAuth(CryptoPP::BufferedTransformation& out, const TransportState& transport, const std::string& user);
void RequestPasswordAuth(CryptoPP::BufferedTransformation& out, const TransportState& transport,
                         const std::string& user, const CryptoPP::ConstByteArrayParameter& password,
                         bool primeCompression);
void RequestPasswordChange(CryptoPP::BufferedTransformation& out, const TransportState& transport,
                           const std::string& user, const CryptoPP::ConstByteArrayParameter& oldPassword,
                           const CryptoPP::ConstByteArrayParameter& newPassword, bool primeCompression);
// Asks whether the server would take the key; not padded.
void QueryPublicKeyAuth(CryptoPP::BufferedTransformation& out, const std::string& user, const std::string& algorithm,
                        const std::string& publicKeyBlob);
void SendPublicKeyAuth(CryptoPP::BufferedTransformation& out, const std::string& user, const std::string& algorithm,
                       const std::string& publicKeyBlob, const std::string& signatureBlob);
// Reads the PEM private key; with a random source sends the signed request over the session,
// without one the query. Nothing is sent when the key cannot be read.
void RequestPublicKeyAuth(CryptoPP::BufferedTransformation& out, const TransportState& transport,
                          const std::string& user, CryptoPP::BufferedTransformation& pemFile, const void* passphrase,
                          std::size_t passphraseLength, CryptoPP::RandomNumberGenerator* rng);

// An SSH_MSG_IGNORE that makes a message of `sent` payload bytes take on the wire what one of
// `target` bytes takes.
void SendLengthPadding(CryptoPP::BufferedTransformation& out, const TransportState& transport, std::uint32_t sent,
                       std::uint32_t target);
// Two large SSH_MSG_IGNORE messages, only when this side's sending direction is compressed.
void SendCompressionPrimer(CryptoPP::BufferedTransformation& out, const TransportState& transport);

// The data a "publickey" signature covers.
void BuildPublicKeyAuthData(CryptoPP::SecByteBlock& out, const CryptoPP::SecByteBlock& sessionId,
                            const std::string& user, const std::string& algorithm, const std::string& publicKeyBlob);

// Server checks; they never throw, every failure is false.
bool CheckPublicKeyAlgorithm(const std::string& algorithm, const std::string& publicKeyBlob);
bool VerifyPublicKeyAuth(const CryptoPP::SecByteBlock& sessionId, const std::string& user,
                         const std::string& algorithm, const std::string& publicKeyBlob,
                         const std::string& signatureBlob);

}  // namespace SSH
