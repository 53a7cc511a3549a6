#include "installer/earlier_releases.h"

#include "installer/installer_state.h"
#include "installer/registry_values.h"

#include <exception>

namespace {

const char OldReleaseUninstallKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{3C7A91D2-5E48-4B06-9F1A-D28E6B40C7F5}";
const char ReleaseUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvidex";

const char ConflictTitle[] = "Orvidex Installation Conflict";

// One kind of earlier installation: what the dialog explains and what the console says.
struct Conflict {
    const char* dialogText;
    const char* abortLine;
    const char* forcedLine;
};

const Conflict OldRelease = {
    "An old version of Orvidex is already installed. Continuing installation\r\n"
    "without first removing the old version is not recommended. After the new\r\n"
    "version is installed, settings will be reset, but the keypair will be preserved.",
    "Orvidex 1.1 is already installed; aborting",
    "Warning: Orvidex 1.1 is already installed; ignoring",
};

const Conflict PreviousRelease = {
    "A previous version of Orvidex is already installed. Continuing installation\r\n"
    "without first removing the existing copy is not recommended. When the\r\n"
    "new version is installed, your settings and keypair will be preserved.",
    "A previous Orvidex version is already installed; aborting",
    "Warning: a previous Orvidex version is already installed; ignoring",
};

const Conflict SameOrNewerRelease = {
    "An identical or newer Orvidex version is already installed. Continuing\r\n"
    "installation without first uninstalling the existing copy is not recommended.\r\n"
    "If the currently installed version is newer, settings may not be preserved.",
    "An identical or newer Orvidex version is already installed; aborting",
    "Warning: an identical or newer Orvidex version is already installed; ignoring",
};

const int ContinueButton = 1005;

std::string ReadOrEmpty(const char* key, const char* valueName)
{
    try {
        return ReadRegString(HKEY_LOCAL_MACHINE, key, valueName);
    } catch (const std::exception&) {
        return std::string();
    }
}

// Asks (interactive), warns ("/Force") or aborts with 100.
void ResolveConflict(const Conflict& conflict, const std::string& uninstallCommand)
{
    if (installerState.interactive) {
        SetConflictUninstallCommand(uninstallCommand);
        if (ShowVersionConflictDialog(nullptr, conflict.dialogText, ConflictTitle) == ContinueButton)
            return;
    } else if (installerState.force) {
        PrintLine(conflict.forcedLine);
        return;
    }
    PrintLine(conflict.abortLine);
    throw SilentExit(ExitEarlierRelease);
}

} // namespace

std::string ReadOldReleaseUninstallString()
{
    return ReadOrEmpty(OldReleaseUninstallKey, "UninstallString");
}

std::string ReadUninstallString()
{
    return ReadOrEmpty(ReleaseUninstallKey, "UninstallString");
}

std::string ReadInstalledVersion()
{
    return ReadOrEmpty(ReleaseUninstallKey, "Version");
}

bool IsOlderRelease(const std::string& installedVersion)
{
    // char_traits<char> compares as unsigned bytes.
    return installedVersion.compare(ProductVersion) < 0;
}

void CheckPreviousVersion()
{
    const std::string oldReleaseCommand = ReadOldReleaseUninstallString();
    if (!oldReleaseCommand.empty())
        ResolveConflict(OldRelease, oldReleaseCommand);

    const std::string command = ReadUninstallString();
    if (command.empty())
        return;
    const std::string installedVersion = ReadInstalledVersion();
    ResolveConflict(IsOlderRelease(installedVersion) ? PreviousRelease : SameOrNewerRelease, command);
}
