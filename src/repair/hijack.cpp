// Image hijack detection and removal under "Image File Execution Options".
//
// The key also holds the operating system's own per-program settings, so the
// repair removes only the subkeys named after protected tools and leaves the
// key and every other subkey in place.
#include <string>
#include <vector>

#include "repair/engine.h"
#include "repair/places.h"

namespace torvane::repair {

using registry::HKey;
using registry::kKeyAllAccess;
using registry::kLocalMachine;
using registry::kMoreData;
using registry::kNoMoreItems;
using registry::kSuccess;
using registry::RegistryStore;
using registry::ScopedKey;

namespace {

// A name of 100 bytes or more (NUL included) does not fit and never matches.
constexpr std::uint32_t kMatchNameBuffer = 100;
// Key names are at most 255 characters, i.e. 510 GBK bytes.
constexpr std::uint32_t kDeleteNameBuffer = 1024;
// The registry nests keys at most 512 deep.
constexpr int kMaxDepth = 512;

// Calls `on_name` with each subkey name that fits `capacity` until it
// returns false. Names that do not fit are passed over and counted in
// `*skipped`. Returns false when the enumeration broke off with an error
// other than the end of the list.
template <typename OnName>
bool EnumerateSubkeys(RegistryStore& store, HKey key, std::uint32_t capacity, int* skipped,
                      OnName on_name) {
  std::vector<char> name(capacity, 0);
  for (std::uint32_t index = 0;; ++index) {
    const long rc = store.RegEnumKeyA(key, index, name.data(), capacity);
    if (rc == kNoMoreItems) return true;
    if (rc == kMoreData) {
      ++*skipped;
      continue;
    }
    if (rc != kSuccess) return false;
    if (!on_name(std::string(name.data()))) return true;
  }
}

// Deletes `name` below `parent` with all its subkeys, deepest first. False
// when anything of it remains.
bool DeleteTree(RegistryStore& store, HKey parent, const std::string& name, int depth) {
  if (depth > kMaxDepth) return false;
  {
    ScopedKey key(store);
    if (key.Open(parent, name, kKeyAllAccess) != kSuccess) return false;
    std::vector<std::string> children;
    int skipped = 0;
    const bool listed = EnumerateSubkeys(store, key.get(), kDeleteNameBuffer, &skipped,
                                         [&](const std::string& child) {
                                           children.push_back(child);
                                           return true;
                                         });
    bool emptied = listed && skipped == 0;
    for (const auto& child : children) {
      if (!DeleteTree(store, key.get(), child, depth + 1)) emptied = false;
    }
    if (!emptied) return false;
  }
  return store.RegDeleteKeyA(parent, name) == kSuccess;
}

}  // namespace

HijackOutcome RepairEngine::CheckImageHijack() {
  ScopedKey hijack(store_), parent(store_);
  hijack.Open(kLocalMachine, places::kHijackKey, kKeyAllAccess);
  parent.Open(kLocalMachine, places::kCurrentVersion, kKeyAllAccess);
  if (!hijack.is_open()) {
    return parent.is_open() ? HijackOutcome::kClean : HijackOutcome::kUndetermined;
  }
  bool found = false;
  int skipped = 0;
  const bool complete = EnumerateSubkeys(store_, hijack.get(), kMatchNameBuffer, &skipped,
                                         [&](const std::string& name) {
                                           found = IsProtectedTool(name);
                                           return !found;
                                         });
  if (found) return HijackOutcome::kHijacked;
  return complete ? HijackOutcome::kClean : HijackOutcome::kUndetermined;
}

RepairOutcome RepairEngine::RepairImageHijack() {
  ScopedKey hijack(store_);
  if (hijack.Open(kLocalMachine, places::kHijackKey, kKeyAllAccess) != kSuccess) {
    return RepairOutcome::kNothingToDo;
  }
  std::vector<std::string> listed;
  int skipped = 0;
  const bool complete = EnumerateSubkeys(store_, hijack.get(), kMatchNameBuffer, &skipped,
                                         [&](const std::string& name) {
                                           if (IsProtectedTool(name)) listed.push_back(name);
                                           return true;
                                         });
  if (listed.empty()) return complete ? RepairOutcome::kNothingToDo : RepairOutcome::kFailed;
  bool all_removed = complete;
  for (const auto& name : listed) {
    if (!DeleteTree(store_, hijack.get(), name, 1)) all_removed = false;
  }
  return all_removed ? RepairOutcome::kRepaired : RepairOutcome::kFailed;
}

}  // namespace torvane::repair
