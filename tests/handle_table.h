// How many entries a process has in the system's handle table. Read from
// outside through NtQuerySystemInformation, because under Wine
// GetProcessHandleCount reports 0. Shared by the window driver and the
// in-process leak test; depends on nothing but Windows.
#pragma once

#include <windows.h>

#include <vector>

namespace handle_table {

// -1 when the table can't be read.
inline long long SystemHandleEntries(DWORD pid) {
    // SYSTEM_HANDLE_TABLE_ENTRY_INFO_EX and the table that holds them.
    struct Entry {
        void* object;
        ULONG_PTR process, handle;
        ULONG access;
        USHORT backTrace, type;
        ULONG attributes, reserved;
    };
    struct Table {
        ULONG_PTR count, reserved;
        Entry entries[1];
    };
    using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return -1;
    constexpr ULONG kExtendedHandleInformation = 64;
    constexpr LONG kLengthMismatch = static_cast<LONG>(0xC0000004);
    std::vector<unsigned char> buffer(1 << 20);
    ULONG needed = 0;
    LONG status;
    while ((status = query(kExtendedHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                           &needed)) == kLengthMismatch) {
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0) return -1;
    const auto* table = reinterpret_cast<const Table*>(buffer.data());
    long long count = 0;
    for (ULONG_PTR i = 0; i < table->count; ++i) {
        if (table->entries[i].process == pid) ++count;
    }
    return count;
}


}  // namespace handle_table
