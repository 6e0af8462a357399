// Exact names and texts: UTF-16LE as the registry and version-5 .reg files
// store them, and UTF-8 as the undo path carries them.
//
// The registry takes any sequence of 16-bit units as a name, unpaired
// surrogates included; these travel as WTF-8 (a surrogate encoded as if it
// were a code point), so UTF-16 -> UTF-8 -> UTF-16 gives back the same units.
#pragma once

#include <string>
#include <cstdint>
#include <string_view>
#include <vector>

namespace torvane::registry {

// The length of the UTF-8 character at the start of `text` and its code
// point; 0 when it is malformed (overlong, cut short, past U+10FFFF, or a
// surrogate where those are refused). WTF-8 carries lone surrogates.
enum class Surrogates { kRefused, kAllowed };
std::size_t DecodeUtf8(std::string_view text, std::uint32_t* code, Surrogates surrogates);

// UTF-16LE bytes (no BOM; an odd last byte is dropped) to WTF-8 and back.
std::string Utf16leToUtf8(std::string_view utf16le);
std::string Utf8ToUtf16le(std::string_view utf8);

// Whether `text` is UTF-8 that converts to UTF-16 and back unchanged
// (WTF-8 surrogates included).
bool IsExactUtf8(std::string_view text);
// The offset of the first byte that is no (W)UTF-8; npos when none is.
std::size_t Utf8FaultAt(std::string_view text);

// Whether `bytes` read as code page 936 hold only whole characters: ASCII,
// 0x80, or a lead byte 0x81..0xFE followed by a trail byte 0x40..0xFE
// other than 0x7F.
bool IsWellFormedGbk(std::string_view bytes);
// The offset of the first byte that breaks that rule; npos when none does.
std::size_t GbkFaultAt(std::string_view bytes);

// UTF-8 names compared as the registry compares them here: ASCII letters
// without regard to case, every other character exactly.
std::string FoldUtf8(std::string_view name);
bool Utf8NamesEqual(std::string_view a, std::string_view b);
// `text` with each NUL shown as \x00, for a message: what() would end at it.
std::string ShowNuls(std::string_view text);
// Splits a UTF-8 key path at its backslashes; empty components are dropped.
std::vector<std::string> SplitUtf8Path(std::string_view path);

}  // namespace torvane::registry
