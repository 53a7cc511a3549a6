// OrvidexInstaller: installs the Orvidex SSH2 server. Every way a run can end becomes a
// process exit code here; this is the only place that catches exceptions at the top level.
#include "foundation/random_source.h"
#include "foundation/structured_exception.h"
#include "installer/command_line.h"
#include "installer/directory_step.h"
#include "installer/earlier_releases.h"
#include "installer/file_association.h"
#include "installer/file_helpers.h"
#include "installer/installer_state.h"
#include "installer/payload_files.h"
#include "installer/prerequisites.h"
#include "installer/registration_steps.h"
#include "installer/settings_step.h"
#include "installer/shortcuts.h"
#include "installer/uninstaller_entry.h"
#include "installer/ui/installer_dialog.h"
#include "installer/vendor_key.h"

#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#if defined(ORVIDEX_INJECTED_FAULTS)
#include "installer/tests/injected_faults.h"
#endif

namespace {

void ReportException(const std::string& text)
{
    PrintLine(text);
    if (installerState.interactive)
        MessageBoxA(nullptr, text.c_str(), "Exception", MB_OK | MB_ICONERROR);
}

// The steps made so far, newest first, for the two ways a run can end without unwinding: a
// fault the unwinder cannot carry out of a system function (on i686), and std::terminate (an
// exception that reaches a frame built for calls that cannot throw, such as the runtime's
// strlen). Both undo these steps themselves, as the unwinding would have, before the process
// ends. Each entry lives inside the step's holder, so recording needs no memory.
struct JournalEntry {
    void* step;
    void (*undo)(void* step);
    JournalEntry* older;
};
JournalEntry* newestStep = nullptr;

// A step held so that the last-chance handlers can undo it. The step is journaled once its
// constructor has returned (a step whose constructor fails undoes nothing, as when it throws)
// and leaves the journal before its own destructor runs. A step that makes several changes is
// constructed empty and filled once journaled, so that the part done is undone too.
template <class Step>
class Journaled {
public:
    template <class... Args>
    explicit Journaled(Args&&... args) : step(std::forward<Args>(args)...), entry{&step, &Undo, newestStep}
    {
        newestStep = &entry;
    }
    ~Journaled() { newestStep = entry.older; }
    Journaled(const Journaled&) = delete;
    Journaled& operator=(const Journaled&) = delete;

    Step* operator->() { return &step; }

private:
    // Only ever run by a handler that then ends the process: the frame holding the step is
    // never returned to.
    static void Undo(void* held) { static_cast<Step*>(held)->~Step(); }

    Step step;
    JournalEntry entry;
};

// Undoes the steps still standing, reports as the std::exception block would, and ends the
// run with the same code. A fault during an undo comes back here and goes on with the older
// steps: each leaves the journal before it is undone.
[[noreturn]] void EndAtLastChance(const std::string& report)
{
    while (JournalEntry* entry = newestStep) {
        newestStep = entry->older;
        entry->undo(entry->step);
    }
    ReportException(report);
    std::fflush(stdout);
    ExitProcess(ExitException);
}

void ReportFatalFault(const StructuredException& fault)
{
    EndAtLastChance(std::string("std::exception caught: ") + fault.what());
}

[[noreturn]] void ReportTermination()
{
    std::string report = "Unrecognized exception caught";
    try {
        if (const std::exception_ptr current = std::current_exception())
            std::rethrow_exception(current);
    } catch (const std::exception& e) {
        report = std::string("std::exception caught: ") + e.what();
    } catch (...) {
    }
    EndAtLastChance(report);
}

// Starts the server's control panel for its first run, without waiting for it; a failure
// to start it leaves the installation as it is.
void RunControlPanel()
{
    StartWithoutWaiting("\"" + CombinePath(installerState.installDir, "raridava.exe") + "\" -FirstTime");
}

// The multithreaded apartment for an unattended run. A single-threaded apartment, which the
// steps' own CoInitialize and OleInitialize would set up, keeps a hidden window, and under Wine
// the first window of a process starts the desktop process: most of an unattended run's time.
// Inside this apartment those calls fail with RPC_E_CHANGED_MODE and leave it alone. Looked up
// at run time: systems without DCOM lack the call and stay single-threaded.
class MultithreadedApartment {
public:
    MultithreadedApartment()
    {
        using Function = HRESULT(WINAPI*)(void*, DWORD);
        const auto initialize = reinterpret_cast<Function>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ole32.dll"), "CoInitializeEx")));
        entered = initialize && SUCCEEDED(initialize(nullptr, COINIT_MULTITHREADED));
    }
    ~MultithreadedApartment()
    {
        if (entered)
            CoUninitialize();
    }
    MultithreadedApartment(const MultithreadedApartment&) = delete;
    MultithreadedApartment& operator=(const MultithreadedApartment&) = delete;

private:
    bool entered = false;
};

int RunInstaller(int argc, char** argv)
{
    // Before anything that may need random bytes; it lives until the run ends.
    NoCrtRandom randomSource;
    std::string settingsFile;
    bool runControlPanel = true;
    ArgumentVector args = CollectArguments(argc, argv);
    if (installerState.interactive) {
        installerState.installDir = CombinePath(GetProgramFilesDir(), ProductDisplayName);
    } else {
        ParseOptions(args);
        settingsFile = TakeOptionValue(args, "Settings");
        if (!args.empty())
            throw SilentExit(ExitBadCommandLine);
    }

    CheckAdministrator();
    CheckOsVersion();
    CheckPreviousVersion();

    if (installerState.interactive) {
        InstallerDialogParams params = {&installerState.acceptEula, &installerState.installDir, &runControlPanel};
        if (ShowInstallerDialog(params) != InstallButton)
            throw SilentExit(ExitDialogCancelled);
    } else if (!installerState.acceptEula) {
        std::fputs("The licence agreement must be accepted with /AcceptEULA to install unattended.\n", stderr);
        std::fflush(stderr);
        throw SilentExit(ExitEulaNotAccepted);
    }
    // Stored in the uninstall entry, the file association and the links: it must name the
    // same folder from any current directory.
    installerState.installDir = AbsoluteDirectoryPath(installerState.installDir);

    // Outlives every step, so that their rollbacks run in it too.
    std::optional<MultithreadedApartment> apartment;
    if (!installerState.interactive)
        apartment.emplace();

    CreateVendorRegistryKey();

    installerState.uninstallParams = "\"-shareResWith=Skarvelin\"";
    installerState.uninstallerPath = CombinePath(installerState.installDir, "uninst.exe");
    installerState.mainExePath = CombinePath(installerState.installDir, "orvidex.exe");

    // The steps, in order. Each makes its change when constructed and undoes it when
    // destroyed uncommitted, so a failure anywhere below rolls back everything above it
    // in reverse order while the stack unwinds.
    const std::string& installDir = installerState.installDir;
    Journaled<DirectoryStep> installDirectory(installDir, true);
    Journaled<PayloadFileList> payloadFiles;
    for (size_t index = 0; index < PayloadFileCount; ++index) {
        payloadFiles->Write(index);
#if defined(ORVIDEX_INJECTED_FAULTS)
        InjectFaultAt("payload-" + std::to_string(index + 1));
#endif
    }
    const std::string startMenuDir = CombinePath(GetUserProgramsDir(), "Morlune Orvidex");
    Journaled<DirectoryStep> startMenuFolder(startMenuDir, false);
    Journaled<ShortcutList> shortcuts(startMenuDir);
    shortcuts->Create();
    const std::string progId = "Morlune.Orvidex." + ProductVersion + ".Settings";
    const std::vector<FileAssociationVerb> verbs = {
        {"Manage", "\"" + CombinePath(installDir, "Rivurere.exe\" \"%1\"")}};
    Journaled<FileAssociationStep> fileAssociation(progId, ".ovs", "Morlune Orvidex settings file",
                                                   CombinePath(installDir, "rivurere.exe,3"), verbs);
    AppendUninstallClause("-rstFileAssoc=.ovs:" + progId);
    Journaled<ServiceRegistrationStep> service(CombinePath(installDir, "orvidex.exe"));
    Journaled<ServerRegistrationStep> server(CombinePath(installDir, "OrvidexCfgManip.dll"));
    Journaled<UninstallerRegistrationStep> uninstallerEntry(
        ProductShortName, "Morlune Orvidex " + ProductVersion + " (remove only)", ProductVersion);

#if defined(ORVIDEX_INJECTED_FAULTS)
    InjectFaultAt("after-steps");
#endif
    // Not a step of its own: when it aborts, every step above is still uncommitted.
    RunSettingsStep(settingsFile);

    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
    if (installerState.interactive) {
        MessageBoxA(nullptr, ("Morlune Orvidex " + ProductVersion + " installation completed.\n").c_str(),
                    "Installation Completed", MB_OK | MB_ICONINFORMATION);
        if (runControlPanel)
            RunControlPanel();
    }
    PrintLine("Morlune Orvidex " + ProductVersion + " installation completed.");

    // Commit: from here on the destructors only free memory. Nothing can fail in between.
    server->Commit();
    service->Commit();
    uninstallerEntry->Commit();
    fileAssociation->Commit();
    shortcuts->Commit();
    startMenuFolder->Commit();
    payloadFiles->Commit();
    installDirectory->Commit();
    return ExitInstalled;
}

} // namespace

int main(int argc, char** argv)
{
    InstallStructuredExceptionTranslator();
    InstallAllocationFailureHandler();
    SetFatalFaultHandler(ReportFatalFault);
    std::set_terminate(ReportTermination);

    int exitCode = ExitInstalled;
    try {
        exitCode = RunInstaller(argc, argv);
    } catch (const SilentExit& e) {
        exitCode = e.code;
    } catch (const std::exception& e) {
        ReportException(std::string("std::exception caught: ") + e.what());
        exitCode = ExitException;
    } catch (...) {
        ReportException("Unrecognized exception caught");
        exitCode = ExitException;
    }
    if (exitCode == ExitHelp || exitCode == ExitBadCommandLine)
        std::fputs(UsageText.c_str(), stdout);
    std::fflush(stdout);
    return exitCode;
}
