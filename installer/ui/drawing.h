// The lowest layer of the installer's control library: scope holders of GDI objects and
// painting, the font of a window, a small colour model with the user-interface colours
// derived from it, the visual-styles library, and fitting a text into a pixel width.
#pragma once

#include "RoVodEre/NoCrtCore.h"
#include "foundation/dll_loader.h"

#include <windows.h>

#include <string>

// --- GDI holders: each owns one handle and releases it when destroyed -------------------

class PaintDc {
public:
    explicit PaintDc(HWND window);
    PaintDc(HWND window, PAINTSTRUCT& outside);
    PaintDc(const PaintDc&) = delete;
    PaintDc& operator=(const PaintDc&) = delete;
    virtual ~PaintDc();

    HDC dc() const { return dc_; }
    const PAINTSTRUCT& paint() const { return *paint_; }

private:
    HWND window_;
    PAINTSTRUCT own_;
    PAINTSTRUCT* paint_;
    HDC dc_;
};

class GdiObject {
public:
    explicit GdiObject(HGDIOBJ handle = nullptr) : handle_(handle) {}
    GdiObject(const GdiObject&) = delete;
    GdiObject& operator=(const GdiObject&) = delete;
    virtual ~GdiObject();

    HGDIOBJ handle() const { return handle_; }

protected:
    HGDIOBJ handle_;
};

class GdiFont : public GdiObject {
public:
    explicit GdiFont(const LOGFONTA& font) : GdiObject(CreateFontIndirectA(&font)) {}
    HFONT font() const { return static_cast<HFONT>(handle_); }
};

class GdiBrush : public GdiObject {
public:
    explicit GdiBrush(const LOGBRUSH& brush) : GdiObject(CreateBrushIndirect(&brush)) {}
    HBRUSH brush() const { return static_cast<HBRUSH>(handle_); }
};

class GdiBitmap : public GdiObject {
public:
    explicit GdiBitmap(const BITMAP& bitmap) : GdiObject(CreateBitmapIndirect(&bitmap)) {}
    HBITMAP bitmap() const { return static_cast<HBITMAP>(handle_); }
};

// Selects an object into a device context and the one it replaced back at scope exit.
class SelectObjectGuard {
public:
    SelectObjectGuard(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
    SelectObjectGuard(const SelectObjectGuard&) = delete;
    SelectObjectGuard& operator=(const SelectObjectGuard&) = delete;
    virtual ~SelectObjectGuard();

private:
    HDC dc_;
    HGDIOBJ previous_;
};

// --- Fonts and system colours ----------------------------------------------------------

// The window's font, else its parent's, else the default GUI font.
HFONT GetWindowFont(HWND window);
void GetWindowLogFont(LOGFONTA& font, HWND window);

COLORREF GetWindowTextColour();
COLORREF GetWindowColour();
COLORREF GetButtonFaceColour();
COLORREF GetMenuTextColour();

// Bits per pixel of the window's display; 8 when no device context can be had.
int DisplayBitDepth(HWND window);
// The colour the window's display shows for the given one; unchanged without a DC.
COLORREF NearestColour(COLORREF colour, HWND window);

// --- Colour model ----------------------------------------------------------------------

// RGB form: red, green, blue in 0..1. HLS form: hue (0..1, one turn), lightness, saturation.
struct ColourTriple {
    float a = 0, b = 0, c = 0;

    static ColourTriple FromColorRef(COLORREF colour);
    COLORREF ToColorRef() const;
    ColourTriple RgbToHls() const;
    ColourTriple HlsToRgb() const;

    void AdjustLightness(float x);
    void AdjustSaturation(float x);
    void Lighten(float x) { AdjustLightness(x); }
    void Darken(float x) { AdjustLightness(-x); }
    void Desaturate(float x) { AdjustSaturation(-x); }
    bool IsLight() const { return b > 0.5f; }
    bool IsDark() const { return b < 0.5f; }
};

float HueToRgb(float p, float q, float t);
// x * a + (1 - x) * b, component by component.
ColourTriple BlendColours(const ColourTriple& a, const ColourTriple& b, float x);
// The a of BlendColours given its result c; white when x is not positive.
ColourTriple UnblendColour(const ColourTriple& c, const ColourTriple& b, float x);

// The licence pane's background: a desaturated blend of the window and button-face colours.
COLORREF MutedWindowColour();
COLORREF ContrastingMenuTextColour();
COLORREF ShadedButtonFaceColour();
COLORREF WindowHalfBlend(COLORREF colour);
COLORREF WindowBlend(COLORREF colour);
COLORREF PaleWindowBlend(COLORREF colour);
COLORREF LighterColour(COLORREF colour);
COLORREF DarkerColour(COLORREF colour);
COLORREF MuchLighterColour(COLORREF colour);
COLORREF BluishColour(COLORREF colour);
COLORREF ReddishColour(COLORREF colour);
// The identity among the derivations above.
COLORREF UnchangedColour(COLORREF colour);
// Fixed accent colours, the same whatever the system colours.
COLORREF BurntOrangeColour();
COLORREF GreenColour();
COLORREF AzureColour();
COLORREF NearBlackColour();
COLORREF DeepBlueColour();
COLORREF CrimsonColour();

// --- Visual styles ---------------------------------------------------------------------

// "Uxtheme.dll" from the system directory; a missing library leaves module null.
class UxThemeLibrary : public DllLoader {
public:
    UxThemeLibrary();

    bool IsLoaded() const { return module != nullptr; }
    // Loaded, and the system is Windows XP (NT 5.1) or later.
    bool IsUsable() const;
    BOOL IsAppThemed() const;
    HRESULT CloseThemeData(HANDLE theme) const;
};

// Loaded on first use, freed once at exit. Never at start-up: loading it makes Wine start its
// desktop process, which an unattended run has no use for.
UxThemeLibrary& GlobalUxThemeLibrary();
bool VisualStylesAvailable();

// A theme handle, closed when owned and the library is loaded.
class ThemeDataHolder : public ObjectBase {
public:
    explicit ThemeDataHolder(bool owns) : owns_(owns) {}
    ThemeDataHolder(const ThemeDataHolder&) = delete;
    ThemeDataHolder& operator=(const ThemeDataHolder&) = delete;
    ~ThemeDataHolder() override;

    HANDLE theme = nullptr;

private:
    bool owns_;
};

// Whether a control paints its whole rectangle itself.
bool IsOpaqueControl(HWND window);

// --- Text measuring and fitting --------------------------------------------------------

SIZE TextExtent(HDC dc, const char* text);
SIZE TextExtent(HDC dc, const wchar_t* text);
SIZE TextExtent(HDC dc, const std::string& text);
SIZE TextExtent(HDC dc, const std::wstring& text);
int TextWidth(HDC dc, const std::string& text);
int TextWidth(HDC dc, const std::wstring& text);

// Whether the unit at index begins a double-byte character of the current locale.
bool IsLeadBytePosition(size_t index, const std::string& text);
bool IsLeadBytePosition(size_t index, const std::wstring& text);

// Shortens the part before the last separator so that "<kept>...<separator and tail>" fits
// maxWidth pixels; a text that fits, or that has no usable separator, is returned whole.
std::string FitTextWithEllipsis(HDC dc, int maxWidth, const std::string& text, char separator);
std::wstring FitTextWithEllipsis(HDC dc, int maxWidth, const std::wstring& text, wchar_t separator);
void FitTextWithEllipsis(HDC dc, int maxWidth, const std::string& text, char separator, std::string& result);
void FitTextWithEllipsis(HDC dc, int maxWidth, const std::wstring& text, wchar_t separator, std::wstring& result);
