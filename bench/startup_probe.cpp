// Start-up time of the installer's window: from the moment the process is
// created to the moment its main window is visible, as a user would see it.
// Runs the program `rounds` times, one after the other; each window is closed
// (WM_CLOSE, which an idle window accepts) and its process waited for before
// the next start, so the single-instance lock never interferes. Run it inside
// the same Wine prefix, whose server is then already up. With a second
// program (the reference), each round starts both, one after the other, so
// that a change of the machine's load falls on both alike.
//
//   startup_probe <exe> <rounds> [<reference exe>]
//
// Prints {"ms":[..],"exit_codes":[..]}, with a reference also
// "reference_ms" and "reference_exit_codes".
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr const wchar_t* kWindowClass = L"VantrelOnlineSetupWindow";
constexpr double kGiveUpMs = 30000;

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

HWND VisibleWindowOf(DWORD processId) {
    HWND window = nullptr;
    while ((window = FindWindowExW(nullptr, window, kWindowClass, nullptr)) != nullptr) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == processId && IsWindowVisible(window)) return window;
    }
    return nullptr;
}

struct Series {
    std::string times = "[";
    std::string codes = "[";
};

// One start of `program` to its visible window; false (with a message) when
// it could not be started or never showed one.
bool TimeOneStart(const std::wstring& program, bool first, Series& series) {
    std::wstring commandLine = L"\"" + program + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    const double start = NowMs();
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::fprintf(stderr, "startup_probe: CreateProcessW failed with %lu\n", GetLastError());
        return false;
    }
    HWND window = nullptr;
    double visible = 0;
    // A 1 ms poll: fine enough for a figure in the hundreds of
    // milliseconds, and it leaves the cores to the starting program.
    while ((window = VisibleWindowOf(process.dwProcessId)) == nullptr) {
        if (NowMs() - start > kGiveUpMs ||
            WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0) {
            break;
        }
        Sleep(1);
    }
    visible = NowMs();
    if (window != nullptr) PostMessageW(window, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process.hProcess, 15000) != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 9);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (window == nullptr) {
        std::fprintf(stderr, "startup_probe: no visible window (exit code %lu)\n", code);
        return false;
    }
    char entry[64];
    std::snprintf(entry, sizeof(entry), "%s%.3f", first ? "" : ",", visible - start);
    series.times += entry;
    std::snprintf(entry, sizeof(entry), "%s%lu", first ? "" : ",", code);
    series.codes += entry;
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 && argc != 4) {
        std::fputs("usage: startup_probe <exe> <rounds> [<reference exe>]\n", stderr);
        return 2;
    }
    const std::wstring program = argv[1];
    const int rounds = static_cast<int>(std::wcstoul(argv[2], nullptr, 10));
    const bool withReference = argc == 4;
    Series measured, reference;
    for (int round = 0; round < rounds; ++round) {
        // The order turns each round, so neither always follows the other.
        const bool referenceFirst = withReference && round % 2 == 1;
        if (referenceFirst && !TimeOneStart(argv[3], round == 0, reference)) return 1;
        if (!TimeOneStart(program, round == 0, measured)) return 1;
        if (withReference && !referenceFirst && !TimeOneStart(argv[3], round == 0, reference)) return 1;
    }
    if (withReference) {
        std::printf("{\"ms\":%s],\"exit_codes\":%s],\"reference_ms\":%s],\"reference_exit_codes\":%s]}\n",
                    measured.times.c_str(), measured.codes.c_str(), reference.times.c_str(),
                    reference.codes.c_str());
    } else {
        std::printf("{\"ms\":%s],\"exit_codes\":%s]}\n", measured.times.c_str(), measured.codes.c_str());
    }
    return 0;
}
