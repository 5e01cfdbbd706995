// DownloadFile against the local HTTPS test server. Each case writes the
// server's rules file with what the path answers (status, length, reset,
// drip, stall). The settings come from the environment:
//   VANTREL_TEST_HOST, VANTREL_TEST_PORT     the main listener
//   VANTREL_TEST_SPECIAL_BASE                TLS 1.0 only (+0), wrong host (+1), expired (+2)
//   VANTREL_TEST_DOCROOT                     the docroot, for its rules file and request log
// Run by tests/e2e/test_downloader.py, which also checks the user agent and
// TLS version of every request in the server's log.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/installer_app.h"
#include "download/downloader.h"
#include "download/sha256.h"
#include "support/failure.h"
#include "support/win_handles.h"
#include "support/workspace.h"
#include "workflow/download_status.h"
#include "workflow/install_product.h"
#include "tests/test_support.h"

using namespace vantrel;

namespace {

using test_support::Env;
using test_support::HasErrorCodeSuffix;
using test_support::ReadAll;
using test_support::WriteAll;

const wchar_t kConnectFailed[] = L"下载连接失败，请检查网络、系统时间和证书";
const wchar_t kCancelled[] = L"已取消下载，可以重新开始。";
const wchar_t kTooLarge[] = L"文件大小超过清单限制，已停止下载。";
const wchar_t kIncomplete[] = L"安装包下载不完整，请重试。";
const wchar_t kEmpty[] = L"服务器返回了空文件。";
const wchar_t kInterrupted[] = L"下载中断，请重试";

// SHA-256 of the server's generated bodies (seed 0) of these lengths.
const wchar_t kDigest1000[] = L"533b698850849b7908b20a22658f639c0b2a476f1791f85f50188287c31a9aba";
const wchar_t kDigest200000[] = L"56bfedd2826b1d2e9cdde6a38608dee5cf64f899bf711de08749cc7776dd2d12";

std::uint8_t GeneratedByte(std::uint64_t i) { return static_cast<std::uint8_t>(i * 131 + 7); }

bool IsGeneratedPrefix(const std::string& bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (static_cast<std::uint8_t>(bytes[i]) != GeneratedByte(i)) return false;
    }
    return true;
}

// Collects what the downloader posts to the window. The window lives on the
// test thread, the download runs on a worker, as in the installer.
struct ProgressLog {
    InstallerApp* app = nullptr;
    std::vector<int> percents;
    std::vector<std::wstring> texts;
    // What the window finds stored once the run is over: the count of
    // SetStatus calls, the last line and its percent.
    std::uint32_t stored = 0;
    std::wstring lastText;
    int lastPercent = -1;
    bool cancelOnFirst = false;
    bool done = false;
};
ProgressLog* g_log = nullptr;

LRESULT CALLBACK ProgressWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kStatusMessage && g_log != nullptr) {
        g_log->percents.push_back(static_cast<int>(wParam));
        std::lock_guard<std::mutex> lock(g_log->app->statusMutex);
        g_log->texts.push_back(g_log->app->statusText);
        if (g_log->cancelOnFirst) g_log->app->cancelRequested.exchange(true);
        return 0;
    }
    if (message == kRunEndedMessage && g_log != nullptr) {
        g_log->done = true;
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

class Downloader : public ::testing::Test {
protected:
    void SetUp() override {
        const std::wstring port = Env(L"VANTREL_TEST_PORT");
        if (port.empty()) GTEST_SKIP() << "VANTREL_TEST_PORT is not set; run through tests/e2e";
        host_ = Env(L"VANTREL_TEST_HOST");
        if (host_.empty()) host_ = L"localhost";
        port_ = static_cast<INTERNET_PORT>(std::wcstoul(port.c_str(), nullptr, 10));
        const std::wstring special = Env(L"VANTREL_TEST_SPECIAL_BASE");
        special_ = static_cast<INTERNET_PORT>(special.empty() ? port_ + 2 : std::wcstoul(special.c_str(), nullptr, 10));
        docroot_ = Env(L"VANTREL_TEST_DOCROOT");
        if (docroot_.empty()) GTEST_SKIP() << "VANTREL_TEST_DOCROOT is not set; run through tests/e2e";
        workspace_.reset(new Workspace());
        destination_ = workspace_->directory + kPackageFileName;
    }

    ServerEndpoint Main() const { return {host_.c_str(), port_}; }

    // Runs one download on this thread; returns the failure text, or an
    // empty string on success.
    std::wstring Fetch(InstallerApp& app, const ServerEndpoint& server, const std::wstring& path,
                       std::uint64_t limit, const std::wstring& sha = L"", const std::wstring& label = L"安装包") {
        DownloadRequest request;
        request.server = server;
        request.path = path;
        request.destination = destination_;
        request.sizeLimit = limit;
        request.expectedSha256 = sha;
        request.label = label;
        try {
            // Progress is shown for the checked downloads, as the installer does.
            DownloadWithStatus(app.Context(), request, !sha.empty());
        } catch (const Failure& failure) {
            return failure.message;
        }
        return std::wstring();
    }
    std::wstring Fetch(const std::wstring& path, std::uint64_t limit, const std::wstring& sha = L"",
                       const std::wstring& label = L"安装包") {
        InstallerApp app;
        return Fetch(app, Main(), path, limit, sha, label);
    }

    // Runs one download on a worker thread while this thread owns a
    // message-only window and records every status message.
    std::wstring FetchWithWindow(ProgressLog& log, const std::wstring& path, std::uint64_t limit,
                                 const std::wstring& sha) {
        InstallerApp app;
        log.app = &app;
        g_log = &log;
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = ProgressWindowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"VantrelDownloadTestWindow";
        RegisterClassW(&windowClass);  // a second registration fails harmlessly
        app.window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                     windowClass.hInstance, nullptr);
        EXPECT_NE(app.window, nullptr);
        std::wstring result;
        std::thread worker([&] {
            result = Fetch(app, Main(), path, limit, sha);
            PostMessageW(app.window, kRunEndedMessage, 0, 0);
        });
        MSG message;
        while (!log.done && GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
        worker.join();
        log.stored = app.statusVersion;
        log.lastText = app.StatusText();
        log.lastPercent = app.statusPercent;
        DestroyWindow(app.window);
        app.window = nullptr;
        g_log = nullptr;
        return result;
    }

    void PlantOldFile() {
        FileHandle file(CreateFileW(destination_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        WriteFile(file.Get(), "previous content", 16, &written, nullptr);
    }
    bool OldFileUntouched() const {
        return ReadAll(destination_) == "previous content";
    }

    // Makes the server answer path as the rule (a JSON object, see
    // vantrel_server.py) says; returns the path.
    std::wstring Serve(const std::string& path, const std::string& rule) {
        EXPECT_TRUE(WriteAll(docroot_ + L"\\_rules.json", "{\"" + path + "\": " + rule + "}"));
        return std::wstring(path.begin(), path.end());
    }
    // Generated bytes (seed 0), the body the digests above are taken of.
    std::wstring Bytes(std::uint64_t n) { return Serve("/bytes", "{\"body_len\": " + std::to_string(n) + "}"); }

    // How often the server logged a request for exactly this path.
    std::size_t TimesRequested(const std::string& path) const {
        const std::string text = ReadAll(docroot_ + L"\\_requests.log");
        const std::string key = "\"path\": \"" + path + "\"";
        std::size_t count = 0;
        for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) ++count;
        return count;
    }

    std::wstring host_;
    INTERNET_PORT port_ = 0;
    INTERNET_PORT special_ = 0;
    std::wstring docroot_;
    std::unique_ptr<Workspace> workspace_;
    std::wstring destination_;
};

// What the destination holds afterwards. The path starts out holding an old
// file, so "untouched" and "replaced" can be told apart.
enum class Left {
    Untouched,  // nothing touched the disk: no 200 answer came
    Empty,      // created, nothing written
    Partial,    // a prefix of the body, at most bodySize bytes
    Crossing,   // the chunks before the one that crossed bodySize, the limit
    Whole,      // exactly bodySize bytes of the body
};

struct Row {
    const char* name;
    std::string rule;  // what the server answers, a rules-file object
    int port;  // 0 main, 1..3 the special listeners +0..+2, -1 a closed port
    std::uint64_t limit;
    std::wstring sha;
    std::wstring message;  // empty: success
    bool suffix;
    Left left;
    std::uint64_t bodySize;
    const wchar_t* label = L"安装包";
};

}  // namespace

TEST_F(Downloader, OutcomesTable) {
    const wchar_t* const kMismatch = L"安装包 SHA-256 校验失败，已拒绝运行。";
    const Row rows[] = {
        {"1 byte", R"({"body_len": 1})", 0, 65536, L"", L"", false, Left::Whole, 1},
        {"30000 bytes", R"({"body_len": 30000})", 0, 65536, L"", L"", false, Left::Whole, 30000},
        {"exactly the limit", R"({"body_len": 65536})", 0, 65536, L"", L"", false, Left::Whole, 65536},
        {"below 1 KB with digest", R"({"body_len": 1000})", 0, 1000, kDigest1000, L"", false, Left::Whole, 1000},
        {"exact size with digest", R"({"body_len": 200000})", 0, 200000, kDigest200000, L"", false, Left::Whole, 200000},
        {"404", R"({"status": 404})", 0, 65536, L"", L"下载服务器返回 HTTP 404", false, Left::Untouched, 0},
        {"503 with digest", R"({"status": 503})", 0, 1000, kDigest1000, L"下载服务器返回 HTTP 503", false,
         Left::Untouched, 0},
        {"TLS 1.0 only", R"({"body_len": 10})", 1, 65536, L"", kConnectFailed, true, Left::Untouched, 0},
        {"wrong host name", R"({"body_len": 10})", 2, 65536, L"", kConnectFailed, true, Left::Untouched, 0},
        {"expired certificate", R"({"body_len": 10})", 3, 65536, L"", kConnectFailed, true, Left::Untouched, 0},
        {"closed port", R"({"body_len": 10})", -1, 65536, L"", kConnectFailed, true, Left::Untouched, 0},
        {"empty body", R"({"body_hex": ""})", 0, 65536, L"", kEmpty, false, Left::Empty, 0},
        {"empty body with digest", R"({"body_hex": ""})", 0, 1000, kDigest1000, kEmpty, false, Left::Empty, 0},
        {"reset mid-body", R"({"body_len": 1198576, "reset_after": 150000})", 0, 1 << 20, L"", kInterrupted, true,
         Left::Partial, 150000},
        // Headers, then 20 s of silence: the 15 s receive limit ends the read.
        {"stall after headers", R"({"body_len": 1000, "stall_after_headers_ms": 20000})", 0, 65536, L"",
         kInterrupted, true, Left::Empty, 0},
        {"one byte over", R"({"body_len": 200001})", 0, 200000, kDigest200000, kTooLarge, false, Left::Crossing, 200000},
        {"over without digest", R"({"body_len": 65537})", 0, 65536, L"", kTooLarge, false, Left::Crossing, 65536},
        {"one byte short", R"({"body_len": 199999})", 0, 200000, kDigest200000, kIncomplete, false, Left::Whole, 199999},
        {"wrong digest", R"({"body_len": 1000})", 0, 1000, kDigest200000, kMismatch, false, Left::Whole, 1000},
        {"wrong digest, runtime label", R"({"body_len": 1000})", 0, 1000, kDigest200000,
         L"微软系统运行库 SHA-256 校验失败，已拒绝运行。", false, Left::Whole, 1000, L"微软系统运行库"},
        {"upper-case digest", R"({"body_len": 1000})", 0, 1000,
         L"533B698850849B7908B20A22658F639C0B2A476F1791F85F50188287C31A9ABA", kMismatch, false, Left::Whole, 1000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        PlantOldFile();
        InstallerApp app;
        INTERNET_PORT port = port_;
        if (row.port > 0) port = static_cast<INTERNET_PORT>(special_ + row.port - 1);
        if (row.port < 0) port = 1;  // tcpmux: nothing listens there
        const std::wstring path = Serve("/file", row.rule);
        const std::wstring message = Fetch(app, {host_.c_str(), port}, path, row.limit, row.sha, row.label);
        if (row.suffix) {
            EXPECT_TRUE(HasErrorCodeSuffix(message, row.message)) << ::testing::PrintToString(message);
        } else {
            EXPECT_EQ(message, row.message);
        }
        const std::string bytes = ReadAll(destination_);
        EXPECT_TRUE(row.left == Left::Untouched || IsGeneratedPrefix(bytes));
        switch (row.left) {
        case Left::Untouched:
            EXPECT_TRUE(OldFileUntouched()) << "nothing may touch the disk before a 200 answer";
            break;
        case Left::Empty:
            EXPECT_EQ(bytes.size(), 0u);
            break;
        case Left::Partial:
            EXPECT_LE(bytes.size(), row.bodySize);
            break;
        case Left::Crossing:
            // A chunk is at most 64 KiB, so everything before the crossing
            // chunk is more than limit - 64 KiB; the crossing chunk is not.
            EXPECT_LE(bytes.size(), row.bodySize);
            EXPECT_GT(bytes.size() + 65536, row.bodySize);
            break;
        case Left::Whole:
            EXPECT_EQ(bytes.size(), row.bodySize);
            break;
        }
    }
}

TEST_F(Downloader, PublishesProgressPerChunkOnlyWithADigest) {
    {
        ProgressLog log;
        EXPECT_EQ(FetchWithWindow(log, Bytes(200000), 200000, kDigest200000), L"");
        // Every chunk (at least four of 64 KiB) and the verification step
        // store their line; this window never catches up (it is no main
        // window with a repaint timer), so only the first chunk and the new
        // kind of text post.
        EXPECT_GE(log.stored, 5u);
        ASSERT_EQ(log.percents.size(), 2u);
        EXPECT_LT(log.percents.front(), 100);
        EXPECT_EQ(log.texts.front().rfind(L"正在下载安装包：", 0), 0u) << log.texts.front();
        EXPECT_EQ(log.percents.back(), 100);
        EXPECT_EQ(log.texts.back(), L"正在校验安装包…");
        EXPECT_EQ(log.lastPercent, 100);
    }
    {
        // A limit below 1 KB: the percentage still reaches 100.
        ProgressLog log;
        EXPECT_EQ(FetchWithWindow(log, Bytes(1000), 1000, kDigest1000), L"");
        ASSERT_GE(log.percents.size(), 2u);
        EXPECT_EQ(log.percents.back(), 100);
        EXPECT_EQ(log.texts.back(), L"正在校验安装包…");
    }
    {
        // The manifest's kind of download: silent, the status line untouched.
        ProgressLog log;
        EXPECT_EQ(FetchWithWindow(log, Bytes(200000), 300000, L""), L"");
        EXPECT_TRUE(log.percents.empty());
        EXPECT_EQ(ReadAll(destination_).size(), 200000u);
    }
    {
        // Headless: no window, the text is still kept.
        InstallerApp app;
        EXPECT_EQ(Fetch(app, Main(), Bytes(1000), 1000, kDigest1000, L"微软系统运行库"), L"");
        EXPECT_EQ(app.StatusText(), L"正在校验微软系统运行库…");
    }
}

TEST_F(Downloader, CancellationIsHonouredAfterTheFileAndAfterEachChunk) {
    {
        // Already cancelled when the answer arrives: an empty file, no progress.
        InstallerApp app;
        app.cancelRequested = true;
        PlantOldFile();
        EXPECT_EQ(Fetch(app, Main(), Bytes(200000), 200000, kDigest200000), kCancelled);
        EXPECT_EQ(ReadAll(destination_).size(), 0u);
        EXPECT_EQ(app.StatusText(), L"");
    }
    {
        // 400000 bytes trickling in 20000-byte pieces 100 ms apart (about
        // 2 s in all); cancel on the first progress message. The chunk in
        // progress is still written and published, then the download stops.
        // The digest is never reached.
        ProgressLog log;
        log.cancelOnFirst = true;
        const std::wstring path = Serve("/drip", R"({"body_len": 400000, "drip": {"chunk": 20000, "delay_ms": 100}})");
        EXPECT_EQ(FetchWithWindow(log, path, 400000, kDigest200000), kCancelled);
        const std::string bytes = ReadAll(destination_);
        EXPECT_GT(bytes.size(), 0u);
        EXPECT_LE(bytes.size(), 2u * 65536) << "at most the first chunk and the one in progress";
        EXPECT_TRUE(IsGeneratedPrefix(bytes));
        ASSERT_FALSE(log.percents.empty());
        EXPECT_LE(log.percents.size(), 2u);
        EXPECT_EQ(static_cast<std::size_t>(log.lastPercent), bytes.size() * 100 / 400000)
            << "the last line stored must describe the last chunk written";
        EXPECT_EQ(log.lastText, DownloadProgressText(L"安装包", bytes.size(), 400000));
    }
}

TEST_F(Downloader, RedirectsAreReportedAndNeverFollowed) {
    for (const int code : {301, 302}) {
        const std::string path = "/status-" + std::to_string(code);
        EXPECT_EQ(Fetch(Serve(path, "{\"status\": " + std::to_string(code) + "}"), 65536),
                  L"下载服务器返回 HTTP " + std::to_wstring(code));
        EXPECT_EQ(TimesRequested(path), 1u);
    }
    // The server's redirects point at /redirected, which nothing serves.
    EXPECT_EQ(TimesRequested("/redirected"), 0u);
}
