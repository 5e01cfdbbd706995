// A private, randomly named temporary folder for one run. Creating the object
// creates the folder; destroying it deletes the files a run may write there
// and removes the folder if it is then empty. Clean-up never throws and never
// reports.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vantrel {

// The only files this program writes into a workspace, directly inside
// `directory`: the product run's manifest and package, the runtime update's
// package, the certificate helper's copy of the program. Every clean-up
// deletes all four, whichever use made the folder.
constexpr const wchar_t* kManifestFileName = L"\\release.ini";
constexpr const wchar_t* kPackageFileName = L"\\package.exe";
constexpr const wchar_t* kRuntimePackageFileName = L"\\Windows6.1-KB2999226-x64.msu";
// The copy of this program that the elevated certificate helper runs from, in
// a workspace of its own.
constexpr const wchar_t* kHelperFileName = L"\\VantrelSetup.exe";

// The security descriptor every workspace folder is created with: a protected
// DACL (nothing inherited from the temporary folder, which may be a shared
// one such as C:\Temp) granting full control to the current user, SYSTEM and
// Administrators, inherited by the files made inside. Nobody else can list,
// add, replace or rename anything there. Building it fails with
// "无法创建临时目录" and the error-code suffix; there is no fall-back to a
// folder without it.
class PrivateFolderSecurity {
public:
    PrivateFolderSecurity();
    PrivateFolderSecurity(const PrivateFolderSecurity&) = delete;
    PrivateFolderSecurity& operator=(const PrivateFolderSecurity&) = delete;

    // Both point into this object.
    SECURITY_ATTRIBUTES* Attributes() noexcept { return &attributes_; }
    PSECURITY_DESCRIPTOR Descriptor() noexcept { return &descriptor_; }

private:
    std::vector<std::uint8_t> user_;
    std::vector<std::uint8_t> system_;
    std::vector<std::uint8_t> administrators_;
    std::vector<std::uint8_t> acl_;
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
};

class Workspace {
public:
    // GetTempPathW + "VantrelSetup-" + 32 random lower-case hex characters,
    // created with PrivateFolderSecurity.
    Workspace();
    ~Workspace();
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    // Full path without a trailing separator.
    const std::wstring directory;

    // The folder name for a given temporary path and 16 random bytes; split
    // out so the naming rule can be checked without the random generator.
    static std::wstring MakeDirectoryName(const std::wstring& tempPath,
                                          const std::array<std::uint8_t, 16>& random);

private:
    struct Adopt {};
    Workspace(Adopt, std::wstring directory);
    friend Workspace CreateWorkspaceAt(const std::wstring& directory);
};

// Creates exactly the given folder with the same rules (one attempt, the
// existing-folder error reported with its code). Lets tests reproduce a name
// collision, which the random generator never gives on purpose.
Workspace CreateWorkspaceAt(const std::wstring& directory);

}  // namespace vantrel
