// The installation sequence and the runtime update in this process, against
// the staging server on the ports compiled into this build, with the sample
// installer (beside this program) and the staging runtime package (in the
// build's fixtures\ folder) published in its docroot. Besides the server's
// settings (see ServerTest) the environment may say
//   VANTREL_TEST_WUSA_DOUBLE=1   Wine runs the wusa.exe double from the native
//                                system folder (an end-to-end test prepares it)
//   VANTREL_WUSA_UCRT_SOURCE     a saved ucrtbase.dll, to put the runtime back
#include "download/endpoints.h"
#include "support/native_system.h"
#include "support/workspace.h"
#include "workflow/install_product.h"
#include "workflow/runtime_update.h"
#include "tests/fixtures/fixture_support.h"
#include "tests/test_support.h"

using namespace vantrel;
using namespace test_support;

namespace {

const std::wstring kDone = L"安装已完成。";
const std::wstring kVerifyingPackage = L"正在校验安装包…";
const std::wstring kVerifyingRuntime = L"正在校验微软系统运行库…";
const std::wstring kCancelled = L"已取消安装。";
const std::wstring kNotFinished = L"安装尚未完成或已取消，可重新开始。返回码：";
const std::wstring kTooLarge = L"文件大小超过清单限制，已停止下载。";
const std::wstring kRuntimeRestart = L"微软系统运行库已安装，需要重启 Windows 后重新运行岚禾舟安装器。";
const wchar_t kSampleName[] = L"Sample-Setup-1.0.exe";
const wchar_t* const kSampleVariables[] = {L"VANTREL_SAMPLE_RECORD", L"VANTREL_SAMPLE_EXIT",
                                           L"VANTREL_SAMPLE_LEAVE_FILE", L"VANTREL_SAMPLE_HOLD"};
const wchar_t* const kWusaVariables[] = {L"VANTREL_WUSA_RECORD", L"VANTREL_WUSA_EXIT", L"VANTREL_WUSA_INSTALL"};
// What fixture::ChangeAttempts finds on a file held as checked: every change
// refused with a sharing violation (32).
const std::string kAllChangesRefused = "write=32 delete=32 rename=32";

class NetTest : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        if (IsSkipped()) return;
        // The sequence talks to the compiled-in servers; make a mismatch with
        // the running server obvious instead of a connection error.
        ASSERT_EQ(port_, ProductServer().port);
        before_ = Workspaces();
    }
    bool NoNewWorkspace() { return Workspaces() == before_; }
    std::vector<std::wstring> before_;
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
        for (const wchar_t* name : kSampleVariables) SetEnvironmentVariableW(name, nullptr);
        record_ = OwnTempFile(L"vantrel-sample-record");
        DeleteFileW(record_.c_str());
        SetEnvironmentVariableW(L"VANTREL_SAMPLE_RECORD", record_.c_str());
        app_.systemMode = SystemMode::Windows10;
    }

    void TearDown() override {
        for (const wchar_t* name : kSampleVariables) SetEnvironmentVariableW(name, nullptr);
        if (!record_.empty()) DeleteFileW(record_.c_str());
    }

    // The "windows" section names `file`; the file can be padded to an exact
    // size with a key of another section.
    void PublishManifest(const std::wstring& file, const std::wstring& sha256, const std::string& size,
                         std::size_t padTo = 0) {
        std::string text = Section("windows", Narrow(file), Narrow(sha256), size);
        if (padTo > 0) text += "[padding]\r\nx=" + std::string(padTo - text.size() - 15, 'p') + "\r\n";
        if (padTo > 0) { EXPECT_EQ(text.size(), padTo); }
        Publish(L"/downloads/release.ini", text);
    }

    std::optional<std::wstring> Install(InstallerApp& app) {
        return FailureOf([&] { InstallProduct(app.Context(), app.systemMode); });
    }

    InstallerApp app_;
    std::string sample_;
    std::wstring record_;
};

TEST_F(WorkflowInstall, ExitCodeOfTheProductInstaller) {
    const struct { const wchar_t* exitText; std::optional<std::wstring> failure; } cases[] = {
        {L"0", std::nullopt},
        {L"2", kNotFinished + L"2"},
        {L"0xC0000005", kNotFinished + L"3221225477"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.exitText));
        DeleteFileW(record_.c_str());
        SetEnvironmentVariableW(L"VANTREL_SAMPLE_EXIT", c.exitText);
        InstallerApp app;
        app.systemMode = SystemMode::Windows10;
        std::optional<std::wstring> failure;
        const StatusLog log = RunWithWindow(app, [&] { failure = Install(app); });
        EXPECT_EQ(failure, c.failure);
        // The sequence sets the flag and leaves clearing it to the worker.
        EXPECT_TRUE(app.installerRunning.load());
        if (!c.failure) { EXPECT_EQ(app.StatusText(), kDone); }

        // Exactly "/SP-", started in the workspace, which is gone afterwards.
        EXPECT_EQ(RecordValue(record_, "args"), std::wstring(L"/SP-")) << "the product installer did not run";
        // While it ran, another program of this user (the product installer
        // itself) could neither rewrite, nor delete, nor rename the file
        // that was checked and started.
        const std::wstring directory = RecordValue(record_, "cwd").value_or(L"");
        EXPECT_EQ(RecordValue(record_, "image"), directory + kPackageFileName);
        EXPECT_EQ(RecordValue(record_, "changes"), Widen(kAllChangesRefused));
        EXPECT_EQ(directory.substr(0, TempPath().size() + 13), TempPath() + L"VantrelSetup-");
        EXPECT_EQ(directory.size(), TempPath().size() + 45);
        EXPECT_FALSE(Exists(directory));
        EXPECT_TRUE(NoNewWorkspace());

        // 0 first ("正在获取版本信息…"), then the download's rising figures,
        // 100 at the end.
        ASSERT_GE(log.percents.size(), 4u);
        EXPECT_EQ(log.percents.front(), 0);
        EXPECT_EQ(log.percents.back(), 100);
        for (std::size_t i = 1; i < log.percents.size(); ++i) EXPECT_LE(log.percents[i - 1], log.percents[i]);
    }
}

// Only the program's own files are removed; the folder stays, silently.
TEST_F(WorkflowInstall, FileLeftByTheInstallerKeepsTheFolderSilently) {
    SetEnvironmentVariableW(L"VANTREL_SAMPLE_LEAVE_FILE", L"1");
    EXPECT_EQ(Install(app_), std::nullopt);
    EXPECT_EQ(app_.StatusText(), kDone);
    const std::wstring directory = RecordValue(record_, "cwd").value_or(L"");
    ASSERT_FALSE(directory.empty());
    EXPECT_TRUE(Exists(directory + L"\\left-behind.txt"));
    EXPECT_FALSE(Exists(directory + L"\\package.exe"));
    EXPECT_FALSE(Exists(directory + L"\\release.ini"));
    DeleteFileW((directory + L"\\left-behind.txt").c_str());
    RemoveDirectoryW(directory.c_str());
    EXPECT_TRUE(NoNewWorkspace());
}

TEST_F(WorkflowInstall, StatusAndFlagWhileTheInstallerRuns) {
    const std::wstring hold = OwnTempFile(L"vantrel-sample-hold");
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
    const auto failure = Install(app_);
    observer.join();
    DeleteFileW(hold.c_str());

    ASSERT_TRUE(sawInstaller);
    EXPECT_EQ(seenStatus, L"请在安装向导中选择位置并完成安装。");
    EXPECT_TRUE(seenRunning);
    EXPECT_EQ(failure, kNotFinished + L"7");
    EXPECT_TRUE(NoNewWorkspace());
}

TEST_F(WorkflowInstall, CancelWhileThePackageIsVerified) {
    // "正在校验安装包…" is published after the downloader's last look at the
    // flag; a request from then on is the sequence's to catch. A large package
    // keeps the digest busy long enough for the observer to act.
    const std::string big = Generated(24u << 20);
    Publish(L"/downloads/Big-Setup.exe", big);
    PublishManifest(L"Big-Setup.exe", Sha256Hex(big), std::to_string(big.size()));
    EXPECT_EQ(CancelWhenStatusIs(app_, kVerifyingPackage, [&] { InstallProduct(app_.Context(), app_.systemMode); }),
              kCancelled);
    EXPECT_FALSE(app_.installerRunning.load());
    EXPECT_FALSE(Exists(record_)) << "the product installer was started";
    EXPECT_TRUE(NoNewWorkspace());
}

TEST_F(WorkflowInstall, VerifyOnlyStartsNothing) {
    EXPECT_EQ(FailureOf([&] { VerifyProduct(app_.Context(), app_.systemMode); }), std::nullopt);
    EXPECT_FALSE(app_.installerRunning.load());
    EXPECT_FALSE(Exists(record_));
    EXPECT_EQ(app_.StatusText(), kVerifyingPackage);
    EXPECT_TRUE(NoNewWorkspace());
}

TEST_F(WorkflowInstall, ManifestSizeLimit) {
    for (const std::size_t size : {65536u, 65537u}) {
        PublishManifest(kSampleName, Sha256Hex(sample_), std::to_string(sample_.size()), size);
        EXPECT_EQ(FailureOf([&] { VerifyProduct(app_.Context(), app_.systemMode); }),
                  size > 65536 ? std::optional<std::wstring>(kTooLarge) : std::nullopt) << size;
    }
    EXPECT_EQ(app_.StatusText(), L"正在获取版本信息…");
    EXPECT_TRUE(NoNewWorkspace());
}

TEST_F(WorkflowInstall, FailuresLeaveNothingBehindAndStartNothing) {
    const std::wstring digest = Sha256Hex(sample_);
    std::wstring wrongDigest = digest;
    wrongDigest[0] = wrongDigest[0] == L'0' ? L'1' : L'0';
    const std::string size = std::to_string(sample_.size());
    struct Case {
        const char* what;
        std::wstring file;
        std::wstring sha256;
        std::string size;
        std::wstring failure;
    };
    const Case cases[] = {
        {"one byte longer than announced", kSampleName, digest, std::to_string(sample_.size() - 1), kTooLarge},
        {"one byte shorter than announced", kSampleName, digest, std::to_string(sample_.size() + 1),
         L"安装包下载不完整，请重试。"},
        {"another digest", kSampleName, wrongDigest, size, L"安装包 SHA-256 校验失败，已拒绝运行。"},
        {"not on the server", L"Missing-Setup.exe", digest, size, L"下载服务器返回 HTTP 404"},
        {"bad name", L"../Sample-Setup-1.0.exe", digest, size, L"版本清单格式不正确。"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PublishManifest(c.file, c.sha256, c.size);
        InstallerApp app;
        app.systemMode = SystemMode::Windows10;
        EXPECT_EQ(Install(app), c.failure);
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
    }

    std::wstring fixtures_;
    std::string package_;
};

TEST_F(WorkflowRuntime, NothingHappensWithoutNeedsRuntime) {
    InstallerApp app;
    app.SetStatus(L"unchanged", 42);
    UpdateRuntime(app.Context(), app.needsRuntime);
    EXPECT_EQ(app.StatusText(), L"unchanged");
    EXPECT_FALSE(app.needsRuntime);
    EXPECT_TRUE(NoNewWorkspace());
}

TEST_F(WorkflowRuntime, StagingPackageIsSignedAndPinned) {
    // The staging build pins this file's size and digest, and its signature
    // passes the same check as the real update's; the same cabinet without
    // its signature is refused.
    EXPECT_EQ(package_.size(), kRuntimePackageSize);
    EXPECT_EQ(Sha256Hex(package_), kRuntimePackageSha256);
    // With an open file the signature is read through it, whatever the path
    // names: what was hashed is what is checked.
    const std::wstring signedPath = fixtures_ + L"runtime.msu", unsignedPath = fixtures_ + L"runtime-unsigned.cab";
    const struct { const std::wstring* path; const std::wstring* opened; bool trusted; } rows[] = {
        {&signedPath, nullptr, true},
        {&unsignedPath, nullptr, false},
        {&signedPath, &signedPath, true},
        {&unsignedPath, &signedPath, true},
        {&signedPath, &unsignedPath, false},
    };
    for (const auto& row : rows) {
        FileHandle file;
        if (row.opened != nullptr) {
            file.Reset(CreateFileW(row.opened->c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(file.Valid());
        }
        EXPECT_EQ(VerifyAuthenticodeSignature(*row.path, row.opened != nullptr ? file.Get() : nullptr) == 0,
                  row.trusted) << Narrow(*row.path) << " through " << (row.opened ? Narrow(*row.opened) : "its path");
    }
}

TEST_F(WorkflowRuntime, FetchStoresAndChecksThePackage) {
    Workspace workspace;
    const std::wstring msuPath = workspace.directory + kRuntimePackageFileName;
    InstallerApp app;
    FileHandle held = FetchRuntimePackage(app.Context(), msuPath);
    EXPECT_EQ(ReadAll(msuPath), package_);
    EXPECT_EQ(app.StatusText(), kVerifyingRuntime);
    // Held as checked until the caller lets go.
    EXPECT_EQ(fixture::ChangeAttempts(msuPath), kAllChangesRefused);
    held.Reset();
    EXPECT_EQ(fixture::ChangeAttempts(msuPath), "write=0 delete=0 rename=0");
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
        record_ = OwnTempFile(L"vantrel-wusa-record");
        SetEnvironmentVariableW(L"VANTREL_WUSA_RECORD", record_.c_str());
    }

    void TearDown() override {
        for (const wchar_t* name : kWusaVariables) SetEnvironmentVariableW(name, nullptr);
        if (!record_.empty()) DeleteFileW(record_.c_str());
        if (!ucrtSource_.empty()) CopyFileW(ucrtSource_.c_str(), nativeUcrt_.c_str(), FALSE);
    }

    // The runtime is missing, wusa.exe exits with exitText and installs it or not.
    void PrepareWusa(const wchar_t* exitText, bool installs) {
        ASSERT_TRUE(DeleteFileW(nativeUcrt_.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND);
        ASSERT_FALSE(Exists(nativeUcrt_));
        DeleteFileW(record_.c_str());
        SetEnvironmentVariableW(L"VANTREL_WUSA_EXIT", exitText);
        SetEnvironmentVariableW(L"VANTREL_WUSA_INSTALL", installs ? L"1" : L"0");
    }

    std::wstring ucrtSource_;
    std::wstring nativeUcrt_;
    std::wstring record_;
};

// Each decision of the outcome table itself is a row of
// RuntimeOutcome.DecisionTable; these rows show that wusa.exe's exit code and
// the file it leaves reach it.
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
        {L"1603", true, std::nullopt},  // the file is there: the code doesn't matter
        {L"0", false, kRuntimeRestart},
        {L"2359302", false, kRuntimeRestart},
        {L"0x80240017", false, failed(L"2149842967")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.exitText) + (c.installs ? " installs" : " installs nothing"));
        PrepareWusa(c.exitText, c.installs);
        InstallerApp app;
        app.needsRuntime = true;
        EXPECT_EQ(FailureOf([&] { UpdateRuntime(app.Context(), app.needsRuntime); }), c.failure);
        EXPECT_EQ(app.needsRuntime, c.failure.has_value());
        EXPECT_EQ(app.StatusText(), L"正在安装微软系统运行库…");

        // wusa.exe got the package, quoted, while it was still there; the
        // workspace is gone now.
        const std::wstring args = RecordValue(record_, "args").value_or(L"");
        const std::wstring prefix = L"\"" + TempPath() + L"VantrelSetup-";
        const std::wstring suffix = std::wstring(kRuntimePackageFileName) + L"\" /quiet /norestart";
        EXPECT_EQ(args.substr(0, prefix.size()), prefix);
        ASSERT_GE(args.size(), prefix.size() + 32 + suffix.size()) << "wusa.exe did not run";
        EXPECT_EQ(args.substr(prefix.size() + 32), suffix);
        EXPECT_EQ(RecordValue(record_, "package"), std::wstring(L"1"));
        EXPECT_FALSE(Exists(args.substr(1, prefix.size() - 1 + 32)));
        EXPECT_TRUE(NoNewWorkspace());
    }
}

TEST_F(WorkflowWusa, CancelWhileThePackageIsVerifiedStartsNoWusa) {
    // "正在校验微软系统运行库…" is published after the downloader's last look
    // at the flag; a request made during the digest or the signature check
    // must still stop the run before the elevated wusa.exe start.
    PrepareWusa(L"0", true);
    InstallerApp app;
    app.needsRuntime = true;
    EXPECT_EQ(CancelWhenStatusIs(app, kVerifyingRuntime, [&] { UpdateRuntime(app.Context(), app.needsRuntime); }),
              kCancelled);
    EXPECT_TRUE(app.needsRuntime);
    EXPECT_FALSE(Exists(record_)) << "wusa.exe was started after the cancel";
    EXPECT_TRUE(NoNewWorkspace());
}

}  // namespace
