#include "support/text_format.h"

namespace vantrel {

std::wstring ToDecimal(std::uint64_t value) {
    wchar_t digits[20];
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

bool ParseDecimal(const std::wstring& text, std::uint64_t& value) {
    if (text.empty()) return false;
    std::uint64_t parsed = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        const auto digit = static_cast<std::uint64_t>(c - L'0');
        if (parsed > (UINT64_MAX - digit) / 10) return false;
        parsed = parsed * 10 + digit;
    }
    value = parsed;
    return true;
}

std::wstring ToLowerHex(const std::uint8_t* bytes, std::size_t count) {
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text;
    text.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return text;
}

}  // namespace vantrel
