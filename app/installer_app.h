// The controller shared by the entry point, the window and the worker thread.
// It owns no behaviour beyond the status channel and its own destruction. The
// installation steps below app/ never see it: they get a RunContext made from
// it (the status channel, the two flags, the owner window).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "prereq/platform_gate.h"
#include "support/run_context.h"
#include "support/win_handles.h"

namespace vantrel {

// Posted (never sent) to the main window; lParam is always 0.
constexpr UINT kStatusMessage = WM_APP + 1;  // wParam: percent 0..100
constexpr UINT kRunEndedMessage = WM_APP + 2;  // wParam: 1 success, 0 failure

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

    // What a run's steps get: SetStatus, the two flags and the window (null
    // before it exists and in the headless modes). Valid while this lives.
    RunContext Context();

    HWND window = nullptr;
    HWND statusLabel = nullptr;
    HWND progressBar = nullptr;
    HWND installButton = nullptr;
    HWND cancelButton = nullptr;
    // Destroyed after the destructor's body has joined the worker.
    FontHandle bodyFont;
    FontHandle titleFont;
    SystemMode systemMode = SystemMode::NotClassified;
    std::atomic<bool> cancelRequested{false};
    std::atomic<bool> installerRunning{false};
    std::thread worker;
    std::mutex statusMutex;
    std::wstring statusText;
    bool busy = false;
    // What the status line and progress bar show (UI thread only): the window
    // paints updates of the same kind at most every kStatusPaintIntervalMs and
    // keeps the percent of one held back for its timer.
    struct PaintedStatus {
        std::wstring text;
        ULONGLONG at = 0;
        WPARAM heldPercent = 0;
        bool held = false;
        bool timerRunning = false;
    } painted;
    bool needsRuntime = false;
    std::int32_t dpi = 96;
};

}  // namespace vantrel
