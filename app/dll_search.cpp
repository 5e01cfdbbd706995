#include "app/dll_search.h"

namespace vantrel {
namespace {

// Windows 7 has SetDefaultDllDirectories only with KB2533623, so it is looked
// up at run time rather than imported.
using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);

constexpr std::size_t kMaxDllNameLength = 64;

// The delay-loaded libraries (cmake/delay_imports.cmake) except comctl32.dll,
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

    // System libraries load each other by bare name too, some of them late
    // (their own delay loads), and not every loader applies the restriction
    // to those loads: Windows 7 without the update has none to apply, and
    // Wine's loader ignores it there. A library already in the process is
    // found by name before any folder is searched, so the system copies are
    // loaded now, by full path, and stay loaded. Our own delay loads then
    // find them the same way.
    for (const char* name : kSystemLibraries) LoadSystemLibrary(name);
    return scope;
}

std::wstring SystemLibraryPath(const std::wstring& systemFolder, const char* dllName) {
    if (dllName == nullptr || systemFolder.empty()) return std::wstring();
    std::wstring name;
    for (const char* c = dllName; *c != '\0'; ++c) {
        const unsigned char unit = static_cast<unsigned char>(*c);
        if (unit < 0x20 || unit > 0x7E || *c == '\\' || *c == '/' || *c == ':') return std::wstring();
        if (name.size() == kMaxDllNameLength) return std::wstring();
        name += static_cast<wchar_t>(unit);
    }
    if (name.empty() || name == L"." || name == L"..") return std::wstring();
    std::wstring path = systemFolder;
    if (path.back() != L'\\') path += L'\\';
    return path + name;
}

HMODULE LoadSystemLibrary(const char* dllName) {
    wchar_t folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    const std::wstring path = SystemLibraryPath(folder, dllName);
    if (path.empty()) return nullptr;
    // The altered search path makes the DLL's own imports come from its
    // folder rather than from the application folder.
    return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace vantrel
