#include "download/sha256.h"

#include <vector>

#include "support/system_api.h"
#include "support/failure.h"
#include "support/text_format.h"

namespace vantrel {

namespace {

// Files are read back in the same chunk size the downloader writes with.
constexpr DWORD kHashChunkSize = 65536;
constexpr ULONG kDigestSize = 32;

bool Succeeded(NTSTATUS status) { return status >= 0; }

}  // namespace

bool DigestsMatch(const std::wstring& computed, const std::wstring& expected) {
    // std::wstring equality is length plus code unit by code unit: no case
    // folding, no trimming, a prefix never matches.
    return computed == expected;
}

Sha256Context::Sha256Context() {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!Succeeded(BCrypt().BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        throw Failure{L"无法初始化 SHA-256"};
    }
    algorithm_.Reset(algorithm);
    // No object buffer: the provider allocates and frees the hash object.
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!Succeeded(BCrypt().BCryptCreateHash(algorithm_.Get(), &hash, nullptr, 0, nullptr, 0, 0))) {
        // The provider's owner is a finished member: it closes the provider
        // as the failure leaves the half-built context.
        throw Failure{L"无法创建 SHA-256"};
    }
    hash_.Reset(hash);
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
        if (!Succeeded(BCrypt().BCryptHashData(context.Hash(), buffer.data(), read, 0))) {
            throw Failure{L"文件校验失败"};
        }
    }

    std::uint8_t digest[kDigestSize];
    if (!Succeeded(BCrypt().BCryptFinishHash(context.Hash(), digest, kDigestSize, 0))) {
        throw Failure{L"文件校验失败"};
    }
    return ToLowerHex(digest, kDigestSize);
}

}  // namespace vantrel
