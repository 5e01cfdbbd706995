// The window's side of the root certificate on Windows 7: check the machine's
// ROOT store, ask the user, and run the elevated "--certificate" copy of the
// program. Runs on the window thread before an installation run starts.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "prereq/platform_gate.h"

namespace vantrel {

// True to go on with the installation (the root is there, or was added);
// false when the user declined; throws Failure otherwise. `owner` owns the
// question box and the elevation prompt. Nothing is asked outside Windows 7.
bool EnsureRootCertificate(HWND owner, SystemMode mode);

// The elevated start of the helper: `program` (this program's own file) is
// copied into a fresh workspace of its own, and that copy is started with
// "runas" and "--certificate" and waited for. Its exit code (1 when it can't
// be read); Failure "证书安装未获授权或助手启动失败" with the error-code suffix
// when it doesn't start, or a workspace or copy failure. The copy and its
// folder are gone when this returns or throws.
std::uint32_t RunHelperFromCleanRoom(HWND owner, const std::wstring& program);

}  // namespace vantrel
