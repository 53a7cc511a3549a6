// The client role: logs in by "none", password or public key, then either sends pseudo-random
// bytes through a session (shell or exec), or through a "direct-tcpip" channel to a target that
// echoes them, and checks that they come back unchanged; or forwards local TCP connections
// through "direct-tcpip" channels.
#include "tools/sshprobe/probe.h"

#include "ssh/dh_kex_handler.h"
#include "ssh/exceptions.h"
#include "ssh/key_files.h"
#include "ssh/message_numbers.h"
#include "ssh/net/connecting_socket.h"
#include "ssh/net/network_address.h"
#include "ssh/tunnelling.h"
#include "ssh/wire.h"

#include <cryptopp/files.h>
#include <cryptopp/osrng.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

namespace probe {
namespace {

const std::uint32_t ChannelWindow = 0x100000;
const std::uint32_t ChannelMaxPacket = 0x8000;
const std::size_t GenerateSlice = 0x8000;

using Clock = std::chrono::steady_clock;

struct ClientOptions {
    std::string host;
    std::uint32_t port = 0;
    std::string user;
    std::string password;
    bool havePassword = false;
    std::string keyFile;
    std::string passphrase;
    bool queryFirst = false;
    bool noneFirst = false;
    std::uint64_t sendBytes = 1 << 20;
    std::string command;  // empty: a shell
    std::string directHost;  // not empty: a "direct-tcpip" channel instead of a session
    std::uint32_t directPort = 0;
    bool forward = false;
    std::uint32_t forwardPort = 0;
    std::string forwardHost;
    std::uint32_t forwardHostPort = 0;
    std::uint32_t exitAfter = 0;
    std::uint32_t loginDelaySeconds = 0;
    std::uint32_t ignoreBytes = 0;
    bool ignoreSet = false;
    ConnectionSettings settings;
};

ClientOptions ReadClientOptions(Arguments& args)
{
    ClientOptions o;
    while (!args.Done()) {
        const std::string option = args.Option();
        if (o.settings.Read(option, args)) continue;
        if (option == "--host") {
            o.host = args.Value(option);
        } else if (option == "--port") {
            o.port = args.Number(option, 1, 65535);
        } else if (option == "--user") {
            o.user = args.Value(option);
        } else if (option == "--password") {
            o.password = args.Value(option);
            o.havePassword = true;
        } else if (option == "--key") {
            o.keyFile = args.Value(option);
        } else if (option == "--passphrase") {
            o.passphrase = args.Value(option);
        } else if (option == "--query-first") {
            o.queryFirst = true;
        } else if (option == "--none-first") {
            o.noneFirst = true;
        } else if (option == "--send-bytes") {
            o.sendBytes = args.Number(option, 0, 0xFFFFFFFFu);
        } else if (option == "--exec") {
            o.command = args.Value(option);
        } else if (option == "--direct") {
            const std::string spec = args.Value(option);
            const std::size_t colon = spec.rfind(':');
            if (colon == std::string::npos || colon == 0)
                throw UsageError("--direct takes HOST:PORT");
            Arguments parts({"", spec.substr(colon + 1)});
            parts.Option();
            o.directPort = parts.Number(option, 1, 65535);
            o.directHost = spec.substr(0, colon);
        } else if (option == "--local-forward") {
            const std::string spec = args.Value(option);
            const std::size_t first = spec.find(':'), last = spec.rfind(':');
            if (first == std::string::npos || first == last) throw UsageError("--local-forward takes LPORT:HOST:HPORT");
            Arguments parts({"", spec.substr(0, first), "", spec.substr(last + 1)});
            parts.Option();
            o.forwardPort = parts.Number(option, 0, 65535);
            parts.Option();
            o.forwardHostPort = parts.Number(option, 1, 65535);
            o.forwardHost = spec.substr(first + 1, last - first - 1);
            o.forward = true;
        } else if (option == "--exit-after") {
            o.exitAfter = args.Number(option, 1, 100000);
        } else if (option == "--login-delay") {
            o.loginDelaySeconds = args.Number(option, 1, 3600);
        } else if (option == "--ignore-bytes") {
            o.ignoreBytes = args.Number(option, 0, 1u << 30);
            o.ignoreSet = true;
        } else {
            throw UsageError("unknown client option " + option);
        }
    }
    if (o.host.empty() || o.port == 0 || o.user.empty()) throw UsageError("client needs --host, --port and --user");
    if (o.havePassword && !o.keyFile.empty()) throw UsageError("--password and --key exclude each other");
    if (!o.directHost.empty() && (o.forward || !o.command.empty()))
        throw UsageError("--direct excludes --exec and --local-forward");
    if (!o.havePassword && o.keyFile.empty() && !o.noneFirst)
        throw UsageError("client needs --password, --key or --none-first");
    return o;
}

// What the session found; it outlives the channel, which the manager deletes once closed.
struct SessionResult {
    bool requestRefused = false;
    std::uint64_t received = 0;
    std::uint64_t mismatchAt = 0;
    bool mismatch = false;
    bool exitStatusReceived = false;
    std::uint32_t exitStatus = 0;
    std::string exitSignal;
    std::string stderrText;
    bool closed = false;
};

// The session's data target: compares what comes back with the bytes sent. Extended data
// (the command's stderr) is kept as text for the report.
class EchoCheck : public CryptoPP::Multichannel<CryptoPP::Sink> {
public:
    explicit EchoCheck(SessionResult& result) : result_(result) {}

    std::size_t ChannelPut2(const std::string& channel, const CryptoPP::byte* data, std::size_t length, int,
                            bool) override
    {
        if (!channel.empty()) {
            if (result_.stderrText.size() < 4096)
                result_.stderrText.append(reinterpret_cast<const char*>(data), length);
            return 0;
        }
        std::vector<CryptoPP::byte> expected(length);
        expected_.Fill(expected.data(), length);
        if (!result_.mismatch)
            for (std::size_t i = 0; i < length; ++i)
                if (data[i] != expected[i]) {
                    result_.mismatch = true;
                    result_.mismatchAt = result_.received + i;
                    break;
                }
        result_.received += length;
        return 0;
    }
    bool ChannelFlush(const std::string&, bool, int, bool) override { return false; }
    bool ChannelMessageSeriesEnd(const std::string&, int, bool) override { return false; }

private:
    SessionResult& result_;
    ByteStream expected_;
};

// Sends the byte stream once the shell or command runs, then EOF.
class CheckedSession : public SSH::Channel {
public:
    CheckedSession(SSH::ChannelHost& host, SessionResult& result, std::string command, std::uint64_t sendBytes,
                   const std::string& type = "session")
        : Channel(host, type, true, ChannelWindow, ChannelMaxPacket, Channel::MaxAnnouncedPacket, 1.0), result_(result),
          check_(result), command_(std::move(command)), left_(sendBytes)
    {
    }
    ~CheckedSession() override { result_.closed = true; }

    void OnOpenConfirmed(SSH::ChannelHost&, CryptoPP::BufferedTransformation&,
                         CryptoPP::BufferedTransformation& out) override
    {
        SSH::EncodeByte(out, SSH::SSH_MSG_CHANNEL_REQUEST);
        SSH::EncodeUint32(out, RemoteNumber());
        SSH::EncodeString(out, command_.empty() ? "shell" : "exec");
        SSH::EncodeBoolean(out, true);
        if (!command_.empty()) SSH::EncodeString(out, command_);
        out.MessageEnd();
        Event("session open");
    }
    void OnOpenFailed(SSH::ChannelHost&, std::uint32_t reason, const std::string& description,
                      const std::string&) override
    {
        Event("session refused, reason " + std::to_string(reason) + ": " + description);
        result_.requestRefused = true;
    }
    void OnRequestReply(SSH::ChannelHost&, bool success) override
    {
        Event(std::string(command_.empty() ? "shell" : "exec") + (success ? " started" : " refused"));
        if (success)
            running_ = true;
        else
            result_.requestRefused = true;
    }
    bool OnRequest(SSH::ChannelHost&, const std::string& type, bool, CryptoPP::BufferedTransformation& data,
                   CryptoPP::BufferedTransformation&) override
    {
        if (type == "exit-status") {
            SSH::DecodeUint32(data, result_.exitStatus);
            result_.exitStatusReceived = true;
            return true;
        }
        if (type == "exit-signal") {
            SSH::DecodeString(data, result_.exitSignal);
            data.Skip();
            return true;
        }
        data.Skip();
        return false;
    }

    CryptoPP::BufferedTransformation& GetDataTarget() override { return check_; }
    void OnTargetException(const std::exception* e) override
    {
        Event(std::string("session failed: ") + (e ? e->what() : "unknown exception"));
        MessageSeriesEnd();
    }
    bool IsBusy() override { return false; }
    void PumpOutgoing(std::uint32_t room) override
    {
        if (!running_) return;
        while (room != 0 && left_ != 0) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>({room, left_, GenerateSlice}));
            CryptoPP::byte buffer[GenerateSlice];
            stream_.Fill(buffer, n);
            Put(buffer, n);
            room -= static_cast<std::uint32_t>(n);
            left_ -= n;
        }
        if (left_ == 0) MessageEnd();
    }
    void GetWaitObjects(CryptoPP::WaitObjectContainer& container, bool sinkOnly,
                        CryptoPP::CallStack const& callStack) override
    {
        // More to generate and room to queue it: the next pass must come at once.
        if (running_ && left_ != 0 && !sinkOnly)
            container.SetNoWait(CryptoPP::CallStack("CheckedSession::GetWaitObjects() - more to send", &callStack));
    }
    unsigned int GetMaxWaitObjectCount() const override { return 0; }

protected:
    void Start() { running_ = true; }

private:
    SessionResult& result_;
    EchoCheck check_;
    std::string command_;
    std::uint64_t left_;
    bool running_ = false;
    ByteStream stream_;
};

// The same check through a "direct-tcpip" channel to a target that echoes: the bytes flow as
// soon as the channel is open, and the target's end of the stream closes the channel.
class CheckedDirect : public CheckedSession {
public:
    CheckedDirect(SSH::ChannelHost& host, SessionResult& result, const ClientOptions& options)
        : CheckedSession(host, result, "", options.sendBytes, "direct-tcpip"), options_(options)
    {
    }

    void WriteOpenData(SSH::ChannelHost&, CryptoPP::BufferedTransformation& output) override
    {
        SSH::EncodeString(output, options_.directHost);
        SSH::EncodeUint32(output, options_.directPort);
        SSH::EncodeString(output, "127.0.0.1");
        SSH::EncodeUint32(output, 0);
    }
    void OnOpenConfirmed(SSH::ChannelHost&, CryptoPP::BufferedTransformation&,
                         CryptoPP::BufferedTransformation&) override
    {
        Event("direct-tcpip open to " + options_.directHost + ":" + std::to_string(options_.directPort));
        Start();
    }

private:
    const ClientOptions& options_;
};

class ClientConnection;

// A forwarded local connection; the connection counts those that have ended.
class ForwardedConnection : public SSH::TunnelingInitiator {
public:
    ForwardedConnection(SSH::ChannelHost& host, std::uint32_t& ended)
        : TunnelingInitiator(host, "direct-tcpip", true, ChannelWindow, ChannelMaxPacket, Channel::MaxAnnouncedPacket,
                             1.0),
          ended_(ended)
    {
    }
    ~ForwardedConnection() override { ++ended_; }
    void OnTargetException(const std::exception* e) override
    {
        Event(std::string("forwarded connection failed: ") + (e ? e->what() : "unknown exception"));
        TunnelingInitiator::OnTargetException(e);
    }
    void OnOpenFailed(SSH::ChannelHost&, std::uint32_t reason, const std::string& description,
                      const std::string&) override
    {
        Event("forward refused, reason " + std::to_string(reason) + ": " + description);
    }

private:
    std::uint32_t& ended_;
};

// Passes every answer to the connection, which sends the next request.
class ClientAuth : public UserAuthState {
public:
    void HandleRequest(SSH::Manager&, const std::string&, CryptoPP::BufferedTransformation&) override {}
    void OnStateChanged(SSH::Manager&) override;

    ClientConnection* connection = nullptr;
};

class ClientConnection : public ProbeConnection {
public:
    ClientConnection(TransportState& transport, ClientAuth& auth, const ClientOptions& options,
                     CryptoPP::RandomNumberGenerator& rng, std::string pemFile)
        : ProbeConnection(transport, auth, options.settings, ""), options_(options), rng_(rng),
          pemFile_(std::move(pemFile))
    {
    }

    int Outcome() const { return outcome_; }

    SSH::Channel* CreateChannel(const std::string&, CryptoPP::BufferedTransformation&) override { return nullptr; }

    void OnTransportStateChanged(int n) override
    {
        // A re-exchange before the service accept passes through that state again.
        if (n == SSH::TransportClientAwaitsService && !serviceRequested_) {
            serviceRequested_ = true;
            if (options_.ignoreSet) SendZeros();
            SendServiceRequest();
        } else if (n == SSH::TransportServiceRunning && !loginScheduled_) {
            loginScheduled_ = true;
            loginAt_ = Clock::now() + std::chrono::seconds(options_.loginDelaySeconds);
            if (options_.loginDelaySeconds != 0)
                Event("waiting " + std::to_string(options_.loginDelaySeconds) + " s before login");
        }
    }

    void OnBanner(const std::string& text, const std::string&) override { Event("banner: " + text); }

    unsigned WaitTime() override
    {
        if (!loginScheduled_ || loginStarted_) return 0xFFFFFFFFu;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(loginAt_ - Clock::now()).count();
        return left > 0 ? static_cast<unsigned>(left) : 0;
    }

    void BeforeChannelPump() override
    {
        if (loginScheduled_ && !loginStarted_ && Clock::now() >= loginAt_) {
            loginStarted_ = true;
            if (options_.noneFirst) {
                RequestNoneAuth(options_.user);
            } else {
                NextMethod();
            }
        }
    }

    void OnAuthStateChanged()
    {
        UserAuthState& auth = UserAuth();
        switch (auth.state) {
        case UserAuthState::Success:
            Event("login ok: " + options_.user + " by " + auth.currentMethod);
            StartWork();
            break;
        case UserAuthState::PublicKeyOk:
            Event("key acceptable: " + auth.publicKeyAlgorithm);
            SendSignedKey();
            break;
        case UserAuthState::Failure:
        case UserAuthState::PartialSuccess:
            if (auth.currentMethod == "none") {
                Event("methods: " + auth.methodsThatCanContinue);
                if (NextMethod()) return;
            }
            Fail("login failed by " + auth.currentMethod + ", methods that can continue: " +
                 auth.methodsThatCanContinue);
            break;
        default:
            Fail("password change requested: " + auth.prompt);
            break;
        }
    }

    void AfterChannelPump() override
    {
        if (outcome_ >= 0) return;
        if (options_.forward) {
            if (options_.exitAfter != 0 && forwardsEnded_ >= options_.exitAfter)
                Finish(ExitOk, std::to_string(forwardsEnded_) + " forwarded connections ended");
            return;
        }
        if (session_.requestRefused) {
            Fail("the session was refused");
        } else if (session_.closed) {
            JudgeSession();
        }
    }

    unsigned GetConnectionMaxWaitObjectCount() const override { return listener_.IsValid() ? 1 : 0; }
    void GetConnectionWaitObjects(CryptoPP::WaitObjectContainer& container,
                                  const CryptoPP::CallStack& callStack) override
    {
        if (listener_.IsValid())
            container.AddHandle(listenerEvent_,
                                CryptoPP::CallStack("ClientConnection - forwarding listener", &callStack));
    }
    void PollConnection() override
    {
        if (!listener_.IsValid()) return;
        ResetEvent(listenerEvent_);
        for (;;) {
            Socket accepted;
            NetworkAddress originator;
            try {
                AcceptConnection(listener_, accepted, originator);
            } catch (const Socket::Err& e) {
                if (e.GetErrorCode() == WSAEWOULDBLOCK) return;
                throw;
            }
            std::unique_ptr<ForwardedConnection> channel(new ForwardedConnection(*this, forwardsEnded_));
            try {
                AddChannel(channel.get());
            } catch (const SSH::Manager::TooManyWaitObjects&) {
                Event("forwarded connection refused: too many wait objects");
                continue;
            }
            // The manager owns it now.
            ForwardedConnection& added = *channel.release();
            added.AttachSocket(accepted.DetachSocket(), originator, forwardTarget_);
            OpenChannel(added);
        }
    }

private:
    bool NextMethod()
    {
        if (!options_.keyFile.empty()) {
            if (options_.queryFirst) {
                CryptoPP::StringSource pem(pemFile_, true);
                RequestPublicKeyAuth(options_.user, pem, options_.passphrase.data(), options_.passphrase.size(),
                                     nullptr);
            } else {
                SendSignedKey();
            }
            return true;
        }
        if (options_.havePassword) {
            RequestPasswordAuth(options_.user,
                                CryptoPP::ConstByteArrayParameter(
                                    reinterpret_cast<const CryptoPP::byte*>(options_.password.data()),
                                    options_.password.size()),
                                true);
            return true;
        }
        return false;
    }

    // An IGNORE message of zeros right after the first key exchange: compressed, a large one
    // is a small packet that inflates far beyond what a message may hold.
    void SendZeros()
    {
        SSH::EncodeByte(Output(), SSH::SSH_MSG_IGNORE);
        SSH::EncodeString(Output(), std::string(options_.ignoreBytes, '\0'));
        EndMessage();
        Event("sent IGNORE of " + std::to_string(options_.ignoreBytes) + " zero bytes");
    }

    void SendSignedKey()
    {
        CryptoPP::StringSource pem(pemFile_, true);
        RequestPublicKeyAuth(options_.user, pem, options_.passphrase.data(), options_.passphrase.size(), &rng_);
    }

    void StartWork()
    {
        if (options_.forward) {
            listener_.Create();
            NetworkAddress at;
            at.Set("127.0.0.1", options_.forwardPort);
            listener_.Bind(at.ToSockAddr());
            // Room for a burst of local connections: an overflowing queue loses them silently.
            listener_.Listen(SOMAXCONN);
            listenerEvent_ = listener_.NetworkEvent();  // also makes the socket non-blocking
            if (WSAEventSelect(listener_.GetSocket(), listenerEvent_, FD_ACCEPT) != 0)
                throw Socket::Err(listener_.GetSocket(), "WSAEventSelect", WSAGetLastError());
            forwardTarget_.Set(options_.forwardHost, options_.forwardHostPort);
            Event("forwarding on " + std::to_string(ntohs(listener_.GetSockName().sin_port)) + " to " +
                  options_.forwardHost + ":" + std::to_string(options_.forwardHostPort));
            return;
        }
        SSH::Channel* channel = nullptr;
        if (options_.directHost.empty())
            channel = AddChannel(new CheckedSession(*this, session_, options_.command, options_.sendBytes));
        else
            channel = AddChannel(new CheckedDirect(*this, session_, options_));
        OpenChannel(*channel);
    }

    void JudgeSession()
    {
        if (!session_.stderrText.empty()) Event("stderr: " + session_.stderrText);
        if (session_.mismatch) {
            Fail("echo differs at byte " + std::to_string(session_.mismatchAt));
        } else if (session_.received != options_.sendBytes) {
            Fail("echo has " + std::to_string(session_.received) + " bytes, sent " +
                 std::to_string(options_.sendBytes));
        } else if (!options_.directHost.empty()) {
            Finish(ExitOk, "ok: " + std::to_string(session_.received) + " bytes echoed byte-exact by the target");
        } else if (!session_.exitSignal.empty()) {
            Fail("the command ended by signal " + session_.exitSignal);
        } else if (!session_.exitStatusReceived) {
            Fail("no exit status");
        } else if (session_.exitStatus != 0) {
            Fail("exit status " + std::to_string(session_.exitStatus));
        } else {
            Finish(ExitOk, "ok: " + std::to_string(session_.received) + " bytes echoed byte-exact, exit status 0");
        }
    }

    void Fail(const std::string& why) { Finish(ExitCheckFailed, "error: " + why); }

    // Ends the connection with our DISCONNECT; the loop ends right after the hook.
    void Finish(int outcome, const std::string& line)
    {
        if (outcome_ >= 0) return;
        outcome_ = outcome;
        Event(line);
        SendDisconnect(SSH::CauseToDisconnect(SSH::DisconnectByApplication, "sshprobe done", "en"));
    }

    const ClientOptions& options_;
    CryptoPP::RandomNumberGenerator& rng_;
    std::string pemFile_;
    bool serviceRequested_ = false;
    bool loginScheduled_ = false;
    bool loginStarted_ = false;
    Clock::time_point loginAt_;
    int outcome_ = -1;
    SessionResult session_;
    Socket listener_;
    HANDLE listenerEvent_ = nullptr;
    NetworkAddress forwardTarget_;
    std::uint32_t forwardsEnded_ = 0;
};

void ClientAuth::OnStateChanged(SSH::Manager&)
{
    if (connection) connection->OnAuthStateChanged();
}

class AnyHostKey : public HostKeyVerifier {
public:
    bool Verify(const std::string&, const std::string& algorithm, bool reexchange) override
    {
        if (!reexchange) Event("server host key " + algorithm);
        return true;
    }
};

// A connected socket to the server, or ExitConnectionFailed with the reason.
bool Connect(const ClientOptions& options, Socket& connected)
{
    ConnectingSocket connecting;
    NetworkAddress target;
    target.Set(options.host, options.port);
    connecting.SetTarget(target);
    bool done = connecting.StartConnect();
    while (!done) {
        CryptoPP::WaitObjectContainer container;
        connecting.GetWaitObjects(container, CryptoPP::CallStack("sshprobe connect", nullptr));
        container.Wait(INFINITE);
        done = connecting.Pump();
    }
    if (!connecting.IsConnected()) {
        Event("error: cannot connect to " + options.host + ":" + std::to_string(options.port) + ": " +
              connecting.GetErrorOperation() + " " + std::to_string(connecting.GetErrorCode()) + " " +
              connecting.GetErrorDesc());
        return false;
    }
    connected.AttachSocket(connecting.AccessSource().AccessSocket().DetachSocket(), true);
    return true;
}

// The PEM text of the client's key, checked before any connection is made: a file that cannot
// be used is told about as such, not as a failed connection.
std::string ReadClientKey(const ClientOptions& options)
{
    if (options.keyFile.empty()) return std::string();
    const std::string pem = ReadKeyFile(options.keyFile);
    DecodePrivateKeyFile(options.keyFile, pem, options.passphrase.empty() ? nullptr : &options.passphrase,
                         " with --passphrase");
    return pem;
}

}  // namespace

int RunClient(Arguments& args)
{
    const ClientOptions options = ReadClientOptions(args);
    const std::string pem = ReadClientKey(options);

    Socket connected;
    if (!Connect(options, connected)) return ExitConnectionFailed;
    Event("connected to " + options.host + ":" + std::to_string(options.port));

    CryptoPP::AutoSeededRandomPool rng;
    EventLog log("");
    // The IGNORE of zeros is packed as densely as the compressor can.
    TransportState transport(rng, &log, 1 << 20, 1000, options.ignoreSet ? 9 : 6);
    AnyHostKey verifier;
    DhKexHandler kex(verifier);
    ApplyKexList(options.settings, kex);
    transport.AddKexHandler(kex);
    ClientAuth auth;
    ClientConnection connection(transport, auth, options, rng, pem);
    auth.connection = &connection;
    bool endedByPeer = false;
    const std::string end = connection.Run(connected, endedByPeer);
    Event("connection ended: " + end);
    if (connection.Outcome() >= 0) return connection.Outcome();
    Event("error: the connection ended before the work was done");
    return ExitConnectionFailed;
}

}  // namespace probe
