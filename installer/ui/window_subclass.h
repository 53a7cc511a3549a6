// Window subclassing through property slots, and the controls built on it: the read-only
// document look of rich-text panes and a hyperlink made from a static text. Also the thin
// window wrappers, among them centring a window in the work area.
#pragma once

#include "foundation/encoded_string.h"

#include <windows.h>

// The base of every subclass object. Once attached, the window owns the object and deletes
// it on WM_NCDESTROY; every message the object does not consume goes to prevWndProc.
class WindowSubclass {
public:
    WindowSubclass() = default;
    WindowSubclass(const WindowSubclass&) = delete;
    WindowSubclass& operator=(const WindowSubclass&) = delete;
    virtual ~WindowSubclass() = default;

    virtual void OnAttach(HWND) {}
    virtual LRESULT WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) = 0;

    LRESULT CallPrevious(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    WNDPROC prevWndProc = nullptr;
};

// The number of subclass objects one window can carry at once.
const int SubclassSlotCount = 10;

// Takes ownership of the object in every case: a failed attachment deletes it at once
// (all slots taken: last error ERROR_OUT_OF_STRUCTURES).
bool AttachWindowSubclass(HWND window, WindowSubclass* subclass);
// The common body of the slot procedures.
LRESULT DispatchSubclassMessage(const char* propertyName, HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Rich-text panes that look like read-only documents: no caret, an arrow over the text.
class ArrowCursorSubclass : public WindowSubclass {
public:
    LRESULT WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
};

// A static text drawn as a link: underlined, with a hand cursor over the text, a tooltip,
// a focus frame, and a click that opens the URL or, without one, is reported to the parent
// as WM_COMMAND with the control's id.
class HyperlinkStatic : public WindowSubclass {
public:
    HyperlinkStatic();
    HyperlinkStatic(const CodePageString& url, bool urlAsTooltip);

    void SetTooltipText(const CodePageString& text);
    void SetUrl(const CodePageString& text, bool alsoAsTooltip);
    void SetColourSlot(int slot, COLORREF colour);
    void SetSystemColourSlot(int slot, int systemColourIndex);
    COLORREF ResolveColour(int slot) const;

    void OnAttach(HWND window) override;
    LRESULT WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
    virtual void OnClick(HWND window);

    // Where the text was drawn by the last paint, in client coordinates: the hot area.
    const RECT& TextRect() const { return textRect; }
    bool Visited() const { return visited; }

    enum ColourSlot { NormalSlot, HoverSlot, VisitedSlot };

private:
    void Paint(HWND window);
    void SuppressTooltip();
    void ActivateTooltip(bool on);

    bool hover = false;
    bool visited = false;
    COLORREF colours[3] = {RGB(0, 0, 255), RGB(0, 0, 255), RGB(0, 0, 255)};
    int colourIndexes[3] = {0, 0, 0};
    HWND tooltip = nullptr;
    CodePageString tooltipText;
    bool tooltipSuppressed = false;
    CodePageString url;
    RECT textRect = {0, 0, 0, 0};
    HCURSOR handCursor;
    HCURSOR arrowCursor;
    bool captured = false;
    bool focused = false;
};

// Loads the common controls and registers their classes, once; they stay loaded until exit.
// Bound at run time rather than imported: their start-up registers window classes, which
// under Wine starts the desktop process, and an unattended run must not pay for that.
void LoadCommonControls();
// Asks for WM_MOUSELEAVE when the mouse leaves the window.
void TrackMouseLeave(HWND window);
// A dotted focus frame: the library's checkerboard brush in the window-text colour.
void DrawDottedFrame(HDC dc, const RECT& frame);

// The installer dialog's wrappers of window geometry.
bool CenterWindow(HWND window, bool onCursor);
bool CenterWindowAt(HWND window, POINT centre);
void CenterWindowAtPackedPoint(HWND window, DWORD point);
// Where a window of the given size centred at a point lies within the work area.
POINT PlaceCentred(const RECT& workArea, SIZE windowSize, POINT centre);
bool GetWorkArea(RECT& area);
bool GetWorkAreaSize(SIZE& size);
bool GetWindowSize(HWND window, SIZE& size);
bool ScreenToClientRect(HWND window, RECT& rect);
bool ClientToScreenRect(HWND window, RECT& rect);
void MoveWindowToRect(HWND window, const RECT& rect);
void ResizeWindow(HWND window, SIZE size);
HFONT GetFont(HWND window);
void SetFont(HWND window, HFONT font, bool redraw);
void ButtonSetCheck(HWND button, WPARAM state);
LRESULT ButtonGetCheck(HWND button);
// Combo-box messages; the setters are true unless the control answers CB_ERR.
LRESULT ComboAddString(HWND combo, const char* text);
bool ComboSetTopIndex(HWND combo, int index);
int ComboGetTopIndex(HWND combo);
bool ComboSetCurSel(HWND combo, int index);
int ComboGetCurSel(HWND combo);
bool ComboSetItemData(HWND combo, int index, LPARAM data);
LRESULT ComboGetItemData(HWND combo, int index);
HICON LoadSharedIcon(HINSTANCE instance, const char* name, int width, int height);
SIZE GetIconSize(HICON icon);
