// sshprobe: the SSH library in both roles from the console, for tests with real SSH peers.
//
//   sshprobe server --port P --host-key PEM [--host-key PEM]... [--password USER:PASS]...
//                   [--authorized-key USER:PUBFILE]... [--once] [--report-memory] [--window N]
//                   [--proxy socks4|socks5|http:HOST:PORT] [settings]
//   sshprobe client --host H --port P --user U [--password PASS | --key PEM [--passphrase X]]
//                   [--query-first] [--none-first] [--login-delay S] [--send-bytes N] [--ignore-bytes N]
//                   [--exec CMD | --direct HOST:PORT | --local-forward LPORT:HOST:HPORT [--exit-after N]]
//                   [settings]
//   settings: [--kex LIST] [--cipher LIST] [--mac LIST] [--compression LIST] [--keepalive S]
//             [--rekey-bytes N] [--kex-limit S] [--login-limit S]
//
// Every notable event is a line on stderr beginning with "sshprobe: ". The server listens on
// 127.0.0.1 (port 0 picks one; "listening on N" names it) and serves connections until it is
// stopped, or one with --once (exit 0 when the peer ended it); --report-memory adds the
// process's peak working set after each connection; --window sets the receive window of
// forwarded connections (1 MiB unless given) and --proxy the proxy they go through. The
// client's --ignore-bytes sends an IGNORE message of N zero bytes right after the first key
// exchange; --direct sends the bytes through a "direct-tcpip" channel to a target that echoes
// them instead of a session. The client exits 0 when its session echoed every byte unchanged and
// ended with exit status 0 (the direct channel: every byte back before the target's end; or
// when N forwarded connections have ended), 1 when a check failed, 2 on bad usage
// or a key file it cannot use (named, with the reason) and 3 when the connection failed or
// ended early.
#include "tools/sshprobe/probe.h"

#include "foundation/command_line.h"
#include "foundation/random_source.h"
#include "ssh/key_files.h"

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: sshprobe --help\n"
    "       sshprobe server --port P --host-key PEM [--host-key PEM] [--password USER:PASS]\n"
    "                       [--authorized-key USER:PUBFILE]... [--once] [--report-memory] [--window N]\n"
    "                       [--proxy socks4|socks5|http:HOST:PORT] [settings]\n"
    "       sshprobe client --host H --port P --user U [--password PASS | --key PEM [--passphrase X]]\n"
    "                       [--query-first] [--none-first] [--login-delay S] [--send-bytes N]\n"
    "                       [--ignore-bytes N]\n"
    "                       [--exec CMD | --direct HOST:PORT | --local-forward LPORT:HOST:HPORT [--exit-after N]]\n"
    "                       [settings]\n"
    "settings: [--kex LIST] [--cipher LIST] [--mac LIST] [--compression LIST] [--keepalive S]\n"
    "          [--rekey-bytes N] [--kex-limit S] [--login-limit S]\n";

}  // namespace

int main()
{
    try {
        NoCrtRandom random;
        WinsockSession sockets;
        const std::vector<std::string> all = Utf8Arguments();
        if (all.empty()) throw probe::UsageError("no role");
        const std::string& role = all[0];
        if (role == "--help" && all.size() == 1) {
            std::fputs(kUsage, stdout);
            return probe::ExitOk;
        }
        probe::Arguments args(std::vector<std::string>(all.begin() + 1, all.end()));
        if (role == "server") return probe::RunServer(args);
        if (role == "client") return probe::RunClient(args);
        throw probe::UsageError("unknown role " + role);
    } catch (const probe::UsageError& e) {
        std::fprintf(stderr, "sshprobe: %s\n%s", e.what(), kUsage);
        return probe::ExitUsage;
    } catch (const KeyFileError& e) {
        std::fprintf(stderr, "sshprobe: %s\n", e.what());
        return probe::ExitUsage;
    } catch (const std::exception& e) {
        probe::Event(std::string("error: ") + e.what());
        return probe::ExitConnectionFailed;
    }
}
