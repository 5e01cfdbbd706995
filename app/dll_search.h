// Where DLLs named without a path are looked for. An installer usually runs
// from the Downloads folder, where anyone can leave a DLL named like a system
// library; the restriction below has to be in place before the first DLL
// that is not one of Windows' KnownDLLs is loaded (those are delay-loaded
// imports for that reason, see cmake/delay_imports.cmake).
#pragma once

#include <windows.h>

#include <string>

namespace vantrel {

enum class DllSearchScope {
    // SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) took effect.
    SystemFolderOnly,
    // Windows 7 without KB2533623: only the current folder could be taken out
    // of the search.
    CurrentFolderRemoved,
};

// Called first thing in the entry point: restricts the search, then loads
// the delay-loaded system libraries from the system folder by full path (see
// the .cpp for why). Never fails; reports which restriction took effect.
DllSearchScope RestrictDllSearch();

// The full path of `dllName` in `systemFolder`, or an empty string when the
// name is not a bare file name (empty, a path, a drive, not printable ASCII,
// too long).
std::wstring SystemLibraryPath(const std::wstring& systemFolder, const char* dllName);

// Loads a bare DLL name from the system folder by full path, its own imports
// resolved from there too; nullptr if the name is not a bare file name or the
// load fails.
HMODULE LoadSystemLibrary(const char* dllName);

}  // namespace vantrel
