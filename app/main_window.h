// The installer's only window: heading, status line, progress bar, buttons.
#pragma once

#include <windows.h>

#include "prereq/platform_gate.h"

namespace vantrel {

constexpr const wchar_t* kWindowClassName = L"VantrelOnlineSetupWindow";
constexpr const wchar_t* kWindowTitle = L"岚禾舟安装程序";  // also the start-up error box's caption
constexpr const wchar_t* kShortCaption = L"岚禾舟";  // every other message box's caption
constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU;

// The first text of the status line for a classification.
const wchar_t* BannerText(SystemMode systemMode, bool needsRuntime);

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace vantrel
