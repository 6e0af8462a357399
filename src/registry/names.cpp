#include "registry/names.h"

namespace torvane::registry {

std::string FoldName(std::string_view name) {
  std::string folded(name);
  for (std::size_t i = 0; i < folded.size(); ++i) {
    const auto byte = static_cast<unsigned char>(folded[i]);
    if (IsGbkLeadByte(byte)) {
      ++i;  // the trail byte is part of the character, never a letter
    } else if (byte >= 'a' && byte <= 'z') {
      folded[i] = static_cast<char>(byte - 'a' + 'A');
    }
  }
  return folded;
}

bool NamesEqual(std::string_view a, std::string_view b) {
  return a.size() == b.size() && FoldName(a) == FoldName(b);
}

std::vector<std::string> SplitKeyPath(std::string_view path) {
  std::vector<std::string> parts;
  std::string current;
  for (std::size_t i = 0; i < path.size(); ++i) {
    const auto byte = static_cast<unsigned char>(path[i]);
    if (IsGbkLeadByte(byte) && i + 1 < path.size()) {
      current.push_back(path[i]);
      current.push_back(path[++i]);
    } else if (byte == '\\') {
      if (!current.empty()) parts.push_back(std::move(current));
      current.clear();
    } else {
      current.push_back(path[i]);
    }
  }
  if (!current.empty()) parts.push_back(std::move(current));
  return parts;
}

}  // namespace torvane::registry
