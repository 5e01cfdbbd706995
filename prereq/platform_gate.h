// Which computers the installer serves: Windows 7 SP1 x64 and Windows 10/11
// x64 from build 17763, workstations only. Everything else is refused before
// the window is shown.
#pragma once

#include <cstdint>
#include <string>

namespace vantrel {

// The value SystemMode::Windows7 selects the manifest section "win7", any
// other "windows".
enum class SystemMode : std::int32_t {
    NotClassified = 0,
    Windows7 = 1,   // Windows 7 SP1 x64
    Windows10 = 2,  // Windows 10/11 x64, build 17763 or later
};

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
    SystemMode systemMode = SystemMode::NotClassified;  // NotClassified when refused
    std::wstring refusal;         // the message when refused, empty otherwise
};

// Pure decision, no system calls. Refusals carry the exact message to show.
PlatformDecision DecidePlatform(const VersionFacts& facts);

// RtlGetVersion (looked up in ntdll at run time) and GetNativeSystemInfo.
// Throws Failure "无法识别 Windows 版本" when the lookup or the call fails.
VersionFacts ReadPlatformFacts();

struct PlatformClass {
    SystemMode mode = SystemMode::NotClassified;
    bool needsRuntime = false;  // Windows 7 without the Universal C Runtime
};

// Reads the facts and decides; on Windows 7 also runs the runtime probe.
// Throws Failure with the refusal for every system it doesn't serve.
PlatformClass ClassifyPlatform();

}  // namespace vantrel
