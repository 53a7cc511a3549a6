// Linked into every unit-test program: a failed check that no test expects is reported on
// standard error and ends the whole program with the check's exit code. The product's own
// handling (a message box, then only the checking thread ends) would leave a test program
// that stopped halfway looking like one that passed.
#include <cstdio>

#include <windows.h>

#include "RoVodEre/NoCrtCore.h"

namespace {

void ReportAndEndProgram(const char* message)
{
    std::fprintf(stderr, "%s\n", message);
    std::fflush(stderr);
    ExitProcess(kAssertionExitCode);
}

const bool installed = (SetAssertionReporter(ReportAndEndProgram), true);

} // namespace
