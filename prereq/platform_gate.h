// Which computers the installer serves: Windows 7 SP1 x64 and Windows 10/11
// x64 from build 17763, workstations only. Everything else is refused before
// the window is shown.
#pragma once

#include <cstdint>
#include <string>

namespace vantrel {

class InstallerApp;

// The facts the decision rests on, as RtlGetVersion and GetNativeSystemInfo
// report them.
struct VersionFacts {
    std::uint32_t majorVersion = 0;
    std::uint32_t minorVersion = 0;
    std::uint32_t buildNumber = 0;
    std::uint16_t servicePackMajor = 0;
    std::uint8_t productType = 0;
    std::uint16_t processorArchitecture = 0;
};

struct PlatformDecision {
    std::int32_t systemMode = 0;  // 1 or 2 when accepted, 0 when refused
    std::wstring refusal;         // the message when refused, empty otherwise
};

// Pure decision, no system calls. Refusals carry the exact message to show.
PlatformDecision DecidePlatform(const VersionFacts& facts);

// RtlGetVersion (looked up in ntdll at run time) and GetNativeSystemInfo.
// Throws Failure "无法识别 Windows 版本" when the lookup or the call fails.
VersionFacts ReadPlatformFacts();

// Reads the facts, decides, fills systemMode and needsRuntime (Windows 7 only:
// the runtime probe) or throws Failure with the refusal.
void ClassifyPlatform(InstallerApp& app);

}  // namespace vantrel
