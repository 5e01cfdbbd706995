// A private, randomly named temporary folder for one run. Creating the object
// creates the folder; destroying it deletes the files a run may write there
// and removes the folder if it is then empty. Clean-up never throws and never
// reports.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace vantrel {

// The only files any run writes into a workspace, directly inside
// `directory`: the product run's manifest and package, the runtime update's
// package. Every clean-up deletes all three, whichever run made the folder.
constexpr const wchar_t* kManifestFileName = L"\\release.ini";
constexpr const wchar_t* kPackageFileName = L"\\package.exe";
constexpr const wchar_t* kRuntimePackageFileName = L"\\Windows6.1-KB2999226-x64.msu";

class Workspace {
public:
    // GetTempPathW + "VantrelSetup-" + 32 random lower-case hex characters.
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
