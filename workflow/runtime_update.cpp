#include "workflow/runtime_update.h"

#include <softpub.h>
#include <wintrust.h>

#include <cstddef>
#include <utility>

#include "app/installer_app.h"
#include "download/endpoints.h"
#include "prereq/runtime_check.h"
#include "support/system_api.h"
#include "support/child_process.h"
#include "support/failure.h"
#include "support/native_system.h"
#include "support/workspace.h"

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

LONG VerifyAuthenticodeSignature(const std::wstring& path) noexcept {
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof(WINTRUST_FILE_INFO);
    file.pcwszFilePath = path.c_str();
    file.hFile = nullptr;
    file.pgKnownSubject = nullptr;

    WINTRUST_DATA data{};
    data.cbStruct = kWintrustDataSize;
    data.pPolicyCallbackData = nullptr;
    data.pSIPClientData = nullptr;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.hWVTStateData = nullptr;
    data.pwszURLReference = nullptr;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    data.dwUIContext = WTD_UICONTEXT_EXECUTE;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = WinTrust().WinVerifyTrust(nullptr, &action, &data);

    // The verify call keeps state in hWVTStateData whatever its result; the
    // close call hands it back.
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinTrust().WinVerifyTrust(nullptr, &action, &data);
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

void FetchRuntimePackage(InstallerApp& app, const std::wstring& msuPath) {
    DownloadFile(app, RuntimeServer(), kRuntimePackagePath, msuPath, kRuntimePackageSize,
                 kRuntimePackageSha256, kRuntimeLabel);
    // The digest pins the exact file; the signature is checked as well so that
    // nothing unsigned is ever handed to the elevated system installer.
    if (VerifyAuthenticodeSignature(msuPath) != 0) {
        throw Failure{L"微软系统运行库数字签名无效，已拒绝执行。"};
    }
}

void UpdateRuntime(InstallerApp& app) {
    if (!app.needsRuntime) return;

    // Destroyed last: after the wait for wusa.exe, also when a Failure passes.
    Workspace workspace;
    const std::wstring msuPath = workspace.directory + kRuntimePackageFileName;

    app.SetStatus(L"正在获取微软系统运行库…", 0);
    FetchRuntimePackage(app, msuPath);

    wchar_t windowsDirectory[MAX_PATH] = {};
    const UINT length = GetWindowsDirectoryW(windowsDirectory, MAX_PATH);
    CheckSystemCall(length >= 1 && length < MAX_PATH, L"无法定位系统更新程序");

    // The x64 update needs the 64-bit wusa.exe in the native system folder,
    // which a 32-bit process only reaches through the Sysnative alias.
    // A stop requested during the download's last read, the digest or the
    // signature check must not end in an elevation prompt.
    LaunchRequest request;
    request.owner = app.window;
    request.cancelRequested = &app.cancelRequested;
    request.verb = L"runas";
    request.file = std::wstring(windowsDirectory, length) + kNativeSystemFolder + L"\\wusa.exe";
    request.parameters = WusaParameters(msuPath);
    request.directory = nullptr;
    request.show = SW_HIDE;
    KernelHandle process = StartChildProcess(request, L"系统运行库安装未获管理员授权");
    app.SetStatus(L"正在安装微软系统运行库…", 100);

    const std::uint32_t exitCode = WaitForExitCode(std::move(process));
    const RuntimeOutcome outcome = DecideRuntimeOutcome(IsRuntimePresent(), exitCode);
    if (!outcome.installed) throw Failure{outcome.failureMessage};
    app.needsRuntime = false;
}

}  // namespace vantrel
