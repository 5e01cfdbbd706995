#include <windows.h>

#include "app/entry.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
    return vantrel::RunInstaller(instance, commandLine);
}
