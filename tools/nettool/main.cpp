// nettool: the SSH library's networking from the console.
//
//   nettool --help
//   nettool resolve NAME
//   nettool reverse DOTTED-ADDRESS
//   nettool accept PORT             (on 127.0.0.1; 0 picks a port; prints it, then the peer)
//   nettool connect HOST PORT [--proxy PROTOCOL HOST PORT] [--user NAME] [--password TEXT]
//                   [--broken-password] [--resolve-locally] [--send TEXT] [--expect N]
//                   [--phase-limit SECONDS]
//
// PROTOCOL is socks4, socks5, http or a number (the socket's protocol numbering). In the target
// HOST, \xNN stands for the byte NN, so that names with bytes a command line cannot carry (NUL)
// can be tried. A connected attempt prints "connected", then sends TEXT, ends its sending side
// (after N bytes have arrived, with --expect: some proxies drop what is still on its way once
// the client ends its side) and prints what arrives until the peer closes.
// A failed one prints its record and exits with 1. Bad usage exits with 2.
#include "ssh/net/connecting_socket.h"
#include "ssh/net/network_address.h"
#include "ssh/net/resolve_host_name.h"
#include "ssh/net/socket.h"
#include "ssh/net/wait_objects.h"

#include "foundation/crypt_block.h"
#include "foundation/random_source.h"

#include <cryptopp/queue.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: nettool --help\n"
    "       nettool resolve NAME\n"
    "       nettool reverse DOTTED-ADDRESS\n"
    "       nettool accept PORT\n"
    "       nettool connect HOST PORT [--proxy socks4|socks5|http|N HOST PORT] [--user NAME]\n"
    "                       [--password TEXT] [--broken-password] [--resolve-locally] [--send TEXT]\n"
    "                       [--expect N] [--phase-limit SECONDS]\n";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The password is held as the product holds a proxy password: encrypted under keys of its kind.
class ToolPassword : public CryptBlock {
public:
    const unsigned char* GetCipherKey() const override { return kKeys; }
    const unsigned char* GetMacKey() const override { return kKeys + 16; }

private:
    static const unsigned char kKeys[32];
};
const unsigned char ToolPassword::kKeys[32] = {0x6e, 0x65, 0x74, 0x74, 0x6f, 0x6f, 0x6c, 0x20, 0x63, 0x69, 0x70,
                                               0x68, 0x65, 0x72, 0x20, 0x6b, 0x6e, 0x65, 0x74, 0x74, 0x6f, 0x6f,
                                               0x6c, 0x20, 0x6d, 0x61, 0x63, 0x20, 0x6b, 0x65, 0x79, 0x21};

// Decimal digits only, up to 4294967295; a connection's ports are checked by the socket
// itself, which refuses what TCP cannot carry. what names the number in the usage error.
std::uint32_t ParseNumber(const std::string& text, const char* what) {
    std::uint64_t value = 0;
    bool ok = !text.empty();
    for (size_t i = 0; ok && i < text.size(); ++i) {
        ok = text[i] >= '0' && text[i] <= '9';
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
        ok = ok && value <= 0xFFFFFFFFu;
    }
    if (!ok) throw UsageError(std::string("not a ") + what + ": " + text);
    return static_cast<std::uint32_t>(value);
}

std::uint32_t ParsePort(const std::string& text) { return ParseNumber(text, "port"); }

// A port to listen on: 0 (any free one) to 65535.
std::uint32_t ParseListeningPort(const std::string& text) {
    std::uint32_t port = ParseNumber(text, "port");
    if (port > 65535) throw UsageError("not a port from 0 to 65535: " + text);
    return port;
}

// Four decimal numbers from 0 to 255 joined by dots, as the address in network order.
std::uint32_t ParseDottedAddress(const std::string& text) {
    unsigned char bytes[4];
    size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        size_t digits = 0;
        unsigned value = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 3) {
            value = value * 10 + static_cast<unsigned>(text[at++] - '0');
            ++digits;
        }
        bool separatorOk = i < 3 ? at < text.size() && text[at] == '.' : at == text.size();
        if (digits == 0 || value > 255 || !separatorOk)
            throw UsageError("not a dotted IPv4 address: " + text);
        bytes[i] = static_cast<unsigned char>(value);
        ++at;
    }
    std::uint32_t address;
    std::memcpy(&address, bytes, 4);
    return address;
}

int ParseSeconds(const std::string& text) {
    std::uint32_t value = ParseNumber(text, "number of seconds");
    if (value < 1 || value > 3600) throw UsageError("not a number of seconds from 1 to 3600: " + text);
    return static_cast<int>(value);
}

// Printable text: bytes outside printable ASCII as \xNN. Everything a peer chose (names,
// a proxy's reason text, received bytes) is printed this way, so that it cannot move the
// cursor, end a line or send escape codes to the terminal.
std::string Escaped(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

// The reverse of Escaped for \xNN; any other character stands for itself.
std::string Unescaped(const std::string& text) {
    auto hex = [&](size_t i) { return i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i])); };
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'x' && hex(i + 2) && hex(i + 3)) {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

int Resolve(const std::string& name) {
    ResolveHostNamePtr lookup;
    ResolveHostName::Create(lookup);
    lookup->SetHost(name);
    lookup->StartThread();
    if (!lookup->Succeeded()) {
        std::cout << "error " << lookup->GetErrorCode() << ": " << Escaped(lookup->GetErrorDesc()) << "\n";
        return 1;
    }
    for (std::uint32_t address : lookup->GetAddresses()) {
        in_addr a;
        a.s_addr = address;
        std::cout << "address " << inet_ntoa(a) << "\n";
    }
    return 0;
}

int Reverse(const std::string& dotted) {
    std::uint32_t address = ParseDottedAddress(dotted);
    RefPtr<ResolveHostAddress> lookup;
    lookup = new ResolveHostAddress;
    lookup->SetAddress(address);
    lookup->StartThread();
    if (!lookup->Succeeded()) {
        std::cout << "error " << lookup->GetErrorCode() << ": " << Escaped(lookup->GetErrorDesc()) << "\n";
        return 1;
    }
    for (const std::string& name : lookup->GetNames()) std::cout << "name " << Escaped(name) << "\n";
    return 0;
}

int Accept(std::uint32_t port) {
    Socket listening;
    listening.Create();
    NetworkAddress at;
    at.Set("127.0.0.1", port);
    listening.Bind(at.ToSockAddr());
    listening.Listen();
    HANDLE event = listening.NetworkEvent();  // makes the socket non-blocking
    if (WSAEventSelect(listening.GetSocket(), event, FD_ACCEPT) != 0)
        throw Socket::Err(listening.GetSocket(), "WSAEventSelect", WSAGetLastError());
    std::cout << "listening on " << ntohs(listening.GetSockName().sin_port) << std::endl;
    Socket accepted;
    NetworkAddress peer;
    for (;;) {
        try {
            AcceptConnection(listening, accepted, peer);
            break;
        } catch (const Socket::Err& e) {
            if (e.GetErrorCode() != WSAEWOULDBLOCK) throw;
            std::cout << "nothing pending: " << e.GetOperation() << " " << e.GetErrorCode() << std::endl;
            if (WaitForSingleObject(event, 30000) != WAIT_OBJECT_0) {
                std::cout << "no connection\n";
                return 1;
            }
            ResetEvent(event);
        }
    }
    std::cout << "peer " << peer.ToText() << " " << peer.port << "\n";
    return 0;
}

int Connect(const std::vector<std::string>& args) {
    if (args.size() < 3) throw UsageError("connect needs HOST and PORT");
    ConnectingSocket connection;
    NetworkAddress target;
    target.Set(Unescaped(args[1]), ParsePort(args[2]));
    connection.SetTarget(target);

    int protocol = -1;
    NetworkAddress proxy;
    std::string user, send;
    std::uint32_t expect = 0;
    bool havePassword = false, brokenPassword = false;
    ToolPassword password;
    for (size_t i = 3; i < args.size(); ++i) {
        const std::string& option = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw UsageError(option + " needs a value");
            return args[++i];
        };
        if (option == "--proxy") {
            std::string name = value();
            protocol = name == "socks4"   ? 0
                       : name == "socks5" ? 1
                       : name == "http"   ? 2
                                          : static_cast<int>(ParseNumber(name, "proxy protocol"));
            std::string host = value();
            proxy.Set(host, ParsePort(value()));
        } else if (option == "--user") {
            user = value();
        } else if (option == "--password") {
            const std::string& text = value();
            password.plaintext.append(text.begin(), text.end());
            havePassword = true;
        } else if (option == "--broken-password") {
            havePassword = brokenPassword = true;
        } else if (option == "--resolve-locally") {
            connection.SetResolveTargetLocally(true);
        } else if (option == "--send") {
            send = value();
        } else if (option == "--expect") {
            expect = ParseNumber(value(), "number of bytes");
        } else if (option == "--phase-limit") {
            connection.SetPhaseLimit(ParseSeconds(value()));
        } else {
            throw UsageError("unknown option " + option);
        }
    }
    if (havePassword) {
        ErrorInfo info;
        if (!password.SetCryptFromPlain(info)) throw std::runtime_error("cannot encrypt the password");
        if (brokenPassword) password.ciphertext.data()[0] ^= 1;  // fails its tag
    }
    if (protocol >= 0) connection.SetProxy(protocol, proxy, user, havePassword ? &password : nullptr);

    DWORD start = GetTickCount();
    bool done = connection.StartConnect();
    while (!done) {
        CryptoPP::WaitObjectContainer container;
        connection.GetWaitObjects(container, CryptoPP::CallStack("nettool connect", nullptr));
        container.Wait(INFINITE);
        done = connection.Pump();
    }
    double seconds = (GetTickCount() - start) / 1000.0;
    if (!connection.IsConnected()) {
        std::cout << "failed after " << seconds << " s\n"
                  << "operation: " << connection.GetErrorOperation() << "\n"
                  << "code: " << connection.GetErrorCode() << "\n"
                  << "description: " << Escaped(connection.GetErrorDesc()) << "\n";
        return 1;
    }
    std::cout << "connected\n";
    const NetworkAddress& bound = connection.GetBoundAddress();
    if (bound.type != NetworkAddress::NONE)
        std::cout << "bound " << Escaped(bound.ToText()) << " " << bound.port << "\n";

    SocketSink& sink = connection.AccessSink();
    SocketSource& source = connection.AccessSource();
    if (!send.empty()) {
        sink.Put(reinterpret_cast<const CryptoPP::byte*>(send.data()), send.size());
        sink.Flush(true);
    }
    // What arrives until the peer closes, proxy bytes that followed the reply included.
    CryptoPP::BufferedTransformation& queue = *source.AttachedTransformation();
    auto pumpWhile = [&](auto more) {
        while (!source.EofReceived() && GetTickCount() - start < 60000 && more()) {
            CryptoPP::lword moved = CryptoPP::LWORD_MAX;
            source.GeneralPump2(moved, true, 1000);
        }
    };
    pumpWhile([&] { return queue.MaxRetrievable() < expect; });
    // Nothing more will be sent: the peer sees the end of our side at once instead of
    // waiting for more.
    sink.AccessSocket().ShutDown(SD_SEND);
    pumpWhile([] { return true; });
    std::string received;
    received.resize(static_cast<size_t>(queue.MaxRetrievable()));
    if (!received.empty()) queue.Get(reinterpret_cast<CryptoPP::byte*>(&received[0]), received.size());
    std::cout << "received " << Escaped(received) << "\n";
    return 0;
}

int Run(const std::vector<std::string>& args) {
    if (args.empty()) throw UsageError("no command");
    const std::string& command = args[0];
    if (command == "--help" && args.size() == 1) {
        std::cout << kUsage;
        return 0;
    }
    if (command == "resolve" && args.size() == 2) return Resolve(args[1]);
    if (command == "reverse" && args.size() == 2) return Reverse(args[1]);
    if (command == "accept" && args.size() == 2) return Accept(ParseListeningPort(args[1]));
    if (command == "connect") return Connect(args);
    throw UsageError("unknown command or wrong arguments: " + command);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        NoCrtRandom random;
        WinsockSession sockets;
        return Run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        std::cerr << "nettool: " << e.what() << "\n" << kUsage;
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "nettool: " << e.what() << "\n";
        return 1;
    }
}
