#include "support/failure.h"

#include <windows.h>

namespace vantrel {

std::wstring ToDecimal(std::uint32_t value) {
    wchar_t digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    std::wstring text;
    text.reserve(count);
    while (count > 0) text.push_back(digits[--count]);
    return text;
}

std::wstring WithErrorCode(const std::wstring& message, std::uint32_t code) {
    return message + L"（错误码 " + ToDecimal(code) + L"）";
}

void CheckSystemCall(bool succeeded, const wchar_t* message) {
    if (succeeded) return;
    const DWORD code = GetLastError();
    throw Failure{WithErrorCode(message, code)};
}

}  // namespace vantrel
