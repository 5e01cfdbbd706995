// Where DLLs named without a path are looked for. An installer usually runs
// from the Downloads folder, where anyone can leave a DLL named like a system
// library; the restriction below has to be in place before the first DLL
// that is not one of Windows' KnownDLLs is loaded (those are not imported but
// loaded at run time for that reason, see support/system_api.h).
#pragma once

#include <windows.h>

#include "support/system_api.h"

namespace vantrel {

enum class DllSearchScope {
    // SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) took effect.
    SystemFolderOnly,
    // Windows 7 without KB2533623: only the current folder could be taken out
    // of the search.
    CurrentFolderRemoved,
};

// Called first thing in the entry point: restricts the search. Never fails;
// reports which restriction took effect.
DllSearchScope RestrictDllSearch();

// Loads the system libraries the downloads, digests and certificate checks
// use from the system folder by full path (see the .cpp for why), once per
// process; later calls do nothing. Must run before the first of those
// libraries is used: at the start of the headless modes, and on the window's
// install command, since a window that is only shown and closed uses none of
// them. Never fails: a library that can't be loaded here fails with its
// message where it is first used.
void PreloadSystemLibraries();

}  // namespace vantrel
