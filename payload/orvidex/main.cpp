// Stand-in of the server program: "/service" registers the Windows service "Orvidex"
// through the service control manager, "/unregserver" deletes it. The exit code is 0 on
// success, else the Windows error code. It never waits for anything.
#include "payload/standin.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace {

const char ServiceName[] = "Orvidex";

DWORD RegisterService()
{
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::string command = std::string("\"") + path + "\"";
    const SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (!manager)
        return GetLastError();
    const SC_HANDLE service =
        CreateServiceA(manager, ServiceName, "Morlune Orvidex", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
                       nullptr, nullptr);
    const DWORD result = service ? ERROR_SUCCESS : GetLastError();
    if (service)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return result;
}

DWORD UnregisterService()
{
    const SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager)
        return GetLastError();
    DWORD result = ERROR_SUCCESS;
    const SC_HANDLE service = OpenServiceA(manager, ServiceName, DELETE);
    if (!service || !DeleteService(service))
        result = GetLastError();
    if (service)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return result;
}

} // namespace

int main()
{
    const std::string arguments = standin::Arguments();
    standin::Record(nullptr, arguments);
    unsigned long code = 0;
    std::string file;
    if (_stricmp(arguments.c_str(), "/service") == 0) {
        if (standin::GetNumber("ORVIDEX_SERVICE_REGISTER_EXIT", code))
            return static_cast<int>(code);
        code = RegisterService();
        if (standin::GetVariable("ORVIDEX_SERVICE_DELETE_FILE", file))
            DeleteFileA(file.c_str());
        if (standin::GetVariable("ORVIDEX_SERVICE_READONLY_FILE", file))
            SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY);
        return static_cast<int>(code);
    }
    if (_stricmp(arguments.c_str(), "/unregserver") == 0) {
        if (standin::GetNumber("ORVIDEX_SERVICE_UNREGISTER_EXIT", code))
            return static_cast<int>(code);
        return static_cast<int>(UnregisterService());
    }
    return 0;
}
