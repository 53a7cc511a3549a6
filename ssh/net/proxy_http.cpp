// HTTP CONNECT on ConnectingSocket: the request, with Basic credentials when a password is
// given, and the response head.
#include "ssh/net/connecting_socket.h"
#include "ssh/net/proxy_request.h"

#include "foundation/crypt_block.h"

#include <cryptopp/base64.h>

using CryptoPP::BufferedTransformation;
using CryptoPP::byte;
using namespace proxy_request;

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

// Builds the next request into m_request. True when the attempt has failed.
bool ConnectingSocket::BuildHttpRequest() {
    RequestSink out(m_request);
    m_request.reserve(1024);
    std::string host;
    if (m_targetSockAddrValid)
        host = inet_ntoa(m_targetSockAddr.sin_addr);
    else
        host = m_target.ToText();
    if (BreaksRequest(host, true)) return RefuseTargetName();
    std::string line = "CONNECT " + host + ":" + Decimal(m_target.port) + " HTTP/1.0\r\n";
    out.Put(reinterpret_cast<const byte*>(line.data()), line.size());
    if (m_proxyPassword) {
        if (!DecryptPassword()) return true;
        static const char header[] = "Proxy-Authorization: Basic ";
        out.Put(reinterpret_cast<const byte*>(header), sizeof header - 1);
        // The credentials are encoded straight into the request, which is wiped after use.
        CryptoPP::Base64Encoder encoder(new RequestSink(m_request), false);
        encoder.Put(reinterpret_cast<const byte*>(m_proxyUsername.data()), m_proxyUsername.size());
        encoder.Put(':');
        datavect<unsigned char>& plain = m_proxyPassword->plaintext;
        encoder.Put(plain.data(), plain.size());
        encoder.MessageEnd();
        WipePassword();
        out.Put(reinterpret_cast<const byte*>("\r\n"), 2);
    }
    out.Put(reinterpret_cast<const byte*>("\r\n"), 2);
    return false;
}

bool ConnectingSocket::CheckHttpStatusLine(const std::string& line) {
    size_t s = line.size();
    const char* failure = nullptr;
    if (s < 14)
        failure = "Invalid HTTP response: status line too short";
    else if (line.compare(0, 4, "HTTP") != 0)
        failure = "Invalid HTTP response: unrecognized protocol name";
    else if (line.compare(4, 5, "/1.0 ") != 0 && line.compare(4, 5, "/1.1 ") != 0)
        failure = "Invalid HTTP response: unrecognized HTTP protocol version";
    else if (!IsDigit(line[9]) || !IsDigit(line[10]) || !IsDigit(line[11]))
        failure = "Invalid HTTP response: status code not numeric";
    else if (s > 14 && line[12] != ' ')
        failure = "Invalid HTTP response: status code followed by unexpected character";
    if (failure) {
        SetError("Reading HTTP response", kFail, failure);
        return false;
    }
    if (line[9] != '2') {
        std::string digits = line.substr(9, 3);
        std::string description = "HTTP CONNECT request failed: status " + digits;
        if (s > 14) description += ", reason: " + line.substr(13, s - 15);
        SetError("HTTP CONNECT request", static_cast<std::uint32_t>(std::stoul(digits)), description);
        return false;
    }
    return true;
}

bool ConnectingSocket::ReadHttpReply(BufferedTransformation& queue) {
    if (m_proxyResponseLines.empty()) m_proxyResponseLines.push_back(std::string());
    byte c;
    while (queue.Get(c)) {
        if (++m_httpHeadSize > kMaxHttpResponseHead) {
            SetError("Reading HTTP response", kFail,
                     "Invalid HTTP response: response header longer than " + Decimal(kMaxHttpResponseHead) +
                         " bytes");
            return true;
        }
        std::string& line = m_proxyResponseLines.back();
        line += static_cast<char>(c);
        size_t s = line.size();
        if (s < 2 || line[s - 2] != '\r' || line[s - 1] != '\n') continue;
        if (m_proxyResponseLines.size() == 1) {
            if (!CheckHttpStatusLine(line)) return true;
        } else if (s == 2) {
            m_state = CONNECTED;
            return true;
        }
        m_proxyResponseLines.push_back(std::string());
    }
    return false;
}
