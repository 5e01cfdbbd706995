// Starting and waiting for the three kinds of child process (the product
// installer, wusa.exe, the elevated copy of this program). They all follow the
// same rules: ShellExecuteExW with NOCLOSEPROCESS | FLAG_NO_UI, a start counts
// only when a process handle came back, the wait has no time limit and the
// exit code is preset to 1 in case it can't be read.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "support/win_handles.h"

namespace vantrel {

// The status a run ends with when the user asked it to stop before a child
// process was started.
constexpr const wchar_t* kInstallCancelledText = L"已取消安装。";

struct LaunchRequest {
    HWND owner = nullptr;
    // The run's cancel flag, for launches that must not happen once the user
    // has asked to stop (an elevation prompt right after "取消" would be a
    // system change the user just declined). Null: not cancellable.
    const std::atomic<bool>* cancelRequested = nullptr;
    const wchar_t* verb = L"open";
    std::wstring file;
    std::wstring parameters;
    const wchar_t* directory = nullptr;  // null: inherit
    int show = SW_SHOWNORMAL;
};

// Throws Failure(kInstallCancelledText) without starting anything when the
// request's cancel flag is set, and Failure(failureMessage + error-code
// suffix) when no process handle comes back.
KernelHandle StartChildProcess(const LaunchRequest& request, const wchar_t* failureMessage);

// Waits without time limit, reads the exit code (1 if it can't be read) and
// closes the handle.
std::uint32_t WaitForExitCode(KernelHandle process) noexcept;

}  // namespace vantrel
