#include "prereq/runtime_check.h"

#include <windows.h>

#include <string>

#include "support/failure.h"
#include "support/native_system.h"

namespace vantrel {

bool IsRuntimePresent() {
    // The native system folder: a 32-bit process would otherwise be
    // redirected to SysWOW64 and see the 32-bit copy, not the 64-bit runtime
    // the product needs.
    const std::wstring probe = NativeSystemPath(L"ucrtbase.dll");
    CheckSystemCall(!probe.empty(), L"无法检测系统运行库");
    // Any answer but "invalid" counts, a directory of that name included; a
    // failed query for whatever reason means the runtime is absent.
    return GetFileAttributesW(probe.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace vantrel
