#include "registry/key_tree.h"

#include <vector>

namespace torvane::registry {

namespace {

// Key names are at most 255 characters, i.e. 510 GBK bytes.
constexpr std::uint32_t kNameBuffer = 1024;

long DeleteBelow(RegistryStore& store, HKey parent, const std::string& name, int depth) {
  if (depth > kMaxKeyDepth) return kInvalidParameter;
  {
    ScopedKey key(store);
    const long opened = key.Open(parent, name, kKeyAllAccess, kOpenLink);
    if (opened != kSuccess) return opened;
    bool is_link = false;
    if (const long asked = store.RegQueryKeyIsLink(key.get(), &is_link); asked != kSuccess) return asked;
    if (!is_link) {
      // The whole list first: deleting while enumerating by index would skip
      // every other name.
      std::vector<std::string> children;
      std::vector<char> buffer(kNameBuffer, 0);
      for (std::uint32_t index = 0;; ++index) {
        const long rc = store.RegEnumKeyA(key.get(), index, buffer.data(), kNameBuffer);
        if (rc == kNoMoreItems) break;
        if (rc != kSuccess) return rc;
        children.emplace_back(buffer.data());
      }
      for (const std::string& child : children) {
        const long rc = DeleteBelow(store, key.get(), child, depth + 1);
        // Listed a moment ago, so not found means its name does not lead
        // back to it.
        if (rc == kFileNotFound) return kAccessDenied;
        if (rc != kSuccess) return rc;
      }
    }
  }
  return store.RegDeleteKeyA(parent, name);
}

}  // namespace

long DeleteKeyTree(RegistryStore& store, HKey parent, const std::string& name) {
  return DeleteBelow(store, parent, name, 0);
}

}  // namespace torvane::registry
