// Temporary: replaced by the platform gate implementation.
#include "prereq/platform_gate.h"
#include "support/failure.h"
namespace vantrel {
PlatformDecision DecidePlatform(const VersionFacts&) { return {}; }
void ClassifyPlatform(InstallerApp&) { throw Failure{L"无法识别 Windows 版本"}; }
}  // namespace vantrel
