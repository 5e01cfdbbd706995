#include "workflow/release_manifest.h"

#include <windows.h>

#include "support/failure.h"
#include "support/text_format.h"

namespace vantrel {
namespace {

constexpr const wchar_t* kMissingField = L"版本清单缺少有效字段。";
constexpr const wchar_t* kBadFormat = L"版本清单格式不正确。";
constexpr const wchar_t* kBadSize = L"版本清单的文件大小无效。";

// One unit is kept for the terminator, and the profile API reports a value it
// had to cut short as exactly size - 1 characters; so 511 means "too long".
constexpr DWORD kValueBufferUnits = 512;
constexpr DWORD kFirstTruncatedLength = kValueBufferUnits - 1;

constexpr std::size_t kMinFileNameLength = 5;
constexpr std::size_t kMaxFileNameLength = 127;
constexpr std::size_t kDigestLength = 64;
constexpr std::size_t kMaxSizeDigits = 10;
constexpr std::uint64_t kMaxPackageSize = 1ULL << 30;

bool IsAsciiLetterOrDigit(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9');
}

bool IsLowerHexDigit(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'); }

bool IsLowerHexDigest(const std::wstring& text) {
    if (text.size() != kDigestLength) return false;
    for (const wchar_t c : text) {
        if (!IsLowerHexDigit(c)) return false;
    }
    return true;
}

// False for anything but 1 to 10 plain decimal digits with a value in 1..2^30.
bool ParsePackageSize(const std::wstring& text, std::uint64_t& value) {
    std::uint64_t parsed = 0;
    if (text.size() > kMaxSizeDigits || !ParseDecimal(text, parsed)) return false;
    if (parsed < 1 || parsed > kMaxPackageSize) return false;
    value = parsed;
    return true;
}

}  // namespace

const wchar_t* ManifestSection(SystemMode systemMode) {
    return systemMode == SystemMode::Windows7 ? L"win7" : L"windows";
}

bool IsValidPackageFileName(const std::wstring& name) {
    if (name.size() < kMinFileNameLength || name.size() > kMaxFileNameLength) return false;
    if (name.compare(name.size() - 4, 4, L".exe") != 0) return false;
    if (name.find(L"..") != std::wstring::npos) return false;
    for (const wchar_t c : name) {
        if (!IsAsciiLetterOrDigit(c) && c != L'-' && c != L'.') return false;
    }
    return true;
}

ReleaseManifest ValidateManifestValues(const std::wstring& file, const std::wstring& sha256,
                                       const std::wstring& size) {
    if (!IsValidPackageFileName(file)) throw Failure{kBadFormat};
    if (!IsLowerHexDigest(sha256)) throw Failure{kBadFormat};

    ReleaseManifest manifest;
    // Whatever goes wrong with the size, the user gets the one size message;
    // the catch-all also covers library errors raised while parsing.
    bool sizeValid = false;
    try {
        sizeValid = ParsePackageSize(size, manifest.size);
    } catch (...) {
        sizeValid = false;
    }
    if (!sizeValid) throw Failure{kBadSize};

    manifest.file = file;
    manifest.sha256 = sha256;
    return manifest;
}

std::wstring ReadManifestValue(const std::wstring& manifestPath, const wchar_t* section,
                               const wchar_t* key) {
    wchar_t buffer[kValueBufferUnits] = {};
    const DWORD length = GetPrivateProfileStringW(section, key, L"", buffer, kValueBufferUnits,
                                                  manifestPath.c_str());
    if (length == 0 || length >= kFirstTruncatedLength) throw Failure{kMissingField};
    return std::wstring(buffer);
}

ReleaseManifest LoadReleaseManifest(const std::wstring& manifestPath, const wchar_t* section) {
    // All three reads come first: a missing key is reported as such even when
    // another value would also fail its own rule.
    const std::wstring file = ReadManifestValue(manifestPath, section, L"file");
    const std::wstring sha256 = ReadManifestValue(manifestPath, section, L"sha256");
    const std::wstring size = ReadManifestValue(manifestPath, section, L"size");
    return ValidateManifestValues(file, sha256, size);
}

}  // namespace vantrel
