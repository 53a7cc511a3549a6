#include "installer/ui/installer_dialog.h"

#include "foundation/dll_loader.h"
#include "foundation/encoding_conversion.h"
#include "foundation/exceptions.h"
#include "installer/installer_state.h"
#include "installer/ui/dialog_template.h"
#include "installer/ui/drawing.h"
#include "installer/ui/layout_manager.h"
#include "installer/ui/window_subclass.h"

#include <richedit.h>
#include <shlobj.h>

#include <exception>
#include <vector>

const char* const ProductWebPage = "https://www.orvidex.example/";

namespace {

// One installer dialog per process: its state is process-wide.
HFONT BoldDialogFont = nullptr;
LayoutManager* DialogLayout = nullptr;
HWND PackageWindow = nullptr;
int ButtonGapPixels = 0;  // three horizontal dialog units

DialogTemplate& PackageContentsTemplate()
{
    static DialogTemplate contentsTemplate;
    return contentsTemplate;
}

// An exception cannot cross the system's frames around a dialog procedure: it waits here
// until DialogBoxParamA has returned.
std::exception_ptr PendingException;
HWND InstallerDialog = nullptr;

void Defer(HWND dialogToEnd)
{
    if (!PendingException)
        PendingException = std::current_exception();
    if (dialogToEnd)
        EndDialog(dialogToEnd, -1);
}

std::string ControlText(HWND dialog, int id)
{
    const HWND control = GetDlgItem(dialog, id);
    const int length = GetWindowTextLengthA(control);
    std::vector<char> text(static_cast<size_t>(length > 0 ? length : 0) + 1, '\0');
    const int copied = GetWindowTextA(control, text.data(), static_cast<int>(text.size()));
    return std::string(text.data(), copied > 0 ? static_cast<size_t>(copied) : 0);
}

bool IsChecked(HWND dialog, int id) { return IsDlgButtonChecked(dialog, id) == BST_CHECKED; }

void UpdateInstallButton(HWND dialog, HFONT normalFont, HFONT boldFont)
{
    const bool accepted = IsChecked(dialog, AcceptBox);
    const HWND install = GetDlgItem(dialog, InstallButton);
    EnableWindow(install, accepted);
    SetFont(install, accepted ? boldFont : normalFont, true);
}

int CALLBACK BrowseFolderCallback(HWND browser, UINT message, LPARAM, LPARAM data)
{
    if (message == BFFM_INITIALIZED && data)
        SendMessageA(browser, BFFM_SETSELECTIONA, TRUE, data);
    return 0;
}

void BrowseForFolder(HWND dialog, InstallerDialogParams& params)
{
    IMalloc* allocator = nullptr;
    if (FAILED(SHGetMalloc(&allocator)) || !allocator)
        return;
    // A cancelled browse still leaves the typed text in the folder.
    *params.installDir = ControlText(dialog, FolderEdit);
    char buffer[MAX_PATH + 1] = {};
    BROWSEINFOA browse = {};
    browse.hwndOwner = dialog;
    browse.pidlRoot = nullptr;
    browse.pszDisplayName = buffer;
    browse.lpszTitle = "Please Select Orvidex Install Directory";
    browse.ulFlags = 0;
    browse.lpfn = BrowseFolderCallback;
    browse.lParam = reinterpret_cast<LPARAM>(params.installDir->c_str());
    if (LPITEMIDLIST picked = SHBrowseForFolderA(&browse)) {
        if (SHGetPathFromIDListA(picked, buffer)) {
            *params.installDir = buffer;
            SetDlgItemTextA(dialog, FolderEdit, buffer);
        }
        allocator->Free(picked);
    }
    allocator->Release();
}

CodePageString RichText(int id) { return CodePageString(LoadResourceText(id), 0, std::string::npos, GetACP()); }

std::string ProductTitle(const std::string& what) { return "Morlune Orvidex " + ProductVersion + " " + what; }

// The smallest size a user can drag the window to: a client area of the given dialog
// units, plus the frame and the caption (the small one of a tool window).
BOOL SetMinimumTrackSize(HWND window, LPARAM minMaxInfo, int widthUnits, int heightUnits, bool smallCaption)
{
    NONCLIENTMETRICSA metrics = {};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    MINMAXINFO* info = reinterpret_cast<MINMAXINFO*>(minMaxInfo);
    info->ptMinTrackSize.x = DluToPixelsX(window, widthUnits) + 2 * metrics.iBorderWidth + 6;
    info->ptMinTrackSize.y = DluToPixelsY(window, heightUnits) +
                             (smallCaption ? metrics.iSmCaptionHeight : metrics.iCaptionHeight) +
                             2 * metrics.iBorderWidth + 7;
    return TRUE;
}

// --- The package-contents window -------------------------------------------------------

void InitPackageWindow(HWND window)
{
    RECT client;
    GetClientRect(window, &client);
    CenterWindow(window, true);
    const HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(window, GWLP_HINSTANCE));
    const HWND pane = CreateWindowExA(
        0, "RichEdit20a", "", WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_READONLY | ES_MULTILINE, client.left, client.top,
        client.right - client.left, client.bottom - client.top, window, nullptr, instance, nullptr);
    if (!pane)
        throw InstallError("CreateWindowExA() failed: " + OsErrorExceptionText(GetLastError()));
    SetFont(pane, GetWindowFont(window), true);
    SetRichEditBackground(pane, GetSysColor(COLOR_INFOBK));
    SetRichEditText(pane, RichText(PackageContentsTextId), SF_RTF);
    AttachWindowSubclass(pane, new ArrowCursorSubclass);
    LayoutManager* layout = new LayoutManager;
    Anchor& fill = layout->windowAnchors[pane];
    fill.left = fill.top = fill.right = fill.bottom = 0;
    AttachWindowSubclass(window, layout);
}

INT_PTR CALLBACK PackageContentsDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    try {
        switch (message) {
        case WM_INITDIALOG:
            InitPackageWindow(window);
            return TRUE;
        case WM_GETMINMAXINFO:
            return SetMinimumTrackSize(window, lParam, 150, 100, true);
        case WM_SYSCOMMAND:
            if (wParam == SC_CLOSE) {
                DestroyWindow(window);
                return TRUE;
            }
            return FALSE;
        case WM_DESTROY:
            SendMessageA(GetWindow(window, GW_OWNER), PackageWindowClosed, 0, 0);
            return FALSE;
        }
    } catch (...) {
        Defer(InstallerDialog);
    }
    return FALSE;
}

// --- The installer dialog --------------------------------------------------------------

void SetAnchor(LayoutManager& layout, int id, int left, int top, int right, int bottom, int redraw)
{
    Anchor& anchor = layout.controlAnchors[id];
    anchor.left = left;
    anchor.top = top;
    anchor.right = right;
    anchor.bottom = bottom;
    anchor.redraw = redraw;
}

void FillLayout(HWND dialog, LayoutManager& layout)
{
    auto h = [dialog](int n) { return DluToPixelsX(dialog, n); };
    auto v = [dialog](int n) { return DluToPixelsY(dialog, n); };
    const int free = -1;
    SetAnchor(layout, WebPageLink, free, free, h(7), free, 0);
    SetAnchor(layout, UpperSeparator, h(1), free, h(1), free, 1);
    SetAnchor(layout, LicencePane, h(7), v(31), h(7), v(92), free);
    SetAnchor(layout, AcceptBox, free, free, free, v(77), 0);
    SetAnchor(layout, LowerSeparator, h(1), free, h(1), v(69), 1);
    SetAnchor(layout, FolderLink, free, free, free, v(51), 0);
    SetAnchor(layout, FolderEdit, h(87), free, h(7), v(50), free);
    SetAnchor(layout, ControlPanelBox, free, free, free, v(36), 0);
    SetAnchor(layout, ButtonSeparator, h(1), free, h(1), v(28), 1);
    // The buttons' inner edges are set on each resize, so the pair stays centred.
    SetAnchor(layout, InstallButton, free, free, free, v(7), 0);
    SetAnchor(layout, CancelButton, free, free, free, v(7), 0);
}

void InitInstallerDialog(HWND dialog, InstallerDialogParams& params)
{
    SetWindowLongPtrA(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(&params));
    InstallerDialog = dialog;

    LOGFONTA logFont;
    GetWindowLogFont(logFont, dialog);
    logFont.lfWeight = FW_BOLD;
    BoldDialogFont = CreateFontIndirectA(&logFont);

    const HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(dialog, GWLP_HINSTANCE));
    SetClassLongPtrA(dialog, GCLP_HICON,
                     reinterpret_cast<LONG_PTR>(LoadSharedIcon(instance, MAKEINTRESOURCEA(LargeIconId), 0, 0)));
    SetClassLongPtrA(dialog, GCLP_HICONSM,
                     reinterpret_cast<LONG_PTR>(LoadSharedIcon(instance, MAKEINTRESOURCEA(SmallIconId), 0, 0)));
    CenterWindow(dialog, false);
    SetWindowTextA(dialog, ProductTitle("Installer").c_str());

    AttachWindowSubclass(GetDlgItem(dialog, PackageLink), new HyperlinkStatic);
    AttachWindowSubclass(GetDlgItem(dialog, WebPageLink), new HyperlinkStatic(AnsiString(ProductWebPage), true));

    const HWND licence = GetDlgItem(dialog, LicencePane);
    SetRichEditBackground(licence, NearestColour(MutedWindowColour(), dialog));
    SetRichEditText(licence, RichText(LicenceTextId), SF_RTF);
    AttachWindowSubclass(licence, new ArrowCursorSubclass);

    CheckDlgButton(dialog, AcceptBox, *params.acceptEula ? BST_CHECKED : BST_UNCHECKED);
    AttachWindowSubclass(GetDlgItem(dialog, FolderLink), new HyperlinkStatic);
    SetDlgItemTextA(dialog, FolderEdit, params.installDir->c_str());
    CheckDlgButton(dialog, ControlPanelBox, *params.runControlPanel ? BST_CHECKED : BST_UNCHECKED);

    ButtonGapPixels = DluToPixelsX(dialog, 3);
    LayoutManager* layout = new LayoutManager;
    FillLayout(dialog, *layout);
    DialogLayout = AttachWindowSubclass(dialog, layout) ? layout : nullptr;

    PackageContentsTemplate() = StartDialogTemplate(WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME |
                                                        DS_SETFOREGROUND,
                                                    WS_EX_TOOLWINDOW, 0, 0, 190, 190);
    AddDialogTemplateTitle(PackageContentsTemplate(), ToUtf16(ToUtf7(AnsiString(ProductTitle("Package Contents")))));
    AddDialogTemplateFont(PackageContentsTemplate(), 8, Utf16String(L"MS Shell Dlg"));

    UpdateInstallButton(dialog, GetWindowFont(dialog), BoldDialogFont);
    SetFocus(GetDlgItem(dialog, *params.acceptEula ? FolderEdit : LicencePane));
}

void OpenPackageWindow(HWND dialog)
{
    if (PackageWindow) {
        SetFocus(PackageWindow);
        return;
    }
    const DialogTemplate& contents = PackageContentsTemplate();
    if (contents.af_ || contents.empty())
        return;
    const HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(dialog, GWLP_HINSTANCE));
    PackageWindow = CreateDialogIndirectParamA(instance, reinterpret_cast<LPCDLGTEMPLATEA>(contents.data()), dialog,
                                               PackageContentsDialogProc, 0);
}

INT_PTR OnCommand(HWND dialog, InstallerDialogParams& params, int id)
{
    switch (id) {
    case InstallButton:
        // Only an accepted agreement installs, however the command arrives.
        if (!IsChecked(dialog, AcceptBox))
            return TRUE;
        *params.acceptEula = true;
        *params.runControlPanel = IsChecked(dialog, ControlPanelBox);
        *params.installDir = ControlText(dialog, FolderEdit);
        EndDialog(dialog, InstallButton);
        return TRUE;
    case CancelButton:
        EndDialog(dialog, CancelButton);
        return TRUE;
    case AcceptBox:
        UpdateInstallButton(dialog, GetWindowFont(dialog), BoldDialogFont);
        return TRUE;
    case FolderLink:
        BrowseForFolder(dialog, params);
        return TRUE;
    case PackageLink:
        OpenPackageWindow(dialog);
        return TRUE;
    }
    return FALSE;
}

INT_PTR CALLBACK InstallerDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    try {
        InstallerDialogParams* params = reinterpret_cast<InstallerDialogParams*>(GetWindowLongPtrA(dialog, DWLP_USER));
        switch (message) {
        case WM_INITDIALOG:
            InitInstallerDialog(dialog, *reinterpret_cast<InstallerDialogParams*>(lParam));
            return FALSE;  // the focus is set
        case WM_COMMAND:
            return params ? OnCommand(dialog, *params, LOWORD(wParam)) : FALSE;
        case WM_SIZE:
            if (DialogLayout) {
                const int half = LOWORD(lParam) / 2;
                DialogLayout->controlAnchors[InstallButton].right = half + ButtonGapPixels;
                DialogLayout->controlAnchors[CancelButton].left = half + ButtonGapPixels;
                InvalidateRect(dialog, nullptr, FALSE);
            }
            return FALSE;
        case WM_GETMINMAXINFO:
            return SetMinimumTrackSize(dialog, lParam, 240, 180, false);
        case PackageWindowClosed:
            PackageWindow = nullptr;
            return TRUE;
        case WM_NCDESTROY:
            PackageContentsTemplate().wipe_and_resize(0);
            if (BoldDialogFont)
                DeleteObject(BoldDialogFont);
            BoldDialogFont = nullptr;
            DialogLayout = nullptr;
            InstallerDialog = nullptr;
            return FALSE;
        }
    } catch (...) {
        Defer(dialog);
    }
    return FALSE;
}

}  // namespace

void LoadRichEditLibrary()
{
    static DllLoader richEdit(true, AnsiString("RICHED20.DLL"), false);
    (void)richEdit;
}

std::string LoadResourceText(int id)
{
    const HMODULE module = GetModuleHandleA(nullptr);
    const HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(id), "RTF");
    if (!found)
        throw InstallError("FindResourceA() failed: " + OsErrorExceptionText(GetLastError()));
    const HGLOBAL loaded = LoadResource(module, found);
    if (!loaded)
        throw InstallError("LoadResource() failed: " + OsErrorExceptionText(GetLastError()));
    const void* bytes = LockResource(loaded);
    if (!bytes)
        throw InstallError("LockResource() failed: " + OsErrorExceptionText(GetLastError()));
    const DWORD size = SizeofResource(module, found);
    if (size == 0)
        throw InstallError("SizeofResource() failed: " + OsErrorExceptionText(GetLastError()));
    return std::string(static_cast<const char*>(bytes), size);
}

int ShowInstallerDialog(InstallerDialogParams& params)
{
    LoadRichEditLibrary();
    LoadCommonControls();
    PendingException = nullptr;
    SetLastError(ERROR_SUCCESS);
    const INT_PTR result = DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(InstallerDialogId), nullptr,
                                           InstallerDialogProc, reinterpret_cast<LPARAM>(&params));
    const DWORD error = GetLastError();
    if (PendingException) {
        const std::exception_ptr pending = PendingException;
        PendingException = nullptr;
        std::rethrow_exception(pending);
    }
    if (result == -1)
        ReportWindowNotCreated("installer dialog", error);
    return static_cast<int>(result);
}
