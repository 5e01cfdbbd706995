// Digests, progress figures and the temporary workspace: everything of the
// download stack that needs no network.
#include <aclapi.h>
#include <sddl.h>

#include <array>
#include <vector>

#include "download/sha256.h"
#include "download/user_proxy.h"
#include "support/win_handles.h"
#include "support/workspace.h"
#include "workflow/download_status.h"
#include "workflow/install_product.h"
#include "workflow/runtime_update.h"
#include "tests/test_support.h"

using namespace vantrel;
using namespace test_support;

namespace {

// Opened with exclusive sharing, as the downloader holds its destination.
FileHandle Open(const std::wstring& path, DWORD access = GENERIC_WRITE, DWORD disposition = CREATE_ALWAYS) {
    return FileHandle(CreateFileW(path.c_str(), access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// The DACL of a descriptor in SDDL form ("D:..."), or "(none)".
std::wstring DaclText(PSECURITY_DESCRIPTOR descriptor) {
    LPWSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                              DACL_SECURITY_INFORMATION, &text, nullptr)) {
        return L"(none)";
    }
    const std::wstring result = text;
    LocalFree(text);
    return result;
}

// The DACL a folder has now, read back from the file system.
std::wstring FolderDaclText(const std::wstring& folder) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return L"(none)";
    }
    const std::wstring text = DaclText(descriptor);
    LocalFree(descriptor);
    return text;
}

// This process's user as an SDDL SID string, taken independently of the
// program's own code.
std::wstring CurrentUserSidText() {
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    std::vector<std::uint8_t> buffer(512);
    DWORD size = 0;
    EXPECT_TRUE(GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size));
    CloseHandle(token);
    LPWSTR text = nullptr;
    EXPECT_TRUE(ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text));
    const std::wstring result = text != nullptr ? text : L"";
    LocalFree(text);
    return result;
}

}  // namespace

// --- digests ----------------------------------------------------------------

TEST(HashFileHex, KnownAnswersAcrossChunkBoundaries) {
    // Computed once with an independent SHA-256 implementation.
    const struct { std::string content; const wchar_t* digest; } cases[] = {
        {"", L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {Generated(65535), L"863e03ae6a72ce80b1957af119943a2e4edfcf3852fec0909a2168f6ea75fafe"},
        {Generated(65536), L"729512428e9663885f746f2b8b2aaafd55f8324b84600b79ff1cf4ea73b385ba"},
        {Generated(65537), L"ee9b8ae801229cc5d7e29d3bb4ba1e5d186379e2c1f5040fbf8d73d5a090dd77"},
        {Generated(131072), L"e4885b34bae1cfbffd32fc97f914fa6ae94b64e787d3c3e0101985f3878ba940"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content.size());
        TempFile file(c.content);
        const FileHandle handle = Open(file.path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
        // Leave the pointer at the end, where the downloader leaves it after
        // writing: the digest must still cover the whole file.
        LARGE_INTEGER zero{};
        ASSERT_TRUE(SetFilePointerEx(handle.Get(), zero, nullptr, FILE_END));
        Sha256Context context;
        EXPECT_EQ(HashFileHex(context, handle.Get()), c.digest);
    }
}

TEST(HashFileHex, ReadFailuresCarryTheErrorCode) {
    TempFile file(Generated(10));
    const FileHandle writeOnly = Open(file.path, GENERIC_WRITE, OPEN_EXISTING);
    const struct { HANDLE handle; const wchar_t* message; } cases[] = {
        {writeOnly.Get(), L"读取校验文件失败"},      // the rewind works, the first read does not
        {INVALID_HANDLE_VALUE, L"无法读取校验文件"},  // not a file: the rewind fails
    };
    for (const auto& c : cases) {
        Sha256Context context;
        EXPECT_TRUE(HasErrorCodeSuffix(FailureOf([&] { HashFileHex(context, c.handle); }).value_or(L""), c.message));
    }
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

// --- the user's proxy bypass list ------------------------------------------

TEST(UserProxy, BypassListAsInternetOptionsWritesIt) {
    // A host on port 443; the lists that put it on the bypass list, and those that don't.
    const struct { const wchar_t* host; std::vector<const wchar_t*> on, off; } cases[] = {
        {L"intranet", {L"<local>", L"<LOCAL>", L"proxy.test;\t*.cn  ;; intranet"}, {L"", L"intranet.corp"}},
        {L"Download.Example.COM",
         {L"*.example.com", L"https://download.example.com", L"download.example.com:443", L"*"},
         {L"<local>", L"example.com", L"http://download.example.com", L"download.example.com:8443"}},
        {L"example.com", {L"*example.com"}, {L"*.example.com"}},
        {L"10.1.2.3", {L"10.*"}, {L"10.*.4"}},
        // A star gives back what the next one needs.
        {L"aXbYbZc", {L"a*b*c"}, {L"a*b*cZ"}},
    };
    for (const auto& c : cases) {
        for (const wchar_t* list : c.on) EXPECT_TRUE(IsOnBypassList(list, c.host, 443)) << Narrow(list);
        for (const wchar_t* list : c.off) EXPECT_FALSE(IsOnBypassList(list, c.host, 443)) << Narrow(list);
    }
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
            EXPECT_EQ(name.find_first_not_of(L"0123456789abcdef", 13), std::wstring::npos) << Narrow(name);
            EXPECT_TRUE(GetFileAttributesW(dir.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
            // Read back, the folder admits nobody beyond its own entries.
            // (Wine keeps only what Unix permissions carry: the protected flag
            // and the Administrators entry are lost, so the descriptor itself
            // is checked below.)
            const std::wstring dacl = FolderDaclText(dir);
            EXPECT_EQ(dacl.compare(0, 3, L"D:("), 0) << Narrow(dacl);
            for (const wchar_t* other : {L";;;WD)", L";;;BU)", L";;;AU)", L";;;IU)"}) {
                EXPECT_EQ(dacl.find(other), std::wstring::npos) << Narrow(dacl);
            }
        }
        // A run that wrote all three files, one of them partial.
        for (const wchar_t* file : {kManifestFileName, kPackageFileName, kRuntimePackageFileName}) {
            ASSERT_TRUE(Open(first + file).Valid());
        }
    }
    EXPECT_FALSE(Exists(first));
    EXPECT_FALSE(Exists(second));
}

TEST(Workspace, TheFolderDescriptorIsProtectedAndNamesOnlyUserSystemAndAdministrators) {
    PrivateFolderSecurity security;
    EXPECT_EQ(DaclText(security.Descriptor()),
              L"D:P(A;OICI;FA;;;" + CurrentUserSidText() + L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
    // What CreateDirectoryW is handed must carry that descriptor.
    EXPECT_EQ(security.Attributes()->lpSecurityDescriptor, security.Descriptor());
}

TEST(Workspace, AnExistingFolderIsRefusedAndLeftUntouched) {
    std::array<std::uint8_t, 16> random{};
    const DWORD pid = GetCurrentProcessId();
    for (std::size_t i = 0; i < 4; ++i) random[i] = static_cast<std::uint8_t>(pid >> (8 * i));
    random[15] = 0x5a;
    const std::wstring dir = Workspace::MakeDirectoryName(TempPath(), random);
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    const std::wstring content = dir + kPackageFileName;
    Open(content);
    EXPECT_EQ(FailureOf([&] { CreateWorkspaceAt(dir); }), std::wstring(L"无法创建临时目录（错误码 183）"));
    EXPECT_TRUE(Exists(content)) << "a failed construction must not clean up what it does not own";
    DeleteFileW(content.c_str());
    RemoveDirectoryW(dir.c_str());
}

TEST(Workspace, ATempPathThatDoesNotFitIsRefused) {
    const std::wstring saved = Env(L"TMP");
    SetEnvironmentVariableW(L"TMP", (L"C:\\" + std::wstring(300, L'x')).c_str());
    const auto failure = FailureOf([] { Workspace workspace; });
    SetEnvironmentVariableW(L"TMP", saved.empty() ? nullptr : saved.c_str());
    EXPECT_TRUE(HasErrorCodeSuffix(failure.value_or(L""), L"无法获取临时目录"));
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
            holder = Open(kept);
            ASSERT_TRUE(holder.Valid());
            if (!c.inUse) holder.Reset();
            Open(dir + kManifestFileName);
        }  // the destructor must not throw or crash here
        EXPECT_EQ(Exists(kept), c.folderStays);
        EXPECT_EQ(Exists(dir), c.folderStays);
        EXPECT_FALSE(Exists(dir + kManifestFileName)) << "known files are still deleted";
        holder.Reset();
        DeleteFileW(kept.c_str());
        RemoveDirectoryW(dir.c_str());
    }
}
