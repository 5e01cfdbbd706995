// The release manifest's rules (values, order of the checks, the read through
// the profile API on real files) and the decision taken after wusa.exe.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <string>

#include "support/child_process.h"
#include "support/failure.h"
#include "workflow/release_manifest.h"
#include "workflow/runtime_update.h"
#include "tests/test_support.h"

namespace vantrel {
namespace {

using test_support::FailureOf;
using test_support::Narrow;

const std::wstring kMissing = L"版本清单缺少有效字段。";
const std::wstring kFormat = L"版本清单格式不正确。";
const std::wstring kSize = L"版本清单的文件大小无效。";
const std::wstring kGoodDigest = L"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

// A valid name of exactly `length` characters: "a...a.exe".
std::wstring NameOfLength(std::size_t length) { return std::wstring(length - 4, L'a') + L".exe"; }

TEST(ManifestFileName, Rules) {
    struct Case {
        std::wstring name;
        bool valid;
    };
    const Case cases[] = {
        {L"a.exe", true},
        {L".exe", false},
        {NameOfLength(127), true},
        {NameOfLength(128), false},
        {L"Setup.EXE", false},
        {L"setup.Exe", false},
        {L"setup_1.exe", false},
        {L"setup..exe", false},
        {L"..a.exe", false},
        {L"dir/setup.exe", false},
        {L"dir\\setup.exe", false},
        {L"../x.exe", false},
        {L"a%20b.exe", false},
        {L"a b.exe", false},
        {L"setup.exe.txt", false},
        {L"setup.exe?x.exe", false},
        {L"-x.exe", true},
        {L".a.exe", true},
        {L"Setup-1.2.3.exe", true},
        {L"ZZ-09.exe", true},
        // The characters right outside each allowed range.
        {L"a:b.exe", false},
        {L"a@b.exe", false},
        {L"a[b.exe", false},
        {L"a`b.exe", false},
        {L"a{b.exe", false},
        {std::wstring(L"s\x00E9t.exe"), false},  // non-ASCII letter
        {std::wstring(L"s\xFF0Ex.exe"), false},  // full-width dot
        {std::wstring(L"ab\0c.exe", 8), false},  // embedded zero
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsValidPackageFileName(c.name), c.valid) << Narrow(c.name);
    }
}

TEST(ManifestValues, DigestRules) {
    struct Case {
        std::wstring digest;
        bool valid;
    };
    std::wstring upper = kGoodDigest;
    upper[10] = L'A';
    const auto with = [](std::size_t at, wchar_t c) {
        std::wstring digest = kGoodDigest;
        digest[at] = c;
        return digest;
    };
    const Case cases[] = {
        {kGoodDigest, true},
        {std::wstring(64, L'f'), true},
        {kGoodDigest.substr(0, 63), false},
        {kGoodDigest + L"0", false},
        {upper, false},
        // The characters right outside each allowed range.
        {with(63, L'g'), false},
        {with(0, L'/'), false},
        {with(5, L':'), false},
        {with(9, L'`'), false},
        {L" " + kGoodDigest.substr(1), false},
        {L"", false},
    };
    for (const Case& c : cases) {
        const auto failure = FailureOf([&] { ValidateManifestValues(L"a.exe", c.digest, L"1"); });
        if (c.valid) {
            EXPECT_FALSE(failure.has_value()) << Narrow(c.digest);
        } else {
            EXPECT_EQ(failure, kFormat) << Narrow(c.digest);
        }
    }
}

TEST(ManifestValues, SizeRules) {
    struct Case {
        std::wstring text;
        std::uint64_t size;  // 0: rejected
    };
    const Case cases[] = {
        {L"0", 0},
        {L"1", 1},
        {L"1073741824", 1073741824},
        {L"1073741825", 0},
        {L"9999999999", 0},
        {L"4294967297", 0},  // 2^32 + 1: a 32-bit sum would read 1
        {L"0000000001", 1},
        {L"00000000001", 0},
        {L"0000000000", 0},
        {L"+100", 0},
        {L"-1", 0},
        {L" 100", 0},
        {L"100 ", 0},
        {L"1e6", 0},
        {L"0x400", 0},
        {L"1,000", 0},
        {L"", 0},
        {std::wstring(L"\xFF11"), 0},  // full-width digit one
        {L"1034556", 1034556},
    };
    for (const Case& c : cases) {
        std::optional<ReleaseManifest> manifest;
        const auto failure =
            FailureOf([&] { manifest = ValidateManifestValues(L"a.exe", kGoodDigest, c.text); });
        if (c.size == 0) {
            EXPECT_EQ(failure, kSize) << Narrow(c.text);
        } else {
            ASSERT_FALSE(failure.has_value()) << Narrow(c.text);
            EXPECT_EQ(manifest->size, c.size) << Narrow(c.text);
            EXPECT_EQ(manifest->file, L"a.exe");
            EXPECT_EQ(manifest->sha256, kGoodDigest);
        }
    }
}

// A release.ini written into %TEMP% and deleted again.
class IniFile {
public:
    explicit IniFile(const std::string& content) {
        wchar_t directory[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, directory);
        wchar_t name[MAX_PATH] = {};
        GetTempFileNameW(directory, L"vmf", 0, name);
        path_ = name;
        std::ofstream out(path_.c_str(), std::ios::binary | std::ios::trunc);
        out << content;
    }
    ~IniFile() { DeleteFileW(path_.c_str()); }
    IniFile(const IniFile&) = delete;
    IniFile& operator=(const IniFile&) = delete;
    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
};

std::string Section(const std::string& name, const std::string& file, const std::string& sha256,
                    const std::string& size) {
    std::string text = "[" + name + "]\r\n";
    if (!file.empty()) text += "file=" + file + "\r\n";
    if (!sha256.empty()) text += "sha256=" + sha256 + "\r\n";
    if (!size.empty()) text += "size=" + size + "\r\n";
    return text;
}

const std::string kDigestA(64, 'a');
const std::string kDigestB(64, 'b');

TEST(ManifestRead, ValueLengthLimitOfTheBuffer) {
    struct Case {
        std::size_t length;
        bool read;
    };
    const Case cases[] = {{1, true}, {510, true}, {511, false}, {600, false}};
    for (const Case& c : cases) {
        const std::string value(c.length, 'v');
        IniFile ini("[windows]\r\nfile=" + value + "\r\n");
        std::wstring read;
        const auto failure =
            FailureOf([&] { read = ReadManifestValue(ini.path(), ManifestSection(SystemMode::Windows10), L"file"); });
        if (c.read) {
            ASSERT_FALSE(failure.has_value()) << c.length;
            EXPECT_EQ(read, std::wstring(c.length, L'v'));
        } else {
            EXPECT_EQ(failure, kMissing) << c.length;
        }
    }
}

TEST(ManifestRead, LongValuesFailTheirOwnRuleAfterTheRead) {
    // 510 characters pass the read and then break the name rule; 511 never get
    // that far.
    IniFile fits(Section("windows", std::string(506, 'a') + ".exe", kDigestA, "5"));
    EXPECT_EQ(FailureOf([&] { LoadReleaseManifest(fits.path(), ManifestSection(SystemMode::Windows10)); }), kFormat);
    IniFile tooLong(Section("windows", std::string(507, 'a') + ".exe", kDigestA, "5"));
    EXPECT_EQ(FailureOf([&] { LoadReleaseManifest(tooLong.path(), ManifestSection(SystemMode::Windows10)); }),
              kMissing);
}

TEST(ManifestRead, EachChannelReadsItsOwnSection) {
    const std::string both = Section("windows", "full-setup.exe", kDigestA, "100") +
                             Section("win7", "Agent-7.exe", kDigestB, "0000000042");
    IniFile ini(both);

    const ReleaseManifest full = LoadReleaseManifest(ini.path(), ManifestSection(SystemMode::Windows10));
    EXPECT_EQ(full.file, L"full-setup.exe");
    EXPECT_EQ(full.sha256, std::wstring(64, L'a'));
    EXPECT_EQ(full.size, 100u);

    const ReleaseManifest agent = LoadReleaseManifest(ini.path(), ManifestSection(SystemMode::Windows7));
    EXPECT_EQ(agent.file, L"Agent-7.exe");
    EXPECT_EQ(agent.sha256, std::wstring(64, L'b'));
    EXPECT_EQ(agent.size, 42u);
}

TEST(ManifestRead, MissingPiecesAndTheOrderOfTheChecks) {
    struct Case {
        const char* what;
        std::string content;
        SystemMode systemMode;
        const std::wstring* expected;  // null: accepted
    };
    const std::string completeWindows = Section("windows", "setup.exe", kDigestA, "10");
    const Case cases[] = {
        // One channel's section lacks a key: only that channel fails.
        {"win7 without size on win7", completeWindows + Section("win7", "a.exe", kDigestA, ""),
         SystemMode::Windows7, &kMissing},
        {"win7 without size on win10", completeWindows + Section("win7", "a.exe", kDigestA, ""),
         SystemMode::Windows10, nullptr},
        {"no win7 section on win7", completeWindows, SystemMode::Windows7, &kMissing},
        {"empty file", "", SystemMode::Windows10, &kMissing},
        {"empty value", "[windows]\r\nfile=\r\nsha256=" + kDigestA + "\r\nsize=10\r\n", SystemMode::Windows10,
         &kMissing},
        // All reads come before any rule: a missing size wins over a bad name.
        {"bad name, no size", Section("windows", "bad name.exe", kDigestA, ""), SystemMode::Windows10,
         &kMissing},
        {"bad name, no digest", Section("windows", "x/y.exe", "", "1"), SystemMode::Windows10, &kMissing},
        {"bad name, bad size", Section("windows", "x/y.exe", kDigestA, "-1"), SystemMode::Windows10, &kFormat},
        {"bad digest, bad size", Section("windows", "a.exe", std::string(64, 'A'), "0"), SystemMode::Windows10,
         &kFormat},
        {"size over 1 GiB", Section("windows", "a.exe", kDigestA, "1073741825"), SystemMode::Windows10,
         &kSize},
        // What the profile API does with blanks, case and comments.
        {"blanks around the value",
         "[Windows]\r\n FILE = a.exe \r\n; size=1\r\nsha256=" + kDigestA + "\r\nSize = 7\r\n",
         SystemMode::Windows10, nullptr},
    };
    for (const Case& c : cases) {
        IniFile ini(c.content);
        const auto failure = FailureOf([&] { LoadReleaseManifest(ini.path(), ManifestSection(c.systemMode)); });
        if (c.expected == nullptr) {
            EXPECT_FALSE(failure.has_value()) << c.what;
        } else {
            EXPECT_EQ(failure, *c.expected) << c.what;
        }
    }
}

TEST(ManifestRead, MissingFileIsAMissingField) {
    EXPECT_EQ(FailureOf([&] {
                  LoadReleaseManifest(L"C:\\no-such-folder-vantrel\\release.ini",
                                      ManifestSection(SystemMode::NotClassified));
              }),
              kMissing);
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
    const std::wstring missing = L"C:\\no-such-folder-vantrel\\wusa.exe";
    std::atomic<bool> cancel{true};
    LaunchRequest request;
    request.verb = L"runas";
    request.file = missing;
    request.cancelRequested = &cancel;
    struct Row {
        bool flag;
        bool attached;
        const wchar_t* message;
    };
    const Row rows[] = {
        {true, true, L"已取消安装。"},
        {false, true, L"启动失败（错误码 "},
        {true, false, L"启动失败（错误码 "},
    };
    for (const Row& row : rows) {
        cancel = row.flag;
        request.cancelRequested = row.attached ? &cancel : nullptr;
        std::wstring message;
        try {
            StartChildProcess(request, L"启动失败");
        } catch (const Failure& failure) {
            message = failure.message;
        }
        EXPECT_EQ(message.rfind(row.message, 0), 0u) << row.flag << row.attached;
    }
}

TEST(RuntimeSignature, UnsignedOrMissingFilesAreNotTrusted) {
    IniFile unsigned_file("MSCF this is not a signed cabinet");
    EXPECT_NE(VerifyAuthenticodeSignature(unsigned_file.path()), 0);
    EXPECT_NE(VerifyAuthenticodeSignature(L"C:\\no-such-folder-vantrel\\x.msu"), 0);
    // The state of a failed check is released: the same file checks the same
    // way again.
    EXPECT_NE(VerifyAuthenticodeSignature(unsigned_file.path()), 0);
}

}  // namespace
}  // namespace vantrel
