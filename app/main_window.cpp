#include "app/main_window.h"

#include <commctrl.h>

#include <mutex>

#include "app/dll_search.h"
#include "app/installer_app.h"
#include "app/window_layout.h"
#include "app/worker.h"
#include "prereq/certificate_prompt.h"
#include "support/failure.h"

namespace vantrel {
namespace {

constexpr wchar_t kHeading[] = L"岚禾舟 · 在线安装";
constexpr int kHeadingLength = static_cast<int>(sizeof(kHeading) / sizeof(kHeading[0]) - 1);
constexpr COLORREF kHeadingColour = RGB(21, 100, 112);
constexpr COLORREF kStatusColour = RGB(77, 104, 111);
constexpr int kInstallCommand = 1;  // IDOK: Enter acts as this button
constexpr int kCancelCommand = 2;   // IDCANCEL: Esc acts as this button
constexpr DWORD kStaticStyle = WS_CHILD | WS_VISIBLE;
constexpr DWORD kProgressStyle = WS_CHILD | WS_VISIBLE;
constexpr DWORD kInstallStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON;
constexpr DWORD kCancelStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP;
constexpr const wchar_t* kRuntimeQuestion =
    L"此 Win7 缺少 Universal C Runtime。\n"
    L"是否自动下载并安装微软官方 KB2999226？\n"
    L"此操作会请求管理员授权；系统缺少前置更新时仍需先完成 Windows Update。";
constexpr const wchar_t* kRuntimeCaption = L"安装系统运行库";
constexpr const wchar_t* kCancelling = L"正在取消，请稍候…";

// The screen's device context, released on every way out.
class ScreenContext {
public:
    ScreenContext() : context_(GetDC(nullptr)) {}
    ~ScreenContext() {
        if (context_ != nullptr) ReleaseDC(nullptr, context_);
    }
    ScreenContext(const ScreenContext&) = delete;
    ScreenContext& operator=(const ScreenContext&) = delete;
    HDC Get() const { return context_; }

private:
    HDC context_;
};

// BeginPaint/EndPaint as one scope.
class PaintScope {
public:
    explicit PaintScope(HWND window) : window_(window), context_(BeginPaint(window, &paint_)) {}
    ~PaintScope() { EndPaint(window_, &paint_); }
    PaintScope(const PaintScope&) = delete;
    PaintScope& operator=(const PaintScope&) = delete;
    HDC Get() const { return context_; }

private:
    HWND window_;
    PAINTSTRUCT paint_{};
    HDC context_;
};

// Selects a GDI object into a context and puts the previous one back.
class SelectionScope {
public:
    SelectionScope(HDC context, HGDIOBJ object)
        : context_(context), previous_(SelectObject(context, object)) {}
    ~SelectionScope() {
        if (previous_ != nullptr && previous_ != HGDI_ERROR) SelectObject(context_, previous_);
    }
    SelectionScope(const SelectionScope&) = delete;
    SelectionScope& operator=(const SelectionScope&) = delete;

private:
    HDC context_;
    HGDIOBJ previous_;
};

HFONT CreateWindowFont(int characterHeight) {
    return CreateFontW(-characterHeight, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, L"Microsoft YaHei");
}

HWND CreateControl(HWND parent, const wchar_t* className, const wchar_t* text, DWORD style,
                   const ControlRect& rect, int id) {
    return CreateWindowExW(0, className, text, style, rect.x, rect.y, rect.width, rect.height,
                           parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr,
                           nullptr);
}

void LayOut(HWND window, InstallerApp& app) {
    {
        ScreenContext screen;
        app.dpi = UsableDpi(screen.Get() != nullptr ? GetDeviceCaps(screen.Get(), LOGPIXELSX) : 0);
    }
    const WindowLayout layout = ComputeLayout(app.dpi);
    app.bodyFont.Reset(CreateWindowFont(layout.bodyFontHeight));
    app.titleFont.Reset(CreateWindowFont(layout.titleFontHeight));

    RECT frame{0, 0, layout.clientWidth, layout.clientHeight};
    AdjustWindowRect(&frame, kWindowStyle, FALSE);
    RECT workArea{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0);
    const WindowPlacement placement = PlaceWindow(frame, workArea);
    SetWindowPos(window, nullptr, placement.x, placement.y, placement.width, placement.height,
                 SWP_NOZORDER);

    app.painted.text = BannerText(app.systemMode, app.needsRuntime);
    app.statusLabel = CreateControl(window, L"STATIC", app.painted.text.c_str(), kStaticStyle,
                                    layout.status, 0);
    app.progressBar = CreateControl(window, PROGRESS_CLASSW, nullptr, kProgressStyle,
                                    layout.progress, 0);
    app.installButton = CreateControl(window, L"BUTTON", L"下载并安装", kInstallStyle,
                                      layout.install, kInstallCommand);
    app.cancelButton = CreateControl(window, L"BUTTON", L"取消", kCancelStyle, layout.cancel,
                                     kCancelCommand);

    const WPARAM font = reinterpret_cast<WPARAM>(app.bodyFont.Get());
    SendMessageW(app.statusLabel, WM_SETFONT, font, TRUE);
    SendMessageW(app.installButton, WM_SETFONT, font, TRUE);
    SendMessageW(app.cancelButton, WM_SETFONT, font, TRUE);
}

void PaintHeading(HWND window, const InstallerApp& app) {
    PaintScope paint(window);
    const HDC context = paint.Get();
    RECT client{};
    GetClientRect(window, &client);
    FillRect(context, &client, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    SetBkMode(context, TRANSPARENT);
    SetTextColor(context, kHeadingColour);
    SelectionScope font(context, app.titleFont.Get());
    TextOutW(context, ScaleForDpi(28, app.dpi), ScaleForDpi(30, app.dpi), kHeading,
             kHeadingLength);
}

void StopStatusTimer(HWND window, InstallerApp& app) {
    if (!app.painted.timerRunning) return;
    KillTimer(window, kStatusPaintTimer);
    app.painted.timerRunning = false;
}

void StartStatusTimer(HWND window, InstallerApp& app) {
    if (app.painted.timerRunning) return;
    const UINT interval = static_cast<UINT>(kStatusPaintIntervalMs);
    app.painted.timerRunning = SetTimer(window, kStatusPaintTimer, interval, nullptr) != 0;
    // Without a timer nothing would look again: let every line post.
    if (!app.painted.timerRunning) app.statusQueued.store(false);
}

void HandleClose(HWND window, InstallerApp& app) {
    if (app.installerRunning.load()) {
        // The wizard is the user's now; leaving would orphan it mid-install.
        MessageBoxW(window, L"请先在安装向导中完成或取消安装。", kShortCaption, MB_OK);
        return;
    }
    if (app.busy) {
        // Only the control changes: the next status from the worker replaces
        // this text, and statusText keeps what the worker last reported. An
        // update held back for the timer is older than this request, so it
        // is dropped rather than painted over the text a moment later.
        app.cancelRequested.exchange(true);
        SetWindowTextW(app.statusLabel, kCancelling);
        {
            std::lock_guard<std::mutex> lock(app.statusMutex);
            app.painted.version = app.statusVersion;
        }
        app.painted.text = kCancelling;
        app.painted.at = GetTickCount64();
        return;
    }
    DestroyWindow(window);
}

void HandleInstallCommand(HWND window, InstallerApp& app) {
    if (app.busy) return;
    // Before the certificate check, the first step that needs them.
    PreloadSystemLibraries();
    if (!EnsureRootCertificate(window, app.systemMode)) return;
    if (app.needsRuntime &&
        MessageBoxW(window, kRuntimeQuestion, kRuntimeCaption, MB_YESNO | MB_ICONQUESTION) != IDYES) {
        return;
    }
    StartWorker(app);
}

// Paints the latest status line and percent; statusMutex must be held. The
// percent is the stored one, not a message's: a message may be older than
// the lines after it that posted nothing.
void PaintStatus(InstallerApp& app, ULONGLONG now) {
    SetWindowTextW(app.statusLabel, app.statusText.c_str());
    SendMessageW(app.progressBar, PBM_SETPOS, static_cast<WPARAM>(app.statusPercent), 0);
    app.painted.text = app.statusText;
    app.painted.at = now;
    app.painted.version = app.statusVersion;
}

// Paints what SetStatus stored since the last paint, if anything; true when
// it painted.
bool PaintNewerStatus(InstallerApp& app) {
    std::lock_guard<std::mutex> lock(app.statusMutex);
    if (app.statusVersion == app.painted.version) return false;
    PaintStatus(app, GetTickCount64());
    return true;
}

// The status message: paints at once or leaves the update to the timer,
// which runs for at least one interval from here.
void ShowStatus(HWND window, InstallerApp& app) {
    const ULONGLONG now = GetTickCount64();
    {
        std::lock_guard<std::mutex> lock(app.statusMutex);
        if (app.statusVersion != app.painted.version &&
            DecideStatusPaint(app.painted.text, app.painted.at, app.statusText, now) ==
                StatusPaint::Now) {
            PaintStatus(app, now);
        }
    }
    // Started once, never pushed back by later messages, so the latest text
    // is on screen within one interval even when the updates stop (a stalled
    // download).
    StartStatusTimer(window, app);
}

// The timer: paints what came since, and keeps running while something does.
// Once an interval brought nothing, it stops and lets the next line post.
void CheckStatus(HWND window, InstallerApp& app) {
    if (PaintNewerStatus(app)) return;
    StopStatusTimer(window, app);
    app.statusQueued.store(false);
    // A line stored between the look above and the store posted nothing.
    if (PaintNewerStatus(app)) {
        app.statusQueued.store(true);
        StartStatusTimer(window, app);
    }
}

// The end of a run: its last text must not wait for the timer, and the
// next run's first line posts. The last text is painted even when the window
// counts it as seen: a close request drops the lines held back at that
// moment, and the run's final line may be one of them (stored, its message
// still queued); the cancelling notice must not outlive the run.
void CatchUpStatus(HWND window, InstallerApp& app) {
    StopStatusTimer(window, app);
    app.statusQueued.store(false);
    std::lock_guard<std::mutex> lock(app.statusMutex);
    PaintStatus(app, GetTickCount64());
}

void ShowRunEnded(HWND window, InstallerApp& app) {
    CatchUpStatus(window, app);
    app.busy = false;
    EnableWindow(app.installButton, TRUE);
    SetWindowTextW(app.installButton, L"重新安装");
    SetWindowTextW(app.cancelButton, L"关闭");
}

InstallerApp* AppOf(HWND window) {
    return reinterpret_cast<InstallerApp*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

// Handles one message; returns false for messages left to DefWindowProcW.
bool HandleMessage(HWND window, InstallerApp& app, UINT message, WPARAM wParam, LRESULT& result) {
    result = 0;
    switch (message) {
        case WM_CREATE:
            LayOut(window, app);
            return true;
        case WM_PAINT:
            PaintHeading(window, app);
            return true;
        case WM_CTLCOLORSTATIC: {
            const HDC context = reinterpret_cast<HDC>(wParam);
            SetBkMode(context, TRANSPARENT);
            SetTextColor(context, kStatusColour);
            result = reinterpret_cast<LRESULT>(GetStockObject(WHITE_BRUSH));
            return true;
        }
        case WM_CLOSE:
            HandleClose(window, app);
            return true;
        case WM_DESTROY:
            StopStatusTimer(window, app);
            PostQuitMessage(0);
            return true;
        case WM_TIMER:
            if (wParam != kStatusPaintTimer) return false;
            CheckStatus(window, app);
            return true;
        case WM_COMMAND:
            // Only the id counts: the button, Enter/Esc and posted commands
            // all take the same path.
            switch (LOWORD(wParam)) {
                case kInstallCommand:
                    HandleInstallCommand(window, app);
                    break;
                case kCancelCommand:
                    SendMessageW(window, WM_CLOSE, 0, 0);
                    break;
                default:
                    break;
            }
            return true;
        case kStatusMessage:
            // wParam is the percent at the time of the post; the stored one
            // is newer or the same.
            ShowStatus(window, app);
            return true;
        case kRunEndedMessage:
            ShowRunEnded(window, app);
            return true;
        default:
            return false;
    }
}

}  // namespace

const wchar_t* BannerText(SystemMode systemMode, bool needsRuntime) {
    if (systemMode == SystemMode::Windows7) {
        return needsRuntime ? L"已识别 Windows 7 SP1 x64 · 将先安装系统运行库"
                            : L"已识别 Windows 7 SP1 x64 · 将安装被控端";
    }
    return L"已识别 Windows 10/11 x64 · 将安装完整版";
}

StatusPaint DecideStatusPaint(const std::wstring& shown, ULONGLONG shownAt,
                              const std::wstring& next, ULONGLONG now) {
    if (!SameStatusKind(shown, next)) return StatusPaint::Now;
    // A clock that went backwards is no reason to hold an update.
    if (now < shownAt || now - shownAt >= kStatusPaintIntervalMs) return StatusPaint::Now;
    return StatusPaint::Later;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        auto* app = static_cast<InstallerApp*>(creation->lpCreateParams);
        if (app != nullptr) {
            app->window = window;
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(app));
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }
    InstallerApp* app = AppOf(window);
    if (app == nullptr) return DefWindowProcW(window, message, wParam, lParam);

    try {
        LRESULT result = 0;
        if (HandleMessage(window, *app, message, wParam, result)) return result;
    } catch (const Failure& failure) {
        MessageBoxW(window, failure.message.c_str(), kShortCaption, MB_ICONWARNING);
    } catch (...) {
        MessageBoxW(window, L"操作失败，请重试。", kShortCaption, MB_ICONWARNING);
    }
    return AfterFailedMessage(window, message, wParam, lParam);
}

LRESULT AfterFailedMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // DefWindowProcW destroys the window on WM_CLOSE. After a failed close
    // rule that may be in the middle of a run: the worker would lose its
    // window and the process would end joining a thread that may wait for a
    // child without limit. The window stays; the run goes on, and the user
    // can ask again.
    if (message == WM_CLOSE) return 0;
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace vantrel
