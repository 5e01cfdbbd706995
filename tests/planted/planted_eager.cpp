// The control case: a program that imports from the same DLLs as the
// installer, but as ordinary imports. Windows resolves those before the
// program's first instruction, so copies planted beside it are loaded no
// matter what the program does. It never calls them.
#include <windows.h>
#include <bcrypt.h>
#include <commctrl.h>
#include <wincrypt.h>
#include <winhttp.h>
#include <wintrust.h>

int wmain(int argc, wchar_t**) {
    // Never true; keeps the imports referenced.
    if (argc > 1000) {
        BCryptCloseAlgorithmProvider(nullptr, 0);
        InitCommonControlsEx(nullptr);
        CertCloseStore(nullptr, 0);
        WinHttpCloseHandle(nullptr);
        WinVerifyTrust(nullptr, nullptr, nullptr);
    }
    return 0;
}
