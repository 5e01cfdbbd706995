// The two number forms that appear in the program's texts: unsigned decimal
// (byte counts, error and exit codes in messages) and lower-case hex (digests
// and the workspace's folder name).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vantrel {

// Unsigned decimal without sign, separators or leading zeros. Error codes with
// the top bit set come out as large positive numbers, never negative or hex.
// 64-bit so byte counts fit too; std::to_wstring would drag the whole wide
// printf machinery into the program for the same digits.
std::wstring ToDecimal(std::uint64_t value);

// The reverse: true only for one or more plain ASCII digits whose value fits
// in 64 bits (no sign, no spaces, leading zeros allowed).
bool ParseDecimal(const std::wstring& text, std::uint64_t& value);

// "0123456789abcdef", high nibble first, two characters per byte.
std::wstring ToLowerHex(const std::uint8_t* bytes, std::size_t count);

}  // namespace vantrel
