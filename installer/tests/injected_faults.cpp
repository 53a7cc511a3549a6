#include "installer/tests/injected_faults.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Nothing is mapped at the bottom of the address space: every access there faults.
char* const badPointer = reinterpret_cast<char*>(16);
volatile size_t sink;

std::string Variable(const char* name)
{
    char value[32];
    const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    return length < sizeof value ? std::string(value, length) : std::string();
}

} // namespace

void InjectFaultAt(const std::string& point)
{
    const std::string chosen = Variable("ORVIDEX_INJECTED_FAULT_AT");
    if (point != (chosen.empty() ? "after-steps" : chosen))
        return;
    // Opaque to the optimiser, so that each call reaches the runtime or the system.
    char* volatile source = badPointer;
    volatile size_t size = 64;
    const std::string fault = Variable("ORVIDEX_INJECTED_FAULT");
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
