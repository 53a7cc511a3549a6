#include "installer/directory_step.h"

#include "installer/file_helpers.h"
#include "installer/installer_state.h"
#include "installer/reboot_delete.h"

#include <windows.h>

DirectoryStep::DirectoryStep(const std::string& directory, bool checkEmpty) : path(directory)
{
    AppendUninstallClause("-delDir=" + path);
    if (PathExists(path))
        AcceptExisting(checkEmpty);
    else
        Create();
    CancelPendingDelete(path);
}

void DirectoryStep::AcceptExisting(bool checkEmpty)
{
    committed = true;  // it was there before: never removed
    // Interactive mode tells "not a directory" with 103 and "cannot be created" with 101.
    if (!IsDirectory(path)) {
        if (installerState.interactive) {
            ShowErrorBox("Unable to create target directory '" + path +
                             "': The specified target path already exists and is not a directory.",
                         "Invalid Target Directory");
            throw SilentExit(ExitDirectoryNotEmpty);
        }
        PrintLine("Unable to create target directory '" + path +
                  "': The specified target path already exists and is not a directory, aborting");
        throw SilentExit(ExitDirectoryNotDirectory);
    }
    if (!checkEmpty || IsDirectoryEmpty(path))
        return;
    PassOrAbort({"Warning: '" + path +
                     "' directory already exists and is not empty.\nContinuing installation is not recommended. "
                     "Do you want to continue anyway?",
                 "Target Directory Already Exists", "directory not empty",
                 "Warning: target directory '" + path + "' already exists and is not empty",
                 "Target directory '" + path + "' already exists and is not empty, aborting", ExitDirectoryNotEmpty});
}

void DirectoryStep::Create()
{
    if (CreateDirectoryA(path.c_str(), nullptr)) {
        created = true;
        return;
    }
    const std::string reason = OsErrorExceptionText(GetLastError());
    const std::string text = "Unable to create target directory '" + path + "': " + reason;
    if (installerState.interactive) {
        ShowErrorBox(text, "Directory Creation Failed");
        throw SilentExit(ExitDirectoryNotDirectory);
    }
    PrintLine(text);
    throw SilentExit(ExitDirectoryCreate);
}

DirectoryStep::~DirectoryStep()
{
    if (ShouldRollBack(created))
        RemoveCreatedObject(FileSystemObject::Directory, path);
}
