#include "installer/uninstaller_entry.h"

#include "RoVodEre/ScopeGuard.h"
#include "foundation/exceptions.h"
#include "installer/file_helpers.h"
#include "installer/installer_state.h"
#include "installer/registry_values.h"

#include <exception>

namespace {

const char* const EntryValueNames[] = {"DisplayName", "DisplayIcon", "UninstallString", "UninstallParam", "Version"};

} // namespace

UninstallerRegistrationStep::UninstallerRegistrationStep(const std::string& keyName, const std::string& displayName,
                                                         const std::string& version)
    : keyPath(CombinePath(UninstallKeyPath, keyName))
{
    hadPreviousEntry = ReadStoredValues(HKEY_LOCAL_MACHINE, keyPath, previousEntry);
    // A missing key is the normal case; no stale value of an earlier entry survives.
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, keyPath.c_str());
    PrintLine("Registering uninstaller");
    try {
        Write(keyName, displayName, version);
    } catch (const std::exception& e) {
        try {
            ReportFailure(e.what());
        } catch (...) {
            // The step is not destroyed when its constructor throws: undo here.
            RollBack();
            throw;
        }
    }
}

void UninstallerRegistrationStep::Write(const std::string& keyName, const std::string& displayName,
                                        const std::string& version)
{
    WriteRegString(HKEY_LOCAL_MACHINE, keyPath, "DisplayName", displayName, false);
    keyWritten = true;
    WriteRegString(HKEY_LOCAL_MACHINE, keyPath, "DisplayIcon", installerState.uninstallerPath, false);
    const std::string uninstallCommand = "\"" + installerState.uninstallerPath + "\" " + keyName + " ";
    AppendUninstallClause("-delRegKey=HKEY_LOCAL_MACHINE\\" + keyPath);
    WriteRegString(HKEY_LOCAL_MACHINE, keyPath, "UninstallString", uninstallCommand, false);
    WriteRegString(HKEY_LOCAL_MACHINE, keyPath, "UninstallParam", installerState.uninstallParams, false);
    WriteRegString(HKEY_LOCAL_MACHINE, keyPath, "Version", version, false);
    written = true;
}

void UninstallerRegistrationStep::ReportFailure(const std::string& reason)
{
    PassOrAbort({"Warning: uninstaller registration failed.\nReason: " + reason +
                     "\nDo you want to continue with the installation anyway?",
                 "Uninstaller Registration Failed", "uninstaller registration failed",
                 "Warning: uninstaller registration failed: " + reason,
                 "Uninstaller registration failed: " + reason + ", aborting", ExitUninstallEntry});
}

UninstallerRegistrationStep::~UninstallerRegistrationStep()
{
    // A passed-over failure leaves a partial entry of ours in place, but one that stood
    // here before is still put back.
    if (written || hadPreviousEntry)
        RollBack();
}

void UninstallerRegistrationStep::RollBack()
{
    if (!ShouldRollBack(keyWritten || hadPreviousEntry) || rolledBack)
        return;
    rolledBack = true;
    PrintLine("Rollback: unregistering uninstaller");
    const LONG rc = hadPreviousEntry ? RestorePreviousEntry() : RegDeleteKeyA(HKEY_LOCAL_MACHINE, keyPath.c_str());
    if (rc == ERROR_SUCCESS)
        return;
    ReportRollbackFailure("Uninstaller unregistration failed: " + SystemErrorText(rc).text,
                          "Unable to unregister previously registered uninstaller.\nReason: " + SystemErrorText(rc).text,
                          "Uninstaller Unregistration Failed");
}

// Our values out, the earlier ones back, with their own types and bytes.
LONG UninstallerRegistrationStep::RestorePreviousEntry()
{
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_SET_VALUE, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS)
        return rc;
    auto closeKey = MakeGuard(RegCloseKey, key);
    for (const char* name : EntryValueNames)
        RegDeleteValueA(key, name);
    for (const StoredRegistryValue& value : previousEntry) {
        rc = WriteStoredValue(key, value);
        if (rc != ERROR_SUCCESS)
            return rc;
    }
    return ERROR_SUCCESS;
}
