// One complete product installation: manifest, package download and
// verification, and (when asked) the product installer's launch and wait.
#pragma once

#include <cstdint>
#include <string>

#include "prereq/platform_gate.h"
#include "support/run_context.h"

namespace vantrel {

// The windowed run: the manifest's section for `mode`, the package's download
// and check, then the product installer, started and waited for. Returns
// normally on success; throws Failure otherwise. The workspace is gone when it
// returns or throws.
void InstallProduct(const RunContext& run, SystemMode mode);

// "--verify": the same up to the check; nothing is started.
void VerifyProduct(const RunContext& run, SystemMode mode);

// The status line for a product installer that ended with a non-zero code;
// the code is written unsigned, so crash codes read as large numbers.
std::wstring InstallerExitMessage(std::uint32_t exitCode);

}  // namespace vantrel
