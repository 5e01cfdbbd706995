// How quickly the installer's window answers while a run is in progress.
// Optionally presses the install button, then sends WM_NULL to the main window
// (SendMessageTimeoutW, as any other program would) every `interval_ms` until
// the run has ended, and sorts each answer time by what the status line said
// just before it was sent: downloading ("正在下载..."), verifying ("正在校验...")
// or anything else. The status line is read with InternalGetWindowText, which
// does not need the window's thread, so reading it never disturbs the figure.
//
//   latency_probe <interval_ms> <max_seconds> [click]
//
// Prints {"download":{stats},"verify":{stats},"other":{stats},
//         "status_changes":n,"download_ms":..,"final_status":".."}
// with stats {"count","timeouts","p50","p90","p99","max"} in milliseconds.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr const wchar_t* kWindowClass = L"VantrelOnlineSetupWindow";
constexpr int kInstallId = 1;
constexpr UINT kAnswerTimeoutMs = 5000;

double NowMs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f{};
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::wstring TextOf(HWND window) {
    wchar_t buffer[512] = {};
    const int length = InternalGetWindowText(window, buffer, 512);
    return std::wstring(buffer, length > 0 ? length : 0);
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

struct Phase {
    std::vector<double> samples;
    int timeouts = 0;

    std::string Json() {
        std::sort(samples.begin(), samples.end());
        auto at = [&](double q) {
            if (samples.empty()) return std::string("null");
            const size_t index = std::min(samples.size() - 1, static_cast<size_t>(q * samples.size()));
            char text[32];
            std::snprintf(text, sizeof(text), "%.3f", samples[index]);
            return std::string(text);
        };
        char head[64];
        std::snprintf(head, sizeof(head), "{\"count\":%u,\"timeouts\":%d,", static_cast<unsigned>(samples.size()),
                      timeouts);
        return head + std::string("\"p50\":") + at(0.50) + ",\"p90\":" + at(0.90) + ",\"p99\":" + at(0.99) +
               ",\"max\":" + at(1.0) + "}";
    }
};

std::string Quote(const std::wstring& text) {
    std::string out = "\"";
    for (wchar_t c : text) {
        char escaped[8];
        if (c >= 0x20 && c < 0x7F && c != L'"' && c != L'\\') {
            out += static_cast<char>(c);
        } else {
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        }
    }
    return out + "\"";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fputs("usage: latency_probe <interval_ms> <max_seconds> [click]\n", stderr);
        return 2;
    }
    const DWORD interval = static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10));
    const double limitMs = 1000.0 * std::wcstod(argv[2], nullptr);
    const bool click = argc > 3 && std::wstring(argv[3]) == L"click";

    HWND main = nullptr;
    const double waitStart = NowMs();
    while ((main = FindWindowW(kWindowClass, nullptr)) == nullptr || !IsWindowVisible(main)) {
        if (NowMs() - waitStart > 30000) {
            std::fputs("latency_probe: the installer window did not appear\n", stderr);
            return 1;
        }
        Sleep(10);
    }
    const HWND status = FindWindowExW(main, nullptr, L"Static", nullptr);
    const HWND install = GetDlgItem(main, kInstallId);
    if (click) PostMessageW(install, BM_CLICK, 0, 0);

    Phase download, verify, other;
    std::wstring last;
    int changes = 0;
    bool started = false;
    double downloadStart = 0, downloadEnd = 0;
    const double start = NowMs();
    for (;;) {
        const double now = NowMs();
        if (now - start > limitMs) break;
        const std::wstring text = TextOf(status);
        if (text != last) {
            ++changes;
            last = text;
        }
        const bool enabled = IsWindowEnabled(install) != FALSE;
        if (!enabled) started = true;
        if (started && enabled) break;  // the run has ended

        Phase& phase = StartsWith(text, L"正在下载") ? download : StartsWith(text, L"正在校验") ? verify : other;
        if (&phase == &download) {
            if (downloadStart == 0) downloadStart = now;
            downloadEnd = now;
        }
        DWORD_PTR result = 0;
        const double sent = NowMs();
        const bool answered =
            SendMessageTimeoutW(main, WM_NULL, 0, 0, SMTO_NORMAL, kAnswerTimeoutMs, &result) != 0;
        phase.samples.push_back(NowMs() - sent);
        if (!answered) ++phase.timeouts;
        if (!IsWindow(main)) break;
        Sleep(interval);
    }
    std::printf("{\"download\":%s,\"verify\":%s,\"other\":%s,\"status_changes\":%d,\"download_ms\":%.1f,"
                "\"final_status\":%s}\n",
                download.Json().c_str(), verify.Json().c_str(), other.Json().c_str(), changes,
                downloadEnd - downloadStart, Quote(TextOf(status)).c_str());
    return 0;
}
