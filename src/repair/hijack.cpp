// Image hijack detection and removal under "Image File Execution Options".
//
// The key also holds the operating system's own per-program settings, so the
// repair removes only the subkeys named after protected tools and leaves the
// key and every other subkey in place. Names match as Windows looks them up:
// without regard to ASCII case.
#include <initializer_list>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <string_view>
#include <vector>

#include "registry/key_tree.h"
#include "registry/names.h"
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
// Any value name a hive can hold: 65,535 bytes of name, each character at
// most two bytes in code page 936.
constexpr std::uint32_t kValueNameBuffer = 1 << 17;

// Calls `on_name` with each subkey name that fits `capacity` until it
// returns false. Names that do not fit are passed over and counted in
// `*skipped`. Returns false when the enumeration broke off with an error
// other than the end of the list.
template <typename OnName>
bool EnumerateSubkeys(RegistryStore& store, HKey key, std::uint32_t capacity, int* skipped,
                      OnName on_name, long* failed = nullptr) {
  std::vector<char> name(capacity, 0);
  for (std::uint32_t index = 0;; ++index) {
    const long rc = store.RegEnumKeyA(key, index, name.data(), capacity);
    if (rc == kNoMoreItems) return true;
    if (rc == kMoreData) {
      ++*skipped;
      continue;
    }
    if (rc != kSuccess) {
      if (failed != nullptr) *failed = rc;
      return false;
    }
    if (!on_name(std::string_view(name.data()))) return true;
  }
}

// The names of a key's values; false when the list cannot be read whole.
bool ValueNames(RegistryStore& store, HKey key, std::vector<std::string>* names, bool* too_long,
                long* failed = nullptr) {
  // Uninitialised: most keys hold a few short names.
  const auto buffer = std::make_unique_for_overwrite<char[]>(kValueNameBuffer);
  char* name = buffer.get();
  for (std::uint32_t index = 0;; ++index) {
    const long rc = store.RegEnumValueA(key, index, name, kValueNameBuffer);
    if (rc == kNoMoreItems) return true;
    if (rc == kMoreData) {
      *too_long = true;
      continue;
    }
    if (rc != kSuccess) {
      if (failed != nullptr) *failed = rc;
      return false;
    }
    names->emplace_back(name);
  }
}

bool Among(std::string_view name, std::initializer_list<std::string_view> names) {
  for (std::string_view allowed : names) {
    if (registry::NamesEqual(name, allowed)) return true;
  }
  return false;
}

// The exploit-protection settings Windows writes, and organisations push, in
// a program's image-options subkey: the values themselves, and the UseFilter
// layout, whose subkeys each name a path (FilterFullPath) with its settings.
bool IsProtectionValue(std::string_view name) {
  return Among(name, {"MitigationOptions", "MitigationAuditOptions", "EAFModules"});
}

// What a listed tool's subkey holds, and what its repair takes out.
struct Contents {
  bool read = false;      // every list below it could be read
  long failed = kSuccess;  // when not: what the read that failed answered
  bool hijack = false;    // something other than protection settings
  bool keeps = false;     // protection settings stay when the rest goes
  bool whole = false;     // nothing can be kept: the subkey goes whole
  std::vector<std::string> values;  // values of the subkey that go
  std::vector<std::string> subkeys;  // subkeys that go whole
  std::vector<std::pair<std::string, std::string>> filter_values;  // values of a kept filter subkey that go
};

// How far ContentsOf looks: far enough to tell whether the subkey is a
// hijack, or at everything its repair takes out.
enum class Look { kVerdict, kEverything };

Contents ContentsOf(RegistryStore& store, HKey hijack, const std::string& name, Look look) {
  Contents contents;
  ScopedKey key(store);
  if (const long opened = key.Open(hijack, name, kKeyRead, kOpenLink); opened != kSuccess) {
    contents.failed = opened;
    return contents;
  }
  bool is_link = false;
  if (const long asked = store.RegQueryKeyIsLink(key.get(), &is_link); asked != kSuccess) {
    contents.failed = asked;
    return contents;
  }
  contents.read = true;
  if (is_link) {
    contents.hijack = contents.whole = true;
    return contents;
  }
  std::vector<std::string> values;
  bool too_long = false;
  if (!ValueNames(store, key.get(), &values, &too_long, &contents.failed)) {
    contents.read = false;
    return contents;
  }
  for (const std::string& value : values) {
    if (IsProtectionValue(value) || Among(value, {"UseFilter"})) {
      contents.keeps = true;
    } else {
      contents.values.push_back(value);
    }
  }
  // A value that goes makes it a hijack whatever lies below (a Debugger
  // beside 100,000 subkeys need not wait for them to be read).
  if (look == Look::kVerdict && !contents.values.empty()) {
    contents.hijack = true;
    return contents;
  }
  int skipped = 0;
  std::vector<std::string> children;
  if (!EnumerateSubkeys(store, key.get(), kMatchNameBuffer, &skipped, [&](std::string_view child) {
        children.emplace_back(child);
        return true;
      }, &contents.failed)) {
    contents.read = false;
    return contents;
  }
  // A subkey its listed name does not open (a name the code page cannot
  // spell, listed with a '?' in its place), or opens as one of two, cannot
  // be taken out by that name.
  bool unnamed = false;
  std::set<std::string> folded;
  for (const std::string& child : children) {
    ScopedKey filter(store);
    bool child_link = false;
    const long opened = filter.Open(key.get(), child, kKeyRead, kOpenLink);
    if (opened == kFileNotFound || opened == registry::kDuplicateName ||
        !folded.insert(registry::FoldName(child)).second) {
      unnamed = true;
    }
    // A subkey that cannot be looked into is no protection setting anyone
    // can show: it goes (or its repair fails).
    if (opened != kSuccess || store.RegQueryKeyIsLink(filter.get(), &child_link) != kSuccess) {
      contents.subkeys.push_back(child);
      continue;
    }
    std::vector<std::string> filter_values;
    bool filter_too_long = false;
    int below = 0;
    bool has_subkeys = false;
    if (!child_link && (!ValueNames(store, filter.get(), &filter_values, &filter_too_long) ||
                        !EnumerateSubkeys(store, filter.get(), kMatchNameBuffer, &below, [&](std::string_view) {
                          has_subkeys = true;
                          return false;
                        }))) {
      contents.subkeys.push_back(child);
      continue;
    }
    bool kept = false;
    std::vector<std::string> going;
    for (const std::string& value : filter_values) {
      if (IsProtectionValue(value) || Among(value, {"FilterFullPath"})) {
        kept = true;
      } else {
        going.push_back(value);
      }
    }
    // A filter subkey with anything below it, or a name too long to tell,
    // or one that keeps nothing, goes whole.
    if (child_link || has_subkeys || below > 0 || filter_too_long || !kept) {
      contents.subkeys.push_back(child);
      continue;
    }
    contents.keeps = true;
    for (const std::string& value : going) contents.filter_values.emplace_back(child, value);
  }
  // A name too long to read, or not read as it is, cannot be taken out by
  // name: nothing is kept, and the subkey goes whole.
  if (too_long || skipped > 0 || unnamed) contents.keeps = false;
  // A subkey that keeps no protection setting is a hijack, as any listed
  // subkey always was, whatever it holds.
  contents.hijack = !contents.keeps || !contents.values.empty() || !contents.subkeys.empty() ||
                    !contents.filter_values.empty();
  contents.whole = contents.hijack && !contents.keeps;
  return contents;
}

// The subkeys of the image-options key named after a protected tool; false
// when the list could not be read whole.
bool ListedSubkeys(const RepairEngine& engine, RegistryStore& store, HKey hijack, std::vector<std::string>* listed,
                   long* failed = nullptr) {
  int skipped = 0;
  return EnumerateSubkeys(
      store, hijack, kMatchNameBuffer, &skipped,
      [&](std::string_view name) {
        if (engine.IsProtectedTool(name)) listed->emplace_back(name);
        return true;
      },
      failed);
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
  std::vector<std::string> listed;
  long failed = kSuccess;  // what the first read that failed answered
  const bool complete = ListedSubkeys(*this, store_, hijack.get(), &listed, &failed);
  // A listed tool's subkey that holds only protection settings is no hijack.
  bool unread = !complete;
  for (const std::string& name : listed) {
    const Contents contents = ContentsOf(store_, hijack.get(), name, Look::kVerdict);
    if (contents.read && contents.hijack) return HijackOutcome::kHijacked;
    unread |= !contents.read;
    if (!contents.read && failed == kSuccess) failed = contents.failed;
  }
  if (unread) NoteUnread(kLocalMachine, places::kHijackKey, failed != kSuccess ? failed : registry::kAccessDenied);
  return unread ? HijackOutcome::kUndetermined : HijackOutcome::kClean;
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
  const bool complete = ListedSubkeys(*this, store_, hijack.get(), &listed);
  if (listed.empty()) return complete ? RepairOutcome::kNothingToDo : RepairOutcome::kFailed;
  bool all_removed = complete, changed = false;
  for (const auto& name : listed) {
    const Contents contents = ContentsOf(store_, hijack.get(), name, Look::kEverything);
    if (!contents.read) {
      all_removed = false;
      continue;
    }
    if (!contents.hijack) continue;
    changed = true;
    // A subkey with nothing to keep goes with everything below it; a link
    // goes as a link, and what it points at stays.
    if (contents.whole) {
      if (registry::DeleteKeyTree(store_, hijack.get(), name) != kSuccess) all_removed = false;
      continue;
    }
    // Otherwise everything but the protection settings goes.
    ScopedKey key(store_);
    if (key.Open(hijack.get(), name, kKeyAllAccess, kOpenLink) != kSuccess) {
      all_removed = false;
      continue;
    }
    for (const std::string& value : contents.values) {
      if (store_.RegDeleteValueA(key.get(), value) != kSuccess) all_removed = false;
    }
    for (const std::string& subkey : contents.subkeys) {
      if (registry::DeleteKeyTree(store_, key.get(), subkey) != kSuccess) all_removed = false;
    }
    for (const auto& [filter, value] : contents.filter_values) {
      ScopedKey filter_key(store_);
      if (filter_key.Open(key.get(), filter, kKeyAllAccess, kOpenLink) != kSuccess ||
          store_.RegDeleteValueA(filter_key.get(), value) != kSuccess) {
        all_removed = false;
      }
    }
  }
  if (!changed) return all_removed ? RepairOutcome::kNothingToDo : RepairOutcome::kFailed;
  return all_removed ? RepairOutcome::kRepaired : RepairOutcome::kFailed;
}

}  // namespace torvane::repair
