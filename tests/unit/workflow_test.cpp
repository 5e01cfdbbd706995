// The release manifest's rules (values, order of the checks, the read through
// the profile API on real files) and the decision taken after wusa.exe.
#include "support/child_process.h"
#include "workflow/release_manifest.h"
#include "workflow/runtime_update.h"
#include "tests/test_support.h"

namespace vantrel {
namespace {

using namespace test_support;

const std::wstring kMissing = L"版本清单缺少有效字段。";
const std::wstring kFormat = L"版本清单格式不正确。";
const std::wstring kSize = L"版本清单的文件大小无效。";
const std::wstring kGoodDigest = L"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

// A valid name of exactly `length` characters: "a...a.exe".
std::wstring NameOfLength(std::size_t length) { return std::wstring(length - 4, L'a') + L".exe"; }

TEST(ManifestFileName, Rules) {
    const std::wstring valid[] = {L"a.exe", NameOfLength(127), L"-x.exe", L".a.exe", L"Setup-1.2.3.exe", L"ZZ-09.exe"};
    const std::wstring invalid[] = {
        L".exe", NameOfLength(128), L"Setup.EXE", L"setup.Exe", L"setup_1.exe", L"setup..exe", L"..a.exe",
        L"dir/setup.exe", L"dir\\setup.exe", L"../x.exe", L"a%20b.exe", L"a b.exe", L"setup.exe.txt",
        L"setup.exe?x.exe",
        // The characters right outside each allowed range; a non-ASCII
        // letter, a full-width dot, an embedded zero.
        L"a:b.exe", L"a@b.exe", L"a[b.exe", L"a`b.exe", L"a{b.exe", L"s\x00E9t.exe", L"s\xFF0Ex.exe",
        std::wstring(L"ab\0c.exe", 8),
    };
    for (const std::wstring& name : valid) EXPECT_TRUE(IsValidPackageFileName(name)) << Narrow(name);
    for (const std::wstring& name : invalid) EXPECT_FALSE(IsValidPackageFileName(name)) << Narrow(name);
}

TEST(ManifestValues, DigestRules) {
    const auto with = [](std::size_t at, wchar_t c) {
        std::wstring digest = kGoodDigest;
        digest[at] = c;
        return digest;
    };
    const std::wstring invalid[] = {
        kGoodDigest.substr(0, 63), kGoodDigest + L"0", with(10, L'A'), L" " + kGoodDigest.substr(1), L"",
        // The characters right outside each allowed range.
        with(63, L'g'), with(0, L'/'), with(5, L':'), with(9, L'`'),
    };
    for (const std::wstring& digest : {kGoodDigest, std::wstring(64, L'f')}) {
        EXPECT_EQ(FailureOf([&] { ValidateManifestValues(L"a.exe", digest, L"1"); }), std::nullopt) << Narrow(digest);
    }
    for (const std::wstring& digest : invalid) {
        EXPECT_EQ(FailureOf([&] { ValidateManifestValues(L"a.exe", digest, L"1"); }), kFormat) << Narrow(digest);
    }
}

TEST(ManifestValues, SizeRules) {
    const struct { std::wstring text; std::uint64_t size; } valid[] = {
        {L"1", 1}, {L"1073741824", 1073741824}, {L"0000000001", 1}, {L"1034556", 1034556}};
    // 2^32 + 1: a 32-bit sum would read 1. U+FF11: a full-width digit one.
    const std::wstring invalid[] = {L"0", L"1073741825", L"9999999999", L"4294967297", L"00000000001",
                                    L"0000000000", L"+100", L"-1", L" 100", L"100 ", L"1e6", L"0x400",
                                    L"1,000", L"", L"\xFF11"};
    for (const auto& c : valid) {
        EXPECT_EQ(ValidateManifestValues(L"a.exe", kGoodDigest, c.text).size, c.size) << Narrow(c.text);
    }
    for (const std::wstring& text : invalid) {
        EXPECT_EQ(FailureOf([&] { ValidateManifestValues(L"a.exe", kGoodDigest, text); }), kSize) << Narrow(text);
    }
}

const std::string kDigestA(64, 'a');
const std::string kDigestB(64, 'b');

// An accepted manifest's three values as one text, to compare with a failure's.
std::wstring Accepted(const std::wstring& file, const std::wstring& sha256, std::uint64_t size) {
    return file + L" " + sha256 + L" " + std::to_wstring(size);
}
const std::wstring kWideA(64, L'a');

TEST(ManifestRead, SectionsMissingPiecesAndTheOrderOfTheChecks) {
    struct Case {
        const char* what;
        std::string content;
        SystemMode systemMode;
        std::wstring expected;
        bool noFile = false;  // read from a path that does not exist
    };
    const std::string completeWindows = Section("windows", "setup.exe", kDigestA, "10");
    const std::string both = Section("windows", "full-setup.exe", kDigestA, "100") +
                             Section("win7", "Agent-7.exe", kDigestB, "0000000042");
    const Case cases[] = {
        {"each channel its own section: win10", both, SystemMode::Windows10, Accepted(L"full-setup.exe", kWideA, 100)},
        {"each channel its own section: win7", both, SystemMode::Windows7,
         Accepted(L"Agent-7.exe", std::wstring(64, L'b'), 42)},
        // One channel's section lacks a key: only that channel fails.
        {"win7 without size on win7", completeWindows + Section("win7", "a.exe", kDigestA, ""),
         SystemMode::Windows7, kMissing},
        {"win7 without size on win10", completeWindows + Section("win7", "a.exe", kDigestA, ""),
         SystemMode::Windows10, Accepted(L"setup.exe", kWideA, 10)},
        {"no win7 section on win7", completeWindows, SystemMode::Windows7, kMissing},
        {"empty file", "", SystemMode::Windows10, kMissing},
        {"no file", "", SystemMode::NotClassified, kMissing, true},
        {"empty value", "[windows]\r\nfile=\r\nsha256=" + kDigestA + "\r\nsize=10\r\n", SystemMode::Windows10,
         kMissing},
        // All reads come before any rule: a missing size wins over a bad name.
        {"bad name, no size", Section("windows", "bad name.exe", kDigestA, ""), SystemMode::Windows10, kMissing},
        {"bad name, no digest", Section("windows", "x/y.exe", "", "1"), SystemMode::Windows10, kMissing},
        {"bad name, bad size", Section("windows", "x/y.exe", kDigestA, "-1"), SystemMode::Windows10, kFormat},
        {"bad digest, bad size", Section("windows", "a.exe", std::string(64, 'A'), "0"), SystemMode::Windows10,
         kFormat},
        {"size over 1 GiB", Section("windows", "a.exe", kDigestA, "1073741825"), SystemMode::Windows10, kSize},
        // 510 characters pass the read and then break the name rule; 511
        // never get that far.
        {"510-character name", Section("windows", std::string(506, 'a') + ".exe", kDigestA, "5"),
         SystemMode::Windows10, kFormat},
        {"511-character name", Section("windows", std::string(507, 'a') + ".exe", kDigestA, "5"),
         SystemMode::Windows10, kMissing},
        {"600-character name", Section("windows", std::string(596, 'a') + ".exe", kDigestA, "5"),
         SystemMode::Windows10, kMissing},
        // What the profile API does with blanks, case and comments.
        {"blanks around the value",
         "[Windows]\r\n FILE = a.exe \r\n; size=1\r\nsha256=" + kDigestA + "\r\nSize = 7\r\n",
         SystemMode::Windows10, Accepted(L"a.exe", kWideA, 7)},
    };
    for (const Case& c : cases) {
        TempFile ini(c.content);
        std::wstring result;
        const auto failure = FailureOf([&] {
            const ReleaseManifest manifest = LoadReleaseManifest(
                c.noFile ? L"C:\\no-such-folder-vantrel\\release.ini" : ini.path, ManifestSection(c.systemMode));
            result = Accepted(manifest.file, manifest.sha256, manifest.size);
        });
        EXPECT_EQ(Narrow(failure.value_or(result)), Narrow(c.expected)) << c.what;
    }
}

TEST(RuntimeOutcome, DecisionTable) {
    const std::wstring restart = L"微软系统运行库已安装，需要重启 Windows 后重新运行岚禾舟安装器。";
    auto failed = [](const wchar_t* digits) {
        return std::wstring(L"微软系统运行库安装失败（返回码 ") + digits +
               L"）。请先通过 Windows Update 安装 Win7 前置更新，重启后重试。";
    };
    struct Case {
        bool present;
        std::uint32_t code;
        bool installed;
        std::wstring message;
    };
    const Case cases[] = {
        // The file decides; the exit code is not trusted when it's there.
        {true, 0, true, L""},
        {true, 3010, true, L""},
        {true, 1, true, L""},
        {true, 0x80240017u, true, L""},
        // Absent: these codes mean "installed, takes effect after a restart".
        {false, 0, false, restart},
        {false, 3010, false, restart},
        {false, 2359302, false, restart},
        // Anything else is a failure with the code in unsigned decimal.
        {false, 1, false, failed(L"1")},
        {false, 3011, false, failed(L"3011")},
        {false, 2359303, false, failed(L"2359303")},
        {false, 1223, false, failed(L"1223")},
        {false, 0x80240017u, false, failed(L"2149842967")},
        {false, 0xFFFFFFFFu, false, failed(L"4294967295")},
    };
    for (const Case& c : cases) {
        const RuntimeOutcome outcome = DecideRuntimeOutcome(c.present, c.code);
        EXPECT_EQ(outcome.installed, c.installed) << c.present << " " << c.code;
        EXPECT_EQ(outcome.failureMessage, c.message) << c.present << " " << c.code;
    }
}

// A request carrying a set cancel flag starts nothing; the same request with
// the flag clear does try (and here fails, the file is missing), and a request
// without a flag ignores cancellation.
TEST(ChildProcess, CancelledRequestStartsNothing) {
    std::atomic<bool> cancel{true};
    LaunchRequest request;
    request.verb = L"runas";
    request.file = L"C:\\no-such-folder-vantrel\\wusa.exe";
    const struct { bool flag; bool attached; const wchar_t* message; } rows[] = {
        {true, true, L"已取消安装。"},
        {false, true, L"启动失败（错误码 "},
        {true, false, L"启动失败（错误码 "},
    };
    for (const auto& row : rows) {
        cancel = row.flag;
        request.cancelRequested = row.attached ? &cancel : nullptr;
        const std::wstring message = FailureOf([&] { StartChildProcess(request, L"启动失败"); }).value_or(L"");
        EXPECT_EQ(message.rfind(row.message, 0), 0u) << row.flag << row.attached;
    }
}

TEST(RuntimeSignature, UnsignedOrMissingFilesAreNotTrusted) {
    TempFile unsignedFile("MSCF this is not a signed cabinet");
    EXPECT_NE(VerifyAuthenticodeSignature(unsignedFile.path, nullptr), 0);
    EXPECT_NE(VerifyAuthenticodeSignature(L"C:\\no-such-folder-vantrel\\x.msu", nullptr), 0);
    // The state of a failed check is released: the same file checks the same
    // way again.
    EXPECT_NE(VerifyAuthenticodeSignature(unsignedFile.path, nullptr), 0);
}

}  // namespace
}  // namespace vantrel
