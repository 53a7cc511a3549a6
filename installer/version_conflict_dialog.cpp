// The version-conflict dialog (template 127): explains which earlier release is installed
// and offers to start its uninstaller, to continue anyway or to cancel.
#include "installer/earlier_releases.h"

#include "installer/installer_state.h"
#include "installer/ui/window_subclass.h"

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

// The template sizes the explanation for the font it names. A wider stand-in font wraps the
// text onto more lines than the control shows: grow the control by the missing lines and move
// what lies below it, and the dialog's bottom edge, down by as much.
void ShowWholeExplanation(HWND dialog)
{
    const HWND text = GetDlgItem(dialog, ExplanationControl);
    const LRESULT lines = SendMessageA(text, EM_GETLINECOUNT, 0, 0);
    if (lines < 2)
        return;
    auto lineTop = [text](LRESULT line) {
        const LRESULT start = SendMessageA(text, EM_LINEINDEX, static_cast<WPARAM>(line), 0);
        return static_cast<int>(static_cast<short>(HIWORD(SendMessageA(text, EM_POSFROMCHAR, start, 0))));
    };
    const int lineHeight = lineTop(1) - lineTop(0);
    RECT shown = {};
    SendMessageA(text, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&shown));
    const int missing = static_cast<int>(lines) * lineHeight - (shown.bottom - shown.top);
    if (lineHeight <= 0 || missing <= 0)
        return;

    RECT textRect;
    GetWindowRect(text, &textRect);
    ScreenToClientRect(dialog, textRect);
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        RECT rect;
        GetWindowRect(child, &rect);
        ScreenToClientRect(dialog, rect);
        if (child == text) {
            rect.bottom += missing;
        } else if (rect.top >= textRect.bottom) {
            rect.top += missing;
            rect.bottom += missing;
        } else {
            continue;
        }
        MoveWindowToRect(child, rect);
    }
    SIZE size;
    if (GetWindowSize(dialog, size)) {
        size.cy += missing;
        ResizeWindow(dialog, size);
    }
}

// No exception may leave a dialog procedure: the system's frames lie between it and us.
INT_PTR CALLBACK VersionConflictDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    try {
        switch (message) {
        case WM_INITDIALOG:
            SendDlgItemMessageA(dialog, IconControl, STM_SETICON,
                                reinterpret_cast<WPARAM>(LoadIconA(nullptr, IDI_WARNING)), 0);
            SetWindowTextA(dialog, ConflictDialogTitle.c_str());
            SetDlgItemTextA(dialog, ExplanationControl, ConflictDialogText.c_str());
            ShowWholeExplanation(dialog);
            CentreOnDesktop(dialog);  // at the size the text needs
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
    SetLastError(ERROR_SUCCESS);
    const INT_PTR result = DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(VersionConflictDialogId), owner,
                                           VersionConflictDialogProc, 0);
    if (result == -1)
        ReportWindowNotCreated("version-conflict dialog", GetLastError());
    return result;
}
