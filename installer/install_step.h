// What every installation step shares. A step performs its change when constructed and
// undoes it when destroyed uncommitted, unless "/NoRollback" was given; main commits all
// steps once the whole installation has succeeded. Each step also appends its clause to
// the uninstall parameter string, which tells the product's uninstaller what to remove.
#pragma once

#include <string>

class InstallStep {
public:
    // Set by main after success, or by the step itself for something that existed before.
    bool committed = false;

    void Commit() { committed = true; }

protected:
    InstallStep() = default;
    InstallStep(const InstallStep&) = delete;
    InstallStep& operator=(const InstallStep&) = delete;
    ~InstallStep() = default;

    // Whether the destructor undoes: uncommitted, rollback on, and the step's change was made.
    bool ShouldRollBack(bool changeMade) const;
};

// Appends " \"<clauseText>\"" to uninstallParams; values are inserted unescaped, so they
// must hold no double quote.
void AppendUninstallClause(const std::string& clauseText);

// The rollback of a file or directory a step created: its "Rollback: " line, the removal,
// and when that fails the failure lines (and box) and a deletion at the next restart.
enum class FileSystemObject { Directory, PayloadFile, Shortcut };
void RemoveCreatedObject(FileSystemObject kind, const std::string& path);

// Message boxes without owner: an error with OK, a warning with OK, a Yes/No question
// (true only for Yes).
void ShowErrorBox(const std::string& text, const std::string& title);
void ShowWarningBox(const std::string& text, const std::string& title);
bool AskYesNo(const std::string& text, const std::string& title);

// A problem that a step may let pass. Interactive: the question (Yes goes on; any other
// answer prints "Installation canceled by user (<cancelReason>)" and aborts). Unattended:
// with "/Force" the warning line and go on, without it the abort line and abort. Aborting
// throws SilentExit with exitCode.
struct PassableProblem {
    std::string question;
    std::string title;
    std::string cancelReason;
    std::string warningLine;
    std::string abortLine;
    int exitCode;
};
void PassOrAbort(const PassableProblem& problem);

// A failed undo of a registry or registration step: the console line, and in interactive
// mode the error box. Never throws.
void ReportRollbackFailure(const std::string& consoleLine, const std::string& boxText, const std::string& boxTitle);
