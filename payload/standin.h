// What the stand-in payload programs share. The server's own programs are not part of
// this project; these stand-ins do what the installer relies on, and their behaviour can
// be switched by environment variables so that tests reach every failure path:
//   ORVIDEX_STANDIN_LOG            a file to which each call appends one line
//   ORVIDEX_SERVICE_REGISTER_EXIT  Orvidex.exe "/service" exits with this code, registering nothing
//   ORVIDEX_SERVICE_UNREGISTER_EXIT  the same for "/unregserver"
//   ORVIDEX_SERVICE_DELETE_FILE    Orvidex.exe "/service" deletes this file after registering
//   ORVIDEX_SERVICE_READONLY_FILE  Orvidex.exe "/service" makes this file read-only
//   ORVIDEX_SERVER_REGISTER_RESULT   DllRegisterServer returns this HRESULT (hexadecimal)
//   ORVIDEX_SERVER_UNREGISTER_RESULT DllUnregisterServer returns this HRESULT
//   ORVIDEX_SERVER_REGISTER_FAULT  DllRegisterServer writes through a null pointer; with the value
//                                  "after", once it has written the class's registration
//   ORVIDEX_SERVER_LOAD_FAILS      OrvidexCfgManip.dll refuses to load
#pragma once

#include <windows.h>

#include <cstdlib>
#include <string>

namespace standin {

inline bool GetVariable(const char* name, std::string& value)
{
    char buffer[1024];
    const DWORD length = GetEnvironmentVariableA(name, buffer, sizeof buffer);
    if (length == 0 || length >= sizeof buffer)
        return false;
    value.assign(buffer, length);
    return true;
}

// The variable as a number (decimal, or hexadecimal with 0x), when it is set.
inline bool GetNumber(const char* name, unsigned long& number)
{
    std::string text;
    if (!GetVariable(name, text))
        return false;
    number = std::strtoul(text.c_str(), nullptr, 0);
    return true;
}

inline std::string ModuleName(HMODULE module)
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
    std::string name(path, length);
    const size_t slash = name.find_last_of("\\/");
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

// Appends "<module> <what>" to the log file, when there is one.
inline void Record(HMODULE module, const std::string& what)
{
    std::string logPath;
    if (!GetVariable("ORVIDEX_STANDIN_LOG", logPath))
        return;
    const HANDLE log = CreateFileA(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log == INVALID_HANDLE_VALUE)
        return;
    const std::string line = ModuleName(module) + " " + what + "\n";
    DWORD written = 0;
    WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(log);
}

// The arguments after the program name, as the command line gave them.
inline std::string Arguments()
{
    const char* line = GetCommandLineA();
    bool quoted = false;
    for (; *line; ++line) {
        if (*line == '"')
            quoted = !quoted;
        else if (!quoted && (*line == ' ' || *line == '\t'))
            break;
    }
    while (*line == ' ' || *line == '\t')
        ++line;
    return line;
}

} // namespace standin
