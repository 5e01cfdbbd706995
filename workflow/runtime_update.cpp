#include "workflow/runtime_update.h"

#include <softpub.h>
#include <wintrust.h>

#include <cstddef>
#include <utility>

#include "download/endpoints.h"
#include "prereq/runtime_check.h"
#include "support/child_process.h"
#include "support/failure.h"
#include "support/native_system.h"
#include "support/system_api.h"
#include "support/text_format.h"
#include "support/workspace.h"
#include "workflow/download_status.h"

namespace vantrel {
namespace {

constexpr std::uint32_t kInstalledNeedsRestart[] = {
    0,        // ERROR_SUCCESS, yet the file is not there until a restart
    3010,     // ERROR_SUCCESS_REBOOT_REQUIRED
    2359302,  // 0x00240006 WU_S_ALREADY_INSTALLED
};

// The structure as it stood before the signature-settings member was added.
// The platform reads only the members that cbStruct covers, so this size means
// the same on every supported system whatever the SDK headers declare.
constexpr DWORD kWintrustDataSize =
    static_cast<DWORD>(offsetof(WINTRUST_DATA, dwUIContext) + sizeof(DWORD));
#if !defined(_WIN64)
static_assert(kWintrustDataSize == 48, "WINTRUST_DATA prefix must be 48 bytes in a 32-bit build");
static_assert(sizeof(WINTRUST_FILE_INFO) == 16, "WINTRUST_FILE_INFO must be 16 bytes");
#endif

}  // namespace

LONG VerifyAuthenticodeSignature(const std::wstring& path, HANDLE file) noexcept {
    // The platform reads the signature through the handle, so it checks the
    // bytes the digest was computed over, not whatever the path names by now.
    // Nothing promises that it rewinds a handle it is given; a failed rewind
    // leaves the position at the end, where no signature is found.
    if (file != nullptr) {
        LARGE_INTEGER start{};
        SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
    }
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof(WINTRUST_FILE_INFO);
    fileInfo.pcwszFilePath = path.c_str();
    fileInfo.hFile = file;
    fileInfo.pgKnownSubject = nullptr;

    WINTRUST_DATA data{};
    data.cbStruct = kWintrustDataSize;
    data.pPolicyCallbackData = nullptr;
    data.pSIPClientData = nullptr;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.hWVTStateData = nullptr;
    data.pwszURLReference = nullptr;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    data.dwUIContext = WTD_UICONTEXT_EXECUTE;

    // Without wintrust nothing can vouch for the file: it gets the answer the
    // platform gives for a policy it can't load, so the caller refuses it
    // like any other untrusted file.
    const WinTrustApi* api = nullptr;
    try {
        api = &WinTrust();
    } catch (...) {
        return TRUST_E_PROVIDER_UNKNOWN;
    }

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = api->WinVerifyTrust(nullptr, &action, &data);

    // The verify call keeps state in hWVTStateData whatever its result; the
    // close call hands it back.
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    api->WinVerifyTrust(nullptr, &action, &data);
    return result;
}

std::wstring WusaParameters(const std::wstring& msuPath) {
    return L"\"" + msuPath + L"\" /quiet /norestart";
}

RuntimeOutcome DecideRuntimeOutcome(bool runtimePresent, std::uint32_t wusaExitCode) {
    RuntimeOutcome outcome;
    if (runtimePresent) {
        outcome.installed = true;
        return outcome;
    }
    for (const std::uint32_t code : kInstalledNeedsRestart) {
        if (wusaExitCode == code) {
            outcome.failureMessage = L"微软系统运行库已安装，需要重启 Windows 后重新运行岚禾舟安装器。";
            return outcome;
        }
    }
    outcome.failureMessage = L"微软系统运行库安装失败（返回码 " + ToDecimal(wusaExitCode) +
                             L"）。请先通过 Windows Update 安装 Win7 前置更新，重启后重试。";
    return outcome;
}

FileHandle FetchRuntimePackage(const RunContext& run, const std::wstring& msuPath) {
    DownloadRequest request;
    request.server = RuntimeServer();
    request.path = kRuntimePackagePath;
    request.destination = msuPath;
    request.sizeLimit = kRuntimePackageSize;
    request.expectedSha256 = kRuntimePackageSha256;
    request.label = kRuntimeLabel;
    FileHandle package = DownloadWithStatus(run, request, true);
    // The digest pins the exact file; the signature is checked as well so that
    // nothing unsigned is ever handed to the elevated system installer.
    if (VerifyAuthenticodeSignature(msuPath, package.Get()) != 0) {
        throw Failure{L"微软系统运行库数字签名无效，已拒绝执行。"};
    }
    return package;
}

void UpdateRuntime(const RunContext& run, bool& needsRuntime) {
    if (!needsRuntime) return;

    // Destroyed last: after the wait for wusa.exe, also when a Failure passes.
    const Workspace workspace;
    const std::wstring msuPath = workspace.directory + kRuntimePackageFileName;

    run.SetStatus(L"正在获取微软系统运行库…", 0);
    // Held over the consent prompt, which can stay up for minutes, until
    // wusa.exe has started; see below for why not longer.
    FileHandle package = FetchRuntimePackage(run, msuPath);

    // The x64 update needs the 64-bit wusa.exe in the native system folder,
    // which a 32-bit process only reaches through the Sysnative alias.
    const std::wstring wusa = NativeSystemPath(L"wusa.exe");
    CheckSystemCall(!wusa.empty(), L"无法定位系统更新程序");

    // A stop requested during the download's last read, the digest or the
    // signature check must not end in an elevation prompt.
    LaunchRequest request;
    request.owner = run.owner;
    request.cancelRequested = run.cancelRequested;
    request.verb = L"runas";
    request.file = wusa;
    request.parameters = WusaParameters(msuPath);
    request.directory = nullptr;
    request.show = SW_HIDE;
    KernelHandle process = StartChildProcess(request, L"系统运行库安装未获管理员授权");
    // Released before the wait. How wusa.exe opens the package (which access,
    // which sharing) is not documented and can't be tried here; held through
    // the wait, an open that asks for more than read access, or for no
    // sharing, would fail and leave Windows 7 without the runtime for good.
    // What is left open is the moment between this release and wusa.exe's
    // own open, and only to programs of this user: the folder admits no
    // others.
    package.Reset();
    run.SetStatus(L"正在安装微软系统运行库…", 100);

    const std::uint32_t exitCode = WaitForExitCode(std::move(process));
    const RuntimeOutcome outcome = DecideRuntimeOutcome(IsRuntimePresent(), exitCode);
    if (!outcome.installed) throw Failure{outcome.failureMessage};
    needsRuntime = false;
}

}  // namespace vantrel
