#include "app/dll_search.h"

namespace vantrel {
namespace {

// Windows 7 has SetDefaultDllDirectories only with KB2533623, so it is looked
// up at run time rather than imported.
using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);

// The libraries of support/system_api.h except comctl32.dll,
// which the manifest binds to the side-by-side version 6: that binding is
// resolved before any folder is searched, and a full path would bypass it.
constexpr const char* kSystemLibraries[] = {"bcrypt.dll", "crypt32.dll", "winhttp.dll",
                                            "wintrust.dll"};

}  // namespace

DllSearchScope RestrictDllSearch() {
    DllSearchScope scope = DllSearchScope::CurrentFolderRemoved;
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto setDefault = kernel == nullptr
        ? nullptr
        : reinterpret_cast<SetDefaultDllDirectoriesFn>(
              reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        scope = DllSearchScope::SystemFolderOnly;
    } else {
        SetDllDirectoryW(L"");
    }
    return scope;
}

void PreloadSystemLibraries() {
    // Only the UI thread calls this, before any worker exists.
    static bool loaded = false;
    if (loaded) return;
    loaded = true;
    // System libraries load each other by bare name too, some of them late
    // (their own delay loads), and not every loader applies the restriction
    // to those loads: Windows 7 without the update has none to apply, and
    // Wine's loader ignores it there. A library already in the process is
    // found by name before any folder is searched, so the system copies are
    // loaded by full path before the first of them is used, and stay
    // loaded. Loading them costs a start-up time a window that is never used
    // for an installation need not pay (four libraries and what they import).
    for (const char* name : kSystemLibraries) LoadSystemLibrary(name);
}

}  // namespace vantrel
