#include "prereq/platform_gate.h"

#include <windows.h>

#include "prereq/runtime_check.h"
#include "support/failure.h"

namespace vantrel {
namespace {

constexpr const wchar_t* kUnsupportedSystem = L"仅支持 Windows 7 SP1 x64、Windows 10/11 x64。";
constexpr const wchar_t* kWindows10TooOld = L"完整版需要 Windows 10 1809 或更新版本，请先更新系统。";
constexpr const wchar_t* kVersionUnknown = L"无法识别 Windows 版本";

constexpr std::uint16_t kArchitectureAmd64 = 9;  // PROCESSOR_ARCHITECTURE_AMD64
constexpr std::uint8_t kWorkstation = 1;         // VER_NT_WORKSTATION
constexpr std::uint32_t kFirstSupportedWindows10Build = 17763;  // 1809

// The extended structure: only at this size does RtlGetVersion fill the
// service-pack and product-type fields the decision needs.
static_assert(sizeof(OSVERSIONINFOEXW) == 284, "OSVERSIONINFOEXW layout");

// NTSTATUS NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW)
using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOEXW*);

PlatformDecision Refuse(const wchar_t* message) {
    PlatformDecision decision;
    decision.refusal = message;
    return decision;
}

PlatformDecision Accept(SystemMode systemMode) {
    PlatformDecision decision;
    decision.systemMode = systemMode;
    return decision;
}

}  // namespace

// RtlGetVersion rather than GetVersionExW: without a supported-OS list in the
// manifest GetVersionExW claims 6.2 on Windows 10 and 11. It is looked up at
// run time so the program needs no import from ntdll.
// GetNativeSystemInfo rather than GetSystemInfo: under WOW64 the latter
// reports x86 for this 32-bit process.
VersionFacts ReadPlatformFacts() {
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const FARPROC address = ntdll != nullptr ? GetProcAddress(ntdll, "RtlGetVersion") : nullptr;
    if (address == nullptr) throw Failure{kVersionUnknown};
    // Through void(*)() so the compiler accepts the change of signature.
    const auto rtlGetVersion =
        reinterpret_cast<RtlGetVersionFunction>(reinterpret_cast<void (*)()>(address));
    if (rtlGetVersion(&version) != 0) throw Failure{kVersionUnknown};

    SYSTEM_INFO system{};
    GetNativeSystemInfo(&system);

    VersionFacts facts;
    facts.majorVersion = version.dwMajorVersion;
    facts.minorVersion = version.dwMinorVersion;
    facts.buildNumber = version.dwBuildNumber;
    facts.servicePackMajor = version.wServicePackMajor;
    facts.productType = version.wProductType;
    facts.processorArchitecture = system.wProcessorArchitecture;
    return facts;
}

PlatformDecision DecidePlatform(const VersionFacts& facts) {
    // Architecture and product type first, so a 32-bit, ARM or server system
    // gets the generic refusal whatever version it reports.
    if (facts.processorArchitecture != kArchitectureAmd64 || facts.productType != kWorkstation) {
        return Refuse(kUnsupportedSystem);
    }
    if (facts.majorVersion == 6) {
        if (facts.minorVersion != 1 || facts.servicePackMajor < 1) return Refuse(kUnsupportedSystem);
        return Accept(SystemMode::Windows7);
    }
    if (facts.majorVersion == 10) {
        if (facts.minorVersion != 0) return Refuse(kUnsupportedSystem);
        // Windows 11 reports 10.0 with a higher build and lands here too.
        if (facts.buildNumber < kFirstSupportedWindows10Build) return Refuse(kWindows10TooOld);
        return Accept(SystemMode::Windows10);
    }
    return Refuse(kUnsupportedSystem);
}

PlatformClass ClassifyPlatform() {
    const PlatformDecision decision = DecidePlatform(ReadPlatformFacts());
    if (decision.systemMode == SystemMode::NotClassified) throw Failure{decision.refusal};
    PlatformClass platform;
    platform.mode = decision.systemMode;
    // The runtime probe runs only on Windows 7; its own Failure (Windows
    // directory unreadable) passes through and ends start-up like a refusal.
    platform.needsRuntime = decision.systemMode == SystemMode::Windows7 && !IsRuntimePresent();
    return platform;
}

}  // namespace vantrel
