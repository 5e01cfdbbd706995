// Digests, progress figures and the temporary workspace: everything of the
// download stack that needs no network.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cwctype>
#include <string>
#include <vector>

#include "download/downloader.h"
#include "download/sha256.h"
#include "support/failure.h"
#include "support/text_format.h"
#include "support/win_handles.h"
#include "support/workspace.h"
#include "workflow/download_status.h"
#include "workflow/install_product.h"
#include "workflow/runtime_update.h"
#include "tests/test_support.h"

using namespace vantrel;

namespace {

using test_support::Exists;
using test_support::HasErrorCodeSuffix;
using test_support::TempPath;

// Deterministic content: byte i is (7 * i + 3) mod 256. The expected digests
// were computed once with an independent SHA-256 implementation.
std::vector<std::uint8_t> Pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return bytes;
}

// A file under %TEMP% opened for read and write with exclusive sharing, as the
// downloader holds its destination; deleted when the test ends.
class ScratchFile {
public:
    explicit ScratchFile(const std::vector<std::uint8_t>& content, DWORD access = GENERIC_READ | GENERIC_WRITE)
        : path_(TempPath() + L"vantrel-digest-" + std::to_wstring(GetCurrentProcessId()) + L".bin") {
        FileHandle writer(CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        EXPECT_TRUE(writer.Valid());
        DWORD written = 0;
        if (!content.empty()) {
            WriteFile(writer.Get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
        }
        EXPECT_EQ(written, content.size());
        writer.Reset();
        handle_.Reset(CreateFileW(path_.c_str(), access, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
        EXPECT_TRUE(handle_.Valid());
    }
    ~ScratchFile() {
        handle_.Reset();
        DeleteFileW(path_.c_str());
    }
    HANDLE Get() const { return handle_.Get(); }

private:
    std::wstring path_;
    FileHandle handle_;
};

std::wstring MessageOf(void (*action)(HANDLE), HANDLE handle) {
    try {
        action(handle);
    } catch (const Failure& failure) {
        return failure.message;
    }
    return L"(no failure)";
}

}  // namespace

// --- digests ----------------------------------------------------------------

TEST(HashFileHex, KnownAnswersAcrossChunkBoundaries) {
    const struct { std::vector<std::uint8_t> content; const wchar_t* digest; } cases[] = {
        {{}, L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {{'a', 'b', 'c'}, L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {Pattern(65535), L"feaacf5dfeada48ff99357abd0998dd8b350c8b0603a81f573cf3ea577885f99"},
        {Pattern(65536), L"510b126e1d4ced49107fe4ab03ee54cb1c8e4caf6064e1dd29c48d4a3e74c38b"},
        {Pattern(65537), L"ad8b370d36508e55e3c9cd44667a6e36e35955d0ff9f8fe59805bb18c2db5dd8"},
        {Pattern(131072), L"9da12ab2cd07bf7997023836be0e1e05fcc54ef9849c2b897795fa351d941672"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content.size());
        ScratchFile file(c.content);
        // Leave the pointer at the end, where the downloader leaves it after
        // writing: the digest must still cover the whole file.
        LARGE_INTEGER zero{};
        ASSERT_TRUE(SetFilePointerEx(file.Get(), zero, nullptr, FILE_END));
        Sha256Context context;
        const std::wstring digest = HashFileHex(context, file.Get());
        EXPECT_EQ(digest, c.digest);
        EXPECT_TRUE(DigestsMatch(digest, c.digest));
    }
}

TEST(HashFileHex, ReadFailuresCarryTheErrorCode) {
    // No read access: the rewind works, the first read does not.
    ScratchFile writeOnly(Pattern(10), GENERIC_WRITE);
    EXPECT_TRUE(HasErrorCodeSuffix(MessageOf([](HANDLE h) {
        Sha256Context context;
        HashFileHex(context, h);
    }, writeOnly.Get()), L"读取校验文件失败"));
    // Not a file at all: the rewind fails.
    EXPECT_TRUE(HasErrorCodeSuffix(MessageOf([](HANDLE h) {
        Sha256Context context;
        HashFileHex(context, h);
    }, INVALID_HANDLE_VALUE), L"无法读取校验文件"));
}

TEST(ToLowerHex, HighNibbleFirstFromTheLowerCaseAlphabet) {
    const struct { std::vector<std::uint8_t> bytes; const wchar_t* text; } cases[] = {
        {{}, L""},
        {{0x0f}, L"0f"},
        {{0xa0}, L"a0"},
        {{0x00, 0xff, 0x12, 0xab, 0xcd, 0xef, 0x90}, L"00ff12abcdef90"},
    };
    for (const auto& c : cases) EXPECT_EQ(ToLowerHex(c.bytes.data(), c.bytes.size()), c.text);
}

// --- progress figures -------------------------------------------------------

TEST(DownloadProgress, FiguresAreTruncatedKilobytesAndPercent) {
    const struct {
        std::uint64_t total, limit;
        const wchar_t* figures;
        int percent;
    } cases[] = {
        {1000, 1034556, L"0 / 1010", 0},           // first chunk below 1 KB
        {65536, 1034556, L"64 / 1010", 6},
        {1034555, 1034556, L"1010 / 1010", 99},    // never rounds up to 100
        {1034556, 1034556, L"1010 / 1010", 100},   // last chunk
        {1, 1000, L"0 / 0", 0},                    // limit below 1 KB
        {999, 1000, L"0 / 0", 99},
        {1000, 1000, L"0 / 0", 100},
        {2048, 1073741824, L"2 / 1048576", 0},
        {1073741824, 1073741824, L"1048576 / 1048576", 100},
        {5000000000ull, 6000000000ull, L"4882812 / 5859375", 83},  // past 32 bits
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DownloadProgressText(L"微软系统运行库", c.total, c.limit),
                  std::wstring(L"正在下载微软系统运行库：") + c.figures + L" KB");
        EXPECT_EQ(DownloadProgressPercent(c.total, c.limit), c.percent) << c.total << "/" << c.limit;
    }
    EXPECT_EQ(DownloadProgressText(L"安装包", 3072, 4096), L"正在下载安装包：3 / 4 KB");
}

// --- workspace --------------------------------------------------------------

TEST(Workspace, CreatesARandomFolderInTempAndRemovesItsFiles) {
    const std::wstring temp = TempPath();
    std::wstring first, second;
    {
        Workspace a;
        Workspace b;
        first = a.directory;
        second = b.directory;
        EXPECT_NE(first, second);
        for (const std::wstring& dir : {first, second}) {
            ASSERT_EQ(dir.compare(0, temp.size(), temp), 0) << "not in %TEMP%";
            const std::wstring name = dir.substr(temp.size());
            ASSERT_EQ(name.size(), 45u);
            EXPECT_EQ(name.compare(0, 13, L"VantrelSetup-"), 0);
            EXPECT_EQ(name.find_first_not_of(L"0123456789abcdef", 13), std::wstring::npos) << name;
            EXPECT_TRUE(GetFileAttributesW(dir.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
        }
        // A run that wrote all three files, one of them partial.
        for (const wchar_t* file : {kManifestFileName, kPackageFileName, kRuntimePackageFileName}) {
            FileHandle h(CreateFileW((first + file).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(h.Valid());
        }
    }
    EXPECT_FALSE(Exists(first));
    EXPECT_FALSE(Exists(second));
}

TEST(Workspace, AnExistingFolderIsRefusedAndLeftUntouched) {
    std::array<std::uint8_t, 16> random{};
    const DWORD pid = GetCurrentProcessId();
    for (std::size_t i = 0; i < 4; ++i) random[i] = static_cast<std::uint8_t>(pid >> (8 * i));
    random[15] = 0x5a;
    const std::wstring dir = Workspace::MakeDirectoryName(TempPath(), random);
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    const std::wstring content = dir + kPackageFileName;
    FileHandle(CreateFileW(content.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr));
    std::wstring message;
    try {
        Workspace taken = CreateWorkspaceAt(dir);
    } catch (const Failure& failure) {
        message = failure.message;
    }
    EXPECT_EQ(message, L"无法创建临时目录（错误码 183）");
    EXPECT_TRUE(Exists(content)) << "a failed construction must not clean up what it does not own";
    DeleteFileW(content.c_str());
    RemoveDirectoryW(dir.c_str());
}

TEST(Workspace, ATempPathThatDoesNotFitIsRefused) {
    wchar_t saved[1024] = {};
    const DWORD savedLength = GetEnvironmentVariableW(L"TMP", saved, 1024);
    const std::wstring tooLong = L"C:\\" + std::wstring(300, L'x');
    SetEnvironmentVariableW(L"TMP", tooLong.c_str());
    std::wstring message;
    try {
        Workspace workspace;
    } catch (const Failure& failure) {
        message = failure.message;
    }
    SetEnvironmentVariableW(L"TMP", savedLength > 0 && savedLength < 1024 ? saved : nullptr);
    EXPECT_TRUE(HasErrorCodeSuffix(message, L"无法获取临时目录")) << ::testing::PrintToString(message);
}

TEST(Workspace, FilesInUseOrForeignKeepTheFolderSilently) {
    const struct { const wchar_t* file; bool inUse; bool folderStays; const char* name; } cases[] = {
        {kPackageFileName, true, true, "package.exe still open"},
        {L"\\setup.log", false, true, "a file the program never writes"},
        // Names are not tied to the run that made the folder: a product
        // installer, which runs in its workspace, may leave any of them.
        {kRuntimePackageFileName, false, false, "the runtime package beside the manifest"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::wstring dir, kept;
        FileHandle holder;
        {
            Workspace workspace;
            dir = workspace.directory;
            kept = dir + c.file;
            holder.Reset(CreateFileW(kept.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(holder.Valid());
            if (!c.inUse) holder.Reset();
            FileHandle(CreateFileW((dir + kManifestFileName).c_str(), GENERIC_WRITE, 0, nullptr,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        }  // the destructor must not throw or crash here
        EXPECT_EQ(Exists(kept), c.folderStays);
        EXPECT_EQ(Exists(dir), c.folderStays);
        EXPECT_FALSE(Exists(dir + kManifestFileName)) << "known files are still deleted";
        holder.Reset();
        DeleteFileW(kept.c_str());
        RemoveDirectoryW(dir.c_str());
    }
}
