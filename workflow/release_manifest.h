// release.ini: for the detected channel ("win7" or "windows") the product
// installer's file name, SHA-256 and exact size, validated before anything
// else is downloaded.
#pragma once

#include <cstdint>
#include <string>

#include "prereq/platform_gate.h"

namespace vantrel {

struct ReleaseManifest {
    std::wstring file;
    std::wstring sha256;
    std::uint64_t size = 0;
};

// The manifest is a few lines of INI, downloaded with this limit; an empty
// body or anything larger is refused before it is read.
constexpr std::uint64_t kManifestSizeLimit = 65536;

// "win7" for Windows 7, "windows" for anything else.
const wchar_t* ManifestSection(SystemMode systemMode);

bool IsValidPackageFileName(const std::wstring& name);

// The validation rules in their order, on values already read. Throws Failure
// "版本清单格式不正确。" or "版本清单的文件大小无效。".
ReleaseManifest ValidateManifestValues(const std::wstring& file, const std::wstring& sha256,
                                       const std::wstring& size);

// GetPrivateProfileStringW into 512 units; 0 or >= 511 characters throws
// Failure "版本清单缺少有效字段。".
std::wstring ReadManifestValue(const std::wstring& manifestPath, const wchar_t* section,
                               const wchar_t* key);

// The three values of one section ("win7" or "windows", see ManifestSection),
// read and then validated; throws the first rule's Failure.
ReleaseManifest LoadReleaseManifest(const std::wstring& manifestPath, const wchar_t* section);

}  // namespace vantrel
