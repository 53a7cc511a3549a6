// The smaller controls of the library: hover font, password edit, plus/minus button,
// splitter bar, size grip, and the combo-box wrappers.
#include "foundation/random_source.h"
#include "installer/ui/controls.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct StateMessage {
    HWND to;
    WPARAM wParam;
    LPARAM lParam;
};
std::vector<StateMessage> stateMessages;

// Records the BM_SETSTATE messages a partner window receives.
LRESULT CALLBACK RecordingPartner(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == BM_SETSTATE)
        stateMessages.push_back({window, wParam, lParam});
    return DefWindowProcA(window, message, wParam, lParam);
}

class Controls : public ::testing::Test {
protected:
    void SetUp() override
    {
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = RecordingPartner;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
        windowClass.lpszClassName = "ControlsParent";
        RegisterClassA(&windowClass);
        parent = CreateWindowExA(0, "ControlsParent", "parent", WS_POPUP | WS_VISIBLE, 0, 0, 400, 300, nullptr, nullptr,
                                 GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(parent, nullptr) << GetLastError();
        stateMessages.clear();
    }
    void TearDown() override { DestroyWindow(parent); }

    HWND Child(const char* className, DWORD style, int x, int y, int cx, int cy, int id = 0)
    {
        return CreateWindowExA(0, className, "", WS_CHILD | WS_VISIBLE | style, x, y, cx, cy, parent,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleA(nullptr), nullptr);
    }
    RECT RectOf(HWND child)
    {
        RECT r;
        GetWindowRect(child, &r);
        MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
        return r;
    }
    // What the window shows at a client point, once it has painted.
    COLORREF PixelAt(HWND window, int x, int y)
    {
        RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
        const HDC dc = GetDC(window);
        const COLORREF pixel = GetPixel(dc, x, y);
        ReleaseDC(window, dc);
        return pixel;
    }

    HWND parent = nullptr;
};

// --- Hover font ------------------------------------------------------------------------

TEST_F(Controls, HoverFontFollowsTheMouse)
{
    const HWND label = Child("STATIC", SS_NOTIFY, 10, 10, 100, 20);
    const HFONT normal = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    const HFONT hover = static_cast<HFONT>(GetStockObject(SYSTEM_FONT));
    ASSERT_TRUE(AttachWindowSubclass(label, new HoverFontSubclass(normal, hover, LoadCursor(nullptr, IDC_HAND))));
    EXPECT_EQ(GetFont(label), normal);
    EXPECT_EQ(SendMessageA(label, WM_MOUSEMOVE, 0, MAKELPARAM(5, 5)), TRUE);
    EXPECT_EQ(GetFont(label), hover);
    EXPECT_EQ(SendMessageA(label, WM_MOUSELEAVE, 0, 0), TRUE);
    EXPECT_EQ(GetFont(label), normal);
}

// --- Password edit ---------------------------------------------------------------------

class PasswordEdit : public Controls {
protected:
    void SetUp() override
    {
        Controls::SetUp();
        edit = Child("EDIT", ES_AUTOHSCROLL, 10, 10, 200, 20);
        ASSERT_TRUE(AttachWindowSubclass(edit, new PasswordEditSubclass('*')));
    }
    void Char(wchar_t c, int repeat = 1) { SendMessageA(edit, WM_CHAR, c, MAKELPARAM(repeat, 0)); }
    void Select(int from, int to) { SendMessageA(edit, EM_SETSEL, from, to); }
    std::string Shown()
    {
        char text[100] = {};
        GetWindowTextA(edit, text, sizeof text);
        return text;
    }
    std::string Text()
    {
        CodePageString text(GetACP());
        EXPECT_TRUE(GetPasswordEditText(edit, text));
        return text.text;
    }
    DWORD Caret()
    {
        DWORD start = 0, end = 0;
        SendMessageA(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
        EXPECT_EQ(start, end);
        return start;
    }

    NoCrtRandom random;
    HWND edit = nullptr;
};

TEST_F(PasswordEdit, EditsTheHiddenTextAndShowsOnlyMasks)
{
    EXPECT_EQ(Text(), "");
    for (const char c : std::string("abc"))
        Char(c);
    struct Step {
        const char* what;
        int selectFrom, selectTo;  // -1: leave the selection
        UINT message;
        WPARAM key;
        int repeat;
        const char* text;
        DWORD caret;
    } steps[] = {
        {"a character replaces the selection, repeated", 1, 2, WM_CHAR, 'X', 3, "aXXXc", 4},
        {"backspace removes before the caret", -1, -1, WM_CHAR, 8, 2, "aXc", 2},
        {"a selection counts as one deletion", 0, 1, WM_KEYDOWN, VK_DELETE, 2, "c", 0},
        {"delete stops at the end", 0, 0, WM_KEYDOWN, VK_DELETE, 5, "", 0},
        {"backspace stops at the start", -1, -1, WM_CHAR, 8, 3, "", 0},
        {"a control character changes nothing", -1, -1, WM_CHAR, 0x16, 1, "", 0},
        {"typed again", -1, -1, WM_CHAR, 'q', 2, "qq", 2},
    };
    for (const Step& step : steps) {
        if (step.selectFrom >= 0)
            Select(step.selectFrom, step.selectTo);
        SendMessageA(edit, step.message, step.key, MAKELPARAM(step.repeat, 0));
        EXPECT_EQ(Text(), step.text) << step.what;
        EXPECT_EQ(Shown(), std::string(std::string(step.text).size(), '*')) << step.what;
        EXPECT_EQ(Caret(), step.caret) << step.what;
    }
    // The right button opens no menu to copy from.
    EXPECT_EQ(SendMessageA(edit, WM_RBUTTONUP, 0, 0), 0);
}

TEST_F(PasswordEdit, SetTextWipesTheSourceAndCopiesGoThroughCryptBlocks)
{
    CodePageString secret("s3cret", -1, GetACP());
    ASSERT_TRUE(SetPasswordEditText(edit, secret, true));
    EXPECT_EQ(secret.text, std::string(6, '\0'));
    EXPECT_EQ(Shown(), "******");
    EXPECT_EQ(Text(), "s3cret");

    PasswordEditCryptBlock copy;
    ASSERT_EQ(SendMessageA(edit, PasswordEditGetCrypt, 0, reinterpret_cast<LPARAM>(&copy)), 1);
    EXPECT_EQ(copy.plaintext.size(), 0u);  // only the stored form stays
    const HWND other = Child("EDIT", 0, 10, 40, 200, 20);
    ASSERT_TRUE(AttachWindowSubclass(other, new PasswordEditSubclass('#')));
    ASSERT_EQ(SendMessageA(other, PasswordEditSetCrypt, 0, reinterpret_cast<LPARAM>(&copy)), 1);
    char shown[20] = {};
    GetWindowTextA(other, shown, sizeof shown);
    EXPECT_STREQ(shown, "######");
    CodePageString text(GetACP());
    ASSERT_TRUE(GetPasswordEditText(other, text));
    EXPECT_EQ(text.text, "s3cret");

    // A stored form that fails its check is refused and changes nothing.
    copy.ciphertext[copy.ciphertext.size() - 1] ^= 1;
    EXPECT_EQ(SendMessageA(other, PasswordEditSetCrypt, 0, reinterpret_cast<LPARAM>(&copy)), 0);
    ASSERT_TRUE(GetPasswordEditText(other, text));
    EXPECT_EQ(text.text, "s3cret");

    // A plain edit does not answer the messages.
    const HWND plain = Child("EDIT", 0, 10, 70, 200, 20);
    EXPECT_FALSE(GetPasswordEditText(plain, text));
}

// --- Plus/minus button -----------------------------------------------------------------

TEST_F(Controls, PlusMinusButtonFlipsOnPressAndTellsItsPartner)
{
    const HWND button = Child("BUTTON", BS_PUSHBUTTON, 20, 20, 15, 15);
    PlusMinusButton* toggle = new PlusMinusButton(RGB(0, 0, 0), parent, LoadCursor(nullptr, IDC_HAND), false);
    ASSERT_TRUE(AttachWindowSubclass(button, toggle));

    // Minus: no vertical bar above the middle.
    EXPECT_NE(PixelAt(button, 7, 4), RGB(0, 0, 0));
    EXPECT_EQ(PixelAt(button, 4, 7), RGB(0, 0, 0));

    EXPECT_EQ(SendMessageA(button, BM_SETSTATE, FALSE, 0), 0);  // a release changes nothing
    EXPECT_FALSE(toggle->Plus());
    EXPECT_TRUE(stateMessages.empty());

    EXPECT_EQ(SendMessageA(button, BM_SETSTATE, TRUE, 0), 0);
    EXPECT_TRUE(toggle->Plus());
    ASSERT_EQ(stateMessages.size(), 1u);
    EXPECT_EQ(stateMessages[0].wParam, static_cast<WPARAM>(TRUE));
    EXPECT_EQ(stateMessages[0].lParam, reinterpret_cast<LPARAM>(button));
    EXPECT_EQ(PixelAt(button, 7, 4), RGB(0, 0, 0));

    SendMessageA(button, BM_SETSTATE, TRUE, 0);
    EXPECT_FALSE(toggle->Plus());
    ASSERT_EQ(stateMessages.size(), 2u);
    EXPECT_EQ(stateMessages[1].wParam, static_cast<WPARAM>(FALSE));
}

// --- Splitter bar ----------------------------------------------------------------------

TEST_F(Controls, SplitterMovesBothGroupsWithinItsLimits)
{
    struct Case {
        const char* what;
        int dragToParentX;
        int splitterLeft;
    } cases[] = {
        {"to the right", 160, 158},
        {"back to the left", 120, 118},
        {"not past the left minimum", 20, 48},
        {"not past the right minimum", 390, 348},
    };
    for (const Case& c : cases) {
        const HWND left = Child("STATIC", 0, 0, 0, 100, 300);
        const HWND bar = Child("STATIC", SS_NOTIFY, 100, 5, 6, 290);
        const HWND right = Child("STATIC", 0, 106, 0, 294, 300);
        SplitterBar* splitter = new SplitterBar(50, 50);
        splitter->leftWindows.push_back(left);
        splitter->rightWindows.push_back(right);
        ASSERT_TRUE(AttachWindowSubclass(bar, splitter));
        ASSERT_EQ(splitter->Position(), 100);

        SendMessageA(bar, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 10));
        SendMessageA(bar, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(c.dragToParentX - 100, 10));
        SendMessageA(bar, WM_LBUTTONUP, 0, MAKELPARAM(c.dragToParentX - 100, 10));
        const int moved = c.splitterLeft - 100;
        EXPECT_EQ(RectOf(bar).left, c.splitterLeft) << c.what;
        EXPECT_EQ(RectOf(bar).top, 5) << c.what;
        EXPECT_EQ(splitter->Position(), c.splitterLeft) << c.what;
        EXPECT_EQ(RectOf(left).right, 100 + moved) << c.what;
        EXPECT_EQ(RectOf(left).left, 0) << c.what;
        EXPECT_EQ(RectOf(right).left, 106 + moved) << c.what;
        EXPECT_EQ(RectOf(right).right, 400) << c.what;
        EXPECT_EQ(GetCapture(), nullptr) << c.what;
        DestroyWindow(left);
        DestroyWindow(bar);
        DestroyWindow(right);
    }
}

// --- Size grip -------------------------------------------------------------------------

TEST_F(Controls, SizeGripPaintsSixDotsInTheCorner)
{
    const HWND grip = Child("STATIC", 0, 100, 100, 20, 20);
    ASSERT_TRUE(AttachWindowSubclass(grip, new SizeGripSubclass));
    const COLORREF shadow = GetSysColor(COLOR_BTNSHADOW);
    const COLORREF light = GetSysColor(COLOR_WINDOW);
    ASSERT_NE(shadow, light);
    for (int row = 0; row < 3; ++row) {
        for (int dot = 0; dot < 3; ++dot) {
            const int x = 20 - 3 - 4 * dot, y = 20 - 3 - 4 * row;
            const bool present = dot < 3 - row;
            EXPECT_EQ(PixelAt(grip, x - 1, y - 1) == shadow, present) << row << " " << dot;
            EXPECT_EQ(PixelAt(grip, x + 1, y + 1) == light, present) << row << " " << dot;
        }
    }
}

// --- Combo wrappers --------------------------------------------------------------------

TEST_F(Controls, ComboWrappers)
{
    const HWND combo = Child("COMBOBOX", CBS_DROPDOWNLIST | WS_VSCROLL, 10, 10, 150, 200);
    EXPECT_EQ(ComboAddString(combo, "first"), 0);
    EXPECT_EQ(ComboAddString(combo, "second"), 1);
    EXPECT_EQ(ComboGetCurSel(combo), CB_ERR);
    EXPECT_TRUE(ComboSetCurSel(combo, 1));
    EXPECT_EQ(ComboGetCurSel(combo), 1);
    EXPECT_FALSE(ComboSetCurSel(combo, 7));
    EXPECT_TRUE(ComboSetItemData(combo, 0, 0x1234));
    EXPECT_EQ(ComboGetItemData(combo, 0), 0x1234);
    EXPECT_FALSE(ComboSetItemData(combo, 7, 1));
    EXPECT_TRUE(ComboSetTopIndex(combo, 0));
    EXPECT_EQ(ComboGetTopIndex(combo), 0);
}

}  // namespace
