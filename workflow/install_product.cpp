#include "workflow/install_product.h"

#include <windows.h>

#include <utility>

#include "support/child_process.h"
#include "support/failure.h"
#include "support/text_format.h"
#include "support/workspace.h"
#include "workflow/download_status.h"
#include "workflow/release_manifest.h"

namespace vantrel {

std::wstring InstallerExitMessage(std::uint32_t exitCode) {
    return L"安装尚未完成或已取消，可重新开始。返回码：" + ToDecimal(exitCode);
}

namespace {

// Manifest, package download and check, into `workspace`; the handle the
// package was checked through, still open (see DownloadFile).
FileHandle FetchProduct(const RunContext& run, SystemMode mode, const Workspace& workspace) {
    const std::wstring manifestPath = workspace.directory + kManifestFileName;
    const std::wstring packagePath = workspace.directory + kPackageFileName;

    run.SetStatus(L"正在获取版本信息…", 0);
    (void)DownloadProductFile(run, L"release.ini", manifestPath, kManifestSizeLimit, std::wstring(), false);
    const ReleaseManifest manifest = LoadReleaseManifest(manifestPath, ManifestSection(mode));
    FileHandle package =
        DownloadProductFile(run, manifest.file, packagePath, manifest.size, manifest.sha256, true);

    // The downloader looked at the flag after the last chunk; this catches a
    // request that came in while the digest was being computed.
    if (run.CancelRequested()) throw Failure{kInstallCancelledText};
    return package;
}

}  // namespace

void VerifyProduct(const RunContext& run, SystemMode mode) {
    const Workspace workspace;
    (void)FetchProduct(run, mode, workspace);
}

void InstallProduct(const RunContext& run, SystemMode mode) {
    // Declared first so that it is destroyed last: after the wait for the
    // product installer, and on every failure while the Failure propagates.
    const Workspace workspace;
    const std::wstring packagePath = workspace.directory + kPackageFileName;
    // Held until the product installer has ended (destroyed before the
    // workspace): from the check to the end of its run nothing can rewrite,
    // rename or delete the file that is started.
    const FileHandle package = FetchProduct(run, mode, workspace);

    if (run.installerRunning != nullptr) run.installerRunning->exchange(true);
    run.SetStatus(L"请在安装向导中选择位置并完成安装。", 100);

    LaunchRequest request;
    request.owner = run.owner;
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
    run.SetStatus(L"安装已完成。", 100);
}

}  // namespace vantrel
