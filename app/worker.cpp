#include "app/worker.h"

#include <windows.h>

#include <functional>
#include <thread>

#include "app/installer_app.h"
#include "support/failure.h"
#include "workflow/install_product.h"
#include "workflow/runtime_update.h"

namespace vantrel {
namespace {

constexpr const wchar_t* kUnexpectedFailure = L"安装准备失败，请重试。";

// The status line is the only place a worker failure is shown. Storing it can
// itself fail (no memory, a lock error); the end message must go out anyway,
// so nothing thrown here may leave the thread.
void ReportFailure(InstallerApp& app, const std::wstring* message) noexcept {
    try {
        app.SetStatus(message != nullptr ? *message : std::wstring(kUnexpectedFailure), 0);
        return;
    } catch (...) {
    }
    try {
        app.SetStatus(kUnexpectedFailure, 0);
    } catch (...) {
    }
}

// The window stays busy, and so refuses to close, until this message
// arrives. A post only fails while the thread's queue is full or the window
// is gone, so keep trying until it is delivered or there is no window left.
void PostRunEnded(HWND window, WPARAM result) noexcept {
    while (!PostMessageW(window, kRunEndedMessage, result, 0)) {
        if (!IsWindow(window)) return;
        Sleep(50);
    }
}

}  // namespace

void StartWorker(InstallerApp& app) {
    if (app.worker.joinable()) app.worker.join();
    app.cancelRequested.exchange(false);
    app.busy = true;
    // A disabled window can't keep the focus; without a focus window Esc
    // would no longer reach the dialog keys, so hand it to the window.
    if (GetFocus() == app.installButton) SetFocus(app.window);
    EnableWindow(app.installButton, FALSE);
    try {
        app.worker = std::thread(RunWorker, std::ref(app));
    } catch (...) {
        // No run exists: back to idle so the window can start again or close.
        app.busy = false;
        EnableWindow(app.installButton, TRUE);
        throw;
    }
}

void RunWorker(InstallerApp& app) noexcept {
    WPARAM result = 0;
    try {
        const RunContext run = app.Context();
        UpdateRuntime(run, app.needsRuntime);
        InstallProduct(run, app.systemMode);
        result = 1;
    } catch (const Failure& failure) {
        ReportFailure(app, &failure.message);
    } catch (...) {
        ReportFailure(app, nullptr);
    }
    app.installerRunning.exchange(false);
    const HWND window = app.window;
    PostRunEnded(window, result);
}

}  // namespace vantrel
