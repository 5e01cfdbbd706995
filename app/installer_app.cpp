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
    if (bodyFont != nullptr) DeleteObject(bodyFont);
    if (titleFont != nullptr) DeleteObject(titleFont);
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

std::wstring InstallerApp::StatusText() {
    std::lock_guard<std::mutex> lock(statusMutex);
    return statusText;
}

}  // namespace vantrel
