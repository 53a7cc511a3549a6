// What the proxy protocols of ConnectingSocket share: the error codes of its failure record,
// the sink that writes a request into the socket's request buffer, and the checks and
// encodings of request fields.
#pragma once

#include "RoVodEre/datavect.h"
#include "foundation/text_helpers.h"

#include <cryptopp/filters.h>

#include <cstdint>
#include <string>

namespace proxy_request {

const std::uint32_t kFail = 0x80004005;         // E_FAIL
const std::uint32_t kInvalidArg = 0x80070057;   // E_INVALIDARG
const std::uint32_t kNotImpl = 0x80004001;      // E_NOTIMPL
const std::uint32_t kUnexpected = 0x8000FFFF;   // E_UNEXPECTED

typedef CryptoPP::StringSinkTemplate<datavect<unsigned char>> RequestSink;

inline std::string Decimal(unsigned value) { return FormatInteger(value, 10, 0); }

// Big-endian, two bytes.
inline void PutPort(CryptoPP::BufferedTransformation& out, std::uint32_t port) {
    out.Put(static_cast<CryptoPP::byte>((port >> 8) & 0xFF));
    out.Put(static_cast<CryptoPP::byte>(port & 0xFF));
}

// A host name that would end or change the proxy request it is written into: a NUL ends
// the SOCKS4A name early, and control characters or spaces would let the name add lines to
// an HTTP request. Target names can come from a remote peer.
inline bool BreaksRequest(const std::string& name, bool http) {
    for (unsigned char c : name) {
        if (c == 0) return true;
        if (http && (c <= 0x20 || c == 0x7F)) return true;
    }
    return false;
}

}  // namespace proxy_request
