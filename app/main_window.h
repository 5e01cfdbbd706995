// The installer's only window: heading, status line, progress bar, buttons.
#pragma once

#include <windows.h>

#include <cstdint>

namespace vantrel {

constexpr const wchar_t* kWindowClassName = L"VantrelOnlineSetupWindow";
constexpr const wchar_t* kWindowTitle = L"岚禾舟安装程序";
constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU;

// The first text of the status line for a classification.
const wchar_t* BannerText(std::int32_t systemMode, bool needsRuntime);

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace vantrel
