#include "registry/view_path.h"

#include <optional>
#include <vector>

#include "registry/names.h"

namespace torvane::registry {

namespace {

constexpr const char* kMachinePrefix = "\\REGISTRY\\MACHINE\\";

// The HKLM path a link key points at, when its target is one.
std::optional<std::string> LinkTarget(RegistryStore& store, HKey link) {
  std::uint8_t data[1024];
  std::uint32_t type = kRegNone, size = sizeof data;
  if (store.RegQueryValueExA(link, "SymbolicLinkValue", &type, data, &size) != kSuccess || type != kRegLink ||
      size % 2 != 0) {
    return std::nullopt;
  }
  // UTF-16LE; only plain ASCII is taken.
  std::string target;
  for (std::uint32_t i = 0; i < size; i += 2) {
    if (data[i + 1] != 0 || data[i] >= 0x80) return std::nullopt;
    if (data[i] == 0) break;
    target.push_back(static_cast<char>(data[i]));
  }
  const std::string prefix = kMachinePrefix;
  if (target.size() <= prefix.size() || FoldName(target.substr(0, prefix.size())) != prefix) return std::nullopt;
  return target.substr(prefix.size());
}

}  // namespace

std::string StoredViewPath(RegistryStore& store, HKey root, const std::string& path, std::uint32_t access) {
  const std::string mapped = ViewPath(root, path, access);
  if (mapped == path) return mapped;
  const std::vector<std::string> parts = SplitKeyPath(mapped);
  std::string done;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    std::string next = done.empty() ? parts[i] : done + "\\" + parts[i];
    ScopedKey key(store);
    if (key.Open(root, next, kKeyRead, kOpenLink) == kSuccess) {
      bool is_link = false;
      if (store.RegQueryKeyIsLink(key.get(), &is_link) == kSuccess && is_link) {
        if (auto target = LinkTarget(store, key.get())) next = std::move(*target);
      }
    }
    done = std::move(next);
  }
  return done;
}

}  // namespace torvane::registry
