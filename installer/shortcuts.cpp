#include "installer/shortcuts.h"

#include "foundation/encoding_conversion.h"
#include "foundation/ziror.h"
#include "installer/file_helpers.h"
#include "installer/installer_state.h"
#include "installer/prerequisites.h"
#include "installer/reboot_delete.h"
#include "installer/registry_values.h"

#include <windows.h>
#include <shlobj.h>

#include <exception>

namespace {

const char ShellFoldersKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
const char UserShellFoldersKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

// A call's failure sentence ends in a period; the reports add their own punctuation.
std::string WithoutFinalPeriod(std::string reason)
{
    if (!reason.empty() && reason.back() == '.')
        reason.pop_back();
    return reason;
}

} // namespace

std::string GetUserProgramsDir()
{
    try {
        return ReadRegString(HKEY_CURRENT_USER, ShellFoldersKey, "Programs");
    } catch (const std::exception&) {
    }
    try {
        return ReadRegString(HKEY_CURRENT_USER, UserShellFoldersKey, "Programs");
    } catch (const std::exception&) {
    }
    return std::string();
}

std::string GetCommonProgramsDir()
{
    try {
        return ReadRegString(HKEY_LOCAL_MACHINE, ShellFoldersKey, "Common Programs");
    } catch (const std::exception&) {
        return GetUserProgramsDir();
    }
}

std::string GetAdminToolsDir()
{
    const std::string base = GetCommonProgramsDir();
    if (base.empty())
        return std::string();
    OsVersion os;
    const OsVersionTriple version = os.Get();
    if (version == WindowsNt4)
        return CombinePath(base, "Administrative Tools (Common)");
    if (IsAtLeast(version, Windows2000) && IsAtMost(version, WindowsXp))
        return CombinePath(base, "Administrative Tools");
    return std::string();
}

ShortcutStep::ShortcutStep(const std::string& linkPath, const std::string& target, const std::string& arguments,
                           const std::string& workingDirectory, const std::string& description,
                           const std::string& iconPath, int iconIndex)
    : path(linkPath)
{
    PrintLine("Creating shortcut " + linkPath);
    // A link that was there before this run is not ours to delete in a rollback: it gets
    // its earlier bytes back. One that cannot even be read is left as this run wrote it.
    const bool existedBefore = PathExists(linkPath);
    if (existedBefore)
        hadPreviousLink = ReadWholeFile(linkPath, previousLink);
    ZIRor::ComInitialize com;
    try {
        CreateLink(target, arguments, workingDirectory, description, iconPath, iconIndex);
    } catch (const ZIRor::ComException& e) {
        ReportFailure(WithoutFinalPeriod(e.what()));
        return;
    }
    if (created && existedBefore && !hadPreviousLink)
        committed = true;
}

void ShortcutStep::CreateLink(const std::string& target, const std::string& arguments,
                              const std::string& workingDirectory, const std::string& description,
                              const std::string& iconPath, int iconIndex)
{
    ZIRor::ComCreateInstance<IShellLinkA> link(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA);
    IShellLinkA* shellLink = link.interfacePointer;
    shellLink->SetPath(target.c_str());
    if (!arguments.empty())
        shellLink->SetArguments(arguments.c_str());
    if (!workingDirectory.empty())
        shellLink->SetWorkingDirectory(workingDirectory.c_str());
    if (!description.empty())
        shellLink->SetDescription(description.c_str());
    shellLink->SetIconLocation(iconPath.empty() ? target.c_str() : iconPath.c_str(), iconIndex);

    ZIRor::ComQueryInterface<IPersistFile> file(link, IID_IPersistFile);
    if (!file.interfacePointer) {
        ReportFailure(WithoutFinalPeriod(file.FailureText()));
        return;
    }
    // Saved beside the link and then put in its place, so that an earlier link is never
    // seen half rewritten.
    ZIRor::ComCallResult saved;
    try {
        ReplaceWithWrittenFile(path, [&](const std::string& temporary) {
            const Utf16String widePath = ToUtf16(AnsiString(temporary));
            saved.Record("IPersistFile::Save()", file.interfacePointer->Save(widePath.c_str(), TRUE));
            if (saved.Failed())
                throw ZIRor::ComException(saved);
        });
    } catch (const ZIRor::ComException&) {
        ReportFailure(WithoutFinalPeriod(saved.FailureText()));
        return;
    } catch (const FileWriteError& e) {
        ReportFailure(WithoutFinalPeriod(e.Reason()));
        return;
    }
    AppendUninstallClause("-delFile=" + path);
    created = true;
    CancelPendingDelete(path);
}

void ShortcutStep::ReportFailure(const std::string& reason)
{
    PassOrAbort({"Warning: creating shortcut '" + path + "' failed.\nReason: " + reason +
                     ".\nDo you want to continue with the installation anyway?",
                 "Creating Shortcut Failed", "creating shortcut failed",
                 "Warning: creating shortcut '" + path + "' failed: " + reason,
                 "Creating shortcut '" + path + "' failed: " + reason + ", aborting", ExitShortcut});
}

ShortcutStep::~ShortcutStep()
{
    if (!ShouldRollBack(created))
        return;
    if (hadPreviousLink)
        RestorePreviousLink();
    else
        RemoveCreatedObject(FileSystemObject::Shortcut, path);
}

void ShortcutStep::RestorePreviousLink()
{
    try {
        PrintLine("Rollback: restoring previous shortcut " + path);
        if (WriteWholeFile(path, previousLink))
            return;
        const std::string reason = OsErrorExceptionText(GetLastError());
        ReportRollbackFailure("Shortcut restoration failed: " + reason,
                              "Unable to restore previous shortcut '" + path + "'.\nReason: " + reason,
                              "Shortcut Restoration Failed");
    } catch (...) {
    }
}

void ShortcutList::Create()
{
    const std::string& installDir = installerState.installDir;
    const std::string controlPanel = CombinePath(installDir, "raridava.exe");
    const std::string controlPanelDescription = "Morlune Orvidex " + ProductVersion + " Control Panel";
    first.reset(new ShortcutStep(CombinePath(startMenuDir, "Orvidex Control Panel.lnk"), controlPanel, "", installDir,
                                 controlPanelDescription, controlPanel, 0));
    second.reset(new ShortcutStep(CombinePath(startMenuDir, "Uninstall Orvidex.lnk"), installerState.uninstallerPath,
                                  ProductShortName, installDir, "Uninstall Morlune Orvidex " + ProductVersion,
                                  installerState.uninstallerPath, 0));
    const std::string adminTools = GetAdminToolsDir();
    if (!adminTools.empty()) {
        hasThird = true;
        third.reset(new ShortcutStep(CombinePath(adminTools, "Orvidex Control Panel.lnk"), controlPanel, "", installDir,
                                     controlPanelDescription, controlPanel, 0));
    }
}

// The members would go in reverse order; a rollback removes links in creation order.
ShortcutList::~ShortcutList()
{
    first.reset();
    second.reset();
    if (hasThird)
        third.reset();
}

void ShortcutList::Commit()
{
    first->Commit();
    second->Commit();
    if (hasThird)
        third->Commit();
}
