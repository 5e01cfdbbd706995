#include "support/native_system.h"

#include <windows.h>

namespace vantrel {

std::wstring NativeSystemPath(const wchar_t* fileName) {
    wchar_t directory[MAX_PATH] = {};
    const UINT length = GetWindowsDirectoryW(directory, MAX_PATH);
    // 0 is a failure; MAX_PATH or more is the size the call would have needed,
    // so the buffer holds nothing usable either.
    if (length == 0 || length >= MAX_PATH) return std::wstring();
    return std::wstring(directory, length) + kNativeSystemFolder + L"\\" + fileName;
}

}  // namespace vantrel
