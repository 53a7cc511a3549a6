#include "installer/tests/injected_faults.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Nothing is mapped at the bottom of the address space: every access there faults.
char* const badPointer = reinterpret_cast<char*>(16);
volatile size_t sink;

std::string FaultName()
{
    char name[32];
    const DWORD length = GetEnvironmentVariableA("ORVIDEX_INJECTED_FAULT", name, sizeof name);
    return length < sizeof name ? std::string(name, length) : std::string();
}

} // namespace

void InjectFaultAfterSteps()
{
    // Opaque to the optimiser, so that each call reaches the runtime or the system.
    char* volatile source = badPointer;
    volatile size_t size = 64;
    const std::string fault = FaultName();
    if (fault == "strlen") {
        const std::string text(source);
        sink = text.size();
    } else if (fault == "memcpy") {
        std::vector<char> copy(size);
        std::memcpy(copy.data(), source, size);
        sink = copy[0];
    } else if (fault == "win32") {
        GetModuleFileNameA(nullptr, source, static_cast<DWORD>(size));
    }
}
