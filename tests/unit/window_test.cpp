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
#include "tests/test_support.h"

using namespace vantrel;

namespace {

// Every length of a layout, in a fixed order: client width and height,
// heading x and y, status, progress, install and cancel (x, y, width, height
// each), body and title font heights.
std::vector<int> Lengths(const WindowLayout& layout) {
    std::vector<int> lengths{layout.clientWidth, layout.clientHeight, layout.headingX, layout.headingY};
    for (const ControlRect& r : {layout.status, layout.progress, layout.install, layout.cancel}) {
        lengths.insert(lengths.end(), {r.x, r.y, r.width, r.height});
    }
    lengths.insert(lengths.end(), {layout.bodyFontHeight, layout.titleFontHeight});
    return lengths;
}

}  // namespace

// 96 and 144 DPI are checked on the real window by the end-to-end layout rows;
// 125 % is the scale where lengths land on halves.
TEST(WindowLayout, ScalesEveryLengthSeparatelyWithRounding) {
    // Halves round away from zero (202 -> 252.5 -> 253, 14 -> 17.5 -> 18).
    EXPECT_EQ(Lengths(ComputeLayout(120)), (std::vector<int>{575, 330, 35, 38, 35, 120, 505, 75, 35, 205, 505, 10,
                                                             330, 253, 210, 45, 35, 253, 100, 45, 18, 30}));
}

TEST(WindowLayout, ControlsStayInsideTheClientAreaAndApartAtCommonDpis) {
    for (int dpi : {72, 96, 108, 120, 144, 168, 192, 240, 288}) {
        const WindowLayout layout = ComputeLayout(dpi);
        for (const ControlRect& c : {layout.status, layout.progress, layout.install, layout.cancel}) {
            EXPECT_TRUE(c.width > 0 && c.height > 0 && c.x + c.width <= layout.clientWidth &&
                        c.y + c.height <= layout.clientHeight) << dpi << " " << c.x << "," << c.y;
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
        EXPECT_EQ((std::vector<int>{placement.x, placement.y, placement.width, placement.height}),
                  (std::vector<int>{c.x, c.y, c.width, c.height})) << c.name;
    }
}

TEST(WindowLayout, AFailedDpiReadFallsBackTo96) {
    for (const auto& [read, used] : {std::pair{0, 96}, {-1, 96}, {144, 144}}) EXPECT_EQ(UsableDpi(read), used) << read;
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

HWND MessageOnlyWindow() {
    return CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
}

// The status channel's messages to `window` until the end message (or 30 s).
std::vector<MSG> CollectUntilRunEnded(HWND window) {
    std::vector<MSG> posted;
    for (const ULONGLONG deadline = GetTickCount64() + 30000; GetTickCount64() < deadline; Sleep(5)) {
        MSG message{};
        while (PeekMessageW(&message, window, kStatusMessage, kRunEndedMessage, PM_REMOVE)) {
            posted.push_back(message);
            if (message.message == kRunEndedMessage) return posted;
        }
    }
    return posted;
}

// Points the user's temporary folder at a path that doesn't exist, so a run
// fails at its very first step, before any network access. GetTempPathW reads
// TMP first and doesn't check that the folder exists.
struct BrokenTempFolder {
    const std::wstring saved = test_support::Env(L"TMP");
    BrokenTempFolder() { SetEnvironmentVariableW(L"TMP", L"C:\\vantrel-missing-folder\\deeper"); }
    ~BrokenTempFolder() { SetEnvironmentVariableW(L"TMP", saved.empty() ? nullptr : saved.c_str()); }
};

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
    const bool created = CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 1, 1, parent, nullptr, nullptr,
                                         nullptr) != nullptr;
    DestroyWindow(parent);
    return created;
}

#define SKIP_WITHOUT_DISPLAY()                                                        \
    if (!ControlsCanBeCreated()) GTEST_SKIP() << "no display: child windows can't be created"

// The real window procedure on a window that is never shown.
HWND CreateMainWindow(InstallerApp& app) {
    static const bool registered = [] {
        INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = MainWindowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"VantrelWindowTestClass";
        return RegisterClassExW(&windowClass) != 0;
    }();
    if (!registered) return nullptr;
    return CreateWindowExW(0, L"VantrelWindowTestClass", kWindowTitle, kWindowStyle, CW_USEDEFAULT,
                           CW_USEDEFAULT, 460, 264, HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr), &app);
}

// Dispatches the status messages waiting for `window`.
void DispatchStatus(HWND window) {
    MSG message{};
    while (PeekMessageW(&message, window, kStatusMessage, kStatusMessage, PM_REMOVE)) DispatchMessageW(&message);
}

// Runs the thread's messages (timers included) until `done` or 5 s.
template <typename Done>
void PumpUntil(Done done) {
    for (const ULONGLONG deadline = GetTickCount64() + 5000; !done() && GetTickCount64() < deadline; Sleep(5)) {
        MSG message{};
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }
}

// Takes the WM_QUIT a destroyed main window leaves behind.
void DrainQuit() {
    MSG message{};
    while (PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) continue;
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

    const std::vector<MSG> posted = CollectUntilRunEnded(app.window);
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

// Ids, texts, tab order and the default button are what the end-to-end
// layout and dialog-key rows see on the shipped program; the fonts are not.
TEST(MainWindow, CreationLaysOutTheControlsWithBannerAndFonts) {
    SKIP_WITHOUT_DISPLAY();
    InstallerApp app;
    app.systemMode = SystemMode::Windows7;
    app.needsRuntime = true;
    const HWND window = CreateMainWindow(app);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(app.window, window);
    EXPECT_EQ(TextOf(app.statusLabel), L"已识别 Windows 7 SP1 x64 · 将先安装系统运行库");
    EXPECT_TRUE(app.StatusText().empty()) << "the banner is not a status";

    const WindowLayout layout = ComputeLayout(app.dpi);
    for (const HWND control : {app.statusLabel, app.installButton, app.cancelButton}) {
        EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), app.bodyFont.Get());
    }
    for (const auto& font : {std::make_pair(app.bodyFont.Get(), layout.bodyFontHeight),
                             std::make_pair(app.titleFont.Get(), layout.titleFontHeight)}) {
        LOGFONTW logFont{};
        ASSERT_EQ(GetObjectW(font.first, sizeof(logFont), &logFont), static_cast<int>(sizeof(logFont)));
        // Negative: a character height, not a cell height.
        EXPECT_EQ(logFont.lfHeight, -font.second);
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

    // (That each kind of line reaches the label and the bar, and the buttons'
    // texts after a run, the end-to-end runs read from the shipped window.)
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

    // The run's last line is stored, its message still queued, when a
    // request comes; then the run ends. The finished window shows that line,
    // not the notice.
    app.SetStatus(L"安装已完成。", 100);
    SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(TextOf(app.statusLabel), L"正在取消，请稍候…");
    SendMessageW(window, kRunEndedMessage, 1, 0);
    DispatchStatus(window);
    EXPECT_EQ(TextOf(app.statusLabel), L"安装已完成。");
    EXPECT_EQ(SendMessageW(app.progressBar, PBM_GETPOS, 0, 0), 100);

    // Idle again: the same request destroys the window and ends the loop.
    EXPECT_FALSE(app.busy);
    SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(window));
    MSG message{};
    EXPECT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(message.wParam, 0u);
}

// A close rule that fails (no memory, the status lock) is reported in a box
// by the window procedure; the window must not then be destroyed under a
// running worker. Every other message keeps the default answer.
TEST(WindowProcedure, AFailedCloseLeavesTheWindowInPlace) {
    const HWND window = MessageOnlyWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(AfterFailedMessage(window, WM_CLOSE, 0, 0), 0);
    EXPECT_TRUE(IsWindow(window));
    EXPECT_EQ(AfterFailedMessage(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"x")), TRUE);
    EXPECT_EQ(TextOf(window), L"x");
    DestroyWindow(window);
}

TEST(RecognizeMode, OnlyExactLiteralsSelectHeadlessModes) {
    EXPECT_EQ(RecognizeMode(L"--certificate"), LaunchMode::Certificate);
    EXPECT_EQ(RecognizeMode(L"--verify"), LaunchMode::Verify);
    EXPECT_EQ(RecognizeMode(L"--verify-ucrt"), LaunchMode::VerifyUcrt);
    const wchar_t* windowed[] = {
        nullptr, L"", L"--VERIFY", L"--verify ", L"\"--verify\"", L"--verify x", L" --verify",
        L"--CERTIFICATE", L"--certificate ", L"\"--certificate\"", L"--certificate --verify",
        L"--VERIFY-UCRT", L"--verify-ucrt ", L"\"--verify-ucrt\"", L"--verify-ucrt 1",
        L"--verify-", L"-verify", L"/verify",
    };
    for (const wchar_t* text : windowed) {
        EXPECT_EQ(RecognizeMode(text), LaunchMode::Windowed) << text;
    }
}
