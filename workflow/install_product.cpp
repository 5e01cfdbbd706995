#include "workflow/install_product.h"

#include <windows.h>

#include <utility>

#include "app/installer_app.h"
#include "download/endpoints.h"
#include "support/child_process.h"
#include "support/failure.h"
#include "support/workspace.h"
#include "workflow/release_manifest.h"

namespace vantrel {
namespace {

// The manifest is a few lines of INI; anything larger is not a manifest.
constexpr std::uint64_t kManifestSizeLimit = 65536;

}  // namespace

std::wstring InstallerExitMessage(std::uint32_t exitCode) {
    return L"安装尚未完成或已取消，可重新开始。返回码：" + ToDecimal(exitCode);
}

void InstallProduct(InstallerApp& app, bool launchInstaller) {
    // Declared first so that it is destroyed last: after the wait for the
    // product installer, and on every failure while the Failure propagates.
    Workspace workspace;
    const std::wstring manifestPath = workspace.directory + kManifestFileName;
    const std::wstring packagePath = workspace.directory + kPackageFileName;

    app.SetStatus(L"正在获取版本信息…", 0);
    DownloadProductFile(app, L"release.ini", manifestPath, kManifestSizeLimit, std::wstring());
    const ReleaseManifest manifest = LoadReleaseManifest(app, manifestPath);
    DownloadProductFile(app, manifest.file, packagePath, manifest.size, manifest.sha256);

    // The downloader looked at the flag after the last chunk; this catches a
    // request that came in while the digest was being computed.
    if (app.cancelRequested.load()) throw Failure{kInstallCancelledText};
    if (!launchInstaller) return;

    app.installerRunning.exchange(true);
    app.SetStatus(L"请在安装向导中选择位置并完成安装。", 100);

    LaunchRequest request;
    request.owner = app.window;
    request.verb = L"open";
    request.file = packagePath;
    request.parameters = L"/SP-";
    request.directory = workspace.directory.c_str();
    request.show = SW_SHOWNORMAL;
    KernelHandle process = StartChildProcess(request, L"无法启动安装向导");

    // No time limit and no look at the cancel flag: the wizard belongs to the
    // user now, and the window refuses to close until it has ended.
    const std::uint32_t exitCode = WaitForExitCode(std::move(process));
    if (exitCode != 0) throw Failure{InstallerExitMessage(exitCode)};
    app.SetStatus(L"安装已完成。", 100);
}

}  // namespace vantrel
