#include "download/sha256.h"

#include <vector>

#include "support/system_api.h"
#include "support/failure.h"

namespace vantrel {

namespace {

// Files are read back in the same chunk size the downloader writes with.
constexpr DWORD kHashChunkSize = 65536;
constexpr ULONG kDigestSize = 32;

bool Succeeded(NTSTATUS status) { return status >= 0; }

}  // namespace

std::wstring ToLowerHex(const std::uint8_t* bytes, std::size_t count) {
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text;
    text.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return text;
}

bool DigestsMatch(const std::wstring& computed, const std::wstring& expected) {
    // std::wstring equality is length plus code unit by code unit: no case
    // folding, no trimming, a prefix never matches.
    return computed == expected;
}

Sha256Context::Sha256Context() {
    if (!Succeeded(BCrypt().BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        algorithm = nullptr;
        throw Failure{L"无法初始化 SHA-256"};
    }
    // No object buffer: the provider allocates and frees the hash object.
    if (!Succeeded(BCrypt().BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) {
        // The destructor does not run for a half-built object, so the provider
        // is closed here before the failure leaves.
        hash = nullptr;
        BCrypt().BCryptCloseAlgorithmProvider(algorithm, 0);
        algorithm = nullptr;
        throw Failure{L"无法创建 SHA-256"};
    }
}

Sha256Context::~Sha256Context() {
    if (hash != nullptr) BCrypt().BCryptDestroyHash(hash);
    if (algorithm != nullptr) BCrypt().BCryptCloseAlgorithmProvider(algorithm, 0);
}

std::wstring HashFileHex(Sha256Context& context, HANDLE file) {
    LARGE_INTEGER start{};
    CheckSystemCall(SetFilePointerEx(file, start, nullptr, FILE_BEGIN) != FALSE, L"无法读取校验文件");

    std::vector<std::uint8_t> buffer(kHashChunkSize);
    for (;;) {
        DWORD read = 0;
        const BOOL ok = ReadFile(file, buffer.data(), kHashChunkSize, &read, nullptr);
        CheckSystemCall(ok != FALSE, L"读取校验文件失败");
        if (read == 0) break;
        if (!Succeeded(BCrypt().BCryptHashData(context.hash, buffer.data(), read, 0))) {
            throw Failure{L"文件校验失败"};
        }
    }

    std::uint8_t digest[kDigestSize];
    if (!Succeeded(BCrypt().BCryptFinishHash(context.hash, digest, kDigestSize, 0))) {
        throw Failure{L"文件校验失败"};
    }
    return ToLowerHex(digest, kDigestSize);
}

}  // namespace vantrel
