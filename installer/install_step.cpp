#include "installer/install_step.h"

#include "installer/installer_state.h"
#include "installer/reboot_delete.h"

#include <windows.h>

bool InstallStep::ShouldRollBack(bool changeMade) const
{
    return !committed && !installerState.noRollback && changeMade;
}

void AppendUninstallClause(const std::string& clauseText)
{
    installerState.uninstallParams += " \"" + clauseText + "\"";
}

namespace {

struct RollbackTexts {
    const char* rollback;
    const char* failurePrefix;
    const char* scheduleSentence;
    const char* boxTitle;
    const char* scheduling;
    const char* schedulingFailed;
};

const RollbackTexts& TextsOf(FileSystemObject kind)
{
    static const RollbackTexts directory = {
        "Rollback: removing previously created ", "Rollback: error removing directory: ",
        "The directory will be scheduled for removal on reboot.", "Directory Deletion Failed",
        "Scheduling removing directory on reboot", "Scheduling removing directory failed"};
    static const RollbackTexts payloadFile = {
        "Rollback: removing previously created ", "File deletion failed: ",
        "The file will be scheduled for deletion on reboot.", "File Deletion Failed",
        "Scheduling file deletion on reboot", "Scheduling file deletion failed"};
    static const RollbackTexts shortcut = {
        "Rollback: removing previously created shortcut ", "Shortcut deletion failed: ",
        "The shortcut will be scheduled for removal on reboot.", "Shortcut Removal Failed",
        "Scheduling remove shortcut on reboot", "Scheduling remove shortcut failed"};
    switch (kind) {
    case FileSystemObject::Directory:
        return directory;
    case FileSystemObject::PayloadFile:
        return payloadFile;
    case FileSystemObject::Shortcut:
        break;
    }
    return shortcut;
}

} // namespace

void RemoveCreatedObject(FileSystemObject kind, const std::string& path)
{
    // Runs in destructors, also while an exception unwinds: nothing may escape.
    try {
        const RollbackTexts& texts = TextsOf(kind);
        PrintLine(texts.rollback + path);
        const BOOL removed = kind == FileSystemObject::Directory ? RemoveDirectoryA(path.c_str())
                                                                 : DeleteFileA(path.c_str());
        if (removed)
            return;
        const DWORD error = GetLastError();
        PrintLine(texts.failurePrefix + OsErrorExceptionText(error));
        if (installerState.interactive) {
            ShowErrorBox("Unable to remove previously created '" + path + "'.\nReason: " +
                             OsErrorExceptionText(error) + "\n" + texts.scheduleSentence,
                         texts.boxTitle);
        }
        PrintLine(texts.scheduling);
        if (!ScheduleDeleteOnReboot(path))
            PrintLine(texts.schedulingFailed);
    } catch (...) {
    }
}

void ShowErrorBox(const std::string& text, const std::string& title)
{
    MessageBoxA(nullptr, text.c_str(), title.c_str(), MB_OK | MB_ICONERROR);
}

void ShowWarningBox(const std::string& text, const std::string& title)
{
    MessageBoxA(nullptr, text.c_str(), title.c_str(), MB_OK | MB_ICONWARNING);
}

bool AskYesNo(const std::string& text, const std::string& title)
{
    return MessageBoxA(nullptr, text.c_str(), title.c_str(), MB_YESNO | MB_ICONWARNING) == IDYES;
}

void PassOrAbort(const PassableProblem& problem)
{
    if (installerState.interactive) {
        if (AskYesNo(problem.question, problem.title))
            return;
        PrintLine("Installation canceled by user (" + problem.cancelReason + ")");
        throw SilentExit(problem.exitCode);
    }
    if (installerState.force) {
        PrintLine(problem.warningLine);
        return;
    }
    PrintLine(problem.abortLine);
    throw SilentExit(problem.exitCode);
}

void ReportRollbackFailure(const std::string& consoleLine, const std::string& boxText, const std::string& boxTitle)
{
    try {
        PrintLine(consoleLine);
        if (installerState.interactive)
            ShowErrorBox(boxText, boxTitle);
    } catch (...) {
    }
}
