// The installer dialog: the licence agreement, the installation folder, the acceptance and
// control-panel choices, and the package contents window.
#pragma once

#include <windows.h>

#include <string>

struct InstallerDialogParams {
    bool* acceptEula;         // in: initial state of the acceptance box; out: its state at Install
    std::string* installDir;  // in: the folder shown; out: the folder text at Install
    bool* runControlPanel;    // in: initial state of the control-panel box; out: its state at Install
};

// Runs the dialog modally: 1 for Install, 2 for Cancel (also the close box and Escape).
// An exception during the dialog's set-up (a missing rich text) leaves through here.
int ShowInstallerDialog(InstallerDialogParams& params);

// Loads "RICHED20.DLL" from the system directory once; it stays loaded until exit.
void LoadRichEditLibrary();
// The bytes of the module's resource of type "RTF" with that id.
std::string LoadResourceText(int id);

// Controls and resources of the dialog.
enum InstallerDialogIds {
    InstallerDialogId = 103,
    LargeIconId = 117,
    SmallIconId = 119,
    LicenceTextId = 129,
    PackageContentsTextId = 130,
    InstallButton = IDOK,
    CancelButton = IDCANCEL,
    FolderEdit = 1001,
    WebPageLink = 1002,
    LicencePane = 1005,
    AcceptBox = 1006,
    FolderLink = 1007,
    PackageLink = 1008,
    LowerSeparator = 1009,
    ButtonSeparator = 1010,
    ControlPanelBox = 1013,
    UpperSeparator = 1014,
};

// The message the package-contents window sends its owner when it is destroyed.
const UINT PackageWindowClosed = WM_USER + 1;

// The product's home page, shown by the web link and its tooltip.
extern const char* const ProductWebPage;
