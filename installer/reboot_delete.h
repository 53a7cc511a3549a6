// Deletions at the next system restart: scheduling one when a rollback cannot remove a
// file or directory, and cancelling one after a step has put a path in place (a pending
// deletion left by an earlier uninstallation would otherwise remove the new file).
// Windows NT keeps them in the Session Manager's PendingFileRenameOperations value; the
// other platforms in the "Rename" section of WININIT.INI.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

extern const std::string SessionManagerKeyPath;
extern const std::string WininitIniName;

// True when the path is now scheduled for deletion at the next restart.
bool ScheduleDeleteOnReboot(const std::string& path);
// True when a pending deletion of the path was found and removed.
bool CancelPendingDelete(const std::string& path);

// The editing behind them, kept apart from the system's stores so it can be tested alone.

// Removes from raw REG_MULTI_SZ data (UTF-16) every (source, empty target) pair whose source
// isOurPath accepts; every other byte stays as it was. True when something was removed.
bool RemovePendingDeletions(std::vector<BYTE>& data, const std::function<bool(const std::wstring&)>& isOurPath);

// A profile section as the system gives it: zero-terminated lines ended by one more zero
// (the layout of a multi-string, which is how it is written back).
std::vector<std::string> SplitSectionLines(const char* buffer, size_t size);
// Lines equal to entry without regard to case are dropped; true when any was.
bool RemoveSectionLine(std::vector<std::string>& lines, const std::string& entry);
