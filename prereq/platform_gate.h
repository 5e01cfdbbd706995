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

// Pure decision, no system calls.
PlatformDecision DecidePlatform(const VersionFacts& facts);

// Reads the facts, decides, fills systemMode and needsRuntime or throws Failure.
void ClassifyPlatform(InstallerApp& app);

}  // namespace vantrel
