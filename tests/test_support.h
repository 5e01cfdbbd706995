// Small helpers shared by the in-process test programs.
#pragma once

#include <windows.h>
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

}  // namespace test_support
