// The four ways the program can be started. Only an exact, case-sensitive
// match of the whole argument text selects a headless mode; anything else,
// the empty text included, opens the window.
#pragma once

namespace vantrel {

enum class LaunchMode { Windowed, Certificate, Verify, VerifyUcrt };

LaunchMode RecognizeMode(const wchar_t* commandLine);

}  // namespace vantrel
