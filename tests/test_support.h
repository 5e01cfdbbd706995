// Helpers shared by the in-process test programs, and the headers all of
// them use.
#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/installer_app.h"
#include "support/failure.h"

namespace test_support {

// An environment variable, or empty when unset.
inline std::wstring Env(const wchar_t* name) {
    wchar_t buffer[1024];
    const DWORD length = GetEnvironmentVariableW(name, buffer, 1024);
    return length > 0 && length < 1024 ? std::wstring(buffer, length) : std::wstring();
}

// %TEMP% with its trailing backslash, or empty when it does not fit MAX_PATH.
inline std::wstring TempPath() {
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    return length <= MAX_PATH ? std::wstring(buffer, length) : std::wstring();
}

// A name in %TEMP% of this process's own, for files a test double writes.
inline std::wstring OwnTempFile(const wchar_t* stem) {
    return TempPath() + stem + L"-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
}

inline bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Names of the workspaces in %TEMP% right now.
inline std::vector<std::wstring> Workspaces() {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW((TempPath() + L"VantrelSetup-*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    for (BOOL more = TRUE; more; more = FindNextFileW(search, &found)) names.push_back(found.cFileName);
    FindClose(search);
    return names;
}

// The folder of this test program.
inline std::wstring ExeDirectory() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text = path;
    return text.substr(0, text.find_last_of(L'\\'));
}

// A whole file, or empty when it can't be opened.
inline std::string ReadAll(const std::wstring& path) {
    std::string bytes;
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    char chunk[65536];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0) bytes.append(chunk, read);
    CloseHandle(file);
    return bytes;
}

// Writes a whole file, creating its folder first.
inline bool WriteAll(const std::wstring& path, const std::string& bytes) {
    const std::size_t slash = path.find_last_of(L'\\');
    if (slash != std::wstring::npos) SHCreateDirectoryExW(nullptr, path.substr(0, slash).c_str(), nullptr);
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

// A file in %TEMP% with the given content, deleted again with this object.
class TempFile {
public:
    explicit TempFile(const std::string& content) {
        wchar_t name[MAX_PATH] = {};
        GetTempFileNameW(TempPath().c_str(), L"vts", 0, name);
        path = name;
        EXPECT_TRUE(WriteAll(path, content));
    }
    ~TempFile() { DeleteFileW(path.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    std::wstring path;
};

// Byte i is (131 * i + 7) mod 256: the body the test server generates (seed
// 0), and the stand-in packages the tests publish.
inline std::string Generated(std::size_t length) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(i * 131 + 7);
    return bytes;
}

// One release.ini section; an empty value leaves its key out.
inline std::string Section(const std::string& name, const std::string& file, const std::string& sha256,
                           const std::string& size) {
    std::string text = "[" + name + "]\r\n";
    if (!file.empty()) text += "file=" + file + "\r\n";
    if (!sha256.empty()) text += "sha256=" + sha256 + "\r\n";
    if (!size.empty()) text += "size=" + size + "\r\n";
    return text;
}

// The Failure text a call throws, or nullopt when it returns.
template <typename Call>
std::optional<std::wstring> FailureOf(Call&& call) {
    try {
        call();
    } catch (const vantrel::Failure& failure) {
        return failure.message;
    }
    return std::nullopt;
}

// ASCII as it is, anything else as \uXXXX: for test messages, and for
// manifest text the tests write in ASCII.
inline std::string Narrow(const std::wstring& text) {
    std::string out;
    for (const wchar_t c : text) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        }
    }
    return out;
}

inline std::wstring Widen(const std::string& utf8) {
    std::wstring out(utf8.size(), L'\0');
    out.resize(static_cast<std::size_t>(
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], static_cast<int>(out.size()))));
    return out;
}

// The value of a key=value line a test double wrote, or nullopt.
inline std::optional<std::wstring> RecordValue(const std::wstring& path, const std::string& key) {
    const std::string text = "\n" + ReadAll(path);
    const std::size_t at = text.find("\n" + key + "=");
    if (at == std::string::npos) return std::nullopt;
    const std::size_t start = at + key.size() + 2;
    return Widen(text.substr(start, text.find('\n', start) - start));
}

// "<message>（错误码 <digits>）" exactly.
inline ::testing::AssertionResult HasErrorCodeSuffix(const std::wstring& text, const std::wstring& message) {
    const std::wstring open = message + L"（错误码 ";
    bool ok = text.compare(0, open.size(), open) == 0 && text.size() >= open.size() + 2 && text.back() == L'）';
    for (std::size_t i = open.size(); ok && i + 1 < text.size(); ++i) ok = text[i] >= L'0' && text[i] <= L'9';
    if (ok) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << Narrow(text) << " is not \"" << Narrow(message)
                                         << "\" with an error-code suffix";
}

// SHA-256 as lower-case hex through CNG, written here rather than taken from
// the program so that a fault there can't make both sides agree.
inline std::wstring Sha256Hex(const std::string& bytes) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    unsigned char digest[32] = {};
    BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
    BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                   static_cast<ULONG>(bytes.size()), 0);
    BCryptFinishHash(hash, digest, sizeof(digest), 0);
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    std::wstring text;
    for (const unsigned char b : digest) {
        text.push_back(L"0123456789abcdef"[b >> 4]);
        text.push_back(L"0123456789abcdef"[b & 15]);
    }
    return text;
}

// What a message-only window saw of a run: the percent of every status
// message, and the status line stored when the window handled it.
struct StatusLog {
    std::vector<int> percents;
    std::vector<std::wstring> texts;
    vantrel::InstallerApp* app = nullptr;
    const std::function<void()>* onStatus = nullptr;
    bool ended = false;
};

inline LRESULT CALLBACK StatusLogWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* log = reinterpret_cast<StatusLog*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (log != nullptr && message == vantrel::kStatusMessage) {
        log->percents.push_back(static_cast<int>(wParam));
        log->texts.push_back(log->app->StatusText());
        if (*log->onStatus) (*log->onStatus)();
    }
    if (log != nullptr && message == vantrel::kRunEndedMessage) log->ended = true;
    return DefWindowProcW(window, message, wParam, lParam);
}

// Runs `run` on a worker thread, as the installer runs its steps, while this
// thread owns the app's window and handles its messages (calling `onStatus`
// for each status message). This window never catches up the way the main
// window does with its repaint timer, so only the first line of each kind
// posts.
inline StatusLog RunWithWindow(vantrel::InstallerApp& app, const std::function<void()>& run,
                               const std::function<void()>& onStatus = nullptr) {
    StatusLog log;
    log.app = &app;
    log.onStatus = &onStatus;
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = StatusLogWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"VantrelTestStatusWindow";
    RegisterClassW(&windowClass);  // a second registration fails harmlessly
    app.window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 windowClass.hInstance, nullptr);
    EXPECT_NE(app.window, nullptr);
    SetWindowLongPtrW(app.window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&log));
    std::thread worker([&] {
        run();
        PostMessageW(app.window, vantrel::kRunEndedMessage, 0, 0);
    });
    MSG message;
    while (!log.ended && GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    worker.join();
    DestroyWindow(app.window);
    app.window = nullptr;
    log.app = nullptr;
    log.onStatus = nullptr;
    return log;
}

// Runs `call` while another thread sets the app's cancel flag the moment the
// status line reads `text`. Gives the call's failure, or "(never shown)"
// when the line never appeared.
template <typename Call>
std::optional<std::wstring> CancelWhenStatusIs(vantrel::InstallerApp& app, const std::wstring& text, Call&& call) {
    std::atomic<bool> finished{false};
    std::atomic<bool> seen{false};
    std::thread observer([&] {
        while (!finished.load() && !seen.load()) {
            if (app.StatusText() == text) {
                app.cancelRequested.store(true);
                seen.store(true);
            }
            SwitchToThread();
        }
    });
    const auto failure = FailureOf(call);
    finished.store(true);
    observer.join();
    return seen.load() ? failure : std::optional<std::wstring>(L"(never shown)");
}

// Tests against the local HTTPS test server, whose settings the end-to-end
// suite passes in the environment; skipped without them.
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = static_cast<unsigned short>(_wtoi(Env(L"VANTREL_TEST_PORT").c_str()));
        docroot_ = Env(L"VANTREL_TEST_DOCROOT");
        if (port_ == 0 || docroot_.empty()) {
            GTEST_SKIP() << "VANTREL_TEST_PORT and VANTREL_TEST_DOCROOT are not set; run through tests/e2e";
        }
    }
    // Makes the server answer urlPath with these bytes.
    void Publish(std::wstring urlPath, const std::string& bytes) {
        for (wchar_t& c : urlPath) c = c == L'/' ? L'\\' : c;
        ASSERT_TRUE(WriteAll(docroot_ + urlPath, bytes)) << Narrow(urlPath);
    }
    unsigned short port_ = 0;
    std::wstring docroot_;
};

}  // namespace test_support
