// SHA-256 of files on disk through CNG, and the lower-case hex form in which
// digests (and the workspace's random folder names) are written and compared.
#pragma once

#include <windows.h>
#include <bcrypt.h>

#include <string>

#include "support/scoped_handle.h"
#include "support/system_api.h"

namespace vantrel {

// Exact comparison: same length, every code unit equal; no case folding.
bool DigestsMatch(const std::wstring& computed, const std::wstring& expected);

struct AlgorithmProviderTraits {
    using Type = BCRYPT_ALG_HANDLE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type provider) noexcept {
        if (const BCryptApi* api = LoadedBCrypt()) api->BCryptCloseAlgorithmProvider(provider, 0);
    }
};
struct HashObjectTraits {
    using Type = BCRYPT_HASH_HANDLE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type hash) noexcept {
        if (const BCryptApi* api = LoadedBCrypt()) api->BCryptDestroyHash(hash);
    }
};

// Algorithm provider and one hash object; released hash first, then provider.
class Sha256Context {
public:
    // Throws Failure "无法初始化 SHA-256" or "无法创建 SHA-256".
    Sha256Context();

    BCRYPT_HASH_HANDLE Hash() const noexcept { return hash_.Get(); }

private:
    // In this order: members are destroyed in reverse, the hash first.
    ScopedHandle<AlgorithmProviderTraits> algorithm_;
    ScopedHandle<HashObjectTraits> hash_;
};

// Rewinds `file`, hashes it to its end in 64 KiB chunks and returns the
// 64-character digest. Consumes the context's hash object.
std::wstring HashFileHex(Sha256Context& context, HANDLE file);

}  // namespace vantrel
