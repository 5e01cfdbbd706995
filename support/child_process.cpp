#include "support/child_process.h"

#include <shellapi.h>

#include "support/failure.h"
#include "support/system_api.h"

namespace vantrel {

KernelHandle StartChildProcess(const LaunchRequest& request, const wchar_t* failureMessage) {
    // Looked at last, right before the start: the steps before it (a digest,
    // a signature check) don't watch the flag themselves.
    if (request.cancelRequested != nullptr && request.cancelRequested->load()) {
        throw Failure{kInstallCancelledText};
    }
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.hwnd = request.owner;
    info.lpVerb = request.verb;
    info.lpFile = request.file.c_str();
    info.lpParameters = request.parameters.c_str();
    info.lpDirectory = request.directory;
    info.nShow = request.show;
    const BOOL started = Shell32().ShellExecuteExW(&info);
    CheckSystemCall(started != FALSE && info.hProcess != nullptr, failureMessage);
    return KernelHandle(info.hProcess);
}

std::uint32_t WaitForExitCode(KernelHandle process) noexcept {
    DWORD exitCode = 1;
    WaitForSingleObject(process.Get(), INFINITE);
    GetExitCodeProcess(process.Get(), &exitCode);
    process.Reset();
    return exitCode;
}

}  // namespace vantrel
