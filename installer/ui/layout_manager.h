// Keeps the children of a resizable window in place: each child's edges are either free or
// a fixed distance in pixels from the matching edge of the parent's client area.
#pragma once

#include "installer/ui/window_subclass.h"

#include <windows.h>

#include <map>

// Every field -1 ("not set") until given; any negative value means not set.
struct Anchor {
    int left = -1;    // parent's client left edge to the child's left edge
    int top = -1;     // parent's client top edge to the child's top edge
    int right = -1;   // child's right edge to the parent's client right edge
    int bottom = -1;  // child's bottom edge to the parent's client bottom edge
    int redraw = -1;  // after moving: 0 invalidate, > 0 invalidate and erase

    // An anchor with no edge set takes no part in the layout.
    bool IsActive() const { return left >= 0 || top >= 0 || right >= 0 || bottom >= 0; }
};

// A child's new rectangle, in the parent's client coordinates, from its current one and
// the parent's new client size.
RECT AnchoredRect(const RECT& current, int width, int height, const Anchor& anchor);

class LayoutManager : public WindowSubclass {
public:
    LRESULT WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
    // Moves one child; false (and nothing changes) when it is not a window.
    static bool PlaceChild(HWND parent, int width, int height, HWND child, const Anchor& anchor);

    std::map<HWND, Anchor> windowAnchors;  // children named by handle
    std::map<int, Anchor> controlAnchors;  // children named by their id in the parent
};
