// Temporary: replaced by the main window.
#include "app/main_window.h"
namespace vantrel {
const wchar_t* BannerText(std::int32_t, bool) { return L""; }
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(window, message, wParam, lParam);
}
}  // namespace vantrel
