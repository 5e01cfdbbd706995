// The window's geometry as plain arithmetic, so it can be checked for any DPI
// and any work area without creating a window. Every length is a 96-DPI unit
// converted separately with MulDiv(length, dpi, 96).
#pragma once

#include <windows.h>

#include <cstdint>

namespace vantrel {

// The client area at 96 DPI; the window is created at this size and resized
// to the scaled one when it is laid out.
constexpr int kClientWidth = 460;
constexpr int kClientHeight = 264;

struct ControlRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

struct WindowLayout {
    int clientWidth = 0;
    int clientHeight = 0;
    int headingX = 0;
    int headingY = 0;
    ControlRect status;
    ControlRect progress;
    ControlRect install;
    ControlRect cancel;
    // Character heights in pixels; CreateFontW takes them negated.
    int bodyFontHeight = 0;
    int titleFontHeight = 0;
};

int ScaleForDpi(int length, std::int32_t dpi);

WindowLayout ComputeLayout(std::int32_t dpi);

// Position and size of the whole window. `frame` is the client rectangle
// enlarged by AdjustWindowRect; the origin is (workArea.right - width) / 2,
// (workArea.bottom - height) / 2 with truncating division: the work area's
// left and top are deliberately not added.
struct WindowPlacement {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

WindowPlacement PlaceWindow(const RECT& frame, const RECT& workArea);

// A DPI read from a device context, or 96 when the read failed (0 or less):
// a zero DPI would collapse every control to nothing.
std::int32_t UsableDpi(int logPixels);

}  // namespace vantrel
