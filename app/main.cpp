#include <windows.h>

#include "app/dll_search.h"
#include "app/entry.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
    vantrel::RestrictDllSearch();
    return vantrel::RunInstaller(instance, commandLine);
}
