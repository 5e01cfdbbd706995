// Starting and waiting for the three kinds of child process (the product
// installer, wusa.exe, the elevated copy of this program). They all follow the
// same rules: ShellExecuteExW with NOCLOSEPROCESS | FLAG_NO_UI, a start counts
// only when a process handle came back, the wait has no time limit and the
// exit code is preset to 1 in case it can't be read.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "support/win_handles.h"

namespace vantrel {

struct LaunchRequest {
    HWND owner = nullptr;
    const wchar_t* verb = L"open";
    std::wstring file;
    std::wstring parameters;
    const wchar_t* directory = nullptr;  // null: inherit
    int show = SW_SHOWNORMAL;
};

// Throws Failure(failureMessage + error-code suffix) when no process handle
// comes back.
KernelHandle StartChildProcess(const LaunchRequest& request, const wchar_t* failureMessage);

// Waits without time limit, reads the exit code (1 if it can't be read) and
// closes the handle.
std::uint32_t WaitForExitCode(KernelHandle process) noexcept;

}  // namespace vantrel
