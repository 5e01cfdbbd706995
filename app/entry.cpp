#include "app/entry.h"

#include <commctrl.h>

#include "app/command_line.h"
#include "app/dll_search.h"
#include "app/installer_app.h"
#include "app/main_window.h"
#include "app/window_layout.h"
#include "prereq/certificate_helper.h"
#include "prereq/platform_gate.h"
#include "res/resource_ids.h"
#include "support/exit_codes.h"
#include "support/failure.h"
#include "support/system_api.h"
#include "support/win_handles.h"
#include "support/workspace.h"
#include "workflow/install_product.h"
#include "workflow/runtime_update.h"

namespace vantrel {
namespace {

constexpr const wchar_t* kMutexName = L"Local\\VantrelOnlineSetup";

void RegisterWindowClass(HINSTANCE instance) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = 0;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(VANTREL_ICON_RESOURCE));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = nullptr;  // the window paints its own background
    windowClass.lpszClassName = kWindowClassName;
    const ATOM atom = RegisterClassExW(&windowClass);
    CheckSystemCall(atom != 0, L"无法创建安装窗口");
}

// The windowed start once the single-instance mutex is held: common controls,
// class, window, message loop; the mutex is released when the loop ends.
int RunWindowed(HINSTANCE instance, InstallerApp& app, KernelHandle& mutex) {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_PROGRESS_CLASS;
    ComCtl32().InitCommonControlsEx(&controls);

    RegisterWindowClass(instance);
    const HWND window = CreateWindowExW(0, kWindowClassName, kWindowTitle, kWindowStyle,
                                        CW_USEDEFAULT, CW_USEDEFAULT, kClientWidth, kClientHeight, nullptr, nullptr,
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
    return kExitSuccess;
}

}  // namespace

int RunInstaller(HINSTANCE instance, const wchar_t* commandLine) {
    const LaunchMode mode = RecognizeMode(commandLine);
    const bool headless = mode != LaunchMode::Windowed;
    // The elevated helper builds nothing else and shows nothing. It loads
    // crypt32 alone, by its system path, when it first opens a store: an
    // administrator's process takes in no library it has no use for.
    if (mode == LaunchMode::Certificate) return RunCertificateHelper();
    // The window loads them on its install command, the first time it needs
    // them.
    if (headless) PreloadSystemLibraries();

    // Declared outside the handler: after a failed window start the mutex
    // stays owned while the error box is up, so a second start is refused.
    KernelHandle mutex;
    try {
        InstallerApp app;
        const PlatformClass platform = ClassifyPlatform();
        app.systemMode = platform.mode;
        app.needsRuntime = platform.needsRuntime;
        if (mode == LaunchMode::VerifyUcrt) {
            const Workspace workspace;
            (void)FetchRuntimePackage(app.Context(), workspace.directory + kRuntimePackageFileName);
            return kExitSuccess;
        }
        if (mode == LaunchMode::Verify) {
            VerifyProduct(app.Context(), app.systemMode);
            return kExitSuccess;
        }

        const HANDLE created = CreateMutexW(nullptr, TRUE, kMutexName);
        const DWORD createError = GetLastError();
        mutex.Reset(created);
        if (!mutex || createError == ERROR_ALREADY_EXISTS) {
            mutex.Reset();
            MessageBoxW(nullptr, L"安装程序已经运行，请完成或关闭已有窗口。", kShortCaption, MB_OK);
            return kExitFailure;
        }
        return RunWindowed(instance, app, mutex);
    } catch (const Failure& failure) {
        if (!headless) MessageBoxW(nullptr, failure.message.c_str(), kWindowTitle, MB_ICONERROR);
        return kExitFailure;
    } catch (...) {
        if (!headless) MessageBoxW(nullptr, L"安装程序初始化失败。", kShortCaption, MB_ICONERROR);
        return kExitFailure;
    }
}

}  // namespace vantrel
