// A private, randomly named temporary folder for one run. Creating the object
// creates the folder; destroying it deletes the files its creator named and
// removes the folder if it is then empty. Clean-up never throws and never
// reports.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace vantrel {

class Workspace {
public:
    // GetTempPathW + "VantrelSetup-" + 32 random lower-case hex characters.
    // `fileNames` ("\\name" each) are the files the run writes there: only
    // they are deleted at the end, never anything else.
    explicit Workspace(std::initializer_list<const wchar_t*> fileNames);
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
    Workspace(Adopt, std::wstring directory, std::initializer_list<const wchar_t*> fileNames);
    friend Workspace CreateWorkspaceAt(const std::wstring& directory,
                                       std::initializer_list<const wchar_t*> fileNames);

    std::vector<std::wstring> fileNames_;
};

// Creates exactly the given folder with the same rules (one attempt, the
// existing-folder error reported with its code). Lets tests reproduce a name
// collision, which the random generator never gives on purpose.
Workspace CreateWorkspaceAt(const std::wstring& directory,
                            std::initializer_list<const wchar_t*> fileNames);

}  // namespace vantrel
