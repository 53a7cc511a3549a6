#include "installer/ui/dialog_template.h"

#include <richedit.h>

#include <algorithm>
#include <cstring>

namespace {

const size_t StyleOffset = 0;
const size_t MenuOffset = 18;
const std::uint32_t DialogSetFont = DS_SETFONT;

void Put16(unsigned char* at, unsigned value)
{
    at[0] = static_cast<unsigned char>(value & 0xFF);
    at[1] = static_cast<unsigned char>((value >> 8) & 0xFF);
}

void Put32(unsigned char* at, std::uint32_t value)
{
    Put16(at, value & 0xFFFF);
    Put16(at + 2, value >> 16);
}

unsigned Get16(const DialogTemplate& t, size_t at)
{
    return at + 1 < t.size() ? t[static_cast<std::uint32_t>(at)] | (t[static_cast<std::uint32_t>(at + 1)] << 8) : 0;
}

std::uint32_t GetStyle(const DialogTemplate& t)
{
    return Get16(t, StyleOffset) | (static_cast<std::uint32_t>(Get16(t, StyleOffset + 2)) << 16);
}

// A UTF-16 string with its terminating 0, as little-endian bytes.
std::string StringBytes(const std::wstring& text)
{
    std::string bytes;
    for (const wchar_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>((unit >> 8) & 0xFF));
    }
    bytes.append(2, '\0');
    return bytes;
}

void Replace(DialogTemplate& t, size_t from, size_t to, const std::string& bytes)
{
    t.erase(t.begin() + from, t.begin() + to);
    const unsigned char* first = reinterpret_cast<const unsigned char*>(bytes.data());
    t.insert(t.begin() + from, first, first + bytes.size());
}

}  // namespace

DialogTemplate StartDialogTemplate(int style, int exStyle, int x, int y, int cx, int cy)
{
    DialogTemplate t;
    t.resize(24, 0);
    if (t.af_)
        return t;
    unsigned char* p = t.data();
    Put32(p + 0, static_cast<std::uint32_t>(style) & ~DialogSetFont);
    Put32(p + 4, static_cast<std::uint32_t>(exStyle));
    Put16(p + 8, 0);
    Put16(p + 10, static_cast<unsigned>(x));
    Put16(p + 12, static_cast<unsigned>(y));
    Put16(p + 14, static_cast<unsigned>(cx));
    Put16(p + 16, static_cast<unsigned>(cy));
    // Menu, class and title: 0 each (bytes 18 to 23).
    return t;
}

DialogTemplate StartDialogTemplateFromRect(int style, int exStyle, const RECT& rect)
{
    return StartDialogTemplate(style, exStyle, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
}

size_t TemplateAfterHeader(const DialogTemplate&) { return MenuOffset; }

size_t SkipTemplateString(const DialogTemplate& t, size_t position)
{
    while (position + 1 < t.size() && Get16(t, position) != 0)
        position += 2;
    return std::min<size_t>(position + 2, t.size());
}

size_t SkipTemplateSzOrOrd(const DialogTemplate& t, size_t position)
{
    if (Get16(t, position) == 0xFFFF)
        return std::min<size_t>(position + 4, t.size());
    return SkipTemplateString(t, position);
}

namespace {

size_t TitleOffset(const DialogTemplate& t)
{
    return SkipTemplateSzOrOrd(t, SkipTemplateSzOrOrd(t, TemplateAfterHeader(t)));
}

}  // namespace

DialogTemplate& AddDialogTemplateTitle(DialogTemplate& t, const Utf16String& title)
{
    if (t.af_ || t.size() < 24)
        return t;
    const size_t start = TitleOffset(t);
    Replace(t, start, SkipTemplateString(t, start), StringBytes(title.text));
    return t;
}

DialogTemplate& AddDialogTemplateFont(DialogTemplate& t, int pointSize, const Utf16String& face)
{
    if (t.af_ || t.size() < 24)
        return t;
    const size_t start = SkipTemplateString(t, TitleOffset(t));
    size_t end = start;
    const std::uint32_t style = GetStyle(t);
    if (style & DialogSetFont)
        end = SkipTemplateString(t, std::min<size_t>(start + 2, t.size()));
    else
        Put32(t.data() + StyleOffset, style | DialogSetFont);
    std::string bytes(2, '\0');
    bytes[0] = static_cast<char>(pointSize & 0xFF);
    bytes[1] = static_cast<char>((pointSize >> 8) & 0xFF);
    Replace(t, start, end, bytes + StringBytes(face.text));
    return t;
}

// --- Dialog units ----------------------------------------------------------------------

RECT MapDialogRectangle(HWND dialog, const RECT& units)
{
    RECT pixels = units;
    MapDialogRect(dialog, &pixels);
    return pixels;
}

SIZE MapDialogSize(HWND dialog, SIZE units)
{
    RECT rect = {0, 0, units.cx, units.cy};
    MapDialogRect(dialog, &rect);
    return {rect.right, rect.bottom};
}

int DluToPixelsX(HWND dialog, int units) { return MapDialogSize(dialog, {units, 0}).cx; }

int DluToPixelsY(HWND dialog, int units) { return MapDialogSize(dialog, {0, units}).cy; }

// --- Rich edit -------------------------------------------------------------------------

DWORD CALLBACK RichEditStreamIn(DWORD_PTR cookie, LPBYTE buffer, LONG count, LONG* done)
{
    std::string& state = *reinterpret_cast<std::string*>(cookie);
    const size_t n = std::min<size_t>(count > 0 ? static_cast<size_t>(count) : 0, state.size());
    std::memcpy(buffer, state.data(), n);
    state.erase(0, n);
    if (done)
        *done = static_cast<LONG>(n);
    return 0;
}

DWORD CALLBACK RichEditStreamOut(DWORD_PTR cookie, LPBYTE buffer, LONG count, LONG* done)
{
    std::string& state = *reinterpret_cast<std::string*>(cookie);
    if (count > 0)
        state.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(count));
    if (done)
        *done = count;
    return 0;
}

std::string PrepareRichEditStream(const std::string& text, int& format)
{
    std::string state = text;
    if ((format == 0 || (format & SF_RTF)) && state.compare(0, 4, "{\\r ") == 0)
        state = "{\\rtf " + state.substr(4);
    if (format == 0)
        format = state.compare(0, 5, "{\\rtf") == 0 ? SF_RTF : SF_TEXT;
    return state;
}

void SetRichEditText(HWND control, const CodePageString* text, int format)
{
    std::string state = PrepareRichEditStream(text ? text->text : std::string(), format);
    EDITSTREAM stream = {};
    stream.dwCookie = reinterpret_cast<DWORD_PTR>(&state);
    stream.dwError = 0;
    stream.pfnCallback = RichEditStreamIn;
    SendMessageA(control, EM_STREAMIN, static_cast<WPARAM>(format), reinterpret_cast<LPARAM>(&stream));
    // The caret to the start too: the control would otherwise scroll back to where the
    // stream left it (the end) the next time it makes the caret visible.
    SendMessageA(control, EM_SETSEL, 0, 0);
    ScrollRichEditLines(control, -GetFirstVisibleLine(control));
}

void SetRichEditText(HWND control, const CodePageString& text, int format) { SetRichEditText(control, &text, format); }

void SetRichEditTextFromCString(HWND control, const char* text, int format)
{
    const CodePageString converted(text ? text : "", -1, GetACP());
    SetRichEditText(control, &converted, format);
}

CodePageString GetRichEditText(HWND control, int format)
{
    std::string state;
    EDITSTREAM stream = {};
    stream.dwCookie = reinterpret_cast<DWORD_PTR>(&state);
    stream.pfnCallback = RichEditStreamOut;
    SendMessageA(control, EM_STREAMOUT, static_cast<WPARAM>(format), reinterpret_cast<LPARAM>(&stream));
    return CodePageString(state, 0, std::string::npos, GetACP());
}

void SetRichEditBackground(HWND control, COLORREF colour)
{
    SendMessageA(control, EM_SETBKGNDCOLOR, 0, static_cast<LPARAM>(colour));
}

void UseSystemRichEditBackground(HWND control) { SendMessageA(control, EM_SETBKGNDCOLOR, 1, 0); }

void ScrollRichEditLines(HWND control, int lines) { SendMessageA(control, EM_LINESCROLL, 0, lines); }

int GetFirstVisibleLine(HWND control) { return static_cast<int>(SendMessageA(control, EM_GETFIRSTVISIBLELINE, 0, 0)); }

bool SetRichEditTextMode(HWND control, int mode)
{
    return SendMessageA(control, EM_SETTEXTMODE, static_cast<WPARAM>(mode), 0) == 0;
}

bool SetAutoUrlDetect(HWND control, bool on)
{
    return SendMessageA(control, EM_AUTOURLDETECT, on ? TRUE : FALSE, 0) == 0;
}
