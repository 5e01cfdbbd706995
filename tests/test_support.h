// Small helpers shared by the in-process test programs.
#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <shlobj.h>

#include <optional>
#include <string>

#include "support/failure.h"

namespace test_support {

// An environment variable, or empty when unset.
inline std::wstring Env(const wchar_t* name) {
    wchar_t buffer[1024];
    const DWORD length = GetEnvironmentVariableW(name, buffer, 1024);
    return length > 0 && length < 1024 ? std::wstring(buffer, length) : std::wstring();
}

// Writes a whole file, creating its folder first.
inline bool WriteAll(const std::wstring& path, const std::string& bytes) {
    const std::size_t slash = path.find_last_of(L'\\');
    if (slash != std::wstring::npos) SHCreateDirectoryExW(nullptr, path.substr(0, slash).c_str(), nullptr);
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

// The Failure text a call throws, or nullopt when it returns.
template <typename Call>
std::optional<std::wstring> FailureOf(Call&& call) {
    try {
        call();
    } catch (const vantrel::Failure& failure) {
        return failure.message;
    }
    return std::nullopt;
}

// SHA-256 as lower-case hex through CNG, written here rather than taken from
// the program so that a fault there can't make both sides agree.
inline std::string Sha256Hex(const std::string& bytes) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    unsigned char digest[32] = {};
    BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
    BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                   static_cast<ULONG>(bytes.size()), 0);
    BCryptFinishHash(hash, digest, sizeof(digest), 0);
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    std::string text;
    for (const unsigned char b : digest) {
        text.push_back("0123456789abcdef"[b >> 4]);
        text.push_back("0123456789abcdef"[b & 15]);
    }
    return text;
}

}  // namespace test_support
