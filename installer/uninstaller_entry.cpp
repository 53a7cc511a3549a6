#include "installer/uninstaller_entry.h"

#include "RoVodEre/ScopeGuard.h"
#include "foundation/exceptions.h"
#include "foundation/ziror.h"
#include "installer/file_helpers.h"
#include "installer/installer_state.h"
#include "installer/registry_values.h"

#include <exception>

namespace {

const std::vector<std::wstring> EntryValueNames = {L"DisplayName", L"DisplayIcon", L"UninstallString",
                                                   L"UninstallParam", L"Version"};

// The names of the values.
std::vector<std::wstring> NamesOf(const std::vector<StoredRegistryValue>& values)
{
    std::vector<std::wstring> names;
    for (const StoredRegistryValue& value : values)
        names.push_back(value.name);
    return names;
}

// The key opened for replacing values, created when missing.
LONG OpenForValues(const std::string& keyPath, HKEY& key)
{
    return RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key, nullptr);
}

} // namespace

UninstallerRegistrationStep::UninstallerRegistrationStep(const std::string& keyName, const std::string& displayName,
                                                         const std::string& version)
    : keyPath(CombinePath(UninstallKeyPath, keyName))
{
    hadPreviousEntry = ReadStoredValues(HKEY_LOCAL_MACHINE, keyPath, previousEntry);
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

// An earlier entry is overwritten value by value and loses only the values this entry does
// not have, so that it is a working entry at every moment, also when the run is cut off.
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
    HKEY key = nullptr;
    LONG rc = OpenForValues(keyPath, key);
    if (rc == ERROR_SUCCESS) {
        const auto closeKey = MakeGuard(RegCloseKey, key);
        rc = DeleteValuesOtherThan(key, EntryValueNames);
    }
    if (rc != ERROR_SUCCESS) {
        ZIRor::Win32CallResult result;
        result.Record("RegDeleteValueW()", rc);
        throw InstallError(result.FailureText());
    }
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

// The earlier values back over ours, with their own types and bytes, and then ours that it
// did not have out: a working entry at every moment, as when it was written.
LONG UninstallerRegistrationStep::RestorePreviousEntry()
{
    HKEY key = nullptr;
    LONG rc = OpenForValues(keyPath, key);
    if (rc != ERROR_SUCCESS)
        return rc;
    const auto closeKey = MakeGuard(RegCloseKey, key);
    for (const StoredRegistryValue& value : previousEntry) {
        rc = WriteStoredValue(key, value);
        if (rc != ERROR_SUCCESS)
            return rc;
    }
    return DeleteValuesOtherThan(key, NamesOf(previousEntry));
}
