// The process entry point's work: mode recognition, the platform gate, the
// headless modes and the windowed installer, turned into an exit code.
#pragma once

#include <windows.h>

namespace vantrel {

int RunInstaller(HINSTANCE instance, const wchar_t* commandLine);

}  // namespace vantrel
