// What both roles of sshprobe share: option reading, the event lines the tests wait for, the
// pseudo-random byte stream a session carries, and the connection loop with the settings both
// roles take from the command line.
#pragma once

// Windows Sockets before windows.h.
#include "ssh/net/socket.h"
#include "ssh/manager_with_loop.h"
#include "ssh/transport_state.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace probe {

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Exit codes.
enum : int { ExitOk = 0, ExitCheckFailed = 1, ExitUsage = 2, ExitConnectionFailed = 3 };

// The command line after the role, read option by option.
class Arguments {
public:
    explicit Arguments(std::vector<std::string> args) : args_(std::move(args)) {}
    bool Done() const { return next_ >= args_.size(); }
    std::string Option() { return args_[next_++]; }
    // The value of the option just read.
    std::string Value(const std::string& option);
    std::uint32_t Number(const std::string& option, std::uint32_t low, std::uint32_t high);

private:
    std::vector<std::string> args_;
    std::size_t next_ = 0;
};

// "A:B" split at the first colon; UsageError when there is none or a side is empty.
void SplitPair(const std::string& option, const std::string& text, std::string& first, std::string& second);

// One line on stderr, "sshprobe: " first, whole even when several connections print at once.
void Event(const std::string& line);

// The bytes a session sends and expects back: the same seed gives the same stream.
class ByteStream {
public:
    explicit ByteStream(std::uint64_t seed = 0x9E3779B97F4A7C15ull) : state_(seed) {}
    void Fill(CryptoPP::byte* out, std::size_t length);

private:
    std::uint64_t state_;
};

// What both roles can set for a connection.
struct ConnectionSettings {
    std::string kexList;
    std::string cipherList;
    std::string macList;
    std::string compressionList;
    std::uint32_t keepAliveSeconds = 0;
    bool keepAliveSet = false;
    std::uint32_t rekeyBytes = 0;
    std::uint32_t kexLimitSeconds = 0;
    bool kexLimitSet = false;
    std::uint32_t loginLimitSeconds = 0;
    bool loginLimitSet = false;

    // Takes the option (and its value) when it is one of these; false otherwise.
    bool Read(const std::string& option, Arguments& args);
};

// The application's trace of the transport: the manager's notices, errors and warnings as
// event lines of one connection.
class EventLog : public MessageQuietLog {
public:
    explicit EventLog(std::string prefix) : prefix_(std::move(prefix)) {}
    void LogNotice(const std::string& line) override { Event(prefix_ + "notice: " + line); }
    void LogError(const std::string& line) override { Event(prefix_ + "error: " + line); }
    void LogWarning(const std::string& line) override { Event(prefix_ + "warning: " + line); }

private:
    std::string prefix_;
};

// The connection loop with the command line's settings; it reports every completed key
// exchange with the algorithms it chose.
class ProbeConnection : public ManagerWithLoop {
public:
    ProbeConnection(TransportState& transport, UserAuthState& userAuth, const ConnectionSettings& settings,
                    std::string prefix);

    unsigned GetConnectionMaxWaitObjectCount() const override { return 0; }
    void OnKeyExchangeComplete(std::uint32_t count, int reason) override;
    void OnUnimplemented(std::uint32_t sequence) override;
    void OnKeepAliveDue() override;

    // Runs the connection on the socket, which it takes; returns how it ended, as a line
    // for the events: the peer's or our disconnect, a closed connection, or the failure.
    std::string Run(Socket& connected, bool& endedByPeer);

protected:
    const std::string& Prefix() const { return prefix_; }

private:
    std::string prefix_;
};

// The key-exchange lists the settings name, applied to the handler that must carry them out.
void ApplyKexList(const ConnectionSettings& settings, KexHandler& handler);

int RunServer(Arguments& args);
int RunClient(Arguments& args);

}  // namespace probe
