#include "RoVodEre/NoCrtCore.h"

#include <windows.h>

namespace {

// A console program whose check fails is not silent when no one sees the box (no display,
// a service, a log of the console): the message goes to its error stream first.
void WriteToStandardError(const char* message) {
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error == NULL || error == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(error, message, static_cast<DWORD>(lstrlenA(message)), &written, NULL);
    WriteFile(error, "\r\n", 2, &written, NULL);
}

void ShowAssertionBox(const char* message) {
    WriteToStandardError(message);
    MessageBoxA(NULL, message, "Assertion failed", MB_ICONERROR | MB_OK);
}

// Written once at start-up by tests, read by whichever thread fails a check.
volatile AssertionReporter g_reporter = ShowAssertionBox;

}  // namespace

AssertionReporter SetAssertionReporter(AssertionReporter reporter) {
    AssertionReporter previous = g_reporter;
    g_reporter = reporter ? reporter : ShowAssertionBox;
    return previous;
}

void NoCrtAssertFailed(const char* text, const char* file, unsigned line) {
    char module[101] = {0};
    GetModuleFileNameA(NULL, module, 100);
    if (!text) text = "";
    if (!file) file = "";
    // wsprintfA writes at most 1024 bytes; the precisions keep a long path or check text
    // from cutting off the end of the message.
    char message[1024];
    wsprintfA(message,
              "Assertion failed in module '%s', PID %u, source file '%.400s', line %u:\r\n%.300s\r\n"
              "The asserting thread will be terminated.",
              module, static_cast<unsigned>(GetCurrentProcessId()), file, line, text);
    g_reporter(message);
    ExitThread(kAssertionExitCode);
}

namespace nocrt {

void* AllocateBlock(std::uint64_t count, std::size_t size) {
    std::new_handler handler = std::get_new_handler();
    if (size != 0 && count > kMaxAllocationBytes / size) {
        // Treated like any other failed allocation: the program's handler throws.
        if (handler) handler();
        return nullptr;
    }
    std::size_t bytes = static_cast<std::size_t>(count * size);
    if (bytes == 0) bytes = 1;
    if (handler) return ::operator new(bytes);
    return ::operator new(bytes, std::nothrow);
}

}  // namespace nocrt
