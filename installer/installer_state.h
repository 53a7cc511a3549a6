// What every part of the installer shares: the global state, the product strings,
// the exit codes and the two exception types of the flow.
#pragma once

#include <exception>
#include <string>

struct InstallerState {
    bool interactive = false;   // message boxes and questions instead of unattended aborts
    bool force = false;         // "/Force": checks and existing files become warnings
    bool noRollback = false;    // "/NoRollback": steps undo nothing
    bool acceptEula = false;    // "/AcceptEULA", or accepted in the dialog
    std::string installDir;
    std::string mainExePath;      // installDir\orvidex.exe
    std::string uninstallParams;  // the clauses the uninstaller replays
    std::string uninstallerPath;  // installDir\uninst.exe
};

extern InstallerState installerState;

extern const std::string ProductShortName;
extern const std::string ProductDisplayName;
extern const std::string ProductVersion;
extern const std::string UsageText;
extern const std::string UninstallKeyPath;
extern const std::string VendorKeyPath;
extern const std::string SoftwareKeyPath;

// Process exit codes of the installer.
enum ExitCode : int {
    ExitInstalled = 0,
    ExitEarlierRelease = 100,
    ExitDirectoryNotDirectory = 101,
    ExitDirectoryCreate = 102,
    ExitDirectoryNotEmpty = 103,
    ExitPayloadExists = 104,
    ExitShortcut = 105,
    ExitVendorKey = 106,
    ExitServiceRegistration = 110,
    ExitServerRegistration = 111,
    ExitFileAssociation = 112,
    ExitUninstallEntry = 113,
    ExitKeyGeneration = 120,
    ExitSaveSettings = 121,
    ExitWindowsVersion = 130,
    ExitNotAdministrator = 131,
    ExitEulaNotAccepted = 140,
    ExitException = 150,
    ExitHelp = 200,
    ExitBadCommandLine = 201,
    ExitDialogCancelled = 202,
};

// An exit code on its way to main, thrown after the abort path has printed its reason.
// Deliberately not a std::exception, so that only main's first catch block takes it.
struct SilentExit {
    int code;
    explicit SilentExit(int exitCode) : code(exitCode) {}
};

// The failure of an installer operation: "<call>() failed: <OS error text>".
class InstallError : public std::exception {
public:
    explicit InstallError(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// "OS error <code>: <text>", the narrow text of an OsErrorException of the code.
std::string OsErrorExceptionText(unsigned long error);

// Console conventions: each line goes to standard output with a line feed and a flush.
void PrintLine(const std::string& line);

// The line for a dialog that could not be shown (no display, or the system's desktop not
// ready), so that the run does not end as if the user had cancelled: "Creating the <what>
// failed: " and the system's reason.
void ReportWindowNotCreated(const std::string& what, unsigned long error);

// Starts a program from its command line without waiting for it or telling whether it
// started: the control panel after an interactive installation, an earlier release's
// uninstaller.
void StartWithoutWaiting(const std::string& commandLine);
