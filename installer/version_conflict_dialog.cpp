// The version-conflict dialog (template 127): explains which earlier release is installed
// and offers to start its uninstaller, to continue anyway or to cancel.
#include "installer/earlier_releases.h"

#include "installer/installer_state.h"

std::string ConflictDialogText;
std::string ConflictDialogTitle;
std::string ConflictUninstallCommand;

namespace {

const int VersionConflictDialogId = 127;
const int UninstallButton = 1;
const int CancelButton = 2;
const int ExplanationControl = 1004;
const int ContinueButton = 1005;
const int IconControl = 1006;

void CentreOnDesktop(HWND dialog)
{
    RECT desktop, own;
    GetWindowRect(GetDesktopWindow(), &desktop);
    GetWindowRect(dialog, &own);
    const int width = own.right - own.left;
    const int height = own.bottom - own.top;
    SetWindowPos(dialog, nullptr, (desktop.right - width - desktop.left) / 2,
                 (desktop.bottom - height - desktop.top) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOREDRAW);
}

// No exception may leave a dialog procedure: the system's frames lie between it and us.
INT_PTR CALLBACK VersionConflictDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    try {
        switch (message) {
        case WM_INITDIALOG:
            SendDlgItemMessageA(dialog, IconControl, STM_SETICON,
                                reinterpret_cast<WPARAM>(LoadIconA(nullptr, IDI_WARNING)), 0);
            CentreOnDesktop(dialog);
            SetWindowTextA(dialog, ConflictDialogTitle.c_str());
            SetDlgItemTextA(dialog, ExplanationControl, ConflictDialogText.c_str());
            return TRUE;
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
            case UninstallButton:
                StartWithoutWaiting(ConflictUninstallCommand);  // the dialog stays open
                return FALSE;
            case CancelButton:
                EndDialog(dialog, CancelButton);
                return TRUE;
            case ContinueButton:
                EndDialog(dialog, ContinueButton);
                return TRUE;
            }
            return FALSE;
        }
    } catch (...) {
    }
    return FALSE;
}

} // namespace

void SetConflictUninstallCommand(const std::string& commandLine)
{
    ConflictUninstallCommand = commandLine;
}

INT_PTR ShowVersionConflictDialog(HWND owner, const std::string& text, const std::string& title)
{
    ConflictDialogText = text;
    ConflictDialogTitle = title;
    return DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(VersionConflictDialogId), owner,
                           VersionConflictDialogProc, 0);
}
