// One complete product installation: manifest, package download and
// verification, and (when asked) the product installer's launch and wait.
#pragma once

#include <cstdint>
#include <string>

namespace vantrel {

class InstallerApp;

// Returns normally on success; throws Failure otherwise. The workspace is gone
// when it returns or throws.
void InstallProduct(InstallerApp& app, bool launchInstaller);

// The status line for a product installer that ended with a non-zero code;
// the code is written unsigned, so crash codes read as large numbers.
std::wstring InstallerExitMessage(std::uint32_t exitCode);

}  // namespace vantrel
