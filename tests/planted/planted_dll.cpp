// Stands in for a DLL that someone left in the Downloads folder under the
// name of a system library. Built once and copied under each name; when any
// process loads it, it appends that process's image path to a marker file
// beside itself ("<its own path>.loaded") and otherwise does nothing.
#include <windows.h>

namespace {

void LeaveMarker(HINSTANCE self) {
    wchar_t marker[MAX_PATH + 16] = {};
    const DWORD length = GetModuleFileNameW(self, marker, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    lstrcatW(marker, L".loaded");

    wchar_t image[MAX_PATH] = {};
    const DWORD imageLength = GetModuleFileNameW(nullptr, image, MAX_PATH);
    char line[MAX_PATH * 3 + 2] = {};
    int bytes = WideCharToMultiByte(CP_UTF8, 0, image, static_cast<int>(imageLength), line,
                                    MAX_PATH * 3, nullptr, nullptr);
    if (bytes < 0) bytes = 0;
    line[bytes++] = '\n';

    const HANDLE file = CreateFileW(marker, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(bytes), &written, nullptr);
    CloseHandle(file);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) LeaveMarker(instance);
    return TRUE;
}
