// Conversions between the ANSI code page 936 (GBK) the program speaks, the
// UTF-8 of terminals and JSON, and the UTF-16LE that hives and version-5 .reg
// files hold. Bytes that do not convert become '?', as the A entry points do.
#pragma once

#include <string>
#include <string_view>

namespace torvane::registry {

std::string GbkToUtf8(std::string_view gbk);
std::string Utf8ToGbk(std::string_view utf8);
// UTF-16LE bytes (no BOM) to and from GBK.
std::string Utf16leToGbk(std::string_view utf16le);
std::string GbkToUtf16le(std::string_view gbk);

}  // namespace torvane::registry
