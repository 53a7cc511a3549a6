// The server role: accepts on 127.0.0.1, logs users in by password or public key, echoes what
// a "session" channel receives and relays "direct-tcpip" channels to loopback targets.
#include "tools/sshprobe/probe.h"

#include "ssh/dh_kex_handler.h"
#include "ssh/exceptions.h"
#include "ssh/key_files.h"
#include "ssh/message_numbers.h"
#include "ssh/net/network_address.h"
#include "ssh/public_key_info.h"
#include "ssh/signer.h"
#include "ssh/tunnelling.h"
#include "ssh/wire.h"

#include <cryptopp/files.h>
#include <cryptopp/osrng.h>

#include <psapi.h>

#include <map>
#include <memory>
#include <set>
#include <thread>

namespace probe {
namespace {

// Echoed bytes waiting to be sent stop the intake beyond this, so the peer's window closes.
const std::uint64_t EchoQueueLimit = 0x40000;
const std::uint32_t ChannelWindow = 0x100000;
const std::uint32_t ChannelMaxPacket = 0x8000;

struct Accounts {
    std::map<std::string, std::string> passwords;
    std::map<std::string, std::set<std::string>> keys;  // user -> public-key blobs

    std::string Methods() const
    {
        std::string methods;
        if (!keys.empty()) methods = "publickey";
        if (!passwords.empty()) methods += methods.empty() ? "password" : ",password";
        return methods;
    }
};

struct ServerOptions {
    std::uint32_t port = 0;
    std::vector<std::string> hostKeyFiles;
    Accounts accounts;
    ConnectionSettings settings;
    bool once = false;
    bool reportMemory = false;
    std::uint32_t window = ChannelWindow;
    // Forwarded connections go through this proxy when its protocol is set.
    int proxyProtocol = -1;
    NetworkAddress proxy;
};

std::string BlobOf(const std::string& publicKeyFile)
{
    CryptoPP::StringSource file(ReadKeyFile(publicKeyFile), true);
    std::string blob;
    try {
        PublicKeyInfo info(file);
        CryptoPP::StringSink sink(blob);
        info.CopyTo(sink);
    } catch (const std::exception& e) {
        throw KeyFileError(publicKeyFile + ": not a public key file (" + e.what() + ")");
    }
    return blob;
}

ServerOptions ReadServerOptions(Arguments& args)
{
    ServerOptions o;
    bool portSet = false;
    while (!args.Done()) {
        const std::string option = args.Option();
        if (o.settings.Read(option, args)) continue;
        if (option == "--port") {
            o.port = args.Number(option, 0, 65535);
            portSet = true;
        } else if (option == "--host-key") {
            o.hostKeyFiles.push_back(args.Value(option));
        } else if (option == "--password") {
            std::string user, password;
            SplitPair(option, args.Value(option), user, password);
            o.accounts.passwords[user] = password;
        } else if (option == "--authorized-key") {
            std::string user, file;
            SplitPair(option, args.Value(option), user, file);
            o.accounts.keys[user].insert(BlobOf(file));
        } else if (option == "--once") {
            o.once = true;
        } else if (option == "--report-memory") {
            o.reportMemory = true;
        } else if (option == "--window") {
            o.window = args.Number(option, 1, 0xFFFFFFFFu);
        } else if (option == "--proxy") {
            // KIND:HOST:PORT
            const std::string spec = args.Value(option);
            const std::size_t first = spec.find(':'), last = spec.rfind(':');
            if (first == std::string::npos || first == last) throw UsageError("--proxy takes KIND:HOST:PORT");
            const std::string kind = spec.substr(0, first);
            o.proxyProtocol = kind == "socks4"   ? ConnectingSocket::PROXY_SOCKS4
                              : kind == "socks5" ? ConnectingSocket::PROXY_SOCKS5
                              : kind == "http"   ? ConnectingSocket::PROXY_HTTP
                                                 : -1;
            if (o.proxyProtocol < 0) throw UsageError("--proxy KIND is socks4, socks5 or http");
            Arguments port({spec.substr(last + 1)});
            o.proxy.Set(spec.substr(first + 1, last - first - 1), port.Number(option, 1, 65535));
        } else {
            throw UsageError("unknown server option " + option);
        }
    }
    if (!portSet) throw UsageError("server needs --port (0 picks one)");
    if (o.hostKeyFiles.empty()) throw UsageError("server needs --host-key");
    if (o.accounts.Methods().empty()) throw UsageError("server needs --password or --authorized-key");
    return o;
}

class ServerAuth : public UserAuthState {
public:
    ServerAuth(const Accounts& accounts, std::string prefix) : accounts_(accounts), prefix_(std::move(prefix))
    {
        methodsThatCanContinue = accounts.Methods();
    }

    void HandleRequest(SSH::Manager& manager, const std::string& method, CryptoPP::BufferedTransformation& in) override
    {
        state = Failure;
        if (method == "password") {
            bool change = false;
            std::string password;
            SSH::DecodeBoolean(in, change);
            SSH::DecodeString(in, password);
            const auto it = accounts_.passwords.find(user);
            if (!change && it != accounts_.passwords.end() && it->second == password) state = Success;
        } else if (method == "publickey") {
            bool signedRequest = false;
            std::string algorithm, blob;
            SSH::DecodeBoolean(in, signedRequest);
            SSH::DecodeString(in, algorithm);
            SSH::DecodeString(in, blob);
            const auto it = accounts_.keys.find(user);
            const bool authorized = it != accounts_.keys.end() && it->second.count(blob) != 0 &&
                                    manager.CheckPublicKeyAlgorithm(algorithm, blob);
            if (authorized && !signedRequest) {
                publicKeyAlgorithm = algorithm;
                publicKeyBlob = blob;
                state = PublicKeyOk;
                Event(prefix_ + "key " + algorithm + " acceptable for " + user);
                return;
            }
            if (authorized) {
                std::string signature;
                SSH::DecodeString(in, signature);
                if (manager.VerifyPublicKeyAuth(user, algorithm, blob, signature)) state = Success;
            }
        }
        Event(prefix_ + (state == Success ? "login ok: " : "login failed: ") + user + " by " + method);
    }

private:
    const Accounts& accounts_;
    std::string prefix_;
};

// A "session" that sends back what it receives, answers "shell" and "exec" with success and,
// once the client's EOF has come and everything is echoed, sends exit status 0, EOF and CLOSE.
class EchoSession : public SSH::Channel {
public:
    EchoSession(SSH::ChannelHost& host, std::string prefix)
        : Channel(host, "session", false, ChannelWindow, ChannelMaxPacket, Channel::MaxAnnouncedPacket, 1.0),
          echo_(*this), prefix_(std::move(prefix))
    {
    }

    bool AcceptOpen(SSH::ChannelHost&, CryptoPP::BufferedTransformation&, CryptoPP::BufferedTransformation&) override
    {
        return true;
    }
    bool OnRequest(SSH::ChannelHost&, const std::string& type, bool, CryptoPP::BufferedTransformation& data,
                   CryptoPP::BufferedTransformation&) override
    {
        if (type == "exec") {
            std::string command;
            SSH::DecodeString(data, command);
            Event(prefix_ + "exec " + command);
            return true;
        }
        if (type == "shell") {
            Event(prefix_ + "shell");
            return true;
        }
        data.Skip();
        return type == "pty-req";
    }
    CryptoPP::BufferedTransformation& GetDataTarget() override { return echo_; }
    void OnTargetException(const std::exception* e) override
    {
        Event(prefix_ + "session failed: " + (e ? e->what() : "unknown exception"));
        MessageSeriesEnd();
    }
    bool IsBusy() override { return false; }
    void PumpOutgoing(std::uint32_t) override
    {
        if (!ReadyToEnd()) return;
        CryptoPP::BufferedTransformation& out = Host().ChannelOutput();
        SSH::EncodeByte(out, SSH::SSH_MSG_CHANNEL_REQUEST);
        SSH::EncodeUint32(out, RemoteNumber());
        SSH::EncodeString(out, "exit-status");
        SSH::EncodeBoolean(out, false);
        SSH::EncodeUint32(out, 0);
        out.MessageEnd();
        MessageSeriesEnd();
        Event(prefix_ + "session echoed " + std::to_string(BytesSent()) + " bytes, exit status 0 sent");
    }
    // Nothing outside the connection wakes this channel: when the echo can take bytes that
    // wait in the channel, or the session can end, the next pass must come at once.
    void GetWaitObjects(CryptoPP::WaitObjectContainer& container, bool, CryptoPP::CallStack const& callStack) override
    {
        const bool canEcho = BufferedIncomingBytes() != 0 && QueuedOutgoingBytes() < EchoQueueLimit;
        if (canEcho || (ReadyToEnd() && !EofQueued()))
            container.SetNoWait(CryptoPP::CallStack("EchoSession::GetWaitObjects() - ready", &callStack));
    }
    unsigned int GetMaxWaitObjectCount() const override { return 0; }

private:
    bool ReadyToEnd() const { return EofReceived() && AllIncomingDelivered() && QueuedOutgoingBytes() == 0; }

    // Puts what arrives into the channel's outgoing queue while the queue is short; a full
    // queue refuses the bytes, which stay in the channel and hold its window back.
    class Echo : public CryptoPP::Sink {
    public:
        explicit Echo(Channel& channel) : channel_(channel) {}
        std::size_t Put2(const CryptoPP::byte* data, std::size_t length, int, bool) override
        {
            if (length == 0) return 0;
            if (channel_.QueuedOutgoingBytes() >= EchoQueueLimit) return length;
            channel_.Put(data, length);
            return 0;
        }
        bool IsolatedFlush(bool, bool) override { return false; }

    private:
        Channel& channel_;
    };

    Echo echo_;
    std::string prefix_;
};

// A "direct-tcpip" channel to a loopback target; any other target is refused.
class LoopbackForward : public SSH::TunnelingResponder {
public:
    LoopbackForward(SSH::ChannelHost& host, std::string prefix, const ServerOptions& options)
        : TunnelingResponder(host, "direct-tcpip", true, options.window, ChannelMaxPacket, Channel::MaxAnnouncedPacket,
                             1.0),
          prefix_(std::move(prefix))
    {
        if (options.proxyProtocol >= 0) {
            m_useProxy = true;
            m_proxyProtocol = options.proxyProtocol;
            m_proxyAddress = options.proxy;
        }
    }

    bool StartTargetProcessing(SSH::ChannelHost&) override
    {
        const NetworkAddress& target = Target();
        const bool loopback = (target.type == NetworkAddress::IP4 && target.GetIp4() == 0x7F000001u) ||
                              (target.type == NetworkAddress::DNSNAME && target.DnsNameToText() == "localhost");
        if (!loopback) {
            Event(prefix_ + "forward to " + target.ToText() + " refused");
            throw SSH::ChannelOpenFailure(SSH::OpenAdministrativelyProhibited, "only loopback targets", "en");
        }
        return true;
    }
    void OnTargetConnected(SSH::ChannelHost&) override
    {
        Event(prefix_ + "forwarding to " + Target().ToText() + ":" + std::to_string(Target().port));
    }
    void OnTargetConnectFailed(SSH::ChannelHost&, ConnectingSocket& socket) override
    {
        Event(prefix_ + "forward to " + Target().ToText() + ":" + std::to_string(Target().port) +
              " failed: " + socket.GetErrorOperation() + " " + std::to_string(socket.GetErrorCode()));
    }

    void OnTargetException(const std::exception* e) override
    {
        Event(prefix_ + "forwarded connection failed: " + (e ? e->what() : "unknown exception"));
        TunnelingResponder::OnTargetException(e);
    }

private:
    std::string prefix_;
};

class ServerConnection : public ProbeConnection {
public:
    ServerConnection(TransportState& transport, UserAuthState& userAuth, const ServerOptions& options,
                     std::string prefix)
        : ProbeConnection(transport, userAuth, options.settings, std::move(prefix)), options_(options)
    {
    }

    SSH::Channel* CreateChannel(const std::string& type, CryptoPP::BufferedTransformation&) override
    {
        Event(Prefix() + "channel open " + type);
        if (type == "session") return new EchoSession(*this, Prefix());
        if (type == "direct-tcpip") return new LoopbackForward(*this, Prefix(), options_);
        return nullptr;
    }

private:
    const ServerOptions& options_;
};

// What every connection shares; the connections' threads keep it alive.
struct ServerState {
    ServerOptions options;
    std::vector<std::unique_ptr<Signer>> hostKeys;
};

// One connection from start to end; true when the peer ended it.
bool Serve(const ServerState& state, Socket& connected, unsigned number)
{
    const std::string prefix = "[" + std::to_string(number) + "] ";
    CryptoPP::AutoSeededRandomPool rng;
    EventLog log(prefix);
    TransportState transport(rng, &log, 1 << 20, 1000, 6);
    DhKexHandler kex;
    ApplyKexList(state.options.settings, kex);
    transport.AddKexHandler(kex);
    for (const auto& key : state.hostKeys) transport.AddSigner(*key);
    ServerAuth auth(state.options.accounts, prefix);
    ServerConnection connection(transport, auth, state.options, prefix);
    bool endedByPeer = false;
    const std::string end = connection.Run(connected, endedByPeer);
    Event(prefix + "connection ended: " + end);
    if (state.options.reportMemory) {
        PROCESS_MEMORY_COUNTERS counters = {};
        counters.cb = sizeof counters;
        if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
            Event(prefix + "peak working set " + std::to_string(counters.PeakWorkingSetSize) + " bytes");
    }
    return endedByPeer;
}

}  // namespace

int RunServer(Arguments& args)
{
    auto state = std::make_shared<ServerState>();
    state->options = ReadServerOptions(args);
    const ServerOptions& options = state->options;
    for (const std::string& file : options.hostKeyFiles) {
        state->hostKeys.push_back(DecodePrivateKeyFile(file, ReadKeyFile(file), nullptr, nullptr));
        Event("host key " + state->hostKeys.back()->AlgorithmName() + " from " + file);
    }

    Socket listener;
    listener.Create();
    NetworkAddress at;
    at.Set("127.0.0.1", options.port);
    listener.Bind(at.ToSockAddr());
    listener.Listen();
    Event("listening on " + std::to_string(ntohs(listener.GetSockName().sin_port)));

    for (unsigned number = 1;; ++number) {
        Socket accepted;
        sockaddr_in peer = {};
        int peerLength = sizeof peer;
        // The listener blocks: each call waits for the next connection.
        if (!listener.Accept(accepted, reinterpret_cast<sockaddr*>(&peer), &peerLength)) continue;
        NetworkAddress from;
        from.SetFromSockAddr(peer);
        Event("[" + std::to_string(number) + "] connection from " + from.ToText() + ":" + std::to_string(from.port));
        if (options.once) return Serve(*state, accepted, number) ? ExitOk : ExitCheckFailed;
        // Each connection runs its own loop; the process ends when it is stopped.
        auto socket = std::make_shared<Socket>(accepted.DetachSocket(), true);
        std::thread([state, socket, number] {
            try {
                Serve(*state, *socket, number);
            } catch (const std::exception& e) {
                Event("[" + std::to_string(number) + "] error: " + e.what());
            }
        }).detach();
    }
}

}  // namespace probe
