// What one installation run's steps may use of the program that runs them:
// where to report status, the flag that asks them to stop, the flag that says
// the product installer is running, and the window that owns their questions
// and child processes. The steps know nothing else of the window; a headless
// run gives them no owner and a status sink that only stores.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>

namespace vantrel {

struct RunContext {
    // Any thread; text and percent (0 to 100). May be empty.
    std::function<void(const std::wstring& text, int percent)> status;
    std::atomic<bool>* cancelRequested = nullptr;
    std::atomic<bool>* installerRunning = nullptr;
    HWND owner = nullptr;  // null in the headless modes

    void SetStatus(const std::wstring& text, int percent) const {
        if (status) status(text, percent);
    }
    bool CancelRequested() const { return cancelRequested != nullptr && cancelRequested->load(); }
};

}  // namespace vantrel
