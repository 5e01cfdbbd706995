// The installation sequence and the runtime update in this process, against
// the staging server on the ports compiled into this build. The test writes
// what the server serves into its docroot. Settings from the environment:
//   VANTREL_TEST_PORT, VANTREL_TEST_DOCROOT   the staging server (see the
//                                            downloader tests)
//   VANTREL_TEST_WUSA_DOUBLE=1               the wusa.exe double is in the
//                                            native system folder and Wine runs
//                                            it (set by the end-to-end test
//                                            that prepares such a prefix)
//   VANTREL_WUSA_UCRT_SOURCE                 a saved ucrtbase.dll, to put the
//                                            runtime back
// The sample installer and the staging runtime package are found beside this
// program (tests\) and in the build's fixtures\ folder.
#include <windows.h>
#include <bcrypt.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/installer_app.h"
#include "download/endpoints.h"
#include "support/failure.h"
#include "support/native_system.h"
#include "support/workspace.h"
#include "workflow/install_product.h"
#include "workflow/runtime_update.h"
#include "tests/test_support.h"

using namespace vantrel;

namespace {

using test_support::Env;
using test_support::WriteAll;
using test_support::FailureOf;
using test_support::Exists;
using test_support::Narrow;
using test_support::ReadAll;
using test_support::TempPath;

const std::wstring kDone = L"安装已完成。";
const std::wstring kLaunched = L"请在安装向导中选择位置并完成安装。";
const std::wstring kFetchingManifest = L"正在获取版本信息…";
const std::wstring kVerifyingPackage = L"正在校验安装包…";
const std::wstring kCancelled = L"已取消安装。";
const std::wstring kNotFinished = L"安装尚未完成或已取消，可重新开始。返回码：";
const std::wstring kTooLarge = L"文件大小超过清单限制，已停止下载。";
const std::wstring kIncomplete = L"安装包下载不完整，请重试。";
const std::wstring kInstallingRuntime = L"正在安装微软系统运行库…";
const std::wstring kRuntimeRestart = L"微软系统运行库已安装，需要重启 Windows 后重新运行岚禾舟安装器。";
const wchar_t kSampleName[] = L"Sample-Setup-1.0.exe";

std::wstring Widen(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                         nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], size);
    return out;
}

std::wstring Sha256Hex(const std::string& bytes) {
    const std::string hex = test_support::Sha256Hex(bytes);
    return std::wstring(hex.begin(), hex.end());
}

std::wstring ExeDirectory() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text = path;
    return text.substr(0, text.find_last_of(L'\\'));
}

// Names of the workspaces in %TEMP% right now.
std::vector<std::wstring> Workspaces() {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW((TempPath() + L"VantrelSetup-*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        names.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

// key=value lines written by the test doubles.
std::map<std::string, std::wstring> ReadRecord(const std::wstring& path) {
    std::map<std::string, std::wstring> values;
    const std::string text = ReadAll(path);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos) values[line.substr(0, equals)] = Widen(line.substr(equals + 1));
        start = end + 1;
    }
    return values;
}

// A message-only window on the test thread; the percents posted to it are read
// back after the run.
class StatusWindow {
public:
    StatusWindow()
        : window_(CreateWindowExW(0, L"STATIC", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleW(nullptr), nullptr)) {}
    ~StatusWindow() { DestroyWindow(window_); }
    StatusWindow(const StatusWindow&) = delete;
    StatusWindow& operator=(const StatusWindow&) = delete;
    HWND get() const { return window_; }
    std::vector<int> TakePercents() {
        std::vector<int> percents;
        MSG message{};
        while (PeekMessageW(&message, window_, kStatusMessage, kStatusMessage, PM_REMOVE)) {
            percents.push_back(static_cast<int>(message.wParam));
        }
        return percents;
    }

private:
    HWND window_;
};

class NetTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (Env(L"VANTREL_TEST_PORT").empty()) GTEST_SKIP() << "VANTREL_TEST_PORT is not set";
        docroot_ = Env(L"VANTREL_TEST_DOCROOT");
        ASSERT_FALSE(docroot_.empty());
        // The sequence talks to the compiled-in servers; make a mismatch with
        // the running server obvious instead of a connection error.
        ASSERT_EQ(static_cast<unsigned>(_wtoi(Env(L"VANTREL_TEST_PORT").c_str())),
                  static_cast<unsigned>(ProductServer().port));
    }

    void Publish(const std::wstring& urlPath, const std::string& bytes) {
        std::wstring local = urlPath;
        for (wchar_t& c : local) {
            if (c == L'/') c = L'\\';
        }
        ASSERT_TRUE(WriteAll(docroot_ + local, bytes)) << Narrow(urlPath);
    }

    std::wstring docroot_;
};

// ---------------------------------------------------------------------------
// InstallProduct

class WorkflowInstall : public NetTest {
protected:
    void SetUp() override {
        NetTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        sample_ = ReadAll(ExeDirectory() + L"\\sample_installer.exe");
        ASSERT_FALSE(sample_.empty()) << "sample_installer.exe not found beside the test program";
        Publish(std::wstring(L"/downloads/") + kSampleName, sample_);
        PublishManifest(kSampleName, Sha256Hex(sample_), std::to_string(sample_.size()));

        record_ = TempPath() + L"vantrel-sample-record-" + std::to_wstring(GetCurrentProcessId()) +
                  L".txt";
        DeleteFileW(record_.c_str());
        SetEnvironmentVariableW(L"VANTREL_SAMPLE_RECORD", record_.c_str());
        for (const wchar_t* name : {L"VANTREL_SAMPLE_EXIT", L"VANTREL_SAMPLE_LEAVE_FILE",
                                    L"VANTREL_SAMPLE_HOLD"}) {
            SetEnvironmentVariableW(name, nullptr);
        }
        before_ = Workspaces();
        app_.systemMode = SystemMode::Windows10;
    }

    void TearDown() override {
        for (const wchar_t* name : {L"VANTREL_SAMPLE_RECORD", L"VANTREL_SAMPLE_EXIT",
                                    L"VANTREL_SAMPLE_LEAVE_FILE", L"VANTREL_SAMPLE_HOLD"}) {
            SetEnvironmentVariableW(name, nullptr);
        }
        if (!record_.empty()) DeleteFileW(record_.c_str());
    }

    // The "windows" section names `file`; the file can be padded to an exact
    // size with a comment-like key of another section.
    std::string PublishManifest(const std::wstring& file, const std::wstring& sha256,
                                const std::string& size, std::size_t padTo = 0) {
        std::string text = "[windows]\r\nfile=" + Narrow(file) + "\r\nsha256=" + Narrow(sha256) +
                           "\r\nsize=" + size + "\r\n";
        if (padTo > 0) {
            const std::string head = "[padding]\r\nx=";
            const std::size_t fill = padTo - text.size() - head.size() - 2;
            text += head + std::string(fill, 'p') + "\r\n";
        }
        Publish(L"/downloads/release.ini", text);
        return text;
    }

    bool NoNewWorkspace() { return Workspaces() == before_; }

    InstallerApp app_;
    std::string sample_;
    std::wstring record_;
    std::vector<std::wstring> before_;
};

TEST_F(WorkflowInstall, ExitCodeOfTheProductInstaller) {
    struct Case {
        const wchar_t* exitText;
        std::optional<std::wstring> failure;
    };
    const Case cases[] = {
        {L"0", std::nullopt},
        {L"2", kNotFinished + L"2"},
        {L"0xC0000005", kNotFinished + L"3221225477"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.exitText));
        DeleteFileW(record_.c_str());
        SetEnvironmentVariableW(L"VANTREL_SAMPLE_EXIT", c.exitText);
        InstallerApp app;
        app.systemMode = SystemMode::Windows10;
        StatusWindow window;
        app.window = window.get();

        EXPECT_EQ(FailureOf([&] { InstallProduct(app.Context(), app.systemMode); }), c.failure);
        // The sequence sets the flag and leaves clearing it to the worker.
        EXPECT_TRUE(app.installerRunning.load());
        if (!c.failure) {
            EXPECT_EQ(app.StatusText(), kDone);
        }

        // Exactly "/SP-", started in the workspace, which is gone afterwards.
        const auto record = ReadRecord(record_);
        ASSERT_EQ(record.count("args"), 1u) << "the product installer did not run";
        EXPECT_EQ(record.at("args"), L"/SP-");
        const std::wstring directory = record.at("cwd");
        EXPECT_EQ(directory.substr(0, TempPath().size() + 13), TempPath() + L"VantrelSetup-");
        EXPECT_EQ(directory.size(), TempPath().size() + 45);
        EXPECT_FALSE(Exists(directory));
        EXPECT_TRUE(NoNewWorkspace());

        // 0 first ("正在获取版本信息…"), then the download's rising figures,
        // 100 at the end.
        const std::vector<int> percents = window.TakePercents();
        ASSERT_GE(percents.size(), 4u);
        EXPECT_EQ(percents.front(), 0);
        EXPECT_EQ(percents.back(), 100);
        for (std::size_t i = 1; i < percents.size(); ++i) EXPECT_LE(percents[i - 1], percents[i]);
    }
}

TEST_F(WorkflowInstall, StatusAndFlagWhileTheInstallerRuns) {
    const std::wstring hold = TempPath() + L"vantrel-sample-hold-" +
                              std::to_wstring(GetCurrentProcessId()) + L".txt";
    ASSERT_TRUE(WriteAll(hold, "hold"));
    SetEnvironmentVariableW(L"VANTREL_SAMPLE_HOLD", hold.c_str());

    // The installer writes its record before it starts holding, so once the
    // record is there the sequence is inside its wait.
    std::wstring seenStatus;
    bool seenRunning = false;
    bool sawInstaller = false;
    std::thread observer([&] {
        for (int i = 0; i < 6000 && !sawInstaller; ++i) {
            if (Exists(record_)) {
                sawInstaller = true;
                seenStatus = app_.StatusText();
                seenRunning = app_.installerRunning.load();
                // A cancel request is not looked at during the wait: the exit
                // code is still reported.
                app_.cancelRequested.store(true);
            } else {
                Sleep(20);
            }
        }
        DeleteFileW(hold.c_str());
    });
    SetEnvironmentVariableW(L"VANTREL_SAMPLE_EXIT", L"7");
    const auto failure = FailureOf([&] { InstallProduct(app_.Context(), app_.systemMode); });
    observer.join();
    DeleteFileW(hold.c_str());

    ASSERT_TRUE(sawInstaller);
    EXPECT_EQ(seenStatus, kLaunched);
    EXPECT_TRUE(seenRunning);
    EXPECT_EQ(failure, kNotFinished + L"7");
    EXPECT_TRUE(NoNewWorkspace());
}

TEST_F(WorkflowInstall, CancelWhileThePackageIsVerified) {
    // "正在校验安装包…" is published after the downloader's last look at the
    // flag; a request from then on is the sequence's to catch. A large package
    // keeps the digest busy long enough for the observer to act.
    std::string big(24u << 20, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 + 7);
    Publish(L"/downloads/Big-Setup.exe", big);
    PublishManifest(L"Big-Setup.exe", Sha256Hex(big), std::to_string(big.size()));

    std::atomic<bool> finished{false};
    std::thread observer([&] {
        while (!finished.load()) {
            if (app_.StatusText() == kVerifyingPackage) {
                app_.cancelRequested.store(true);
                return;
            }
            SwitchToThread();
        }
    });
    const auto failure = FailureOf([&] { InstallProduct(app_.Context(), app_.systemMode); });
    finished.store(true);
    observer.join();

    EXPECT_EQ(failure, kCancelled);
    EXPECT_FALSE(app_.installerRunning.load());
    EXPECT_FALSE(Exists(record_)) << "the product installer was started";
    EXPECT_TRUE(NoNewWorkspace());
}

TEST_F(WorkflowInstall, VerifyOnlyStartsNothing) {
    VerifyProduct(app_.Context(), app_.systemMode);
    EXPECT_FALSE(app_.installerRunning.load());
    EXPECT_FALSE(Exists(record_));
    EXPECT_EQ(app_.StatusText(), kVerifyingPackage);
    EXPECT_TRUE(NoNewWorkspace());
}

TEST_F(WorkflowInstall, FileLeftByTheInstallerKeepsTheFolderSilently) {
    SetEnvironmentVariableW(L"VANTREL_SAMPLE_LEAVE_FILE", L"1");
    InstallProduct(app_.Context(), app_.systemMode);
    EXPECT_EQ(app_.StatusText(), kDone);

    const std::wstring directory = ReadRecord(record_)[std::string("cwd")];
    ASSERT_FALSE(directory.empty());
    EXPECT_TRUE(Exists(directory + L"\\left-behind.txt"));
    EXPECT_FALSE(Exists(directory + L"\\package.exe"));
    EXPECT_FALSE(Exists(directory + L"\\release.ini"));
    DeleteFileW((directory + L"\\left-behind.txt").c_str());
    RemoveDirectoryW(directory.c_str());
    EXPECT_FALSE(Exists(directory));
}

TEST_F(WorkflowInstall, ManifestSizeLimit) {
    const std::wstring digest = Sha256Hex(sample_);
    const std::string size = std::to_string(sample_.size());

    EXPECT_EQ(PublishManifest(kSampleName, digest, size, 65536).size(), 65536u);
    EXPECT_EQ(FailureOf([&] { VerifyProduct(app_.Context(), app_.systemMode); }), std::nullopt);

    EXPECT_EQ(PublishManifest(kSampleName, digest, size, 65537).size(), 65537u);
    EXPECT_EQ(FailureOf([&] { VerifyProduct(app_.Context(), app_.systemMode); }), kTooLarge);
    EXPECT_EQ(app_.StatusText(), kFetchingManifest);
    EXPECT_TRUE(NoNewWorkspace());
}

TEST_F(WorkflowInstall, FailuresLeaveNothingBehindAndStartNothing) {
    const std::wstring digest = Sha256Hex(sample_);
    std::wstring wrongDigest = digest;
    wrongDigest[0] = wrongDigest[0] == L'0' ? L'1' : L'0';
    struct Case {
        const char* what;
        std::wstring file;
        std::wstring sha256;
        std::string size;
        std::wstring failure;
    };
    const Case cases[] = {
        {"one byte longer than announced", kSampleName, digest, std::to_string(sample_.size() - 1),
         kTooLarge},
        {"one byte shorter than announced", kSampleName, digest,
         std::to_string(sample_.size() + 1), kIncomplete},
        {"another digest", kSampleName, wrongDigest, std::to_string(sample_.size()),
         L"安装包 SHA-256 校验失败，已拒绝运行。"},
        {"not on the server", L"Missing-Setup.exe", digest, std::to_string(sample_.size()),
         L"下载服务器返回 HTTP 404"},
        {"bad name", L"../Sample-Setup-1.0.exe", digest, std::to_string(sample_.size()),
         L"版本清单格式不正确。"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PublishManifest(c.file, c.sha256, c.size);
        InstallerApp app;
        app.systemMode = SystemMode::Windows10;
        EXPECT_EQ(FailureOf([&] { InstallProduct(app.Context(), app.systemMode); }), c.failure);
        EXPECT_FALSE(app.installerRunning.load());
        EXPECT_FALSE(Exists(record_));
        EXPECT_TRUE(NoNewWorkspace());
    }
}

// ---------------------------------------------------------------------------
// UpdateRuntime and FetchRuntimePackage

class WorkflowRuntime : public NetTest {
protected:
    void SetUp() override {
        NetTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        fixtures_ = ExeDirectory() + L"\\..\\fixtures\\";
        package_ = ReadAll(fixtures_ + L"runtime.msu");
        ASSERT_FALSE(package_.empty()) << "run tools/make_runtime_package.sh for this build";
        Publish(kRuntimePackagePath, package_);
        before_ = Workspaces();
    }

    std::wstring fixtures_;
    std::string package_;
    std::vector<std::wstring> before_;
};

TEST_F(WorkflowRuntime, NothingHappensWithoutNeedsRuntime) {
    InstallerApp app;
    app.needsRuntime = false;
    app.SetStatus(L"unchanged", 42);
    UpdateRuntime(app.Context(), app.needsRuntime);
    EXPECT_EQ(app.StatusText(), L"unchanged");
    EXPECT_FALSE(app.needsRuntime);
    EXPECT_EQ(Workspaces(), before_);
}

TEST_F(WorkflowRuntime, StagingPackageIsSignedAndPinned) {
    // The staging build pins this file's size and digest, and its signature
    // passes the same check as the real update's.
    EXPECT_EQ(package_.size(), kRuntimePackageSize);
    EXPECT_EQ(Sha256Hex(package_), kRuntimePackageSha256);
    EXPECT_EQ(VerifyAuthenticodeSignature(fixtures_ + L"runtime.msu"), 0);
    // The same cabinet without its signature is refused.
    EXPECT_NE(VerifyAuthenticodeSignature(fixtures_ + L"runtime-unsigned.cab"), 0);
}

TEST_F(WorkflowRuntime, FetchStoresAndChecksThePackage) {
    Workspace workspace;
    const std::wstring msuPath = workspace.directory + kRuntimePackageFileName;
    InstallerApp app;
    FetchRuntimePackage(app.Context(), msuPath);
    EXPECT_EQ(ReadAll(msuPath), package_);
    EXPECT_EQ(app.StatusText(), L"正在校验微软系统运行库…");
}

// Needs the wusa.exe double, installed by the end-to-end test that sets
// VANTREL_TEST_WUSA_DOUBLE; the runtime's presence is switched per case by
// removing the native ucrtbase.dll and letting the double put it back.
class WorkflowWusa : public WorkflowRuntime {
protected:
    void SetUp() override {
        if (Env(L"VANTREL_TEST_WUSA_DOUBLE") != L"1") GTEST_SKIP() << "no wusa.exe double";
        WorkflowRuntime::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ucrtSource_ = Env(L"VANTREL_WUSA_UCRT_SOURCE");
        ASSERT_TRUE(Exists(ucrtSource_));
        wchar_t windows[MAX_PATH] = {};
        GetWindowsDirectoryW(windows, MAX_PATH);
        nativeUcrt_ = std::wstring(windows) + kNativeSystemFolder + L"\\ucrtbase.dll";
        record_ = TempPath() + L"vantrel-wusa-record-" + std::to_wstring(GetCurrentProcessId()) +
                  L".txt";
        SetEnvironmentVariableW(L"VANTREL_WUSA_RECORD", record_.c_str());
    }

    void TearDown() override {
        for (const wchar_t* name : {L"VANTREL_WUSA_RECORD", L"VANTREL_WUSA_EXIT",
                                    L"VANTREL_WUSA_INSTALL"}) {
            SetEnvironmentVariableW(name, nullptr);
        }
        if (!record_.empty()) DeleteFileW(record_.c_str());
        if (!ucrtSource_.empty()) CopyFileW(ucrtSource_.c_str(), nativeUcrt_.c_str(), FALSE);
    }

    std::wstring ucrtSource_;
    std::wstring nativeUcrt_;
    std::wstring record_;
};

TEST_F(WorkflowWusa, OutcomeIsDecidedByTheRuntimeFile) {
    const auto failed = [](const wchar_t* digits) {
        return std::wstring(L"微软系统运行库安装失败（返回码 ") + digits +
               L"）。请先通过 Windows Update 安装 Win7 前置更新，重启后重试。";
    };
    struct Case {
        const wchar_t* exitText;
        bool installs;
        std::optional<std::wstring> failure;
    };
    const Case cases[] = {
        {L"3010", true, std::nullopt},
        {L"1603", true, std::nullopt},  // the file is there: the code doesn't matter
        {L"0", false, kRuntimeRestart},
        {L"3010", false, kRuntimeRestart},
        {L"2359302", false, kRuntimeRestart},
        {L"1603", false, failed(L"1603")},
        {L"0x80240017", false, failed(L"2149842967")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.exitText) + (c.installs ? " installs" : " installs nothing"));
        ASSERT_TRUE(DeleteFileW(nativeUcrt_.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND);
        ASSERT_FALSE(Exists(nativeUcrt_));
        DeleteFileW(record_.c_str());
        SetEnvironmentVariableW(L"VANTREL_WUSA_EXIT", c.exitText);
        SetEnvironmentVariableW(L"VANTREL_WUSA_INSTALL", c.installs ? L"1" : L"0");

        InstallerApp app;
        app.needsRuntime = true;
        EXPECT_EQ(FailureOf([&] { UpdateRuntime(app.Context(), app.needsRuntime); }), c.failure);
        EXPECT_EQ(app.needsRuntime, c.failure.has_value());
        EXPECT_EQ(app.StatusText(), kInstallingRuntime);

        // wusa.exe got the package, quoted, while it was still there; the
        // workspace is gone now.
        const auto record = ReadRecord(record_);
        ASSERT_EQ(record.count("args"), 1u) << "wusa.exe did not run";
        const std::wstring args = record.at("args");
        const std::wstring prefix = L"\"" + TempPath() + L"VantrelSetup-";
        const std::wstring suffix =
            std::wstring(kRuntimePackageFileName) + L"\" /quiet /norestart";
        EXPECT_EQ(args.substr(0, prefix.size()), prefix);
        ASSERT_GE(args.size(), prefix.size() + 32 + suffix.size());
        EXPECT_EQ(args.substr(prefix.size() + 32), suffix);
        EXPECT_EQ(record.at("package"), L"1");
        EXPECT_FALSE(Exists(args.substr(1, prefix.size() - 1 + 32)));
        EXPECT_EQ(Workspaces(), before_);
    }
}

TEST_F(WorkflowWusa, CancelWhileThePackageIsVerifiedStartsNoWusa) {
    // "正在校验微软系统运行库…" is published after the downloader's last look
    // at the flag; a request made during the digest or the signature check
    // must still stop the run before the elevated wusa.exe start.
    ASSERT_TRUE(DeleteFileW(nativeUcrt_.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND);
    SetEnvironmentVariableW(L"VANTREL_WUSA_EXIT", L"0");
    SetEnvironmentVariableW(L"VANTREL_WUSA_INSTALL", L"1");
    InstallerApp app;
    app.needsRuntime = true;
    std::atomic<bool> finished{false};
    std::atomic<bool> seen{false};
    std::thread observer([&] {
        while (!finished.load()) {
            if (app.StatusText() == L"正在校验微软系统运行库…") {
                app.cancelRequested.store(true);
                seen.store(true);
                return;
            }
            SwitchToThread();
        }
    });
    const auto failure = FailureOf([&] { UpdateRuntime(app.Context(), app.needsRuntime); });
    finished.store(true);
    observer.join();

    ASSERT_TRUE(seen.load()) << "the observer never saw the verification status";
    EXPECT_EQ(failure, kCancelled);
    EXPECT_TRUE(app.needsRuntime);
    EXPECT_FALSE(Exists(record_)) << "wusa.exe was started after the cancel";
    EXPECT_EQ(Workspaces(), before_);
}

}  // namespace
