// The native (64-bit) system folder, as this process reaches it. A 32-bit
// process on 64-bit Windows is redirected from System32 to SysWOW64 and must
// use the Sysnative alias; a 64-bit process sees the native folder as
// System32 and has no such alias.
#pragma once

#include <string>

namespace vantrel {

#if defined(_WIN64)
constexpr const wchar_t* kNativeSystemFolder = L"\\System32";
#else
constexpr const wchar_t* kNativeSystemFolder = L"\\Sysnative";
#endif

// The Windows directory + kNativeSystemFolder + "\" + fileName, or an empty
// string when the Windows directory can't be read (GetLastError then tells
// why, as GetWindowsDirectoryW left it).
std::wstring NativeSystemPath(const wchar_t* fileName);

}  // namespace vantrel
