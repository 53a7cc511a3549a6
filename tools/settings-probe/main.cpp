// settings-probe: drives the settings language on a fixed test tree, or with --server on
// the server's settings tree, one answer line per request line read from standard input
// (see probe_session.h). The --bench modes time the settings code for scripts/bench-settings.
#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "foundation/random_source.h"
#include "tools/settings-probe/probe_bench.h"
#include "tools/settings-probe/probe_session.h"

namespace {

// On standard error with exit code 2 for bad usage; --help asks for it on standard output.
int Usage(std::FILE* out = stderr, int exitCode = 2)
{
    std::fputs("usage: settings-probe [--server] < requests\n"
               "       settings-probe --bench-make hosts|accounts <count>|max <file>\n"
               "       settings-probe --bench-load hosts|accounts <count> <file>\n"
               "       settings-probe --bench-plain hosts|accounts <count> <file> <offset> <record-bytes>\n"
               "       settings-probe --bench-with <depth> <rounds>\n"
               "       settings-probe --help\n",
               out);
    return exitCode;
}

bool ReadCount(const char* text, std::uint32_t& value)
{
    char* end = nullptr;
    const unsigned long number = std::strtoul(text, &end, 10);
    if (*text < '0' || *text > '9' || *end || number > 0xFFFFFFFFul)
        return false;
    value = static_cast<std::uint32_t>(number);
    return true;
}

bool ReadEntries(const char* text, BenchEntries& what)
{
    if (std::strcmp(text, "hosts") == 0)
        what = BenchEntries::kHosts;
    else if (std::strcmp(text, "accounts") == 0)
        what = BenchEntries::kAccounts;
    else
        return false;
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    ProbeSession::TreeKind kind = ProbeSession::kTestTree;
    std::uint32_t count = 0, rounds = 0;
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        return Usage(stdout, 0);
    } else if (argc == 2 && std::strcmp(argv[1], "--server") == 0) {
        kind = ProbeSession::kServerTree;
    } else if (argc == 5 && std::strcmp(argv[1], "--bench-make") == 0) {
        BenchEntries what;
        const bool largest = std::strcmp(argv[3], "max") == 0;
        if (!ReadEntries(argv[2], what) || (!largest && (!ReadCount(argv[3], count) || count == 0)))
            return Usage();
        NoCrtRandom randomSource;
        return BenchMake(what, largest ? 0 : count, argv[4]);
    } else if (argc == 5 && std::strcmp(argv[1], "--bench-load") == 0) {
        BenchEntries what;
        if (!ReadEntries(argv[2], what) || !ReadCount(argv[3], count))
            return Usage();
        NoCrtRandom randomSource;
        return BenchLoad(what, count, argv[4]);
    } else if (argc == 7 && std::strcmp(argv[1], "--bench-plain") == 0) {
        BenchEntries what;
        std::uint32_t offset = 0, recordBytes = 0;
        if (!ReadEntries(argv[2], what) || !ReadCount(argv[3], count) || !ReadCount(argv[5], offset) ||
            !ReadCount(argv[6], recordBytes) || recordBytes == 0)
            return Usage();
        return BenchPlain(what, count, argv[4], offset, recordBytes);
    } else if (argc == 4 && std::strcmp(argv[1], "--bench-with") == 0) {
        if (!ReadCount(argv[2], count) || !ReadCount(argv[3], rounds))
            return Usage();
        return BenchWith(count, static_cast<int>(rounds));
    } else if (argc > 1) {
        return Usage();
    }
    // Byte-exact lines both ways: no CRLF translation by the runtime.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    // The server's proxy passwords are encrypted with fresh random bytes.
    NoCrtRandom randomSource;
    ProbeSession session(kind);
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string answer = session.Answer(line) + "\n";
        std::fwrite(answer.data(), 1, answer.size(), stdout);
        std::fflush(stdout);
    }
    return 0;
}
