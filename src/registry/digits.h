// Numbers as text, for names and messages. printf would do, but it brings
// its floating-point formatting into every program that calls it.
#pragma once

#include <cstdint>
#include <string>

namespace torvane::registry {

// The hexadecimal digits of `value`, at least `width` of them.
inline std::string HexDigits(std::uint64_t value, int width = 1, bool upper = false) {
  const char* const digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string text;
  do {
    text.insert(text.begin(), digits[value & 0xF]);
    value >>= 4;
  } while (value != 0 || static_cast<int>(text.size()) < width);
  return text;
}

// The decimal digits of `value`, at least `width` of them.
inline std::string DecimalDigits(std::uint64_t value, int width = 1) {
  std::string text;
  do {
    text.insert(text.begin(), static_cast<char>('0' + value % 10));
    value /= 10;
  } while (value != 0 || static_cast<int>(text.size()) < width);
  return text;
}

}  // namespace torvane::registry
