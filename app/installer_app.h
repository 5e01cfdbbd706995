// The controller shared by the entry point, the window, the worker thread and
// every installation step. It owns no behaviour beyond the status channel and
// its own destruction; the steps are free functions that take it by reference.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace vantrel {

// Posted (never sent) to the main window; lParam is always 0.
constexpr UINT kStatusMessage = WM_APP + 1;  // wParam: percent 0..100
constexpr UINT kRunEndedMessage = WM_APP + 2;  // wParam: 1 success, 0 failure

enum SystemMode : std::int32_t {
    kNotClassified = 0,
    kWindows7 = 1,
    kWindows10 = 2,
};

class InstallerApp {
public:
    InstallerApp() = default;
    ~InstallerApp();
    InstallerApp(const InstallerApp&) = delete;
    InstallerApp& operator=(const InstallerApp&) = delete;

    // Any thread. Stores the text under statusMutex and, when a window exists,
    // posts kStatusMessage with the percent after the lock is released.
    void SetStatus(const std::wstring& text, int percent);

    // A copy of the latest status line, taken under the lock.
    std::wstring StatusText();

    HWND window = nullptr;
    HWND statusLabel = nullptr;
    HWND progressBar = nullptr;
    HWND installButton = nullptr;
    HWND cancelButton = nullptr;
    HFONT bodyFont = nullptr;
    HFONT titleFont = nullptr;
    std::int32_t systemMode = kNotClassified;
    std::atomic<bool> cancelRequested{false};
    std::atomic<bool> installerRunning{false};
    std::thread worker;
    std::mutex statusMutex;
    std::wstring statusText;
    bool busy = false;
    bool needsRuntime = false;
    std::int32_t dpi = 96;
};

}  // namespace vantrel
