#include "prereq/certificate_prompt.h"

#include <string>
#include <utility>

#include "prereq/root_certificate.h"
#include "support/child_process.h"
#include "support/exit_codes.h"
#include "support/failure.h"
#include "support/win_handles.h"
#include "support/workspace.h"

namespace vantrel {
namespace {

constexpr const wchar_t* kQuestionText =
    L"旧系统缺少 DigiCert Global Root G2 根证书，无法验证当前下载站证书。\n"
    L"是否安装内置且已核验指纹的 DigiCert 官方证书？\n"
    L"安装会增加本机所有用户信任的证书颁发机构，并请求管理员授权。";
constexpr const wchar_t* kQuestionCaption = L"安装兼容证书";
constexpr DWORD kModulePathCapacity = 32768;
constexpr const wchar_t* kStartFailed = L"证书安装未获授权或助手启动失败";

}  // namespace

std::uint32_t RunHelperFromCleanRoom(HWND owner, const std::wstring& program) {
    // The program usually runs from the browser's download folder, where
    // anyone who could leave a file there can leave a DLL named like one that
    // Windows' own libraries load by bare name; without KB2533623 Windows 7
    // has no way to take the program's folder out of that search. The
    // administrator's process therefore starts from a folder of its own that
    // holds nothing but the program and admits nobody else. Declared first so
    // that it is removed last, after the wait, on every way out.
    const Workspace cleanRoom;
    const std::wstring copy = cleanRoom.directory + kHelperFileName;
    CheckSystemCall(CopyFileW(program.c_str(), copy.c_str(), TRUE) != FALSE, kStartFailed);

    // Not cancellable, and no cancel can be pending here: this runs on the
    // window thread before a run starts, while the window isn't busy, so a
    // close request is handled as closing, never recorded as a cancel; and
    // while the elevated copy runs this thread waits and dispatches nothing.
    // The flag still holds the previous run's value until the next run clears
    // it, so looking at it here would refuse every start after a cancelled run.
    LaunchRequest request;
    request.owner = owner;
    request.verb = L"runas";
    request.file = copy;
    // Exactly this text, so the copy's command line selects the helper mode.
    request.parameters = L"--certificate";
    request.directory = nullptr;
    request.show = SW_HIDE;
    KernelHandle process = StartChildProcess(request, kStartFailed);
    return WaitForExitCode(std::move(process));
}

bool EnsureRootCertificate(HWND owner, SystemMode mode) {
    // Windows 10/11 ship the root; nothing is opened or asked there.
    if (mode != SystemMode::Windows7) return true;

    switch (QueryRootCertificate()) {
        case RootCertificateState::Present:
            return true;
        case RootCertificateState::Unreadable:
            throw Failure{L"无法读取系统根证书库，请检查系统权限。"};
        case RootCertificateState::Missing:
            break;
    }

    const int answer = MessageBoxW(owner, kQuestionText, kQuestionCaption,
                                   MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
    if (answer != IDYES) return false;

    std::wstring path(kModulePathCapacity, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), kModulePathCapacity);
    // kModulePathCapacity itself means the path was cut short.
    CheckSystemCall(length >= 1 && length < kModulePathCapacity, L"无法定位证书助手");
    path.resize(length);

    const std::uint32_t exitCode = RunHelperFromCleanRoom(owner, path);

    // The exit code alone is not trusted: the store must show the root now.
    if (exitCode != kExitSuccess || QueryRootCertificate() != RootCertificateState::Present) {
        throw Failure{L"证书安装未完成，请检查管理员权限后重试。"};
    }
    return true;
}

}  // namespace vantrel
