#include "installer/registration_steps.h"

#include "RoVodEre/ScopeGuard.h"
#include "foundation/structured_exception.h"
#include "foundation/text_helpers.h"
#include "foundation/ziror.h"
#include "installer/installer_state.h"

#include <windows.h>
#include <ole2.h>

#include <exception>
#include <vector>

uint32_t RunProcessAndWait(const std::string& commandLine)
{
    std::vector<char> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr,
                        &startup, &process))
        throw InstallError("CreateProcessA() failed: " + OsErrorExceptionText(GetLastError()));
    const auto closeProcess = MakeGuard(CloseHandle, process.hProcess);
    const auto closeThread = MakeGuard(CloseHandle, process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    if (!GetExitCodeProcess(process.hProcess, &code))
        return 9999;
    if (code == STILL_ACTIVE) {
        TerminateProcess(process.hProcess, 0);
        return 9999;
    }
    return code;
}

namespace {

void CallServerEntry(const std::string& dllPath, const char* entryName)
{
    // Uninitialised only when this call initialised it.
    const bool oleInitialized = SUCCEEDED(OleInitialize(nullptr));
    auto uninitialize = [oleInitialized] {
        if (oleInitialized)
            OleUninitialize();
    };
    const HMODULE dll = LoadLibraryA(dllPath.c_str());
    if (!dll) {
        const DWORD error = GetLastError();
        uninitialize();
        throw InstallError("LoadLibraryA() failed: " + OsErrorExceptionText(error));
    }
    const auto release = MakeGuard(FreeLibrary, dll);
    using Entry = HRESULT(STDAPICALLTYPE*)();
    const auto entry = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(dll, entryName)));
    if (!entry) {
        const DWORD error = GetLastError();
        uninitialize();
        throw InstallError("GetProcAddress() failed: " + OsErrorExceptionText(error));
    }
    // A fault in the library's code is ours to roll back, not the end of the run.
    HRESULT returned = S_OK;
    CallForeign([&] { returned = entry(); });
    ZIRor::ComCallResult result;
    result.Record((std::string(entryName) + "()").c_str(), returned);
    uninitialize();  // before the library is freed
    if (result.Failed())
        throw InstallError(result.FailureText());
}

std::string ExitCodeReason(uint32_t code)
{
    return "Error code 0x" + FormatInteger(code, 16, 8) + " received";
}

} // namespace

void CallDllRegisterServer(const std::string& dllPath)
{
    CallServerEntry(dllPath, "DllRegisterServer");
}

void CallDllUnregisterServer(const std::string& dllPath)
{
    CallServerEntry(dllPath, "DllUnregisterServer");
}

ServiceRegistrationStep::ServiceRegistrationStep(const std::string& servicePath) : path(servicePath)
{
    PrintLine("Registering service " + path);
    AppendUninstallClause("-unregSvc=" + path);
    uint32_t code = 0;
    try {
        code = RunProcessAndWait("\"" + path + "\" /service");
        registered = code == 0;
    } catch (const std::exception& e) {
        ReportFailure(e.what());
        return;
    }
    if (code != 0)
        ReportFailure(ExitCodeReason(code));
}

void ServiceRegistrationStep::ReportFailure(const std::string& reason)
{
    PassOrAbort({"Warning: service '" + path + "' registration failed.\n" + reason +
                     "\nDo you want to continue with the installation anyway?\n",
                 "Service Registration Failed", "service registration failed",
                 "Warning: service '" + path + "' registration failed: " + reason,
                 "Service '" + path + "' registration failed: " + reason + ", aborting", ExitServiceRegistration});
}

void ServiceRegistrationStep::ReportRollbackFailure(const std::string& reason)
{
    ::ReportRollbackFailure("Unregistering service failed: " + reason,
                            "Unable to unregister previously registered service '" + path + "'.\n" + reason + ".\n",
                            "Unregistering Service Failed");
}

ServiceRegistrationStep::~ServiceRegistrationStep()
{
    if (!ShouldRollBack(registered))
        return;
    try {
        PrintLine("Rollback: unregistering previously registered service " + path);
        uint32_t code = 0;
        try {
            code = RunProcessAndWait("\"" + path + "\" /unregserver");
        } catch (const std::exception& e) {
            ReportRollbackFailure(e.what());
            return;
        }
        if (code != 0)
            ReportRollbackFailure(ExitCodeReason(code));
    } catch (...) {
    }
}

ServerRegistrationStep::ServerRegistrationStep(const std::string& serverPath) : path(serverPath)
{
    PrintLine("Registering server " + path);
    try {
        CallDllRegisterServer(path);
    } catch (const InstallError& e) {
        const std::string reason = e.what();
        PassOrAbort({"Warning: server '" + path + "' registration failed.\nReason: " + reason +
                         "\nDo you want to continue with the installation anyway?",
                     "Server Registration Failed", "server registration failed",
                     "Warning: server " + path + " registration failed: " + reason,
                     "Server " + path + " registration failed: " + reason + ", aborting", ExitServerRegistration});
    }
    AppendUninstallClause("-unregSvr=" + path);
    registered = true;
}

ServerRegistrationStep::~ServerRegistrationStep()
{
    if (!ShouldRollBack(registered))
        return;
    try {
        PrintLine("Rollback: unregistering previously registered server " + path);
        try {
            CallDllUnregisterServer(path);
        } catch (const InstallError& e) {
            ReportRollbackFailure("Unregister server failed: " + std::string(e.what()),
                                  "Unable to unregister previously registered server '" + path +
                                      "'.\nReason: " + e.what(),
                                  "Unregistering Server Failed");
        }
    } catch (...) {
    }
}
