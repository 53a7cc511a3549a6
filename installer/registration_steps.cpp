#include "installer/registration_steps.h"

#include "RoVodEre/ScopeGuard.h"
#include "foundation/structured_exception.h"
#include "foundation/text_helpers.h"
#include "foundation/ziror.h"
#include "installer/installer_state.h"

#include <windows.h>
#include <ole2.h>

#include <algorithm>
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

// A hardware fault inside a library's entry point, told with the entry point and the
// library: like the fault itself, not an InstallError, so no "/Force" passes it.
class EntryPointFault : public std::exception {
public:
    EntryPointFault(const std::string& entryName, const std::string& dllPath, const StructuredException& fault)
        : message_(entryName + "() of '" + dllPath + "' failed: " + fault.what() + " (0x" +
                   FormatInteger(fault.code, 16, 8) + ")")
    {
    }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

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
    try {
        CallForeign([&] { returned = entry(); });
    } catch (const StructuredException& fault) {
        throw EntryPointFault(entryName, dllPath, fault);
    }
    ZIRor::ComCallResult result;
    result.Record((std::string(entryName) + "()").c_str(), returned);
    uninitialize();  // before the library is freed
    if (result.Failed())
        throw InstallError(result.FailureText());
}

// A string default value of HKEY_CLASSES_ROOT\CLSID\<subkey>, up to its first terminator.
bool ReadClassText(HKEY classes, const std::string& subkey, std::string& text)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(classes, subkey.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    const auto closeKey = MakeGuard(RegCloseKey, key);
    char buffer[2 * MAX_PATH + 1];
    DWORD size = sizeof buffer - 1, type = REG_NONE;
    if (RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    buffer[size] = '\0';
    text = buffer;
    return !text.empty();
}

// The last component of a path, without the quotes a registered path may carry.
std::string FileNameOf(std::string path)
{
    path.erase(std::remove(path.begin(), path.end(), '"'), path.end());
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ExitCodeReason(uint32_t code)
{
    return "Error code 0x" + FormatInteger(code, 16, 8) + " received";
}

} // namespace

std::vector<std::string> ClassKeysOfServer(const std::string& fileName)
{
    std::vector<std::string> keys;
    HKEY classes = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_READ, &classes) != ERROR_SUCCESS)
        return keys;
    const auto closeKey = MakeGuard(RegCloseKey, classes);
    auto add = [&keys](const std::string& key) {
        if (std::none_of(keys.begin(), keys.end(),
                         [&key](const std::string& known) { return lstrcmpiA(known.c_str(), key.c_str()) == 0; }))
            keys.push_back(key);
    };
    // A ProgID is a key of its own at the top, a type library a GUID: anything else would
    // name some other part of the classes.
    auto isProgId = [](const std::string& name) {
        return name.find('\\') == std::string::npos && lstrcmpiA(name.c_str(), "CLSID") != 0 &&
               lstrcmpiA(name.c_str(), "TypeLib") != 0;
    };
    char name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof name;
        const LONG rc = RegEnumKeyExA(classes, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        std::string server;
        const std::string clsid(name, length);
        if (rc != ERROR_SUCCESS || !ReadClassText(classes, clsid + "\\InprocServer32", server) ||
            lstrcmpiA(FileNameOf(server).c_str(), fileName.c_str()) != 0)
            continue;
        add("CLSID\\" + clsid);
        std::string named;
        for (const char* link : {"\\ProgID", "\\VersionIndependentProgID"})
            if (ReadClassText(classes, clsid + link, named) && isProgId(named))
                add(named);
        if (ReadClassText(classes, clsid + "\\TypeLib", named) && named[0] == '{' &&
            named.find('\\') == std::string::npos)
            add("TypeLib\\" + named);
    }
    return keys;
}

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
    for (const std::string& key : ClassKeysOfServer(FileNameOf(path))) {
        KeyBefore before;
        before.path = key;
        if (ReadStoredKey(HKEY_CLASSES_ROOT, key, before.tree))
            earlierRegistration.push_back(std::move(before));
    }
    try {
        CallDllRegisterServer(path);
    } catch (const InstallError& e) {
        const std::string reason = e.what();
        PassOrAbort({"Warning: server '" + path + "' registration failed.\nReason: " + reason +
                         "\nDo you want to continue with the installation anyway?",
                     "Server Registration Failed", "server registration failed",
                     "Warning: server " + path + " registration failed: " + reason,
                     "Server " + path + " registration failed: " + reason + ", aborting", ExitServerRegistration});
    } catch (...) {
        // A fault inside the entry point ends the run with this step unmade: what the entry
        // point wrote goes here, and an earlier registration it wrote over comes back.
        if (ShouldRollBack(true)) {
            RemoveClassesWrittenSince();
            RestoreEarlierRegistration();
        }
        throw;
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
        RestoreEarlierRegistration();
    } catch (...) {
    }
}

void ServerRegistrationStep::RemoveClassesWrittenSince() const
{
    try {
        for (const std::string& key : ClassKeysOfServer(FileNameOf(path))) {
            const bool earlier = std::any_of(earlierRegistration.begin(), earlierRegistration.end(),
                                             [&key](const KeyBefore& before) {
                                                 return lstrcmpiA(before.path.c_str(), key.c_str()) == 0;
                                             });
            if (!earlier)
                DeleteKeyTree(HKEY_CLASSES_ROOT, key);
        }
    } catch (...) {
    }
}

void ServerRegistrationStep::RestoreEarlierRegistration() const
{
    try {
        for (const KeyBefore& key : earlierRegistration) {
            const LONG rc = ReplaceStoredKey(HKEY_CLASSES_ROOT, key.path, key.tree);
            if (rc != ERROR_SUCCESS) {
                const std::string reason = OsErrorExceptionText(rc);
                ReportRollbackFailure("Restoring earlier server registration failed: " + reason,
                                      "Unable to restore the earlier registration of server '" + path +
                                          "'.\nReason: " + reason,
                                      "Restoring Server Registration Failed");
                return;
            }
        }
    } catch (...) {
    }
}
