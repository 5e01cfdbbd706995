#include "support/workspace.h"

#include <windows.h>

#include <utility>

#include "support/failure.h"
#include "support/system_api.h"
#include "support/text_format.h"

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

}  // namespace

std::wstring Workspace::MakeDirectoryName(const std::wstring& tempPath,
                                          const std::array<std::uint8_t, 16>& random) {
    return tempPath + L"VantrelSetup-" + ToLowerHex(random.data(), random.size());
}

Workspace::Workspace() : Workspace(Adopt{}, NewRandomDirectory()) {}

Workspace::Workspace(Adopt, std::wstring path) : directory(std::move(path)) {
    // One attempt only: an existing folder of this name is never adopted,
    // since someone else may have prepared its content.
    CheckSystemCall(CreateDirectoryW(directory.c_str(), nullptr) != FALSE, L"无法创建临时目录");
}

Workspace::~Workspace() {
    // The three names, whichever run made the folder: a product installer
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
    } catch (...) {
    }
    RemoveDirectoryW(directory.c_str());
}

Workspace CreateWorkspaceAt(const std::wstring& directory) {
    return Workspace(Workspace::Adopt{}, directory);
}

}  // namespace vantrel
