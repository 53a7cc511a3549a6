#include "installer/ui/layout_manager.h"

RECT AnchoredRect(const RECT& current, int width, int height, const Anchor& anchor)
{
    const LONG oldWidth = current.right - current.left;
    const LONG oldHeight = current.bottom - current.top;
    RECT placed = current;
    if (anchor.left >= 0) {
        placed.left = anchor.left;
        if (anchor.right < 0)
            placed.right = placed.left + oldWidth;
    }
    if (anchor.top >= 0) {
        placed.top = anchor.top;
        if (anchor.bottom < 0)
            placed.bottom = placed.top + oldHeight;
    }
    if (anchor.right >= 0) {
        placed.right = width - anchor.right;
        if (anchor.left < 0)
            placed.left = placed.right - oldWidth;
    }
    if (anchor.bottom >= 0) {
        placed.bottom = height - anchor.bottom;
        if (anchor.top < 0)
            placed.top = placed.bottom - oldHeight;
    }
    return placed;
}

bool LayoutManager::PlaceChild(HWND parent, int width, int height, HWND child, const Anchor& anchor)
{
    RECT current;
    if (!child || !IsWindow(child) || !GetWindowRect(child, &current))
        return false;
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&current), 2);
    const RECT placed = AnchoredRect(current, width, height, anchor);
    MoveWindow(child, placed.left, placed.top, placed.right - placed.left, placed.bottom - placed.top, TRUE);
    if (anchor.redraw >= 0)
        InvalidateRect(child, nullptr, anchor.redraw > 0);
    return true;
}

namespace {

// Places every active anchor's child and forgets the inactive anchors.
template <class Key, class FindChild>
void PlaceAll(std::map<Key, Anchor>& anchors, HWND parent, int width, int height, FindChild findChild)
{
    for (auto it = anchors.begin(); it != anchors.end();) {
        if (!it->second.IsActive()) {
            it = anchors.erase(it);
            continue;
        }
        LayoutManager::PlaceChild(parent, width, height, findChild(it->first), it->second);
        ++it;
    }
}

}  // namespace

LRESULT LayoutManager::WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    // The parent's own handler first: it may change anchors for this very resize.
    const LRESULT result = CallPrevious(window, message, wParam, lParam);
    if (message != WM_SIZE || wParam == SIZE_MINIMIZED)
        return result;
    const int width = LOWORD(lParam);
    const int height = HIWORD(lParam);
    PlaceAll(windowAnchors, window, width, height, [](HWND child) { return child; });
    PlaceAll(controlAnchors, window, width, height, [window](int id) { return GetDlgItem(window, id); });
    return result;
}
