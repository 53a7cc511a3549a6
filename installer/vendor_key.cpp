#include "installer/vendor_key.h"

#include "RoVodEre/ScopeGuard.h"
#include "installer/install_step.h"
#include "installer/installer_state.h"
#include "installer/prerequisites.h"

#include <windows.h>

#include <exception>
#include <memory>
#include <new>
#include <string>

namespace {

const DWORD SecurityBufferSize = 204800;

// Copies the access list of HKEY_LOCAL_MACHINE\SOFTWARE onto the key.
void CopySoftwareAccessList(Advapi32Library& advapi, HKEY vendorKey)
{
    using GetKeySecurityFn = LONG(WINAPI*)(HKEY, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR, LPDWORD);
    using SetKeySecurityFn = LONG(WINAPI*)(HKEY, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR);

    HKEY softwareKey = nullptr;
    const LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, SoftwareKeyPath.c_str(), 0, READ_CONTROL, &softwareKey);
    if (opened != ERROR_SUCCESS)
        throw InstallError("RegOpenKeyEx() failed: " + OsErrorExceptionText(static_cast<DWORD>(opened)));
    const auto closeSoftware = MakeGuard(RegCloseKey, softwareKey);

    std::unique_ptr<BYTE[]> descriptor(new (std::nothrow) BYTE[SecurityBufferSize + 1]);
    if (!descriptor)
        throw InstallError(OsErrorExceptionText(ERROR_NOT_ENOUGH_MEMORY));
    DWORD size = SecurityBufferSize;
    const LONG got = advapi.Entry<GetKeySecurityFn>("RegGetKeySecurity")(softwareKey, DACL_SECURITY_INFORMATION,
                                                                          descriptor.get(), &size);
    if (got != ERROR_SUCCESS)
        throw InstallError("RegGetKeySecurity() failed: " + OsErrorExceptionText(static_cast<DWORD>(got)));
    const LONG set = advapi.Entry<SetKeySecurityFn>("RegSetKeySecurity")(vendorKey, DACL_SECURITY_INFORMATION,
                                                                          descriptor.get());
    if (set != ERROR_SUCCESS)
        throw InstallError("RegSetKeySecurity() failed: " + OsErrorExceptionText(static_cast<DWORD>(set)));
}

void TrimMessage(std::string& message)
{
    for (const char end : {'\n', '\r', '.'})
        if (!message.empty() && message.back() == end)
            message.pop_back();
}

} // namespace

void CreateVendorRegistryKey()
{
    PrintLine("Creating Morlune registry key");
    bool keyOpened = false;
    std::string message;
    try {
        HKEY key = nullptr;
        DWORD disposition = 0;
        const LONG created = RegCreateKeyExA(HKEY_LOCAL_MACHINE, VendorKeyPath.c_str(), 0, nullptr,
                                             REG_OPTION_NON_VOLATILE, READ_CONTROL | WRITE_DAC, nullptr, &key,
                                             &disposition);
        if (created != ERROR_SUCCESS)
            throw InstallError("RegCreateKeyEx() failed: " + OsErrorExceptionText(static_cast<DWORD>(created)));
        keyOpened = true;
        const auto closeKey = MakeGuard(RegCloseKey, key);
        Advapi32Library advapi;
        if (GlobalOsVersion.Get().first == VER_PLATFORM_WIN32_NT && disposition == REG_OPENED_EXISTING_KEY)
            CopySoftwareAccessList(advapi, key);
        return;
    } catch (const std::exception& e) {
        message = e.what();
    }

    TrimMessage(message);
    const bool isAdmin = IsAdministrator(false);
    const bool isPowerUser = IsPowerUser(false);
    const std::string hint = isPowerUser ? "Administrator" : "Power User";

    if (installerState.interactive) {
        std::string text = keyOpened ? "Setting access control for Morlune registry key failed.\n"
                                     : "Creating Morlune registry key failed.\n";
        text += message + ".\n";
        if (!isAdmin)
            text += "Try running installer as " + hint + ".\n";
        const std::string title = "Creating Morlune Registry Key Failed";
        if (IsAdministrator(true)) {
            if (AskYesNo(text + "Continuing installation is not recommended. Do you want to continue anyway?", title))
                return;
            PrintLine("Installation canceled by user (creating registry key failed)");
        } else {
            ShowWarningBox(text, title);
        }
        throw SilentExit(ExitVendorKey);
    }

    const bool pass = IsAdministrator(true) && installerState.force;
    std::string line = pass ? "Warning: " : "";
    line += keyOpened ? "Setting access control for Morlune registry key failed; " : "Creating Morlune registry key failed; ";
    line += message;
    if (!isAdmin)
        line += "; try running installer as " + hint;
    if (pass) {
        PrintLine(line);
        return;
    }
    PrintLine(line + ", aborting");
    throw SilentExit(ExitVendorKey);
}
