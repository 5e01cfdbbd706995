// The window's side of the root certificate on Windows 7: check the machine's
// ROOT store, ask the user, and run the elevated "--certificate" copy of the
// program. Runs on the window thread before an installation run starts.
#pragma once

#include <windows.h>

#include "prereq/platform_gate.h"

namespace vantrel {

// True to go on with the installation (the root is there, or was added);
// false when the user declined; throws Failure otherwise. `owner` owns the
// question box and the elevation prompt. Nothing is asked outside Windows 7.
bool EnsureRootCertificate(HWND owner, SystemMode mode);

}  // namespace vantrel
