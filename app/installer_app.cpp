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

void InstallerApp::SetStatus(const std::wstring& text, int percent) {
    {
        std::lock_guard<std::mutex> lock(statusMutex);
        if (&text != &statusText) statusText = text;
    }
    if (window != nullptr) {
        PostMessageW(window, kStatusMessage, static_cast<WPARAM>(percent), 0);
    }
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
