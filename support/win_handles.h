// Owners for the kernel-object handles used across the program. Kinds that
// belong to one module only (WinHTTP, CNG, certificate stores) keep their
// traits next to the code that uses them.
#pragma once

#include <windows.h>

#include "support/scoped_handle.h"

namespace vantrel {

// Handles whose "none" value is null: processes, threads, mutexes, tokens.
struct KernelHandleTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type handle) noexcept { CloseHandle(handle); }
};
using KernelHandle = ScopedHandle<KernelHandleTraits>;

// CreateFileW reports failure with INVALID_HANDLE_VALUE rather than null.
struct FileHandleTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type handle) noexcept { CloseHandle(handle); }
};
using FileHandle = ScopedHandle<FileHandleTraits>;

struct FontTraits {
    using Type = HFONT;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type font) noexcept { DeleteObject(font); }
};
using FontHandle = ScopedHandle<FontTraits>;

}  // namespace vantrel
