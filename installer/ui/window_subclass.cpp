#include "installer/ui/window_subclass.h"

#include "foundation/dll_loader.h"
#include "installer/ui/drawing.h"

#include <commctrl.h>
#include <shellapi.h>
#include <windowsx.h>

#include <algorithm>
#include <vector>

LRESULT WindowSubclass::CallPrevious(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return CallWindowProcA(prevWndProc, window, message, wParam, lParam);
}

// --- Property slots --------------------------------------------------------------------

namespace {

#define SUBCLASS_SLOT(n)                                                                                               \
    LRESULT CALLBACK SubclassWndProc##n(HWND window, UINT message, WPARAM wParam, LPARAM lParam)                       \
    {                                                                                                                  \
        return DispatchSubclassMessage("MORLUNE_SUBWND_" #n, window, message, wParam, lParam);                         \
    }
SUBCLASS_SLOT(0)
SUBCLASS_SLOT(1)
SUBCLASS_SLOT(2)
SUBCLASS_SLOT(3)
SUBCLASS_SLOT(4)
SUBCLASS_SLOT(5)
SUBCLASS_SLOT(6)
SUBCLASS_SLOT(7)
SUBCLASS_SLOT(8)
SUBCLASS_SLOT(9)
#undef SUBCLASS_SLOT

struct SubclassSlot {
    WNDPROC procedure;
    const char* propertyName;
};

// Slot n: its procedure serves every window that used slot n, and the window's property
// of that name holds the object attached there.
const SubclassSlot SubclassSlotTable[SubclassSlotCount + 1] = {{SubclassWndProc0, "MORLUNE_SUBWND_0"},
                                                               {SubclassWndProc1, "MORLUNE_SUBWND_1"},
                                                               {SubclassWndProc2, "MORLUNE_SUBWND_2"},
                                                               {SubclassWndProc3, "MORLUNE_SUBWND_3"},
                                                               {SubclassWndProc4, "MORLUNE_SUBWND_4"},
                                                               {SubclassWndProc5, "MORLUNE_SUBWND_5"},
                                                               {SubclassWndProc6, "MORLUNE_SUBWND_6"},
                                                               {SubclassWndProc7, "MORLUNE_SUBWND_7"},
                                                               {SubclassWndProc8, "MORLUNE_SUBWND_8"},
                                                               {SubclassWndProc9, "MORLUNE_SUBWND_9"},
                                                               {nullptr, nullptr}};

}  // namespace

bool AttachWindowSubclass(HWND window, WindowSubclass* subclass)
{
    const SubclassSlot* slot = SubclassSlotTable;
    while (slot->propertyName && GetPropA(window, slot->propertyName))
        ++slot;
    if (!slot->propertyName) {
        SetLastError(ERROR_OUT_OF_STRUCTURES);
        delete subclass;
        return false;
    }
    if (!SetPropA(window, slot->propertyName, subclass)) {
        delete subclass;
        return false;
    }
    subclass->prevWndProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(slot->procedure)));
    if (!subclass->prevWndProc) {
        RemovePropA(window, slot->propertyName);
        delete subclass;
        return false;
    }
    subclass->OnAttach(window);
    return true;
}

LRESULT DispatchSubclassMessage(const char* propertyName, HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    WindowSubclass* subclass = static_cast<WindowSubclass*>(GetPropA(window, propertyName));
    if (!subclass)
        return 0;
    if (message == WM_NCDESTROY) {
        // The window is going away: its procedure is not restored.
        const WNDPROC previous = subclass->prevWndProc;
        delete subclass;
        RemovePropA(window, propertyName);
        return CallWindowProcA(previous, window, message, wParam, lParam);
    }
    return subclass->WndProc(window, message, wParam, lParam);
}

// --- ArrowCursorSubclass ---------------------------------------------------------------

namespace {

HCURSOR ArrowCursor()
{
    static HCURSOR cursor = LoadCursor(nullptr, IDC_ARROW);
    return cursor;
}

HCURSOR HandCursor()
{
    static HCURSOR cursor = LoadCursor(nullptr, IDC_HAND);
    return cursor;
}

}  // namespace

LRESULT ArrowCursorSubclass::WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_SETFOCUS)
        return 0;  // never a caret: the pane is a document to read
    const LRESULT result = CallPrevious(window, message, wParam, lParam);
    // A document is not selected as a whole when the dialog manager gives it the focus:
    // that would move the caret to its end and scroll the text away from its first line.
    if (message == WM_GETDLGCODE)
        return result & ~static_cast<LRESULT>(DLGC_HASSETSEL);
    if (message == WM_SETCURSOR) {
        const HCURSOR shown = GetCursor();
        if (shown != ArrowCursor() && shown != HandCursor())
            SetCursor(ArrowCursor());
    }
    return result;
}

// --- HyperlinkStatic -------------------------------------------------------------------

HyperlinkStatic::HyperlinkStatic()
    : tooltipText(GetACP()), url(GetACP()), handCursor(HandCursor()), arrowCursor(ArrowCursor())
{
}

HyperlinkStatic::HyperlinkStatic(const CodePageString& link, bool urlAsTooltip) : HyperlinkStatic()
{
    SetUrl(link, urlAsTooltip);
}

void HyperlinkStatic::SetTooltipText(const CodePageString& text) { tooltipText = text; }

void HyperlinkStatic::SetUrl(const CodePageString& text, bool alsoAsTooltip)
{
    url = text;
    if (alsoAsTooltip)
        tooltipText = text;
}

void HyperlinkStatic::SetColourSlot(int slot, COLORREF colour) { colours[slot] = colour; }

void HyperlinkStatic::SetSystemColourSlot(int slot, int systemColourIndex)
{
    colours[slot] = static_cast<COLORREF>(-1);
    colourIndexes[slot] = systemColourIndex;
}

COLORREF HyperlinkStatic::ResolveColour(int slot) const
{
    return colours[slot] == static_cast<COLORREF>(-1) ? GetSysColor(colourIndexes[slot]) : colours[slot];
}

void HyperlinkStatic::OnAttach(HWND window)
{
    SetWindowLongPtrA(window, GWL_STYLE, GetWindowLongPtrA(window, GWL_STYLE) | SS_NOTIFY);
    const HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(window, GWLP_HINSTANCE));
    LoadCommonControls();
    tooltip = CreateWindowExA(0, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window, nullptr, instance, nullptr);
    if (!tooltip)
        return;
    SetWindowPos(tooltip, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOACTIVATE | SWP_NOMOVE | SWP_NOSIZE);
    // The size of the first tool record every common-controls version understands.
    TOOLINFOA tool = {};
    tool.cbSize = TTTOOLINFOA_V2_SIZE;
    tool.uFlags = 0;
    tool.hwnd = window;
    tool.uId = 0;
    GetClientRect(window, &tool.rect);
    std::vector<char> text(tooltipText.text.begin(), tooltipText.text.end());
    text.push_back('\0');
    tool.lpszText = text.data();
    SendMessageA(tooltip, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
}

void HyperlinkStatic::ActivateTooltip(bool on)
{
    if (tooltip)
        SendMessageA(tooltip, TTM_ACTIVATE, on ? TRUE : FALSE, 0);
}

void HyperlinkStatic::SuppressTooltip()
{
    tooltipSuppressed = true;
    ActivateTooltip(false);
}

LRESULT HyperlinkStatic::WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_MOUSEMOVE: {
        const POINT point = {LOWORD(lParam), HIWORD(lParam)};
        const bool inside = PtInRect(&textRect, point) != 0;
        if (inside != hover) {
            hover = inside;
            InvalidateRect(window, nullptr, FALSE);
        }
        if (hover) {
            TrackMouseLeave(window);
            if (!tooltipSuppressed && tooltip) {
                ActivateTooltip(true);
                MSG relayed = {};
                relayed.hwnd = window;
                relayed.message = message;
                relayed.wParam = wParam;
                relayed.lParam = lParam;
                relayed.time = static_cast<DWORD>(GetMessageTime());
                GetCursorPos(&relayed.pt);
                SendMessageA(tooltip, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&relayed));
            }
        } else {
            tooltipSuppressed = false;
            ActivateTooltip(false);
        }
        break;
    }
    case WM_MOUSELEAVE:
        ActivateTooltip(false);
        tooltipSuppressed = false;
        hover = false;
        InvalidateRect(window, nullptr, TRUE);
        break;
    case WM_LBUTTONDOWN:
        SuppressTooltip();
        if (hover) {
            captured = true;
            SetCapture(window);
        }
        return 0;
    case WM_LBUTTONUP:
        SuppressTooltip();
        if (captured) {
            ReleaseCapture();
            captured = false;
            if (hover)
                OnClick(window);
        }
        return 0;
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONUP:
        SuppressTooltip();
        break;
    case WM_KEYDOWN:
        ActivateTooltip(false);
        if (wParam == VK_SPACE)
            OnClick(window);
        return 0;
    case WM_KEYUP:
        ActivateTooltip(false);
        return 0;
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
        focused = message == WM_SETFOCUS;
        InvalidateRect(window, nullptr, TRUE);
        break;
    case WM_SETCURSOR:
        SetCursor(hover && handCursor ? handCursor : arrowCursor);
        return TRUE;
    case WM_PAINT:
        Paint(window);
        return 0;
    }
    return CallPrevious(window, message, wParam, lParam);
}

namespace {

UINT DrawFormatOf(LONG_PTR style)
{
    UINT format;
    if ((style & SS_SIMPLE) == SS_SIMPLE)
        format = DT_NOCLIP;
    else if ((style & SS_LEFTNOWORDWRAP) == SS_LEFTNOWORDWRAP)
        format = DT_LEFT;
    else if (style & SS_CENTER)
        format = DT_CENTER;
    else if (style & SS_RIGHT)
        format = DT_RIGHT;
    else
        format = DT_LEFT;
    if (style & SS_CENTERIMAGE)
        format |= DT_VCENTER | DT_SINGLELINE;
    else if ((style & SS_SIMPLE) != SS_SIMPLE && (style & SS_LEFTNOWORDWRAP) != SS_LEFTNOWORDWRAP)
        format |= DT_WORDBREAK;
    if (style & SS_NOPREFIX)
        format |= DT_NOPREFIX;
    return format;
}

}  // namespace

void LoadCommonControls()
{
    // By name, not from the system directory: the manifest's redirection to the version 6
    // controls applies only to a name without a path.
    static const struct CommonControls : DllLoader {
        CommonControls() : DllLoader(AnsiString("COMCTL32.DLL"), false)
        {
            using Function = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
            const auto init = reinterpret_cast<Function>(
                reinterpret_cast<void*>(DllLoader::GetProcAddress(module, "InitCommonControlsEx")));
            const INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_WIN95_CLASSES};
            init(&classes);
        }
    } commonControls;
}

void TrackMouseLeave(HWND window)
{
    TRACKMOUSEEVENT track = {};
    track.cbSize = sizeof track;
    track.dwFlags = TME_LEAVE;
    track.hwndTrack = window;
    track.dwHoverTime = HOVER_DEFAULT;
    TrackMouseEvent(&track);
}

void DrawDottedFrame(HDC dc, const RECT& frame)
{
    // The library's checkerboard: 4 x 4 pixels, one bit per pixel, alternating.
    static BYTE checkerboardBits[8] = {0xA0, 0x00, 0x50, 0x00, 0xA0, 0x00, 0x50, 0x00};
    BITMAP pattern = {0, 4, 4, 2, 1, 1, checkerboardBits};
    GdiBitmap bitmap(pattern);
    LOGBRUSH brushSpec = {BS_PATTERN, 0, reinterpret_cast<ULONG_PTR>(bitmap.handle())};
    GdiBrush brush(brushSpec);
    SetTextColor(dc, GetWindowTextColour());
    FrameRect(dc, &frame, brush.brush());
}

void HyperlinkStatic::Paint(HWND window)
{
    PaintDc paint(window);
    const HDC dc = paint.dc();
    if (!dc)
        return;
    RECT client;
    GetClientRect(window, &client);
    const HBRUSH background = reinterpret_cast<HBRUSH>(SendMessageA(
        GetParent(window), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(window)));
    if (background)
        FillRect(dc, &client, background);

    LOGFONTA logFont;
    GetWindowLogFont(logFont, window);
    logFont.lfUnderline = TRUE;
    GdiFont font(logFont);
    SelectObjectGuard selectFont(dc, font.handle());
    SetTextColor(dc, ResolveColour(hover ? HoverSlot : visited ? VisitedSlot : NormalSlot));

    const LONG_PTR style = GetWindowLongPtrA(window, GWL_STYLE);
    const UINT format = DrawFormatOf(style);
    const int length = GetWindowTextLengthA(window);
    std::vector<char> text(static_cast<size_t>(length) + 2, '\0');
    GetWindowTextA(window, text.data(), length + 1);
    textRect = client;
    DrawTextA(dc, text.data(), -1, &textRect, format);

    // The hot area: the text's own rectangle within the control.
    DrawTextA(dc, text.data(), -1, &textRect, (format | DT_CALCRECT) & ~(DT_CENTER | DT_RIGHT));
    TEXTMETRICA metrics;
    if ((style & SS_CENTERIMAGE) && GetTextMetricsA(dc, &metrics))
        textRect.top = textRect.bottom - metrics.tmHeight;
    if (format & DT_RIGHT) {
        textRect.left = client.right - textRect.right;
        textRect.right = client.right;
    } else if (format & DT_CENTER) {
        textRect.left = (client.right - textRect.right) / 2;
        textRect.right += textRect.left;
    }
    IntersectRect(&textRect, &textRect, &client);

    if (focused)
        DrawDottedFrame(dc, {textRect.left, client.top, textRect.right, client.bottom});
}

void HyperlinkStatic::OnClick(HWND window)
{
    if (url.empty()) {
        SendMessageA(GetParent(window), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(window), 0),
                     reinterpret_cast<LPARAM>(window));
    } else {
        ShellExecuteA(nullptr, "open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    }
    if (!visited) {
        visited = true;
        InvalidateRect(window, nullptr, TRUE);
    }
}

// --- Window wrappers -------------------------------------------------------------------

bool GetWorkArea(RECT& area) { return SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0) != 0; }

bool GetWorkAreaSize(SIZE& size)
{
    RECT area;
    if (!GetWorkArea(area))
        return false;
    size = {area.right - area.left, area.bottom - area.top};
    return true;
}

bool GetWindowSize(HWND window, SIZE& size)
{
    RECT rect;
    if (!GetWindowRect(window, &rect))
        return false;
    size = {rect.right - rect.left, rect.bottom - rect.top};
    return true;
}

POINT PlaceCentred(const RECT& workArea, SIZE windowSize, POINT centre)
{
    POINT at = {std::max<LONG>(workArea.left, centre.x - windowSize.cx / 2),
                std::max<LONG>(workArea.top, centre.y - windowSize.cy / 2)};
    // Back inside the work area where it sticks out, but never past its left or top edge.
    if (at.x + windowSize.cx > workArea.right)
        at.x = std::max<LONG>(workArea.left, std::min<LONG>(at.x, workArea.right - windowSize.cx));
    if (at.y + windowSize.cy > workArea.bottom)
        at.y = std::max<LONG>(workArea.top, std::min<LONG>(at.y, workArea.bottom - windowSize.cy));
    return at;
}

bool CenterWindowAt(HWND window, POINT centre)
{
    RECT area;
    SIZE size;
    if (!GetWorkArea(area) || !GetWindowSize(window, size))
        return false;
    const POINT at = PlaceCentred(area, size, centre);
    return SetWindowPos(window, nullptr, at.x, at.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOOWNERZORDER) != 0;
}

bool CenterWindow(HWND window, bool onCursor)
{
    POINT centre;
    if (onCursor) {
        if (!GetCursorPos(&centre))
            return false;
    } else {
        SIZE area;
        if (!GetWorkAreaSize(area))
            return false;
        centre = {area.cx / 2, area.cy / 2};
    }
    return CenterWindowAt(window, centre);
}

void CenterWindowAtPackedPoint(HWND window, DWORD point)
{
    CenterWindowAt(window, POINT{LOWORD(point), HIWORD(point)});
}

bool ScreenToClientRect(HWND window, RECT& rect)
{
    return ScreenToClient(window, reinterpret_cast<POINT*>(&rect.left)) &&
           ScreenToClient(window, reinterpret_cast<POINT*>(&rect.right));
}

bool ClientToScreenRect(HWND window, RECT& rect)
{
    return ClientToScreen(window, reinterpret_cast<POINT*>(&rect.left)) &&
           ClientToScreen(window, reinterpret_cast<POINT*>(&rect.right));
}

void MoveWindowToRect(HWND window, const RECT& rect)
{
    SetWindowPos(window, nullptr, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
                 SWP_NOZORDER | SWP_NOOWNERZORDER);
}

void ResizeWindow(HWND window, SIZE size)
{
    SetWindowPos(window, nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOOWNERZORDER);
}

HFONT GetFont(HWND window) { return reinterpret_cast<HFONT>(SendMessageA(window, WM_GETFONT, 0, 0)); }

void SetFont(HWND window, HFONT font, bool redraw)
{
    SendMessageA(window, WM_SETFONT, reinterpret_cast<WPARAM>(font), redraw ? TRUE : FALSE);
}

void ButtonSetCheck(HWND button, WPARAM state) { SendMessageA(button, BM_SETCHECK, state, 0); }

LRESULT ButtonGetCheck(HWND button) { return SendMessageA(button, BM_GETCHECK, 0, 0); }

LRESULT ComboAddString(HWND combo, const char* text)
{
    return SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
}

bool ComboSetTopIndex(HWND combo, int index)
{
    return SendMessageA(combo, CB_SETTOPINDEX, static_cast<WPARAM>(index), 0) != CB_ERR;
}

int ComboGetTopIndex(HWND combo) { return static_cast<int>(SendMessageA(combo, CB_GETTOPINDEX, 0, 0)); }

bool ComboSetCurSel(HWND combo, int index)
{
    return SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0) != CB_ERR;
}

int ComboGetCurSel(HWND combo) { return static_cast<int>(SendMessageA(combo, CB_GETCURSEL, 0, 0)); }

bool ComboSetItemData(HWND combo, int index, LPARAM data)
{
    return SendMessageA(combo, CB_SETITEMDATA, static_cast<WPARAM>(index), data) != CB_ERR;
}

LRESULT ComboGetItemData(HWND combo, int index)
{
    return SendMessageA(combo, CB_GETITEMDATA, static_cast<WPARAM>(index), 0);
}

HICON LoadSharedIcon(HINSTANCE instance, const char* name, int width, int height)
{
    return static_cast<HICON>(LoadImageA(instance, name, IMAGE_ICON, width, height, LR_SHARED));
}

SIZE GetIconSize(HICON icon)
{
    ICONINFO info;
    if (!icon || !GetIconInfo(icon, &info))
        return {0, 0};
    if (info.hbmMask)
        DeleteObject(info.hbmMask);
    if (info.hbmColor)
        DeleteObject(info.hbmColor);
    return {static_cast<LONG>(info.xHotspot * 2), static_cast<LONG>(info.yHotspot * 2)};
}
