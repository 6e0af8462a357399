#include "registry/key_tree.h"

#include <vector>

namespace torvane::registry {

namespace {

// Key names are at most 255 characters, i.e. 510 GBK bytes.
constexpr std::uint32_t kNameBuffer = 1024;

// Walks the tree below `parent`\`name`, deepest keys first. With `remove`
// false it only proves that every key opens for deleting, lists its
// subkeys and is found again by its listed name; with `remove` it deletes.
long Walk(RegistryStore& store, HKey parent, const std::string& name, int depth, bool remove) {
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
        const long rc = Walk(store, key.get(), child, depth + 1, remove);
        // Listed a moment ago, so not found means its name does not lead
        // back to it.
        if (rc == kFileNotFound) return kAccessDenied;
        if (rc != kSuccess) return rc;
      }
    }
  }
  return remove ? store.RegDeleteKeyA(parent, name) : kSuccess;
}

}  // namespace

long DeleteKeyTree(RegistryStore& store, HKey parent, const std::string& name) {
  // A store that deletes a tree as a whole needs no name below it spelt.
  {
    ScopedKey key(store);
    const long opened = key.Open(parent, name, kKeyRead, kOpenLink);
    if (opened != kSuccess) return opened;
    if (store.TreeRemovable(key.get())) {
      key.Reset();
      return store.RegDeleteTreeA(parent, name);
    }
  }
  // A tree that cannot go whole is left whole: a key that refuses, a name
  // that does not lead back, or nesting too deep is found before the first
  // delete.
  if (const long proved = Walk(store, parent, name, 0, false); proved != kSuccess) return proved;
  return Walk(store, parent, name, 0, true);
}

}  // namespace torvane::registry
