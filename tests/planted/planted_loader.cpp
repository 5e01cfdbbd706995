// Loads one DLL by bare name the way the installer's code could, and prints
// the full path of the module it got:
//   planted_loader plain NAME        LoadLibraryW with the default search
//   planted_loader restricted NAME   the installer's restriction first, then
//                                    LoadLibraryW
//   planted_loader system NAME       the installer's load by system path (what
//                                    delay loads use where the restriction
//                                    isn't available), no restriction
// Exit code 0 when a module was loaded, 1 when not, 2 on bad usage.
#include <windows.h>

#include <cstdio>
#include <string>

#include "app/dll_search.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    const std::wstring how = argv[1];
    const std::wstring wideName = argv[2];
    const std::string name(wideName.begin(), wideName.end());

    HMODULE module = nullptr;
    if (how == L"plain") {
        module = LoadLibraryW(wideName.c_str());
    } else if (how == L"restricted") {
        const vantrel::DllSearchScope scope = vantrel::RestrictDllSearch();
        std::printf("scope %s\n",
                    scope == vantrel::DllSearchScope::SystemFolderOnly ? "system-folder-only"
                                                                       : "current-folder-removed");
        module = LoadLibraryW(wideName.c_str());
    } else if (how == L"system") {
        module = vantrel::LoadSystemLibrary(name.c_str());
    } else {
        return 2;
    }
    if (module == nullptr) {
        std::printf("not loaded %lu\n", GetLastError());
        return 1;
    }
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    std::printf("loaded %ls\n", path);
    return 0;
}
