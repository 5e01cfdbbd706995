#include "app/window_layout.h"

namespace vantrel {
namespace {

ControlRect ScaleRect(int x, int y, int width, int height, std::int32_t dpi) {
    return ControlRect{ScaleForDpi(x, dpi), ScaleForDpi(y, dpi), ScaleForDpi(width, dpi),
                       ScaleForDpi(height, dpi)};
}

}  // namespace

int ScaleForDpi(int length, std::int32_t dpi) { return MulDiv(length, dpi, 96); }

WindowLayout ComputeLayout(std::int32_t dpi) {
    WindowLayout layout;
    layout.clientWidth = ScaleForDpi(kClientWidth, dpi);
    layout.clientHeight = ScaleForDpi(kClientHeight, dpi);
    layout.headingX = ScaleForDpi(28, dpi);
    layout.headingY = ScaleForDpi(30, dpi);
    layout.status = ScaleRect(28, 96, 404, 60, dpi);
    layout.progress = ScaleRect(28, 164, 404, 8, dpi);
    layout.install = ScaleRect(264, 202, 168, 36, dpi);
    layout.cancel = ScaleRect(28, 202, 80, 36, dpi);
    layout.bodyFontHeight = ScaleForDpi(14, dpi);
    layout.titleFontHeight = ScaleForDpi(24, dpi);
    return layout;
}

WindowPlacement PlaceWindow(const RECT& frame, const RECT& workArea) {
    WindowPlacement placement;
    placement.width = frame.right - frame.left;
    placement.height = frame.bottom - frame.top;
    // Integer division truncates toward zero, also for a window larger than
    // the work area.
    placement.x = (workArea.right - placement.width) / 2;
    placement.y = (workArea.bottom - placement.height) / 2;
    return placement;
}

std::int32_t UsableDpi(int logPixels) { return logPixels > 0 ? logPixels : 96; }

}  // namespace vantrel
