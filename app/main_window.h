// The installer's only window: heading, status line, progress bar, buttons.
#pragma once

#include <windows.h>

#include <string>

#include "prereq/platform_gate.h"

namespace vantrel {

constexpr const wchar_t* kWindowClassName = L"VantrelOnlineSetupWindow";
constexpr const wchar_t* kWindowTitle = L"岚禾舟安装程序";  // also the start-up error box's caption
constexpr const wchar_t* kShortCaption = L"岚禾舟";  // every other message box's caption
constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU;

// The first text of the status line for a classification.
const wchar_t* BannerText(SystemMode systemMode, bool needsRuntime);

// The worker reports every 64 KiB chunk, over a thousand times a second on a
// fast line. Repainting the status line and the progress bar for each one
// kept the UI thread so busy that a windowed download ran at half the speed
// of a headless one on two cores. So within one kind of text the window
// repaints at most once per interval (about 30 times a second) and leaves
// the latest update to a timer; a new kind of text is painted at once. The
// timer runs for one interval after every status message and as long as it
// finds something new; while it runs the worker posts no progress lines of
// the same kind (InstallerApp::SetStatus), and once it stops the next line
// posts again.
constexpr ULONGLONG kStatusPaintIntervalMs = 33;
constexpr UINT_PTR kStatusPaintTimer = 1;

enum class StatusPaint { Now, Later };

// Whether `next`, arriving at `now` (milliseconds), is painted at once or
// left to the timer, given the text painted last and when. Texts of the same
// kind differ in their digits only, as the progress lines of one download
// do; anything else (another phase, a failure, the final text) is a new kind.
StatusPaint DecideStatusPaint(const std::wstring& shown, ULONGLONG shownAt,
                              const std::wstring& next, ULONGLONG now);

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// What the window procedure answers for a message whose handling failed
// (after the warning box): 0 for WM_CLOSE, so the window stays; otherwise
// DefWindowProcW's answer.
LRESULT AfterFailedMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace vantrel
