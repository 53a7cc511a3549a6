// SOCKS5 (RFC 1928, with the user name and password method of RFC 1929) on ConnectingSocket:
// method negotiation, authentication and the connect request, step by step, with their
// replies.
#include "ssh/net/connecting_socket.h"
#include "ssh/net/proxy_request.h"

#include "foundation/crypt_block.h"

using CryptoPP::BufferedTransformation;
using CryptoPP::byte;
using namespace proxy_request;

namespace {

const char* Socks5ReplyText(unsigned code) {
    switch (code) {
    case 1: return "General SOCKS server failure";
    case 2: return "Connection not allowed by ruleset";
    case 3: return "Network unreachable";
    case 4: return "Host unreachable";
    case 5: return "Connection refused";
    case 6: return "TTL expired";
    case 7: return "Command not supported";
    case 8: return "Address type not supported";
    default: return "unrecognized reply code";
    }
}

}  // namespace

// Builds the next request into m_request. True when the attempt has failed.
bool ConnectingSocket::BuildSocks5Request() {
    RequestSink out(m_request);
    switch (m_socks5Step) {
    case 0: {
        m_request.reserve(4);
        static const byte withPassword[] = {5, 2, 0, 2};
        static const byte withoutPassword[] = {5, 1, 0};
        if (!m_proxyUsername.empty())
            out.Put(withPassword, sizeof withPassword);
        else
            out.Put(withoutPassword, sizeof withoutPassword);
        m_socks5Step = 1;
        return false;
    }
    case 2: {
        if (!m_proxyPassword) {
            SetError("Authenticating to SOCKS server", kFail,
                     "Authentication is being used and no proxy password has been specified");
            return true;
        }
        m_request.reserve(513);
        out.Put(1);
        size_t userLength = m_proxyUsername.size();  // at most 255, checked before the start
        out.Put(static_cast<byte>(userLength));
        out.Put(reinterpret_cast<const byte*>(m_proxyUsername.data()), userLength);
        if (!DecryptPassword()) return true;
        datavect<unsigned char>& plain = m_proxyPassword->plaintext;
        size_t passwordLength = plain.size();
        if (passwordLength > 255) {  // changed since the start
            WipePassword();
            SetError("Checking proxy credentials", kInvalidArg,
                     "Proxy password is longer than the 255 bytes a SOCKS5 request can carry");
            return true;
        }
        out.Put(static_cast<byte>(passwordLength));
        out.Put(plain.data(), passwordLength);
        WipePassword();
        m_socks5Step = 3;
        return false;
    }
    case 4: {
        m_request.reserve(262);
        static const byte head[] = {5, 1, 0};
        out.Put(head, 3);
        if (m_targetSockAddrValid) {
            out.Put(1);
            out.Put(reinterpret_cast<const byte*>(&m_targetSockAddr.sin_addr), 4);
        } else {
            std::string name = m_target.ToText();
            size_t length = name.size();  // at most 255 and without NUL, checked before the start
            out.Put(3);
            out.Put(static_cast<byte>(length));
            out.Put(reinterpret_cast<const byte*>(name.data()), length);
        }
        PutPort(out, m_target.port);
        m_socks5Step = 5;
        return false;
    }
    default:
        SetError("Checking SOCKS5 step at PS_ACTOUTPUT", kUnexpected,
                 "Invalid SOCKS5 step " + Decimal(m_socks5Step) + " at PS_ACTOUTPUT");
        return true;
    }
}

bool ConnectingSocket::ReadSocks5Reply(BufferedTransformation& queue) {
    for (;;) {
        byte reply[5];
        switch (m_socks5Step) {
        case 1:
            if (queue.MaxRetrievable() < 2) return false;
            queue.Get(reply, 2);
            if (reply[0] != 5) {
                SetError("Reading SOCKS5 reply version", kNotImpl,
                         "SOCKS5 reply has unrecognized version (" + Decimal(reply[0]) + ")");
                return true;
            }
            if (reply[1] == 0) {
                m_socks5Step = 4;
                m_proxyPhase = PS_ACTOUTPUT;
                return false;
            }
            if (reply[1] == 2) {
                if (m_proxyUsername.empty()) {
                    SetError("SOCKS5 method negotiation", kUnexpected,
                             "SOCKS5 method negotiation failed - server demands username-password, but we don't "
                             "have a username");
                    return true;
                }
                m_socks5Step = 2;
                m_proxyPhase = PS_ACTOUTPUT;
                return false;
            }
            if (reply[1] == 0xFF) {
                SetError("SOCKS5 method negotiation", kFail,
                         "SOCKS5 method negotiation failed - no matching authentication method");
                return true;
            }
            SetError("SOCKS5 method negotiation", kNotImpl,
                     "SOCKS5 method negotiation failed - unrecognized method presented by server");
            return true;
        case 3:
            if (queue.MaxRetrievable() < 2) return false;
            queue.Get(reply, 2);
            if (reply[0] != 1) {
                SetError("Reading SOCKS5 auth reply version", kNotImpl,
                         "SOCKS5 auth reply has unrecognized version (" + Decimal(reply[0]) + ")");
                return true;
            }
            if (reply[1] != 0) {
                SetError("Authenticating to SOCKS5 proxy server", kFail,
                         "SOCKS5 proxy authentication failed with code " + Decimal(reply[1]));
                return true;
            }
            m_socks5Step = 4;
            m_proxyPhase = PS_ACTOUTPUT;
            return false;
        case 5:
            if (queue.MaxRetrievable() < 5) return false;
            queue.Peek(reply, 5);
            if (reply[0] != 5) {
                SetError("Reading SOCKS5 connect reply version", kNotImpl,
                         "SOCKS5 connect reply has unrecognized version (" + Decimal(reply[0]) + ")");
                return true;
            }
            if (reply[1] != 0) {
                SetError("SOCKS5 connect request", reply[1],
                         std::string("SOCKS5 connect request failed: ") + Socks5ReplyText(reply[1]));
                return true;
            }
            switch (reply[3]) {
            case 1:
                m_boundAddress.type = NetworkAddress::IP4;
                m_boundAddressLength = 4;
                queue.Skip(4);
                break;
            case 3:
                m_boundAddress.type = NetworkAddress::DNSNAME;
                m_boundAddressLength = reply[4];
                queue.Skip(5);
                break;
            case 4:
                m_boundAddress.type = NetworkAddress::IP6;
                m_boundAddressLength = 16;
                queue.Skip(4);
                break;
            default:
                SetError("Reading address type in SOCKS5 connect reply", kNotImpl,
                         "SOCKS5 connect reply has unrecognized address type (" + Decimal(reply[3]) + ")");
                return true;
            }
            m_socks5Step = 6;
            break;
        case 6: {
            if (queue.MaxRetrievable() < m_boundAddressLength + 2) return false;
            byte address[255];
            queue.Get(address, m_boundAddressLength);
            byte port[2];
            queue.Get(port, 2);
            m_boundAddress.SetBytes(m_boundAddress.type, address, m_boundAddressLength,
                                    (std::uint32_t(port[0]) << 8) | port[1]);
            m_state = CONNECTED;
            return true;
        }
        default:
            return false;
        }
    }
}
