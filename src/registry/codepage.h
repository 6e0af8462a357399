// Conversions between the ANSI code page 936 (GBK) the program speaks, the
// UTF-8 of terminals and JSON, and the UTF-16LE that hives and version-5 .reg
// files hold. Bytes that do not convert become '?', as the A entry points do.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace torvane::registry {

std::string GbkToUtf8(std::string_view gbk);
std::string Utf8ToGbk(std::string_view utf8);
// UTF-16LE bytes (no BOM) to and from GBK.
std::string Utf16leToGbk(std::string_view utf16le);
std::string GbkToUtf16le(std::string_view gbk);

// Appends the UTF-8 form of the code point `code`.
inline void AppendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

}  // namespace torvane::registry
