#include "installer/ui/controls.h"

#include "foundation/encoding_conversion.h"
#include "installer/ui/drawing.h"

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <string>

// --- HoverFontSubclass -----------------------------------------------------------------

HoverFontSubclass::HoverFontSubclass(HFONT normal, HFONT hover, HCURSOR shown)
    : normalFont(normal), hoverFont(hover), cursor(shown)
{
}

void HoverFontSubclass::OnAttach(HWND window) { SetFont(window, normalFont, true); }

LRESULT HoverFontSubclass::WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_SETCURSOR:
        SetCursor(cursor);
        return TRUE;
    case WM_MOUSEMOVE:
        TrackMouseLeave(window);
        SetFont(window, hoverFont, true);
        return TRUE;
    case WM_MOUSELEAVE:
        SetFont(window, normalFont, true);
        return TRUE;
    }
    return CallPrevious(window, message, wParam, lParam);
}

// --- PasswordEditSubclass --------------------------------------------------------------

namespace {

// Fixed keys: the text is only kept out of plain sight in the process's memory.
const unsigned char PasswordEditCipherKey[16] = {0x5b, 0x1e, 0xc4, 0x72, 0x09, 0xad, 0x3f, 0x86,
                                                 0xe1, 0x4c, 0x97, 0x20, 0xb8, 0x6d, 0x13, 0xfa};
const unsigned char PasswordEditMacKey[16] = {0xa7, 0x30, 0x5e, 0xd9, 0x81, 0x2c, 0xf4, 0x6b,
                                              0x17, 0xc2, 0x48, 0x9e, 0x03, 0xb5, 0x7a, 0xe6};

const std::uint32_t UnitBytes = 2;

// One UTF-16 unit from the bytes of one character of the ANSI code page.
wchar_t AnsiUnit(const char* bytes, int count)
{
    wchar_t unit = 0;
    if (MultiByteToWideChar(CP_ACP, 0, bytes, count, &unit, 1) != 1)
        return 0;
    return unit;
}

}  // namespace

const unsigned char* PasswordEditCryptBlock::GetCipherKey() const { return PasswordEditCipherKey; }
const unsigned char* PasswordEditCryptBlock::GetMacKey() const { return PasswordEditMacKey; }

PasswordEditSubclass::PasswordEditSubclass(char maskCharacter) : mask(maskCharacter) {}

bool PasswordEditSubclass::Decrypt()
{
    if (crypt.ciphertext.size() == 0) {
        crypt.plaintext.wipe_and_resize(0);
        return !crypt.plaintext.af_;
    }
    ErrorInfo info;
    return crypt.SetPlainFromCrypt(info);
}

bool PasswordEditSubclass::Fail(HWND window)
{
    crypt.plaintext.wipe_and_resize(0);
    crypt.ciphertext.wipe_and_resize(0);
    CallPrevious(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(""));
    return false;
}

bool PasswordEditSubclass::EncryptAndShow(HWND window)
{
    ErrorInfo info;
    if (crypt.plaintext.af_ || !crypt.SetCryptFromPlain(info))
        return Fail(window);
    const std::string masks(crypt.plaintext.size() / UnitBytes, mask);
    crypt.WipePlain(info);
    CallPrevious(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(masks.c_str()));
    return true;
}

void PasswordEditSubclass::ApplyEdit(HWND window, Edit edit, wchar_t unit, unsigned repeat)
{
    if (!Decrypt()) {
        Fail(window);
        return;
    }
    DWORD start = 0, end = 0;
    CallPrevious(window, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    datavect<unsigned char>& plain = crypt.plaintext;
    const std::uint32_t units = plain.size() / UnitBytes;
    const std::uint32_t before = std::min<std::uint32_t>(start, units);
    std::uint32_t after = std::min<std::uint32_t>(std::max<DWORD>(start, end), units);
    std::uint32_t caret = before;
    if (edit == Insert) {
        plain.erase(plain.begin() + before * UnitBytes, plain.begin() + after * UnitBytes);
        unsigned char* at = plain.insert(plain.begin() + before * UnitBytes, repeat * UnitBytes, 0);
        if (!at) {
            Fail(window);
            return;
        }
        for (unsigned i = 0; i < repeat; ++i) {
            at[i * UnitBytes] = static_cast<unsigned char>(unit & 0xFF);
            at[i * UnitBytes + 1] = static_cast<unsigned char>(unit >> 8);
        }
        caret = before + repeat;
    } else {
        unsigned count = repeat;
        if (after > before) {
            // A selection counts as one deletion.
            plain.erase(plain.begin() + before * UnitBytes, plain.begin() + after * UnitBytes);
            after = before;
            count = count > 0 ? count - 1 : 0;
        }
        const std::uint32_t left = plain.size() / UnitBytes;
        if (edit == DeleteBack) {
            const std::uint32_t n = std::min<std::uint32_t>(count, before);
            plain.erase(plain.begin() + (before - n) * UnitBytes, plain.begin() + before * UnitBytes);
            caret = before - n;
        } else {
            const std::uint32_t n = std::min<std::uint32_t>(count, left - before);
            plain.erase(plain.begin() + before * UnitBytes, plain.begin() + (before + n) * UnitBytes);
        }
    }
    if (EncryptAndShow(window))
        CallPrevious(window, EM_SETSEL, caret, caret);
}

void PasswordEditSubclass::Character(HWND window, wchar_t unit, unsigned repeat)
{
    if (unit == 8)
        ApplyEdit(window, DeleteBack, 0, repeat);
    else if (unit >= 32)
        ApplyEdit(window, Insert, unit, repeat);
    else
        MessageBeep(0xFFFFFFFF);
}

LRESULT PasswordEditSubclass::WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    const unsigned repeat = LOWORD(lParam);
    switch (message) {
    case WM_CHAR: {
        const char byte = static_cast<char>(wParam & 0xFF);
        Character(window, AnsiUnit(&byte, 1), repeat);
        return 0;
    }
    case WM_IME_CHAR: {
        if (wParam > 255) {
            const char bytes[2] = {static_cast<char>((wParam >> 8) & 0xFF), static_cast<char>(wParam & 0xFF)};
            Character(window, AnsiUnit(bytes, 2), repeat);
        } else {
            const char byte = static_cast<char>(wParam & 0xFF);
            Character(window, AnsiUnit(&byte, 1), repeat);
        }
        return 0;
    }
    case WM_KEYDOWN:
        if (wParam == VK_DELETE) {
            ApplyEdit(window, DeleteForward, 0, repeat);
            return 0;
        }
        break;
    case WM_KEYUP:
        if (wParam == VK_DELETE)
            return 0;
        break;
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
        return 0;  // no context menu: nothing to copy or paste
    case PasswordEditGetText: {
        Utf16String* out = reinterpret_cast<Utf16String*>(lParam);
        if (!out)
            return 0;
        if (!Decrypt()) {
            Fail(window);
            return 0;
        }
        const datavect<unsigned char>& plain = crypt.plaintext;
        Utf16String copy;
        copy.text.resize(plain.size() / UnitBytes);
        for (std::uint32_t i = 0; i < copy.text.size(); ++i)
            copy.text[i] = static_cast<wchar_t>(plain[i * UnitBytes] | (plain[i * UnitBytes + 1] << 8));
        Utf16String::SecureAssign(*out, copy);
        Wipe(copy);
        ErrorInfo info;
        crypt.WipePlain(info);
        return 1;
    }
    case PasswordEditSetText: {
        const Utf16String* in = reinterpret_cast<const Utf16String*>(lParam);
        if (!in)
            return 0;
        crypt.plaintext.wipe_and_resize(0);
        for (const wchar_t unit : in->text) {
            crypt.plaintext.push_back(static_cast<unsigned char>(unit & 0xFF));
            crypt.plaintext.push_back(static_cast<unsigned char>(unit >> 8));
        }
        return EncryptAndShow(window) ? 1 : 0;
    }
    case PasswordEditGetCrypt: {
        CryptBlock* out = reinterpret_cast<CryptBlock*>(lParam);
        if (!out)
            return 0;
        if (!Decrypt()) {
            Fail(window);
            return 0;
        }
        out->plaintext = crypt.plaintext;
        ErrorInfo info;
        const bool stored = !out->plaintext.af_ && out->SetCryptFromPlain(info);
        out->WipePlain(info);
        crypt.WipePlain(info);
        return stored ? 1 : 0;
    }
    case PasswordEditSetCrypt: {
        CryptBlock* in = reinterpret_cast<CryptBlock*>(lParam);
        ErrorInfo info;
        if (!in || !in->SetPlainFromCrypt(info))
            return 0;
        crypt.plaintext = in->plaintext;
        in->WipePlain(info);
        return EncryptAndShow(window) ? 1 : 0;
    }
    }
    return CallPrevious(window, message, wParam, lParam);
}

bool GetPasswordEditText(HWND window, CodePageString& text)
{
    Utf16String units;
    SecureWipeGuard<wchar_t> wipeUnits(&units, true);
    if (SendMessageA(window, PasswordEditGetText, 0, reinterpret_cast<LPARAM>(&units)) != 1)
        return false;
    ConvertUtf16ToCodePage(units, text);
    return true;
}

bool SetPasswordEditText(HWND window, CodePageString& text, bool wipeSource)
{
    SecureWipeGuard<char> wipeText(&text, wipeSource);
    Utf16String units = ToUtf16(text);
    SecureWipeGuard<wchar_t> wipeUnits(&units, true);
    return SendMessageA(window, PasswordEditSetText, 0, reinterpret_cast<LPARAM>(&units)) == 1;
}

// --- PlusMinusButton -------------------------------------------------------------------

PlusMinusButton::PlusMinusButton(COLORREF pen, HWND partnerWindow, HCURSOR shown, bool startsPlus)
    : penColour(pen), partner(partnerWindow), cursor(shown), plus(startsPlus)
{
}

void PlusMinusButton::Paint(HWND window)
{
    PaintDc paint(window);
    const HDC dc = paint.dc();
    if (!dc)
        return;
    RECT client;
    GetClientRect(window, &client);
    {
        LOGPEN penSpec = {PS_SOLID, {1, 0}, penColour};
        GdiObject pen(CreatePenIndirect(&penSpec));
        SelectObjectGuard selectPen(dc, pen.handle());
        RoundRect(dc, client.left, client.top, client.right, client.bottom, 3, 3);
    }
    // The bars in the device context's own pen.
    const int middleY = (client.top + client.bottom) / 2;
    MoveToEx(dc, client.left + 2, middleY, nullptr);
    LineTo(dc, client.right - 2, middleY);
    if (plus) {
        const int middleX = (client.left + client.right) / 2;
        MoveToEx(dc, middleX, client.top + 2, nullptr);
        LineTo(dc, middleX, client.bottom - 2);
    }
    if (focused) {
        // Around the button, on its parent: the frame lies outside the button's own area.
        const HWND parent = GetParent(window);
        RECT frame;
        GetWindowRect(window, &frame);
        ScreenToClientRect(parent, frame);
        frame = {frame.left - 2, frame.top - 2, frame.right + 3, frame.bottom + 3};
        if (const HDC parentDc = GetDC(parent)) {
            DrawDottedFrame(parentDc, frame);
            ReleaseDC(parent, parentDc);
        }
    }
}

LRESULT PlusMinusButton::WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT:
        Paint(window);
        return 0;
    case BM_SETSTATE:
        if (wParam) {
            plus = !plus;
            SendMessageA(window, WM_KILLFOCUS, reinterpret_cast<WPARAM>(window), 0);
            SendMessageA(window, WM_SETFOCUS, reinterpret_cast<WPARAM>(window), 0);
            SendMessageA(partner, BM_SETSTATE, plus ? TRUE : FALSE, reinterpret_cast<LPARAM>(window));
        }
        return 0;
    case WM_SETFOCUS:
        focused = true;
        InvalidateRect(window, nullptr, TRUE);
        return 0;
    case WM_KILLFOCUS: {
        focused = false;
        const HWND parent = GetParent(window);
        RECT around;
        GetWindowRect(window, &around);
        ScreenToClientRect(parent, around);
        InflateRect(&around, 3, 3);
        InvalidateRect(parent, &around, TRUE);
        return 0;
    }
    case WM_SETCURSOR:
        SetCursor(cursor);
        return TRUE;
    }
    return CallPrevious(window, message, wParam, lParam);
}

// --- SplitterBar -----------------------------------------------------------------------

namespace {

// A diagonal hatch, 4 x 4 pixels, one bit per pixel (rows padded to 2 bytes).
BYTE HatchBits[8] = {0x11, 0x00, 0x22, 0x00, 0x44, 0x00, 0x88, 0x00};

const int DragBarWidth = 5;

}  // namespace

SplitterBar::SplitterBar(int leftMin, int rightMin)
    : sizeWestEast(nullptr), sizeNorthSouth(nullptr), leftMinimum(leftMin), rightMinimum(rightMin)
{
}

SplitterBar::~SplitterBar()
{
    if (dragBrush)
        DeleteObject(dragBrush);
    if (hatch)
        DeleteObject(hatch);
}

void SplitterBar::OnAttach(HWND window)
{
    splitter = window;
    parent = GetParent(window);
    sizeWestEast = LoadCursor(nullptr, IDC_SIZEWE);
    sizeNorthSouth = LoadCursor(nullptr, IDC_SIZENS);
    BITMAP pattern = {0, 4, 4, 2, 1, 1, HatchBits};
    hatch = CreateBitmapIndirect(&pattern);
    RECT bar;
    GetWindowRect(window, &bar);
    ScreenToClientRect(parent, bar);
    position = bar.left;
}

int SplitterBar::ParentX(HWND window, LPARAM lParam) const
{
    POINT point = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
    MapWindowPoints(window, parent, &point, 1);
    return point.x;
}

int SplitterBar::Limit(int x) const
{
    RECT client;
    GetClientRect(parent, &client);
    const int rightLimit = client.right - rightMinimum;
    if (x - 3 <= leftMinimum)
        return leftMinimum;
    if (x - 3 >= rightLimit)
        return rightLimit;
    return x;
}

void SplitterBar::DrawDragBar(int x)
{
    RECT bar;
    GetWindowRect(splitter, &bar);
    ScreenToClientRect(parent, bar);
    const HDC dc = GetDC(parent);
    if (!dc)
        return;
    const int oldMode = SetROP2(dc, R2_XORPEN);
    const int oldBackground = SetBkMode(dc, TRANSPARENT);
    {
        SelectObjectGuard selectBrush(dc, dragBrush);
        SelectObjectGuard selectPen(dc, GetStockObject(NULL_PEN));
        // A null pen leaves the rectangle one pixel short on the right and bottom.
        Rectangle(dc, x - 2, bar.top, x - 2 + DragBarWidth + 1, bar.bottom + 1);
    }
    SetBkMode(dc, oldBackground);
    SetROP2(dc, oldMode);
    ReleaseDC(parent, dc);
}

LRESULT SplitterBar::WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_LBUTTONDOWN:
        SetCapture(window);
        dragging = true;
        if (!dragBrush)
            dragBrush = CreatePatternBrush(hatch);
        dragX = ParentX(window, lParam);
        DrawDragBar(dragX);
        return 0;
    case WM_MOUSEMOVE:
        if (dragging && (wParam & MK_LBUTTON)) {
            DrawDragBar(dragX);
            dragX = Limit(ParentX(window, lParam));
            DrawDragBar(dragX);
        }
        return 0;
    case WM_LBUTTONUP: {
        if (!dragging)
            return 0;
        dragging = false;
        ReleaseCapture();
        DrawDragBar(dragX);
        DeleteObject(dragBrush);
        dragBrush = nullptr;
        const int newLeft = dragX - 2;
        SetWindowPos(window, nullptr, newLeft, 5, 0, 0, SWP_FRAMECHANGED | SWP_NOSIZE);
        const int moved = newLeft - position;
        position = newLeft;
        if (moved != 0) {
            for (const HWND left : leftWindows) {
                RECT r;
                GetWindowRect(left, &r);
                SetWindowPos(left, nullptr, 0, 0, r.right - r.left + moved, r.bottom - r.top,
                             SWP_NOMOVE | SWP_NOZORDER);
            }
            for (const HWND right : rightWindows) {
                RECT r;
                GetWindowRect(right, &r);
                ScreenToClientRect(parent, r);
                SetWindowPos(right, nullptr, r.left + moved, r.top, r.right - r.left - moved, r.bottom - r.top,
                             SWP_NOZORDER);
            }
            InvalidateRect(parent, nullptr, TRUE);
        }
        return 0;
    }
    case WM_SETCURSOR:
        SetCursor(sizeWestEast);
        return TRUE;
    }
    return CallPrevious(window, message, wParam, lParam);
}

// --- SizeGripSubclass ------------------------------------------------------------------

LRESULT SizeGripSubclass::WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != WM_PAINT)
        return CallPrevious(window, message, wParam, lParam);
    PaintDc paint(window);
    const HDC dc = paint.dc();
    if (!dc)
        return 0;
    RECT client;
    GetClientRect(window, &client);
    const HBRUSH light = GetSysColorBrush(COLOR_WINDOW);
    const HBRUSH shadow = GetSysColorBrush(COLOR_BTNSHADOW);
    // Rows of 3, 2 and 1 dots from the bottom up, right-aligned, 4 pixels apart.
    for (int row = 0; row < 3; ++row) {
        for (int dot = 0; dot < 3 - row; ++dot) {
            const int x = client.right - 3 - 4 * dot;
            const int y = client.bottom - 3 - 4 * row;
            const RECT lit = {x, y, x + 2, y + 2};
            const RECT dark = {x - 1, y - 1, x + 1, y + 1};
            FillRect(dc, &lit, light);
            FillRect(dc, &dark, shadow);
        }
    }
    return 0;
}
