// The smaller controls of the control library, each a subclass of an existing window: a
// control whose font changes under the mouse, a password edit that never holds the typed
// text in the clear, a plus/minus toggle button, a vertical splitter bar and a size grip.
#pragma once

#include "foundation/crypt_block.h"
#include "foundation/encoded_string.h"
#include "installer/ui/window_subclass.h"

#include <windows.h>

#include <vector>

// Shows the hover font while the mouse is over the control, the normal font otherwise.
class HoverFontSubclass : public WindowSubclass {
public:
    HoverFontSubclass(HFONT normalFont, HFONT hoverFont, HCURSOR cursor);

    void OnAttach(HWND window) override;
    LRESULT WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    HFONT normalFont;
    HFONT hoverFont;
    HCURSOR cursor;
};

// The keys of the text a password edit holds.
class PasswordEditCryptBlock : public CryptBlock {
public:
    const unsigned char* GetCipherKey() const override;
    const unsigned char* GetMacKey() const override;
};

// The private messages of the password edit; lParam points to the object named.
const UINT PasswordEditGetText = WM_USER + 400;   // Utf16String* out
const UINT PasswordEditSetText = WM_USER + 401;   // const Utf16String* in
const UINT PasswordEditGetCrypt = WM_USER + 402;  // CryptBlock* out
const UINT PasswordEditSetCrypt = WM_USER + 403;  // CryptBlock* in

// An edit control that shows one mask character per UTF-16 unit of the text and keeps the
// text itself only encrypted; no context menu, so nothing is copied out or pasted in.
class PasswordEditSubclass : public WindowSubclass {
public:
    explicit PasswordEditSubclass(char maskCharacter = '*');

    LRESULT WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    enum Edit { DeleteBack, DeleteForward, Insert };

    bool Decrypt();
    // Encrypts the plain text, wipes it and shows the masks; on failure nothing is kept.
    bool EncryptAndShow(HWND window);
    bool Fail(HWND window);
    void ApplyEdit(HWND window, Edit edit, wchar_t unit, unsigned repeat);
    void Character(HWND window, wchar_t unit, unsigned repeat);

    PasswordEditCryptBlock crypt;
    char mask;
};

// The client side of the password edit's messages: the text in the string's code page.
bool GetPasswordEditText(HWND window, CodePageString& text);
// wipeSource: the source's units are zeroed afterwards.
bool SetPasswordEditText(HWND window, CodePageString& text, bool wipeSource);

// A button drawn as a small box with a minus, or a plus while its flag is set. A press flips
// the flag and tells the partner window with BM_SETSTATE (wParam: the flag, lParam: the
// button).
class PlusMinusButton : public WindowSubclass {
public:
    PlusMinusButton(COLORREF penColour, HWND partner, HCURSOR cursor, bool plus);

    LRESULT WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
    bool Plus() const { return plus; }

private:
    void Paint(HWND window);

    COLORREF penColour;
    HWND partner;
    HCURSOR cursor;
    bool plus;
    bool focused = false;
};

// A vertical bar between two groups of windows of one parent: dragging it widens the windows
// on one side and narrows those on the other.
class SplitterBar : public WindowSubclass {
public:
    // The bar keeps these distances from the parent's left and right client edges.
    SplitterBar(int leftMinimum, int rightMinimum);
    ~SplitterBar() override;

    void OnAttach(HWND window) override;
    LRESULT WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
    // The bar's left edge in the parent's client coordinates.
    int Position() const { return position; }

    std::vector<HWND> leftWindows;   // widened when the bar moves right
    std::vector<HWND> rightWindows;  // moved right and narrowed when the bar moves right

private:
    int ParentX(HWND window, LPARAM lParam) const;
    int Limit(int x) const;
    void DrawDragBar(int x);

    HWND splitter = nullptr;
    HWND parent = nullptr;
    HCURSOR sizeWestEast;
    HCURSOR sizeNorthSouth;
    HBITMAP hatch = nullptr;
    int leftMinimum;
    int rightMinimum;
    int position = 0;
    int dragX = 0;
    bool dragging = false;
    HBRUSH dragBrush = nullptr;
};

// The dotted grip of a resizable window's bottom-right corner.
class SizeGripSubclass : public WindowSubclass {
public:
    LRESULT WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
};
