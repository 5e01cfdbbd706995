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

// Whether two status lines are of one kind: the same characters once the
// digits are skipped, as the progress lines of one download are. Anything
// else (another phase, a failure, the final text) is a new kind.
bool SameStatusKind(const std::wstring& a, const std::wstring& b);

class InstallerApp {
public:
    InstallerApp() = default;
    ~InstallerApp();
    InstallerApp(const InstallerApp&) = delete;
    InstallerApp& operator=(const InstallerApp&) = delete;

    // Any thread. Stores the text and the percent under statusMutex and, when
    // a window exists, posts kStatusMessage with the percent after the lock
    // is released: always for a new kind of text (see SameStatusKind), and
    // for another line of the same kind only when the window has no status
    // message to look at yet (statusQueued). The window's timer picks up the
    // lines in between (app/main_window.h).
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
    // Guarded by statusMutex with statusText: the latest percent, and a count
    // of SetStatus calls that tells the window whether it has seen the latest.
    int statusPercent = 0;
    std::uint32_t statusVersion = 0;
    // Set by the SetStatus that posts, cleared by the window once it has
    // caught up and stopped its timer: while set, progress of the same kind
    // needs no message of its own.
    std::atomic<bool> statusQueued{false};
    bool busy = false;
    // What the status line and progress bar show (UI thread only): the window
    // paints updates of the same kind at most every kStatusPaintIntervalMs;
    // `version` is the statusVersion painted (or dropped) last.
    struct PaintedStatus {
        std::wstring text;
        ULONGLONG at = 0;
        std::uint32_t version = 0;
        bool timerRunning = false;
    } painted;
    bool needsRuntime = false;
    std::int32_t dpi = 96;
};

}  // namespace vantrel
