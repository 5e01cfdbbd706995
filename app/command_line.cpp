#include "app/command_line.h"

#include <cwchar>

namespace vantrel {

LaunchMode RecognizeMode(const wchar_t* commandLine) {
    if (commandLine == nullptr) return LaunchMode::Windowed;
    // wcscmp compares up to and including the terminator, so the length is
    // part of the match: no trimming, no quotes, no second argument.
    if (std::wcscmp(commandLine, L"--certificate") == 0) return LaunchMode::Certificate;
    if (std::wcscmp(commandLine, L"--verify") == 0) return LaunchMode::Verify;
    if (std::wcscmp(commandLine, L"--verify-ucrt") == 0) return LaunchMode::VerifyUcrt;
    return LaunchMode::Windowed;
}

}  // namespace vantrel
