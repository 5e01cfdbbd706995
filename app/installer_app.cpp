#include "app/installer_app.h"

#include <cstdlib>

namespace vantrel {

InstallerApp::~InstallerApp() {
    cancelRequested.exchange(true);
    if (worker.joinable()) {
        // A join can only fail when called from the worker itself or when the
        // wait fails; neither leaves a sane way to go on.
        try {
            worker.join();
        } catch (...) {
            std::abort();
        }
    }
}

bool SameStatusKind(const std::wstring& a, const std::wstring& b) {
    const auto isDigit = [](wchar_t c) { return c >= L'0' && c <= L'9'; };
    auto x = a.begin();
    auto y = b.begin();
    for (;;) {
        while (x != a.end() && isDigit(*x)) ++x;
        while (y != b.end() && isDigit(*y)) ++y;
        if (x == a.end() || y == b.end()) break;
        if (*x != *y) return false;
        ++x;
        ++y;
    }
    return x == a.end() && y == b.end();
}

void InstallerApp::SetStatus(const std::wstring& text, int percent) {
    bool newKind = false;
    {
        std::lock_guard<std::mutex> lock(statusMutex);
        if (&text != &statusText) {
            newKind = !SameStatusKind(statusText, text);
            statusText = text;
        }
        statusPercent = percent;
        ++statusVersion;
    }
    if (window == nullptr) return;
    // A download reports every 64 KiB chunk, over a thousand times a second.
    // Under Wine each posted message is a round trip through the wineserver
    // for this thread and another for the UI thread, which wakes for it: on
    // two cores that cost a windowed download several per cent of its speed
    // for lines the window would not paint anyway. A waiting message, or the
    // window's running timer, already guarantees that the latest line is
    // read within one repaint interval; a new kind of text is posted at once
    // so that it is painted at once.
    const bool waiting = statusQueued.exchange(true);
    if (!waiting || newKind) PostMessageW(window, kStatusMessage, static_cast<WPARAM>(percent), 0);
}

RunContext InstallerApp::Context() {
    RunContext run;
    run.status = [this](const std::wstring& text, int percent) { SetStatus(text, percent); };
    run.cancelRequested = &cancelRequested;
    run.installerRunning = &installerRunning;
    run.owner = window;
    return run;
}

std::wstring InstallerApp::StatusText() {
    std::lock_guard<std::mutex> lock(statusMutex);
    return statusText;
}

}  // namespace vantrel
