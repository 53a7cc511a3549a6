// The SSH library's exception family. Everything it throws is one of these or one of
// Crypto++'s (InvalidArgument, InvalidDataFormat, BERDecodeErr, InvalidCiphertext...).
#pragma once

#include <cryptopp/cryptlib.h>

#include <cstdint>
#include <exception>
#include <string>

namespace SSH {

// what(): "SSH: " followed by the text.
class Err : public CryptoPP::Exception {
public:
    Err(ErrorType type, const std::string& text) : CryptoPP::Exception(type, "SSH: " + text) {}
    explicit Err(const std::string& text) : Err(OTHER_ERROR, text) {}
};

// A protocol reason code with its description and language tag, sent to the peer unchanged;
// what() carries the kind's prefix in front of the description.
class ReasonedErr : public Err {
public:
    std::uint32_t reason() const { return reason_; }
    const std::string& description() const { return description_; }
    const std::string& language() const { return language_; }

protected:
    ReasonedErr(const char* prefix, std::uint32_t reason, const std::string& description,
                const std::string& language)
        : Err(prefix + description), reason_(reason), description_(description), language_(language) {}

private:
    std::uint32_t reason_;
    std::string description_;
    std::string language_;
};

// A reason that ends the connection: the loop sends it to the peer as SSH_MSG_DISCONNECT.
class CauseToDisconnect : public ReasonedErr {
public:
    CauseToDisconnect(std::uint32_t reason, const std::string& description, const std::string& language)
        : ReasonedErr("cause to disconnect: ", reason, description, language) {}
};

// A refused channel open, sent back as SSH_MSG_CHANNEL_OPEN_FAILURE.
class ChannelOpenFailure : public ReasonedErr {
public:
    ChannelOpenFailure(std::uint32_t reason, const std::string& description, const std::string& language)
        : ReasonedErr("channel open failure: ", reason, description, language) {}
};

// The connection ended from the other side; deliberately not an SSH::Err, so that handlers
// of our own failures do not take it.
class RemoteDisconnect : public std::exception {};

// The peer stopped answering keep-alive requests.
class RemoteNotResponding : public RemoteDisconnect {};

// Reason codes the library itself sends.
enum : std::uint32_t {
    DisconnectProtocolError = 2,
    DisconnectKeyExchangeFailed = 3,
    DisconnectMacError = 5,
    DisconnectServiceNotAvailable = 7,
    DisconnectHostKeyNotVerifiable = 9,
    DisconnectByApplication = 11,
    DisconnectNoMoreAuthMethodsAvailable = 14,
};
enum : std::uint32_t {
    OpenAdministrativelyProhibited = 1,
    OpenConnectFailed = 2,
    OpenUnknownChannelType = 3,
    OpenResourceShortage = 4,
};

}  // namespace SSH
