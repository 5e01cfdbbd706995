// The folder under the Windows directory through which this process reaches
// the native (64-bit) system folder. A 32-bit process on 64-bit Windows is
// redirected from System32 to SysWOW64 and must use the Sysnative alias; a
// 64-bit process sees the native folder as System32 and has no such alias.
#pragma once

namespace vantrel {

#if defined(_WIN64)
constexpr const wchar_t* kNativeSystemFolder = L"\\System32";
#else
constexpr const wchar_t* kNativeSystemFolder = L"\\Sysnative";
#endif

}  // namespace vantrel
