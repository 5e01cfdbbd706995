// SHA-256 of files on disk through CNG, and the lower-case hex form in which
// digests (and the workspace's random folder names) are written and compared.
#pragma once

#include <windows.h>
#include <bcrypt.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace vantrel {

// "0123456789abcdef", high nibble first, two characters per byte.
std::wstring ToLowerHex(const std::uint8_t* bytes, std::size_t count);

// Exact comparison: same length, every code unit equal; no case folding.
bool DigestsMatch(const std::wstring& computed, const std::wstring& expected);

// Algorithm provider and one hash object; released hash first, then provider.
class Sha256Context {
public:
    // Throws Failure "无法初始化 SHA-256" or "无法创建 SHA-256".
    Sha256Context();
    ~Sha256Context();
    Sha256Context(const Sha256Context&) = delete;
    Sha256Context& operator=(const Sha256Context&) = delete;

    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
};

// Rewinds `file`, hashes it to its end in 64 KiB chunks and returns the
// 64-character digest. Consumes the context's hash object.
std::wstring HashFileHex(Sha256Context& context, HANDLE file);

}  // namespace vantrel
