// The check for earlier releases of Orvidex in the system's list of installed programs:
// release 1.1 under its product GUID, later releases under the product's short name.
#pragma once

#include <windows.h>

#include <string>

// Returns, or (after its line) throws SilentExit with 100. Runs before anything changes.
void CheckPreviousVersion();

// The values the check reads; "" when a value cannot be read.
std::string ReadOldReleaseUninstallString();
std::string ReadUninstallString();
std::string ReadInstalledVersion();

// An installed version text sorts before ours, byte by byte (a prefix sorts first).
bool IsOlderRelease(const std::string& installedVersion);

// What the version-conflict dialog shows and what its Uninstall button starts.
extern std::string ConflictDialogText;
extern std::string ConflictDialogTitle;
extern std::string ConflictUninstallCommand;

void SetConflictUninstallCommand(const std::string& commandLine);
// 1005 for Continue, 2 for Cancel; a dialog that cannot be shown gives its failure value.
INT_PTR ShowVersionConflictDialog(HWND owner, const std::string& text, const std::string& title);
