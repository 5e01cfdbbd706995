// KB2999226 (the Universal C Runtime for Windows 7): fetched, checked by size,
// digest and Authenticode signature, installed through wusa.exe.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "support/run_context.h"
#include "support/win_handles.h"

namespace vantrel {

// Download, size and digest check, then the signature check on the same open
// file ("--verify-ucrt" stops here). Throws Failure. Returns the handle both
// checks read the package through, still open with read sharing only.
[[nodiscard]] FileHandle FetchRuntimePackage(const RunContext& run, const std::wstring& msuPath);

// Nothing when `needsRuntime` is false. Otherwise fetches the package into a
// workspace of its own, installs it through wusa.exe and clears
// `needsRuntime` once the runtime is there; throws Failure when it isn't.
void UpdateRuntime(const RunContext& run, bool& needsRuntime);

// WinVerifyTrust under the Authenticode policy, no UI, no revocation checks,
// network retrieval limited to the cache, on the open `file` (rewound first;
// `path` names it). Null: the platform opens `path` itself. Returns the
// verification result (0 means trusted; TRUST_E_PROVIDER_UNKNOWN when
// wintrust can't be had); the state the platform kept is always released
// again.
LONG VerifyAuthenticodeSignature(const std::wstring& path, HANDLE file) noexcept;

// "\"" + msuPath + "\" /quiet /norestart".
std::wstring WusaParameters(const std::wstring& msuPath);

// What wusa.exe's run means. Only the presence of the runtime afterwards is
// trusted; the exit code only chooses between the two failure texts.
struct RuntimeOutcome {
    bool installed = false;
    std::wstring failureMessage;  // empty when installed
};
RuntimeOutcome DecideRuntimeOutcome(bool runtimePresent, std::uint32_t wusaExitCode);

}  // namespace vantrel
