// Image hijack detection and removal under "Image File Execution Options".
//
// The key also holds the operating system's own per-program settings, so the
// repair removes only the subkeys named after protected tools and leaves the
// key and every other subkey in place. Names match as Windows looks them up:
// without regard to ASCII case.
#include <string>
#include <string_view>
#include <vector>

#include "registry/key_tree.h"
#include "repair/engine.h"
#include "repair/places.h"

namespace torvane::repair {

using registry::HKey;
using registry::kFileNotFound;
using registry::kKeyAllAccess;
using registry::kKeyRead;
using registry::kLocalMachine;
using registry::kMoreData;
using registry::kNoMoreItems;
using registry::kOpenLink;
using registry::kSuccess;
using registry::RegistryStore;
using registry::ScopedKey;

namespace {

// A name of 100 bytes or more (NUL included) does not fit and never matches.
constexpr std::uint32_t kMatchNameBuffer = 100;

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
    if (!on_name(std::string_view(name.data()))) return true;
  }
}

}  // namespace

HijackOutcome RepairEngine::CheckImageHijack() {
  bool hijacked = false, undetermined = false;
  ForEachView(3, [&](View) {
    const HijackOutcome outcome = CheckImageHijackInView();
    hijacked |= outcome == HijackOutcome::kHijacked;
    undetermined |= outcome == HijackOutcome::kUndetermined;
  });
  if (hijacked) return HijackOutcome::kHijacked;
  return undetermined ? HijackOutcome::kUndetermined : HijackOutcome::kClean;
}

RepairOutcome RepairEngine::RepairImageHijack() {
  int repaired = 0, failed = 0;
  ForEachView(3, [&](View) {
    const RepairOutcome outcome = RepairImageHijackInView();
    repaired += outcome == RepairOutcome::kRepaired;
    failed += outcome == RepairOutcome::kFailed;
  });
  if (failed > 0) return RepairOutcome::kFailed;
  return repaired > 0 ? RepairOutcome::kRepaired : RepairOutcome::kNothingToDo;
}

HijackOutcome RepairEngine::CheckImageHijackInView() {
  const std::uint32_t all = Viewed(kLocalMachine, kKeyAllAccess), read_only = Viewed(kLocalMachine, kKeyRead);
  ScopedKey hijack(store_), parent(store_);
  const long full = hijack.Open(kLocalMachine, places::kHijackKey, all);
  parent.Open(kLocalMachine, places::kCurrentVersion, all);
  // Refused full access: what reading shows is what Windows acts on.
  const long read = full == kSuccess || full == kFileNotFound
                        ? full
                        : hijack.Open(kLocalMachine, places::kHijackKey, read_only);
  if (!hijack.is_open()) {
    if (read != kFileNotFound) {
      NoteUnread(kLocalMachine, places::kHijackKey, read);
      return HijackOutcome::kUndetermined;
    }
    // The 32-bit view may lack the whole branch.
    if (MissingIsHealthy()) return HijackOutcome::kClean;
    long parent_rc = kSuccess;
    if (!parent.is_open()) parent_rc = parent.Open(kLocalMachine, places::kCurrentVersion, read_only);
    // A key that is not there holds no hijack.
    if (parent.is_open() || parent_rc == kFileNotFound) return HijackOutcome::kClean;
    NoteUnread(kLocalMachine, places::kCurrentVersion, parent_rc);
    return HijackOutcome::kUndetermined;
  }
  bool found = false;
  int skipped = 0;
  const bool complete = EnumerateSubkeys(store_, hijack.get(), kMatchNameBuffer, &skipped,
                                         [&](std::string_view name) {
                                           found = IsProtectedTool(name);
                                           return !found;
                                         });
  if (found) return HijackOutcome::kHijacked;
  return complete ? HijackOutcome::kClean : HijackOutcome::kUndetermined;
}

RepairOutcome RepairEngine::RepairImageHijackInView() {
  ScopedKey hijack(store_);
  const long opened = hijack.Open(kLocalMachine, places::kHijackKey, Viewed(kLocalMachine, kKeyAllAccess), kOpenLink);
  if (opened == kFileNotFound) return RepairOutcome::kNothingToDo;
  bool is_link = false;
  if (opened != kSuccess || store_.RegQueryKeyIsLink(hijack.get(), &is_link) != kSuccess || is_link) {
    // Locked, or a link this repair will not reach through: damage that
    // reading shows is a failed repair, anything else nothing to do.
    hijack.Reset();
    return CheckImageHijackInView() == HijackOutcome::kHijacked ? RepairOutcome::kFailed
                                                                : RepairOutcome::kNothingToDo;
  }
  std::vector<std::string> listed;
  int skipped = 0;
  const bool complete = EnumerateSubkeys(store_, hijack.get(), kMatchNameBuffer, &skipped,
                                         [&](std::string_view name) {
                                           if (IsProtectedTool(name)) listed.emplace_back(name);
                                           return true;
                                         });
  if (listed.empty()) return complete ? RepairOutcome::kNothingToDo : RepairOutcome::kFailed;
  bool all_removed = complete;
  for (const auto& name : listed) {
    // Each listed subkey goes with everything below it; a link goes as a
    // link, and what it points at stays.
    if (registry::DeleteKeyTree(store_, hijack.get(), name) != kSuccess) all_removed = false;
  }
  return all_removed ? RepairOutcome::kRepaired : RepairOutcome::kFailed;
}

}  // namespace torvane::repair
