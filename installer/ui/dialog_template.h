// Dialog templates built in memory, dialog units in pixels, and text streamed into
// rich-edit controls.
#pragma once

#include "RoVodEre/datavect.h"
#include "foundation/encoded_string.h"

#include <windows.h>

#include <string>

typedef datavect<unsigned char> DialogTemplate;

// A standard DLGTEMPLATE without controls: style (DS_SETFONT cleared), extended style, no
// items, position and size, no menu, the standard class and an empty title. 24 bytes.
DialogTemplate StartDialogTemplate(int style, int exStyle, int x, int y, int cx, int cy);
DialogTemplate StartDialogTemplateFromRect(int style, int exStyle, const RECT& rect);
// Replaces the title; a font that follows it stays.
DialogTemplate& AddDialogTemplateTitle(DialogTemplate& dialogTemplate, const Utf16String& title);
// Sets DS_SETFONT and puts the point size and face after the title, replacing an earlier font.
DialogTemplate& AddDialogTemplateFont(DialogTemplate& dialogTemplate, int pointSize, const Utf16String& face);

// Offsets within a template.
size_t TemplateAfterHeader(const DialogTemplate& dialogTemplate);
size_t SkipTemplateString(const DialogTemplate& dialogTemplate, size_t position);
size_t SkipTemplateSzOrOrd(const DialogTemplate& dialogTemplate, size_t position);

// Dialog units of the window's font in pixels.
RECT MapDialogRectangle(HWND dialog, const RECT& units);
SIZE MapDialogSize(HWND dialog, SIZE units);
int DluToPixelsX(HWND dialog, int units);
int DluToPixelsY(HWND dialog, int units);

// format 0 detects: rich text when the text begins "{\rtf" (after "{\r " is repaired to
// "{\rtf "), plain text otherwise; SF_TEXT and SF_RTF are used as given. Scrolls to the top.
void SetRichEditText(HWND control, const CodePageString* text, int format);
void SetRichEditText(HWND control, const CodePageString& text, int format);
void SetRichEditTextFromCString(HWND control, const char* text, int format);
CodePageString GetRichEditText(HWND control, int format);
// The bytes SetRichEditText hands the control, and the format it streams them in.
std::string PrepareRichEditStream(const std::string& text, int& format);

DWORD CALLBACK RichEditStreamIn(DWORD_PTR cookie, LPBYTE buffer, LONG count, LONG* done);
DWORD CALLBACK RichEditStreamOut(DWORD_PTR cookie, LPBYTE buffer, LONG count, LONG* done);

void SetRichEditBackground(HWND control, COLORREF colour);
void UseSystemRichEditBackground(HWND control);
void ScrollRichEditLines(HWND control, int lines);
int GetFirstVisibleLine(HWND control);
bool SetRichEditTextMode(HWND control, int mode);
bool SetAutoUrlDetect(HWND control, bool on);
