// Key paths and value names as the registry treats them: ANSI (GBK) bytes,
// compared without regard to the case of ASCII letters.
//
// GBK trail bytes overlap ASCII (0x40..0x7E, including 'A'..'Z', 'a'..'z'
// and the backslash 0x5C), so folding and splitting step over double-byte
// characters instead of looking at single bytes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace torvane::registry {

// True when `byte` starts a double-byte character in code page 936.
constexpr bool IsGbkLeadByte(unsigned char byte) { return byte >= 0x81 && byte <= 0xFE; }

// Upper-cases the ASCII letters of `name`, leaving double-byte characters alone.
std::string FoldName(std::string_view name);
// The same into `out`, which holds name.size() bytes: no string is made.
void FoldNameInto(std::string_view name, char* out);

// Case-insensitive equality as the registry applies it to names.
bool NamesEqual(std::string_view a, std::string_view b);

// Calls `visit` with each component of a key path in order, as views into
// `path`: split at its backslashes, empty components dropped.
template <typename Visit>
void ForEachKeyPathPart(std::string_view path, Visit visit) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (IsGbkLeadByte(static_cast<unsigned char>(path[i])) && i + 1 < path.size()) {
      ++i;
    } else if (path[i] == '\\') {
      if (i > start) visit(path.substr(start, i - start));
      start = i + 1;
    }
  }
  if (path.size() > start) visit(path.substr(start));
}

// Splits a key path at its backslashes; empty components are dropped.
std::vector<std::string> SplitKeyPath(std::string_view path);
// The components of `path` joined by single backslashes.
std::string NormalKeyPath(std::string_view path);

// Compares two texts byte for byte as the ANSI string compare does: exact,
// case-sensitive, no trimming.
inline bool TextsEqual(std::string_view a, std::string_view b) { return a == b; }

}  // namespace torvane::registry
