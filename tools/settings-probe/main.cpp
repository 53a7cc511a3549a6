// settings-probe: drives the settings language on a fixed test tree, one answer line per
// request line read from standard input (see probe_session.h).
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "tools/settings-probe/probe_session.h"

int main(int argc, char**)
{
    if (argc > 1) {
        // The server's tree is not part of this build; the fixed test tree takes no options.
        std::fputs("usage: settings-probe < requests\n", stderr);
        return 2;
    }
    // Byte-exact lines both ways: no CRLF translation by the runtime.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    ProbeSession session;
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string answer = session.Answer(line) + "\n";
        std::fwrite(answer.data(), 1, answer.size(), stdout);
        std::fflush(stdout);
    }
    return 0;
}
