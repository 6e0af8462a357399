#include "registry/names.h"

#include "registry/registry.h"

namespace torvane::registry {

void FoldNameInto(std::string_view name, char* out) {
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto byte = static_cast<unsigned char>(name[i]);
    out[i] = byte >= 'a' && byte <= 'z' ? static_cast<char>(byte - 'a' + 'A') : name[i];
    if (IsGbkLeadByte(byte) && i + 1 < name.size()) {
      ++i;  // the trail byte is part of the character, never a letter
      out[i] = name[i];
    }
  }
}

std::string FoldName(std::string_view name) {
  std::string folded(name.size(), '\0');
  FoldNameInto(name, folded.data());
  return folded;
}

bool NamesEqual(std::string_view a, std::string_view b) {
  return a.size() == b.size() && FoldName(a) == FoldName(b);
}

std::vector<std::string> SplitKeyPath(std::string_view path) {
  std::vector<std::string> parts;
  ForEachKeyPathPart(path, [&](std::string_view part) { parts.emplace_back(part); });
  return parts;
}

std::string NormalKeyPath(std::string_view path) {
  std::string joined;
  joined.reserve(path.size());
  ForEachKeyPathPart(path, [&](std::string_view part) {
    if (!joined.empty()) joined.push_back('\\');
    joined.append(part);
  });
  return joined;
}

std::string ViewPath(HKey root, const std::string& path, std::uint32_t access) {
  if (root != kLocalMachine || (access & kViewBits) != kView32) return path;
  std::size_t start = 0;
  while (start < path.size() && path[start] == '\\') ++start;
  std::size_t end = path.find('\\', start);  // SOFTWARE is ASCII: no trail byte before it
  if (end == std::string::npos) end = path.size();
  if (!NamesEqual(std::string_view(path).substr(start, end - start), "SOFTWARE")) return path;
  const std::vector<std::string> rest = SplitKeyPath(std::string_view(path).substr(end));
  if (!rest.empty() && NamesEqual(rest.front(), kWow64Node)) return path;
  return path.substr(0, end) + "\\" + kWow64Node + path.substr(end);
}

}  // namespace torvane::registry
