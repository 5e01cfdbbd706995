// Small helpers shared by the in-process test programs.
#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstdio>
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

// %TEMP% with its trailing backslash, or empty when it does not fit MAX_PATH.
inline std::wstring TempPath() {
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    return length <= MAX_PATH ? std::wstring(buffer, length) : std::wstring();
}

inline bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A whole file, or empty when it can't be opened.
inline std::string ReadAll(const std::wstring& path) {
    std::string bytes;
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    char chunk[65536];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0) bytes.append(chunk, read);
    CloseHandle(file);
    return bytes;
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

// ASCII as it is, anything else as \uXXXX: for test messages, and for
// manifest text the tests write in ASCII.
inline std::string Narrow(const std::wstring& text) {
    std::string out;
    for (const wchar_t c : text) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        }
    }
    return out;
}

// "<message>（错误码 <digits>）" exactly.
inline ::testing::AssertionResult HasErrorCodeSuffix(const std::wstring& text, const std::wstring& message) {
    const std::wstring open = message + L"（错误码 ";
    bool ok = text.compare(0, open.size(), open) == 0 && text.size() >= open.size() + 2 && text.back() == L'）';
    for (std::size_t i = open.size(); ok && i + 1 < text.size(); ++i) ok = text[i] >= L'0' && text[i] <= L'9';
    if (ok) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "message is not \"" << ::testing::PrintToString(message)
                                         << "\" with an error-code suffix";
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
