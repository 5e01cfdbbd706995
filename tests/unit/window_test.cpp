#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/installer_app.h"
#include "app/main_window.h"
#include "app/window_layout.h"
#include "app/worker.h"
#include "res/resource_ids.h"

using namespace vantrel;

namespace {

struct Rect {
    int x, y, width, height;
};

void ExpectRect(const ControlRect& actual, const Rect& expected, const char* what, int dpi) {
    EXPECT_EQ(actual.x, expected.x) << what << " at " << dpi;
    EXPECT_EQ(actual.y, expected.y) << what << " at " << dpi;
    EXPECT_EQ(actual.width, expected.width) << what << " at " << dpi;
    EXPECT_EQ(actual.height, expected.height) << what << " at " << dpi;
}

}  // namespace

TEST(WindowLayout, ScalesEveryLengthSeparatelyWithRounding) {
    const struct {
        int dpi;
        int clientWidth, clientHeight, headingX, headingY;
        Rect status, progress, install, cancel;
        int bodyFont, titleFont;
    } cases[] = {
        {96, 460, 264, 28, 30, {28, 96, 404, 60}, {28, 164, 404, 8}, {264, 202, 168, 36},
         {28, 202, 80, 36}, 14, 24},
        // 125 %: halves round away from zero (202 -> 252.5 -> 253, 14 -> 18).
        {120, 575, 330, 35, 38, {35, 120, 505, 75}, {35, 205, 505, 10}, {330, 253, 210, 45},
         {35, 253, 100, 45}, 18, 30},
        {144, 690, 396, 42, 45, {42, 144, 606, 90}, {42, 246, 606, 12}, {396, 303, 252, 54},
         {42, 303, 120, 54}, 21, 36},
        {192, 920, 528, 56, 60, {56, 192, 808, 120}, {56, 328, 808, 16}, {528, 404, 336, 72},
         {56, 404, 160, 72}, 28, 48},
    };
    for (const auto& c : cases) {
        const WindowLayout layout = ComputeLayout(c.dpi);
        EXPECT_EQ(layout.clientWidth, c.clientWidth) << c.dpi;
        EXPECT_EQ(layout.clientHeight, c.clientHeight) << c.dpi;
        EXPECT_EQ(layout.headingX, c.headingX) << c.dpi;
        EXPECT_EQ(layout.headingY, c.headingY) << c.dpi;
        ExpectRect(layout.status, c.status, "status", c.dpi);
        ExpectRect(layout.progress, c.progress, "progress", c.dpi);
        ExpectRect(layout.install, c.install, "install", c.dpi);
        ExpectRect(layout.cancel, c.cancel, "cancel", c.dpi);
        EXPECT_EQ(layout.bodyFontHeight, c.bodyFont) << c.dpi;
        EXPECT_EQ(layout.titleFontHeight, c.titleFont) << c.dpi;
    }
}

TEST(WindowLayout, ControlsStayInsideTheClientAreaAndApartAtCommonDpis) {
    for (int dpi : {72, 96, 108, 120, 144, 168, 192, 240, 288}) {
        const WindowLayout layout = ComputeLayout(dpi);
        const ControlRect controls[] = {layout.status, layout.progress, layout.install, layout.cancel};
        for (const ControlRect& control : controls) {
            EXPECT_GT(control.width, 0) << dpi;
            EXPECT_GT(control.height, 0) << dpi;
            EXPECT_LE(control.x + control.width, layout.clientWidth) << dpi;
            EXPECT_LE(control.y + control.height, layout.clientHeight) << dpi;
        }
        // Top to bottom: status, progress, buttons; the two buttons side by side.
        EXPECT_LE(layout.status.y + layout.status.height, layout.progress.y) << dpi;
        EXPECT_LE(layout.progress.y + layout.progress.height, layout.install.y) << dpi;
        EXPECT_LE(layout.cancel.x + layout.cancel.width, layout.install.x) << dpi;
        EXPECT_LT(layout.headingY + layout.titleFontHeight, layout.status.y) << dpi;
    }
}

TEST(WindowLayout, PlacementUsesOnlyTheRightAndBottomEdgesOfTheWorkArea) {
    const struct {
        const char* name;
        RECT frame;
        RECT workArea;
        int x, y, width, height;
    } cases[] = {
        {"full screen", {-3, -22, 463, 267}, {0, 0, 1024, 768}, 279, 239, 466, 289},
        {"taskbar bottom", {-3, -22, 463, 267}, {0, 0, 1024, 728}, 279, 219, 466, 289},
        // The work area's left and top are not added: not the work area's centre.
        {"taskbar left", {-3, -22, 463, 267}, {60, 0, 1024, 768}, 279, 239, 466, 289},
        {"taskbar top", {-3, -22, 463, 267}, {0, 40, 1024, 768}, 279, 239, 466, 289},
        {"taskbar right", {-3, -22, 463, 267}, {0, 0, 964, 768}, 249, 239, 466, 289},
        {"144 dpi", {-4, -31, 694, 400}, {0, 0, 1920, 1040}, 611, 304, 698, 431},
        // A window wider than the work area: the division truncates toward zero.
        {"too wide", {0, 0, 467, 301}, {0, 0, 400, 300}, -33, 0, 467, 301},
    };
    for (const auto& c : cases) {
        const WindowPlacement placement = PlaceWindow(c.frame, c.workArea);
        EXPECT_EQ(placement.x, c.x) << c.name;
        EXPECT_EQ(placement.y, c.y) << c.name;
        EXPECT_EQ(placement.width, c.width) << c.name;
        EXPECT_EQ(placement.height, c.height) << c.name;
    }
}

TEST(WindowLayout, AFailedDpiReadFallsBackTo96) {
    EXPECT_EQ(UsableDpi(0), 96);
    EXPECT_EQ(UsableDpi(-1), 96);
    EXPECT_EQ(UsableDpi(96), 96);
    EXPECT_EQ(UsableDpi(144), 144);
}

TEST(StatusPaint, ProgressOfOneDownloadAtMostOncePerIntervalEverythingElseAtOnce) {
    const std::wstring progress = L"正在下载安装包：64 / 40960 KB";
    const StatusPaint now = StatusPaint::Now, later = StatusPaint::Later;
    const struct {
        const wchar_t* shown;
        ULONGLONG shownAt;
        const wchar_t* next;
        ULONGLONG at;
        StatusPaint expected;
    } cases[] = {
        {progress.c_str(), 1000, L"正在下载安装包：128 / 40960 KB", 1001, later},
        {progress.c_str(), 1000, L"正在下载安装包：1024 / 40960 KB", 1032, later},  // more digits
        {progress.c_str(), 1000, L"正在下载安装包：1024 / 40960 KB", 1033, now},
        {progress.c_str(), 1000, progress.c_str(), 1010, later},  // the percent alone moved
        {progress.c_str(), 5000, L"正在下载安装包：128 / 40960 KB", 4000, now},  // clock went back
        // New kinds of text, however soon they follow.
        {progress.c_str(), 1000, L"正在校验安装包…", 1000, now},
        {progress.c_str(), 1000, L"正在下载微软系统运行库：64 / 1010 KB", 1000, now},
        {progress.c_str(), 1000, L"已取消下载，可以重新开始。", 1000, now},
        {L"正在校验安装包…", 1000, L"安装包 SHA-256 校验失败，已拒绝运行。", 1000, now},
        {L"正在校验安装包…", 1000, L"请在安装向导中选择位置并完成安装。", 1000, now},
        {L"请在安装向导中选择位置并完成安装。", 1000, L"安装已完成。", 1000, now},
        {L"已识别 Windows 10/11 x64 · 将安装完整版", 1000, L"正在获取版本信息…", 1000, now},
        {L"正在取消，请稍候…", 1000, progress.c_str(), 1000, now},
        {L"正在下载安装包：64", 1000, progress.c_str(), 1000, now},  // one text starts the other
        {progress.c_str(), 1000, L"正在下载安装包：64", 1000, now},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DecideStatusPaint(c.shown, c.shownAt, c.next, c.at), c.expected)
            << c.shown << " -> " << c.next << " after " << static_cast<long long>(c.at - c.shownAt);
    }
}

// The icon compiled into this program is the shipped one. Each frame must load
// at its own size (not scaled from another) and draw: the frames from 48 px
// up are PNG streams, which only the system's own decoder can vouch for.
TEST(Icon, EveryFrameLoadsAndDrawsAtItsOwnSize) {
    const HINSTANCE module = GetModuleHandleW(nullptr);
    for (int size : {16, 20, 24, 32, 40, 48, 64, 128, 256}) {
        const auto icon = static_cast<HICON>(LoadImageW(
            module, MAKEINTRESOURCEW(VANTREL_ICON_RESOURCE), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
        ASSERT_NE(icon, nullptr) << size;
        ICONINFO info{};
        ASSERT_TRUE(GetIconInfo(icon, &info)) << size;
        BITMAP colour{};
        GetObjectW(info.hbmColor, sizeof(colour), &colour);
        EXPECT_EQ(colour.bmWidth, size);
        EXPECT_EQ(colour.bmHeight, size);

        // Drawn over white into a top-down 32-bit bitmap.
        BITMAPINFO format{};
        format.bmiHeader = {sizeof(BITMAPINFOHEADER), size, -size, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        void* bits = nullptr;
        const HBITMAP canvas = CreateDIBSection(nullptr, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
        ASSERT_NE(canvas, nullptr) << size;
        const HDC context = CreateCompatibleDC(nullptr);
        const HGDIOBJ previous = SelectObject(context, canvas);
        RECT all{0, 0, size, size};
        FillRect(context, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        EXPECT_TRUE(DrawIconEx(context, 0, 0, icon, size, size, 0, nullptr, DI_NORMAL)) << size;
        GdiFlush();
        const auto pixel = [&](int x, int y) {
            const auto* bgra = static_cast<const BYTE*>(bits) + (y * size + x) * 4;
            return RGB(bgra[2], bgra[1], bgra[0]);
        };
        // The rounded corner is transparent (resampling may leave a trace of
        // alpha there); left of the jib is the teal body.
        const COLORREF corner = pixel(0, 0);
        EXPECT_GE(std::min({GetRValue(corner), GetGValue(corner), GetBValue(corner)}), 248)
            << size << " " << std::hex << corner;
        const COLORREF body = pixel(size * 15 / 100, size / 2);
        EXPECT_GT(GetGValue(body), GetRValue(body) + 40) << size << " " << std::hex << body;
        EXPECT_GT(GetBValue(body), GetRValue(body) + 40) << size << " " << std::hex << body;

        SelectObject(context, previous);
        DeleteDC(context);
        DeleteObject(canvas);
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        DestroyIcon(icon);
    }
}

// ---------------------------------------------------------------------------
// The worker and the window procedure, driven in-process. Message-only
// windows need no display, so these run anywhere Wine runs.
namespace {

struct Posted {
    UINT message;
    WPARAM wParam;
};

HWND MessageOnlyWindow() {
    return CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
}

// Collects the status channel's messages until the end message (or a time-out).
std::vector<Posted> CollectUntilRunEnded(HWND window) {
    std::vector<Posted> posted;
    const ULONGLONG deadline = GetTickCount64() + 30000;
    while (GetTickCount64() < deadline) {
        MSG message{};
        while (PeekMessageW(&message, window, kStatusMessage, kRunEndedMessage, PM_REMOVE)) {
            posted.push_back({message.message, message.wParam});
            if (message.message == kRunEndedMessage) return posted;
        }
        Sleep(5);
    }
    return posted;
}

// Points the user's temporary folder at a path that doesn't exist, so a run
// fails at its very first step, before any network access.
class BrokenTempFolder {
public:
    BrokenTempFolder() {
        for (const wchar_t* name : {L"TMP", L"TEMP"}) {
            wchar_t value[1024] = {};
            const DWORD length = GetEnvironmentVariableW(name, value, 1024);
            saved_.push_back(length > 0 ? std::wstring(value) : std::wstring());
            SetEnvironmentVariableW(name, L"C:\\vantrel-missing-folder\\deeper");
        }
    }
    ~BrokenTempFolder() {
        SetEnvironmentVariableW(L"TMP", saved_[0].empty() ? nullptr : saved_[0].c_str());
        SetEnvironmentVariableW(L"TEMP", saved_[1].empty() ? nullptr : saved_[1].c_str());
    }

private:
    std::vector<std::wstring> saved_;
};

const wchar_t kTestClass[] = L"VantrelWindowTestClass";

void RegisterTestClass() {
    static bool registered = false;
    if (registered) return;
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&controls);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kTestClass;
    registered = RegisterClassExW(&windowClass) != 0;
}

std::wstring TextOf(HWND window) {
    wchar_t buffer[512] = {};
    GetWindowTextW(window, buffer, 512);
    return buffer;
}

// Wine creates child controls only with a display; without one the window
// tests are skipped here and run by the end-to-end window tests, which
// provide a display.
bool ControlsCanBeCreated() {
    const HWND parent = MessageOnlyWindow();
    const HWND child = CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 1, 1, parent, nullptr,
                                       nullptr, nullptr);
    const bool created = child != nullptr;
    DestroyWindow(parent);
    return created;
}

#define SKIP_WITHOUT_DISPLAY()                                                        \
    if (!ControlsCanBeCreated()) GTEST_SKIP() << "no display: child windows can't be created"

// The real window procedure on a window that is never shown.
HWND CreateMainWindow(InstallerApp& app) {
    RegisterTestClass();
    return CreateWindowExW(0, kTestClass, kWindowTitle, kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                           460, 264, HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr), &app);
}

// Dispatches the status messages waiting for `window`.
void DispatchStatus(HWND window) {
    MSG message{};
    while (PeekMessageW(&message, window, kStatusMessage, kStatusMessage, PM_REMOVE)) {
        DispatchMessageW(&message);
    }
}

// Runs the thread's messages (timers included) until `done` or 5 s.
template <typename Done>
void PumpUntil(Done done) {
    const ULONGLONG deadline = GetTickCount64() + 5000;
    while (!done() && GetTickCount64() < deadline) {
        MSG message{};
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        Sleep(5);
    }
}

void DrainQuit() {
    MSG message{};
    while (PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
}

}  // namespace

TEST(StatusChannel, ALineOfTheSameKindPostsOnlyWhenNoMessageWaits) {
    InstallerApp app;
    app.window = MessageOnlyWindow();
    ASSERT_NE(app.window, nullptr);
    const struct {
        const wchar_t* text;
        int percent;
        bool windowCaughtUp;  // the window cleared statusQueued before this line
        bool posts;
    } lines[] = {
        {L"正在获取版本信息…", 0, false, true},                 // the first line
        {L"正在下载安装包：64 / 9000 KB", 0, false, true},      // a new kind
        {L"正在下载安装包：128 / 9000 KB", 1, false, false},    // one message waits already
        {L"正在下载安装包：128 / 9000 KB", 2, false, false},    // the percent alone
        {L"正在下载安装包：192 / 9000 KB", 2, true, true},      // read: the next one posts
        {L"正在下载安装包：256 / 9000 KB", 2, false, false},
        {L"正在校验安装包…", 100, false, true},
        {L"安装包 SHA-256 校验失败，已拒绝运行。", 0, false, true},
        {L"安装包 SHA-256 校验失败，已拒绝运行。", 0, false, false},  // the same text again
    };
    std::uint32_t version = app.statusVersion;
    for (const auto& line : lines) {
        if (line.windowCaughtUp) app.statusQueued.store(false);
        app.SetStatus(line.text, line.percent);
        MSG message{};
        const bool posted = PeekMessageW(&message, app.window, kStatusMessage, kStatusMessage, PM_REMOVE) != 0;
        EXPECT_EQ(posted, line.posts) << line.text;
        if (posted) {
            EXPECT_EQ(message.wParam, static_cast<WPARAM>(line.percent)) << line.text;
        }
        // Posted or not, the window finds the line, its percent and that it is new.
        EXPECT_EQ(app.StatusText(), line.text);
        EXPECT_EQ(app.statusPercent, line.percent);
        EXPECT_EQ(app.statusVersion, ++version);
        EXPECT_TRUE(app.statusQueued.load());
    }
    DestroyWindow(app.window);
    app.window = nullptr;
}

TEST(Worker, AFailureBeforeAnyDownloadBecomesTheStatusLineAndEndsTheRun) {
    BrokenTempFolder brokenTemp;
    InstallerApp app;
    app.systemMode = SystemMode::Windows10;
    app.window = MessageOnlyWindow();
    ASSERT_NE(app.window, nullptr);
    app.installerRunning.exchange(true);  // must be cleared whatever happened

    RunWorker(app);

    const std::vector<Posted> posted = CollectUntilRunEnded(app.window);
    ASSERT_FALSE(posted.empty());
    EXPECT_EQ(posted.back().message, kRunEndedMessage);
    EXPECT_EQ(posted.back().wParam, 0u) << "a failed run reports 0";
    ASSERT_GE(posted.size(), 2u) << "the failure must be published before the end message";
    EXPECT_EQ(posted[posted.size() - 2].message, kStatusMessage);
    EXPECT_EQ(posted[posted.size() - 2].wParam, 0u) << "failures show the bar at 0";
    EXPECT_EQ(app.StatusText().rfind(L"无法创建临时目录（错误码 ", 0), 0u) << app.StatusText();
    EXPECT_FALSE(app.installerRunning.load());
    DestroyWindow(app.window);
    app.window = nullptr;
}

TEST(Worker, StartWorkerMarksTheRunAndTheNextStartJoinsTheEndedOne) {
    BrokenTempFolder brokenTemp;
    InstallerApp app;
    app.systemMode = SystemMode::Windows10;
    app.window = MessageOnlyWindow();
    app.installButton = MessageOnlyWindow();
    ASSERT_NE(app.window, nullptr);
    ASSERT_NE(app.installButton, nullptr);

    for (int run = 0; run < 2; ++run) {
        app.cancelRequested.exchange(true);  // left over from a cancelled run
        StartWorker(app);
        EXPECT_TRUE(app.busy) << run;
        EXPECT_FALSE(app.cancelRequested.load()) << "a new run starts with the flag cleared";
        EXPECT_FALSE(IsWindowEnabled(app.installButton)) << run;
        EXPECT_TRUE(app.worker.joinable()) << run;
        const std::vector<Posted> posted = CollectUntilRunEnded(app.window);
        ASSERT_FALSE(posted.empty()) << run;
        EXPECT_EQ(posted.back().message, kRunEndedMessage) << run;
        // What the window does on the end message; the thread stays joinable
        // until the next start (or the destructor) joins it.
        app.busy = false;
        EnableWindow(app.installButton, TRUE);
        EXPECT_TRUE(app.worker.joinable()) << run;
    }
    DestroyWindow(app.installButton);
    DestroyWindow(app.window);
    app.window = nullptr;
}

TEST(MainWindow, CreationLaysOutTheControlsWithBannerAndFonts) {
    SKIP_WITHOUT_DISPLAY();
    InstallerApp app;
    app.systemMode = SystemMode::Windows7;
    app.needsRuntime = true;
    const HWND window = CreateMainWindow(app);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(app.window, window);
    EXPECT_EQ(reinterpret_cast<InstallerApp*>(GetWindowLongPtrW(window, GWLP_USERDATA)), &app);
    ASSERT_NE(app.statusLabel, nullptr);
    ASSERT_NE(app.progressBar, nullptr);
    ASSERT_NE(app.installButton, nullptr);
    ASSERT_NE(app.cancelButton, nullptr);
    EXPECT_TRUE(app.bodyFont.Valid());
    EXPECT_TRUE(app.titleFont.Valid());

    EXPECT_EQ(TextOf(app.statusLabel), L"已识别 Windows 7 SP1 x64 · 将先安装系统运行库");
    EXPECT_TRUE(app.StatusText().empty()) << "the banner is not a status";
    EXPECT_EQ(TextOf(app.installButton), L"下载并安装");
    EXPECT_EQ(TextOf(app.cancelButton), L"取消");

    const struct {
        HWND control;
        LONG_PTR style;
        int id;
    } controls[] = {
        {app.statusLabel, 0x50000000, 0},
        {app.progressBar, 0x50000000, 0},
        {app.installButton, 0x50010001, 1},
        {app.cancelButton, 0x50010000, 2},
    };
    for (const auto& c : controls) {
        EXPECT_EQ(GetWindowLongPtrW(c.control, GWL_STYLE) & 0xFFFFFFFF, c.style) << c.id;
        EXPECT_EQ(GetDlgCtrlID(c.control), c.id);
    }
    // Creation order is the tab order: status, progress, install, cancel.
    EXPECT_EQ(GetWindow(app.statusLabel, GW_HWNDNEXT), app.progressBar);
    EXPECT_EQ(GetWindow(app.progressBar, GW_HWNDNEXT), app.installButton);
    EXPECT_EQ(GetWindow(app.installButton, GW_HWNDNEXT), app.cancelButton);

    const HFONT body = app.bodyFont.Get();
    EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(app.statusLabel, WM_GETFONT, 0, 0)), body);
    EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(app.installButton, WM_GETFONT, 0, 0)), body);
    EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(app.cancelButton, WM_GETFONT, 0, 0)), body);
    const WindowLayout layout = ComputeLayout(app.dpi);
    for (const auto& font : {std::make_pair(app.bodyFont.Get(), layout.bodyFontHeight),
                             std::make_pair(app.titleFont.Get(), layout.titleFontHeight)}) {
        LOGFONTW logFont{};
        ASSERT_EQ(GetObjectW(font.first, sizeof(logFont), &logFont), static_cast<int>(sizeof(logFont)));
        EXPECT_EQ(logFont.lfHeight, -font.second);
        EXPECT_EQ(logFont.lfWeight, FW_NORMAL);
        EXPECT_EQ(logFont.lfQuality, CLEARTYPE_QUALITY);
        EXPECT_EQ(logFont.lfCharSet, DEFAULT_CHARSET);
        EXPECT_EQ(std::wstring(logFont.lfFaceName), L"Microsoft YaHei");
    }
    DestroyWindow(window);
    DrainQuit();
}

TEST(MainWindow, StatusAndEndMessagesUpdateTheControls) {
    SKIP_WITHOUT_DISPLAY();
    InstallerApp app;
    app.systemMode = SystemMode::Windows10;
    const HWND window = CreateMainWindow(app);
    ASSERT_NE(window, nullptr);
    app.busy = true;
    EnableWindow(app.installButton, FALSE);

    const struct {
        const wchar_t* text;
        int percent;
    } updates[] = {{L"正在下载安装包：10 / 100 KB", 10}, {L"正在校验安装包…", 100}, {L"失败", 0}};
    for (const auto& update : updates) {
        app.SetStatus(update.text, update.percent);
        MSG message{};
        ASSERT_TRUE(PeekMessageW(&message, window, kStatusMessage, kStatusMessage, PM_REMOVE));
        DispatchMessageW(&message);
        EXPECT_EQ(TextOf(app.statusLabel), update.text);
        EXPECT_EQ(SendMessageW(app.progressBar, PBM_GETPOS, 0, 0), update.percent);
    }

    // A burst of one download's progress lines, faster than the window
    // repaints: the last one reaches the screen without a further message.
    const auto line = [](int kb) {
        return L"正在下载安装包：" + std::to_wstring(kb) + L" / 64 KB";
    };
    for (int kb = 1; kb <= 32; ++kb) {
        app.SetStatus(line(kb), kb * 100 / 64);
        DispatchStatus(window);
    }
    PumpUntil([&] { return TextOf(app.statusLabel) == line(32); });
    EXPECT_EQ(TextOf(app.statusLabel), line(32));
    EXPECT_EQ(SendMessageW(app.progressBar, PBM_GETPOS, 0, 0), 50);
    // An interval that brings nothing stops the timer, and the next line
    // posts again.
    PumpUntil([&] { return !app.statusQueued.load(); });
    EXPECT_FALSE(app.statusQueued.load());
    EXPECT_FALSE(KillTimer(window, kStatusPaintTimer)) << "the timer stops once nothing comes";
    // The end of the run paints what is still held back at once.
    app.SetStatus(line(33), 51);
    DispatchStatus(window);
    app.SetStatus(line(34), 53);
    DispatchStatus(window);

    SendMessageW(window, kRunEndedMessage, 0, 0);
    EXPECT_FALSE(app.busy);
    EXPECT_TRUE(IsWindowEnabled(app.installButton));
    EXPECT_EQ(TextOf(app.installButton), L"重新安装");
    EXPECT_EQ(TextOf(app.cancelButton), L"关闭");
    EXPECT_EQ(TextOf(app.statusLabel), line(34)) << "the last status stays";
    EXPECT_EQ(SendMessageW(app.progressBar, PBM_GETPOS, 0, 0), 53);
    EXPECT_FALSE(KillTimer(window, kStatusPaintTimer)) << "no repaint timer outlives the run";
    DestroyWindow(window);
    DrainQuit();
}

TEST(MainWindow, CloseDuringARunOnlyAsksForCancellation) {
    SKIP_WITHOUT_DISPLAY();
    InstallerApp app;
    app.systemMode = SystemMode::Windows10;
    const HWND window = CreateMainWindow(app);
    ASSERT_NE(window, nullptr);
    app.busy = true;

    // The close box, the cancel button (id 2) and Esc all arrive as WM_CLOSE.
    for (int attempt = 0; attempt < 2; ++attempt) {
        // Progress that may be held for the repaint timer when the request
        // comes is older than the request and must not cover the notice.
        app.SetStatus(L"正在下载安装包：0 / 9 KB", 0);
        DispatchStatus(window);
        app.SetStatus(L"正在下载安装包：1 / 9 KB", 11);
        DispatchStatus(window);
        app.cancelRequested.exchange(false);
        if (attempt == 0) {
            SendMessageW(window, WM_CLOSE, 0, 0);
        } else {
            SendMessageW(window, WM_COMMAND, MAKEWPARAM(2, BN_CLICKED), 0);
        }
        const ULONGLONG waitUntil = GetTickCount64() + 200;  // several repaint intervals
        PumpUntil([&] { return GetTickCount64() >= waitUntil; });
        EXPECT_TRUE(IsWindow(window)) << attempt;
        EXPECT_TRUE(app.cancelRequested.load()) << attempt;
        EXPECT_EQ(TextOf(app.statusLabel), L"正在取消，请稍候…") << attempt;
        EXPECT_EQ(app.StatusText(), L"正在下载安装包：1 / 9 KB") << "statusText is the worker's";
    }

    // A second install command during the run does nothing at all.
    EnableWindow(app.installButton, FALSE);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(1, BN_CLICKED), 0);
    EXPECT_TRUE(app.busy);
    EXPECT_FALSE(app.worker.joinable()) << "no thread may start while busy";

    // Idle again: the same request destroys the window and ends the loop.
    app.busy = false;
    SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(window));
    MSG message{};
    EXPECT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(message.wParam, 0u);
}

TEST(RecognizeMode, OnlyExactLiteralsSelectHeadlessModes) {
    EXPECT_EQ(RecognizeMode(L"--certificate"), LaunchMode::Certificate);
    EXPECT_EQ(RecognizeMode(L"--verify"), LaunchMode::Verify);
    EXPECT_EQ(RecognizeMode(L"--verify-ucrt"), LaunchMode::VerifyUcrt);
    const wchar_t* windowed[] = {
        L"", L"--VERIFY", L"--verify ", L"\"--verify\"", L"--verify x", L" --verify",
        L"--CERTIFICATE", L"--certificate ", L"\"--certificate\"", L"--certificate --verify",
        L"--VERIFY-UCRT", L"--verify-ucrt ", L"\"--verify-ucrt\"", L"--verify-ucrt 1",
        L"--verify-", L"-verify", L"/verify",
    };
    for (const wchar_t* text : windowed) {
        EXPECT_EQ(RecognizeMode(text), LaunchMode::Windowed) << text;
    }
    EXPECT_EQ(RecognizeMode(nullptr), LaunchMode::Windowed);
}
