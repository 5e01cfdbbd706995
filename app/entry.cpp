#include "app/entry.h"

#include <commctrl.h>

#include "app/command_line.h"
#include "app/installer_app.h"
#include "app/main_window.h"
#include "prereq/platform_gate.h"
#include "prereq/root_certificate.h"
#include "support/system_api.h"
#include "support/failure.h"
#include "support/win_handles.h"
#include "support/workspace.h"
#include "workflow/install_product.h"
#include "workflow/runtime_update.h"

namespace vantrel {
namespace {

constexpr const wchar_t* kMutexName = L"Local\\VantrelOnlineSetup";
constexpr const wchar_t* kShortCaption = L"岚禾舟";
constexpr const wchar_t* kStartupCaption = L"岚禾舟安装程序";
constexpr int kIconResource = 101;

void RegisterWindowClass(HINSTANCE instance) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = 0;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(kIconResource));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = nullptr;  // the window paints its own background
    windowClass.lpszClassName = kWindowClassName;
    const ATOM atom = RegisterClassExW(&windowClass);
    CheckSystemCall(atom != 0, L"无法创建安装窗口");
}

// Steps 2 to 7 of a windowed start, after the single-instance mutex is held.
int RunWindowed(HINSTANCE instance, InstallerApp& app, KernelHandle& mutex) {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_PROGRESS_CLASS;
    ComCtl32().InitCommonControlsEx(&controls);

    RegisterWindowClass(instance);
    const HWND window = CreateWindowExW(0, kWindowClassName, kWindowTitle, kWindowStyle,
                                        CW_USEDEFAULT, CW_USEDEFAULT, 460, 264, nullptr, nullptr,
                                        instance, &app);
    CheckSystemCall(window != nullptr, L"无法创建安装窗口");
    ShowWindow(window, SW_SHOWNORMAL);

    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageW(app.window, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    ReleaseMutex(mutex.Get());
    mutex.Reset();
    return 0;
}

}  // namespace

int RunInstaller(HINSTANCE instance, const wchar_t* commandLine) {
    const LaunchMode mode = RecognizeMode(commandLine);
    // The elevated helper builds nothing else and shows nothing.
    if (mode == LaunchMode::Certificate) return RunCertificateHelper();
    const bool headless = mode != LaunchMode::Windowed;

    // Declared outside the handler: after a failed window start the mutex
    // stays owned while the error box is up, so a second start is refused.
    KernelHandle mutex;
    try {
        InstallerApp app;
        ClassifyPlatform(app);
        if (mode == LaunchMode::VerifyUcrt) {
            Workspace workspace;
            FetchRuntimePackage(app, workspace.directory + kRuntimePackageFileName);
            return 0;
        }
        if (mode == LaunchMode::Verify) {
            InstallProduct(app, false);
            return 0;
        }

        const HANDLE created = CreateMutexW(nullptr, TRUE, kMutexName);
        const DWORD createError = GetLastError();
        mutex.Reset(created);
        if (!mutex || createError == ERROR_ALREADY_EXISTS) {
            mutex.Reset();
            MessageBoxW(nullptr, L"安装程序已经运行，请完成或关闭已有窗口。", kShortCaption, MB_OK);
            return 1;
        }
        return RunWindowed(instance, app, mutex);
    } catch (const Failure& failure) {
        if (!headless) MessageBoxW(nullptr, failure.message.c_str(), kStartupCaption, MB_ICONERROR);
        return 1;
    } catch (...) {
        if (!headless) MessageBoxW(nullptr, L"安装程序初始化失败。", kShortCaption, MB_ICONERROR);
        return 1;
    }
}

}  // namespace vantrel
