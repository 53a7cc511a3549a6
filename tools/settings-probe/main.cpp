// settings-probe: drives the settings language on a fixed test tree, or with --server on
// the server's settings tree, one answer line per request line read from standard input
// (see probe_session.h).
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "foundation/random_source.h"
#include "tools/settings-probe/probe_session.h"

int main(int argc, char** argv)
{
    ProbeSession::TreeKind kind = ProbeSession::kTestTree;
    if (argc == 2 && std::strcmp(argv[1], "--server") == 0) {
        kind = ProbeSession::kServerTree;
    } else if (argc > 1) {
        std::fputs("usage: settings-probe [--server] < requests\n", stderr);
        return 2;
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
