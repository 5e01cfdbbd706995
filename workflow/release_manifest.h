// release.ini: for the detected channel ("win7" or "windows") the product
// installer's file name, SHA-256 and exact size, validated before anything
// else is downloaded.
#pragma once

#include <cstdint>
#include <string>

namespace vantrel {

class InstallerApp;

struct ReleaseManifest {
    std::wstring file;
    std::wstring sha256;
    std::uint64_t size = 0;
};

// "win7" for systemMode 1, "windows" for anything else.
const wchar_t* ManifestSection(std::int32_t systemMode);

bool IsValidPackageFileName(const std::wstring& name);

// The validation rules in their order, on values already read. Throws Failure
// "版本清单格式不正确。" or "版本清单的文件大小无效。".
ReleaseManifest ValidateManifestValues(const std::wstring& file, const std::wstring& sha256,
                                       const std::wstring& size);

// GetPrivateProfileStringW into 512 units; 0 or >= 511 characters throws
// Failure "版本清单缺少有效字段。".
std::wstring ReadManifestValue(InstallerApp& app, const std::wstring& manifestPath,
                               const wchar_t* key);

ReleaseManifest LoadReleaseManifest(InstallerApp& app, const std::wstring& manifestPath);

}  // namespace vantrel
