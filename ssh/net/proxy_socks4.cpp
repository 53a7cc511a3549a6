// SOCKS4 (with the SOCKS4A form for host names) on ConnectingSocket: the connect request and
// its reply.
#include "ssh/net/connecting_socket.h"
#include "ssh/net/proxy_request.h"

using CryptoPP::BufferedTransformation;
using CryptoPP::byte;
using namespace proxy_request;

namespace {

const char* Socks4ReplyText(unsigned code) {
    switch (code) {
    case 91: return "Request rejected or failed";
    case 92: return "Request rejected because SOCKS server cannot connect to identd on the client";
    case 93: return "Request rejected because the client program and identd report different user-ids";
    default: return "unrecognized reply code";
    }
}

}  // namespace

// Builds the next request into m_request. True when the attempt has failed.
bool ConnectingSocket::BuildSocks4Request() {
    RequestSink out(m_request);
    m_request.reserve(200);
    static const byte head[] = {4, 1};
    out.Put(head, 2);
    PutPort(out, m_target.port);
    if (m_targetSockAddrValid) {
        out.Put(reinterpret_cast<const byte*>(&m_targetSockAddr.sin_addr), 4);
    } else {
        static const byte socks4aAddress[] = {0, 0, 0, 1};
        out.Put(socks4aAddress, 4);
    }
    out.Put(0);  // the user id, always empty
    if (!m_targetSockAddrValid) {
        std::string name = m_target.ToText();
        if (BreaksRequest(name, false)) return RefuseTargetName();
        out.Put(reinterpret_cast<const byte*>(name.data()), name.size());
        out.Put(0);
    }
    return false;
}

bool ConnectingSocket::ReadSocks4Reply(BufferedTransformation& queue) {
    if (queue.MaxRetrievable() < 8) return false;
    byte reply[8];
    queue.Peek(reply, 2);
    if (reply[0] != 0) {
        SetError("Reading SOCKS4 reply version", kNotImpl,
                 "SOCKS4 reply has unrecognized version (" + Decimal(reply[0]) + ")");
        return true;
    }
    if (reply[1] != 90) {
        SetError("SOCKS4 connect request", reply[1],
                 std::string("SOCKS4 connect request failed: ") + Socks4ReplyText(reply[1]));
        return true;
    }
    queue.Get(reply, 8);
    m_state = CONNECTED;
    return true;
}
