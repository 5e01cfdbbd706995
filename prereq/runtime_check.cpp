#include "prereq/runtime_check.h"

#include <windows.h>

#include <string>

#include "support/failure.h"
#include "support/native_system.h"

namespace vantrel {

bool IsRuntimePresent() {
    wchar_t directory[MAX_PATH] = {};
    const UINT length = GetWindowsDirectoryW(directory, MAX_PATH);
    // 0 is a failure; MAX_PATH or more is the size the call would have needed,
    // so the buffer holds nothing usable either.
    CheckSystemCall(length >= 1 && length < MAX_PATH, L"无法检测系统运行库");

    // The native system folder: a 32-bit process would otherwise be
    // redirected to SysWOW64 and see the 32-bit copy, not the 64-bit runtime
    // the product needs.
    const std::wstring probe =
        std::wstring(directory, length) + kNativeSystemFolder + L"\\ucrtbase.dll";
    // Any answer but "invalid" counts, a directory of that name included; a
    // failed query for whatever reason means the runtime is absent.
    return GetFileAttributesW(probe.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace vantrel
