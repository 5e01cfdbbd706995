// Whether the 64-bit Universal C Runtime is installed: the native system
// folder, reached from this 32-bit process through the Sysnative alias, holds
// ucrtbase.dll.
#pragma once

namespace vantrel {

// Throws Failure "无法检测系统运行库" + error code when the Windows directory
// can't be read; every other problem means "absent".
bool IsRuntimePresent();

}  // namespace vantrel
