#include "installer/ui/drawing.h"

#include "installer/prerequisites.h"

#include <cctype>
#include <cmath>

// --- GDI holders -----------------------------------------------------------------------

PaintDc::PaintDc(HWND window) : window_(window), own_(), paint_(&own_), dc_(BeginPaint(window, &own_)) {}

PaintDc::PaintDc(HWND window, PAINTSTRUCT& outside)
    : window_(window), own_(), paint_(&outside), dc_(BeginPaint(window, &outside))
{
}

PaintDc::~PaintDc()
{
    if (dc_)
        EndPaint(window_, paint_);
}

GdiObject::~GdiObject()
{
    if (handle_)
        DeleteObject(handle_);
}

SelectObjectGuard::~SelectObjectGuard()
{
    if (previous_ && previous_ != HGDI_ERROR)
        SelectObject(dc_, previous_);
}

// --- Fonts and system colours ----------------------------------------------------------

HFONT GetWindowFont(HWND window)
{
    HFONT font = nullptr;
    if (window) {
        font = reinterpret_cast<HFONT>(SendMessageA(window, WM_GETFONT, 0, 0));
        const HWND parent = GetParent(window);
        if (!font && parent)
            font = reinterpret_cast<HFONT>(SendMessageA(parent, WM_GETFONT, 0, 0));
    }
    return font ? font : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

void GetWindowLogFont(LOGFONTA& font, HWND window) { GetObjectA(GetWindowFont(window), sizeof font, &font); }

COLORREF GetWindowTextColour() { return GetSysColor(COLOR_WINDOWTEXT); }
COLORREF GetWindowColour() { return GetSysColor(COLOR_WINDOW); }
COLORREF GetButtonFaceColour() { return GetSysColor(COLOR_BTNFACE); }
COLORREF GetMenuTextColour() { return GetSysColor(COLOR_MENUTEXT); }

namespace {

// The window's window DC, released at scope exit.
class WindowDc {
public:
    explicit WindowDc(HWND window) : window_(window), dc_(GetWindowDC(window)) {}
    WindowDc(const WindowDc&) = delete;
    WindowDc& operator=(const WindowDc&) = delete;
    ~WindowDc()
    {
        if (dc_)
            ReleaseDC(window_, dc_);
    }
    HDC dc() const { return dc_; }

private:
    HWND window_;
    HDC dc_;
};

const float OneSixth = 0.16666667f;
const float OneThird = 1.0f / 3.0f;
const float TwoThirds = 2.0f / 3.0f;

COLORREF FromHls(const ColourTriple& hls) { return hls.HlsToRgb().ToColorRef(); }
ColourTriple Hls(COLORREF colour) { return ColourTriple::FromColorRef(colour).RgbToHls(); }

}  // namespace

int DisplayBitDepth(HWND window)
{
    const WindowDc dc(window);
    return dc.dc() ? GetDeviceCaps(dc.dc(), BITSPIXEL) : 8;
}

COLORREF NearestColour(COLORREF colour, HWND window)
{
    const WindowDc dc(window);
    return dc.dc() ? GetNearestColor(dc.dc(), colour) : colour;
}

// --- Colour model ----------------------------------------------------------------------

ColourTriple ColourTriple::FromColorRef(COLORREF colour)
{
    return {GetRValue(colour) / 255.0f, GetGValue(colour) / 255.0f, GetBValue(colour) / 255.0f};
}

COLORREF ColourTriple::ToColorRef() const
{
    // 0.49 rather than 0.5: a component of exactly one half rounds down.
    auto byte = [](float v) { return static_cast<BYTE>(static_cast<int>(v * 255.0f + 0.49f)); };
    return RGB(byte(a), byte(b), byte(c));
}

ColourTriple ColourTriple::RgbToHls() const
{
    const float r = a, g = b, bl = c;
    const float max = std::fmax(r, std::fmax(g, bl));
    const float min = std::fmin(r, std::fmin(g, bl));
    ColourTriple hls;
    hls.b = (max + min) * 0.5f;
    const float range = max - min;
    if (range > 0 && max + min > 0) {
        hls.c = hls.b > 0.5f ? range / (2.0f - (max + min)) : range / (max + min);
        const float dr = (max - r) / range, dg = (max - g) / range, db = (max - bl) / range;
        // Divided rather than multiplied by a sixth: 6 * 0.16666667f held in the x87 unit's
        // wider registers is just above 1, which would turn pure red's hue 1 into 3e-08.
        if (max == r)
            hls.a = (db + 6.0f - dg) / 6.0f;
        else if (max == g)
            hls.a = (dr + 2.0f - db) / 6.0f;
        else
            hls.a = (dg + 4.0f - dr) / 6.0f;
        if (hls.a > 1.0f)
            hls.a -= 1.0f;
    }
    return hls;
}

float HueToRgb(float p, float q, float t)
{
    if (t > 1.0f)
        t -= 1.0f;
    else if (t < 0.0f)
        t += 1.0f;
    if (t < OneSixth)
        return p + (q - p) * 6.0f * t;
    if (t < 0.5f)
        return q;
    if (t < TwoThirds)
        return p + (q - p) * (TwoThirds - t) * 6.0f;
    return p;
}

ColourTriple ColourTriple::HlsToRgb() const
{
    const float hue = a, lightness = b, saturation = c;
    if (saturation <= 0)
        return {lightness, lightness, lightness};
    const float q = lightness > 0.5f ? lightness + saturation - lightness * saturation
                                     : lightness + lightness * saturation;
    const float p = 2.0f * lightness - q;
    return {HueToRgb(p, q, hue + OneThird), HueToRgb(p, q, hue), HueToRgb(p, q, hue - OneThird)};
}

void ColourTriple::AdjustLightness(float x) { b += x > 0 ? x * (1.0f - b) : x * b; }

void ColourTriple::AdjustSaturation(float x) { c += x > 0 ? x * (1.0f - c) : x * c; }

ColourTriple BlendColours(const ColourTriple& a, const ColourTriple& b, float x)
{
    return {x * a.a + (1 - x) * b.a, x * a.b + (1 - x) * b.b, x * a.c + (1 - x) * b.c};
}

ColourTriple UnblendColour(const ColourTriple& c, const ColourTriple& b, float x)
{
    if (!(x > 0))
        return {1, 1, 1};
    return {(c.a - (1 - x) * b.a) / x, (c.b - (1 - x) * b.b) / x, (c.c - (1 - x) * b.c) / x};
}

COLORREF MutedWindowColour()
{
    ColourTriple hls = BlendColours(ColourTriple::FromColorRef(GetWindowColour()),
                                    ColourTriple::FromColorRef(GetButtonFaceColour()), 0.6f)
                           .RgbToHls();
    hls.Desaturate(0.66f);
    return FromHls(hls);
}

COLORREF ContrastingMenuTextColour()
{
    ColourTriple hls = Hls(GetMenuTextColour());
    if (hls.IsLight())
        hls.Darken(0.5f);
    else if (hls.IsDark())
        hls.Lighten(0.5f);
    return FromHls(hls);
}

COLORREF ShadedButtonFaceColour()
{
    ColourTriple hls = Hls(GetButtonFaceColour());
    hls.Darken(0.15f);
    hls.c = hls.c * 0.075f + 0.075f;
    return FromHls(hls);
}

COLORREF WindowHalfBlend(COLORREF colour)
{
    return BlendColours(ColourTriple::FromColorRef(GetWindowColour()), ColourTriple::FromColorRef(colour), 0.5f)
        .ToColorRef();
}

COLORREF WindowBlend(COLORREF colour)
{
    return BlendColours(ColourTriple::FromColorRef(GetWindowColour()), ColourTriple::FromColorRef(colour), 0.7f)
        .ToColorRef();
}

COLORREF PaleWindowBlend(COLORREF colour)
{
    ColourTriple hls = Hls(WindowBlend(colour));
    hls.Lighten(0.5f);
    hls.Desaturate(0.5f);
    return FromHls(hls);
}

COLORREF LighterColour(COLORREF colour)
{
    ColourTriple hls = Hls(colour);
    hls.Lighten(0.16f);
    return FromHls(hls);
}

COLORREF DarkerColour(COLORREF colour)
{
    ColourTriple hls = Hls(colour);
    hls.Darken(0.2f);
    return FromHls(hls);
}

COLORREF MuchLighterColour(COLORREF colour)
{
    ColourTriple hls = Hls(colour);
    hls.Lighten(0.85f);
    return FromHls(hls);
}

COLORREF BluishColour(COLORREF colour)
{
    ColourTriple rgb = ColourTriple::FromColorRef(colour);
    rgb.a *= 0.933f;
    rgb.b *= 0.933f;
    return rgb.ToColorRef();
}

COLORREF ReddishColour(COLORREF colour)
{
    ColourTriple rgb = ColourTriple::FromColorRef(colour);
    rgb.c *= 0.933f;
    rgb.b *= 0.978f;
    return rgb.ToColorRef();
}

COLORREF UnchangedColour(COLORREF colour) { return colour; }

COLORREF BurntOrangeColour() { return RGB(190, 90, 0); }
COLORREF GreenColour() { return RGB(0, 160, 0); }
COLORREF AzureColour() { return RGB(0, 120, 210); }
COLORREF NearBlackColour() { return RGB(30, 15, 30); }
COLORREF DeepBlueColour() { return RGB(30, 15, 200); }
COLORREF CrimsonColour() { return RGB(200, 15, 30); }

// --- Visual styles ---------------------------------------------------------------------

UxThemeLibrary::UxThemeLibrary() : DllLoader(true, AnsiString("Uxtheme.dll"), true) {}

bool UxThemeLibrary::IsUsable() const { return IsLoaded() && IsAtLeast(GlobalOsVersion.Get(), WindowsXp); }

BOOL UxThemeLibrary::IsAppThemed() const
{
    typedef BOOL(WINAPI * Function)();
    return reinterpret_cast<Function>(reinterpret_cast<void*>(DllLoader::GetProcAddress(module, "IsAppThemed")))();
}

HRESULT UxThemeLibrary::CloseThemeData(HANDLE theme) const
{
    typedef HRESULT(WINAPI * Function)(HANDLE);
    return reinterpret_cast<Function>(reinterpret_cast<void*>(DllLoader::GetProcAddress(module, "CloseThemeData")))(
        theme);
}

UxThemeLibrary& GlobalUxThemeLibrary()
{
    static UxThemeLibrary library;
    return library;
}

bool VisualStylesAvailable() { return GlobalUxThemeLibrary().IsUsable(); }

ThemeDataHolder::~ThemeDataHolder()
{
    try {
        if (owns_ && theme && GlobalUxThemeLibrary().IsLoaded())
            GlobalUxThemeLibrary().CloseThemeData(theme);
    } catch (...) {
    }
}

bool IsOpaqueControl(HWND window)
{
    static ThemeDataHolder themeData(false);
    (void)themeData;
    const bool themed = VisualStylesAvailable() && GlobalUxThemeLibrary().IsAppThemed() != 0;
    char className[261];
    if (!GetClassNameA(window, className, 260))
        return false;
    const LONG_PTR style = GetWindowLongPtrA(window, GWL_STYLE);
    if (GetWindowLongPtrA(window, GWL_EXSTYLE) & WS_EX_TRANSPARENT)
        return false;
    if (lstrcmpiA(className, "ToolbarWindow32") == 0)
        return (style & (0x8000 | 0x200 | 0x800)) == 0;
    if (lstrcmpiA(className, "Button") == 0) {
        switch (style & 0xF) {
        case 7:
            return false;
        case 0:
        case 1:
        case 4:
        case 5:
        case 6:
        case 9:
        case 10:
            return !themed;
        default:
            return true;
        }
    }
    if (lstrcmpiA(className, "Static") == 0) {
        switch (style & 0x1F) {
        case SS_ICON:
        case SS_ENHMETAFILE:
            return (style & SS_CENTERIMAGE) == 0;
        case 7:
        case 8:
        case 9:
        case SS_ETCHEDFRAME:
            return false;
        default:
            return true;
        }
    }
    if (lstrcmpiA(className, "SysTabControl32") == 0)
        return !themed;
    return true;
}

// --- Text measuring and fitting --------------------------------------------------------

SIZE TextExtent(HDC dc, const std::string& text)
{
    SIZE size = {0, 0};
    if (!GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size))
        size = {0, 0};
    return size;
}

SIZE TextExtent(HDC dc, const std::wstring& text)
{
    SIZE size = {0, 0};
    if (!GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size))
        size = {0, 0};
    return size;
}

SIZE TextExtent(HDC dc, const char* text) { return TextExtent(dc, std::string(text ? text : "")); }
SIZE TextExtent(HDC dc, const wchar_t* text) { return TextExtent(dc, std::wstring(text ? text : L"")); }
int TextWidth(HDC dc, const std::string& text) { return TextExtent(dc, text).cx; }
int TextWidth(HDC dc, const std::wstring& text) { return TextExtent(dc, text).cx; }

namespace {

bool IsLeadByteUnit(char unit) { return IsDBCSLeadByte(static_cast<BYTE>(unit)) != 0; }
bool IsLeadByteUnit(wchar_t unit) { return IsDBCSLeadByte(static_cast<BYTE>(unit & 0xFF)) != 0; }

// A lead byte begins a character only where the unit before it did not.
template <class S>
bool LeadBytePosition(size_t index, const S& text)
{
    if (index >= text.size())
        return false;
    bool lead = false;
    for (size_t i = 0; i <= index; ++i)
        lead = !lead && IsLeadByteUnit(text[i]);
    return lead;
}

template <class S>
S FitText(HDC dc, int maxWidth, const S& text, typename S::value_type separator)
{
    if (TextWidth(dc, text) <= maxWidth)
        return text;
    size_t at = text.rfind(separator);
    while (at != S::npos && at > 0 && LeadBytePosition(at - 1, text))
        at = at - 1 > 0 ? text.rfind(separator, at - 2) : S::npos;
    if (at == S::npos || at == 0)
        return text;
    const S head = text.substr(0, at);
    S suffix;
    for (const char c : std::string("..."))
        suffix.push_back(static_cast<typename S::value_type>(c));
    suffix += text.substr(at);
    S result = suffix;
    S kept;
    for (size_t i = 0; i < head.size(); ++i) {
        kept.push_back(head[i]);
        if (LeadBytePosition(i, head))
            continue;  // half a character: measure once it is whole
        const S candidate = kept + suffix;
        if (TextWidth(dc, candidate) >= maxWidth)
            return result;
        result = candidate;
    }
    return text;
}

}  // namespace

bool IsLeadBytePosition(size_t index, const std::string& text) { return LeadBytePosition(index, text); }
bool IsLeadBytePosition(size_t index, const std::wstring& text) { return LeadBytePosition(index, text); }

std::string FitTextWithEllipsis(HDC dc, int maxWidth, const std::string& text, char separator)
{
    return FitText(dc, maxWidth, text, separator);
}

std::wstring FitTextWithEllipsis(HDC dc, int maxWidth, const std::wstring& text, wchar_t separator)
{
    return FitText(dc, maxWidth, text, separator);
}

void FitTextWithEllipsis(HDC dc, int maxWidth, const std::string& text, char separator, std::string& result)
{
    result = FitText(dc, maxWidth, text, separator);
}

void FitTextWithEllipsis(HDC dc, int maxWidth, const std::wstring& text, wchar_t separator, std::wstring& result)
{
    result = FitText(dc, maxWidth, text, separator);
}
