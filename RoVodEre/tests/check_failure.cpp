#include "RoVodEre/tests/check_failure.h"

#include <windows.h>

#include "RoVodEre/NoCrtCore.h"

namespace {

std::string g_lastMessage;

void RecordMessage(const char* message) { g_lastMessage = message; }

DWORD WINAPI RunBody(LPVOID parameter) {
    (*static_cast<const std::function<void()>*>(parameter))();
    return 0;
}

}  // namespace

CheckFailure RunExpectingCheckFailure(const std::function<void()>& body) {
    g_lastMessage.clear();
    AssertionReporter previous = SetAssertionReporter(RecordMessage);
    HANDLE thread = CreateThread(NULL, 0, RunBody, const_cast<std::function<void()>*>(&body), 0, NULL);
    CheckFailure result = {0xFFFFFFFFul, std::string()};
    if (thread) {
        WaitForSingleObject(thread, INFINITE);
        DWORD code = 0;
        GetExitCodeThread(thread, &code);
        result.exitCode = code;
        CloseHandle(thread);
    }
    SetAssertionReporter(previous);
    result.message = g_lastMessage;
    return result;
}

std::string LineAndText(unsigned line, const std::string& text) {
    return ", line " + std::to_string(line) + ":\r\n" + text + "\r\n";
}
