#include "support/failure.h"

#include <windows.h>

#include <cstdlib>
#include <exception>

#include "support/text_format.h"

// An exception that escapes every handler is a programming error, and this
// GUI program has no console for the library's "terminate called after
// throwing ..." line. The library's default handler would still link the C++
// name demangler and a printf implementation (about 60 KB of the shipped file)
// only to print it; ending the process at once looks the same to the user.
// Defined here because this file is in every program that uses the library.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

namespace vantrel {

std::wstring WithErrorCode(const std::wstring& message, std::uint32_t code) {
    return message + L"（错误码 " + ToDecimal(code) + L"）";
}

void CheckSystemCall(bool succeeded, const wchar_t* message) {
    if (succeeded) return;
    const DWORD code = GetLastError();
    throw Failure{WithErrorCode(message, code)};
}

}  // namespace vantrel
