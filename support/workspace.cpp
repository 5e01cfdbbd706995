#include "support/workspace.h"

#include <windows.h>

#include <utility>

#include "support/failure.h"
#include "support/system_api.h"
#include "support/text_format.h"
#include "support/win_handles.h"

namespace vantrel {

namespace {

constexpr DWORD kTempPathCapacity = 260;

// The user's temporary folder, ending with a backslash.
std::wstring TemporaryPath() {
    wchar_t buffer[kTempPathCapacity] = {};
    const DWORD length = GetTempPathW(kTempPathCapacity, buffer);
    // 0 is a failure; kTempPathCapacity or more means the path did not fit.
    CheckSystemCall(length >= 1 && length < kTempPathCapacity, L"无法获取临时目录");
    return std::wstring(buffer, length);
}

std::array<std::uint8_t, 16> RandomNameBytes() {
    std::array<std::uint8_t, 16> bytes{};
    // BCryptGenRandom returns its status instead of setting the last error,
    // so its failure carries no error code.
    const NTSTATUS status = BCrypt().BCryptGenRandom(nullptr, bytes.data(), static_cast<ULONG>(bytes.size()),
                                            BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status < 0) throw Failure{L"无法创建安全临时目录"};
    return bytes;
}

std::wstring NewRandomDirectory() {
    const std::wstring tempPath = TemporaryPath();
    return Workspace::MakeDirectoryName(tempPath, RandomNameBytes());
}

constexpr const wchar_t* kCreateFailed = L"无法创建临时目录";
constexpr DWORD kInheritedByContent = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

// The SID of the user this process runs as.
std::vector<std::uint8_t> CurrentUserSid() {
    HANDLE opened = nullptr;
    CheckSystemCall(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened) != FALSE, kCreateFailed);
    const KernelHandle token(opened);
    DWORD size = 0;
    // The first call only asks for the size, and fails doing so.
    GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
    CheckSystemCall(size >= sizeof(TOKEN_USER), kCreateFailed);
    std::vector<std::uint8_t> buffer(size);
    CheckSystemCall(GetTokenInformation(token.Get(), TokenUser, buffer.data(), size, &size) != FALSE,
                    kCreateFailed);
    const PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
    CheckSystemCall(IsValidSid(sid) != FALSE, kCreateFailed);
    const std::uint8_t* bytes = static_cast<const std::uint8_t*>(sid);
    return std::vector<std::uint8_t>(bytes, bytes + GetLengthSid(sid));
}

std::vector<std::uint8_t> WellKnownSid(WELL_KNOWN_SID_TYPE type) {
    std::vector<std::uint8_t> sid(SECURITY_MAX_SID_SIZE);
    DWORD size = SECURITY_MAX_SID_SIZE;
    CheckSystemCall(CreateWellKnownSid(type, nullptr, sid.data(), &size) != FALSE, kCreateFailed);
    sid.resize(size);
    return sid;
}

// The helper's copy is deleted right after its process has ended. Windows may
// still hold the image for a moment after that (the process object is
// signalled while its last references go; a virus scanner may look at the
// new file), so a refusal is tried again for a short while. Any other answer,
// a missing file included, ends the attempts. A copy keeps the attributes of
// the program's file, which may be read-only; that would refuse every attempt.
void DeleteHelperCopy(const std::wstring& path) noexcept {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (DeleteFileW(path.c_str())) return;
        const DWORD error = GetLastError();
        if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) return;
        Sleep(50);
    }
}

}  // namespace

PrivateFolderSecurity::PrivateFolderSecurity()
    : user_(CurrentUserSid()),
      system_(WellKnownSid(WinLocalSystemSid)),
      administrators_(WellKnownSid(WinBuiltinAdministratorsSid)) {
    const std::vector<std::uint8_t>* const sids[] = {&user_, &system_, &administrators_};
    DWORD aclSize = sizeof(ACL);
    for (const auto* sid : sids) {
        aclSize += static_cast<DWORD>(sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + sid->size());
    }
    acl_.resize(aclSize);
    const PACL acl = reinterpret_cast<PACL>(acl_.data());
    CheckSystemCall(InitializeAcl(acl, aclSize, ACL_REVISION) != FALSE, kCreateFailed);
    for (const auto* sid : sids) {
        CheckSystemCall(AddAccessAllowedAceEx(acl, ACL_REVISION, kInheritedByContent, FILE_ALL_ACCESS,
                                              const_cast<std::uint8_t*>(sid->data())) != FALSE,
                        kCreateFailed);
    }
    CheckSystemCall(InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) != FALSE,
                    kCreateFailed);
    CheckSystemCall(SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) != FALSE, kCreateFailed);
    // Protected: the temporary folder's own entries (Users, Everyone on a
    // shared C:\Temp) are not inherited.
    CheckSystemCall(SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED) != FALSE,
                    kCreateFailed);
    attributes_.nLength = sizeof(attributes_);
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
}

std::wstring Workspace::MakeDirectoryName(const std::wstring& tempPath,
                                          const std::array<std::uint8_t, 16>& random) {
    return tempPath + L"VantrelSetup-" + ToLowerHex(random.data(), random.size());
}

Workspace::Workspace() : Workspace(Adopt{}, NewRandomDirectory()) {}

Workspace::Workspace(Adopt, std::wstring path) : directory(std::move(path)) {
    PrivateFolderSecurity security;
    // One attempt only: an existing folder of this name is never adopted,
    // since someone else may have prepared its content.
    CheckSystemCall(CreateDirectoryW(directory.c_str(), security.Attributes()) != FALSE, kCreateFailed);
}

Workspace::~Workspace() {
    // The four names, whichever run made the folder: a product installer
    // runs in its workspace and may leave a file of another run's name there.
    // Nothing else is deleted, and never recursively: any other file (one
    // still in use, one the product installer left behind) keeps the folder
    // in place.
    // Building the paths allocates; running out of memory here must not turn
    // clean-up into a crash, so the files are then simply left behind.
    try {
        for (const wchar_t* name : {kManifestFileName, kPackageFileName, kRuntimePackageFileName}) {
            DeleteFileW((directory + name).c_str());
        }
        DeleteHelperCopy(directory + kHelperFileName);
    } catch (...) {
    }
    RemoveDirectoryW(directory.c_str());
}

Workspace CreateWorkspaceAt(const std::wstring& directory) {
    return Workspace(Workspace::Adopt{}, directory);
}

}  // namespace vantrel
