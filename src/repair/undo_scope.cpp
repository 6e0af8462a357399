#include "repair/undo_scope.h"

#include "registry/utf.h"
#include "repair/catalogue.h"
#include "repair/item_rows.h"
#include "repair/places.h"
#include "repair/protected_tools.h"

namespace torvane::repair {

using registry::HKey;
using registry::kCurrentUser;
using registry::kLocalMachine;
using registry::RegEntry;
using namespace places;

namespace {

// The parts of a machine path with the 32-bit view's Wow6432Node taken out:
// the repairs change the same places in both views.
std::vector<std::string> PlaceParts(HKey root, std::string_view path) {
  auto parts = registry::SplitUtf8Path(path);
  if (root == kLocalMachine && parts.size() >= 2 && registry::Utf8NamesEqual(parts[0], "SOFTWARE") &&
      registry::Utf8NamesEqual(parts[1], registry::kWow64Node)) {
    parts.erase(parts.begin() + 1);
  }
  return parts;
}

bool SamePath(HKey root, std::string_view a, std::string_view b) {
  const auto left = PlaceParts(root, a), right = registry::SplitUtf8Path(b);
  if (left.size() != right.size()) return false;
  for (std::size_t i = 0; i < left.size(); ++i) {
    if (!registry::Utf8NamesEqual(left[i], right[i])) return false;
  }
  return true;
}

// True when `path` is a protected tool's subkey of the hijack key, or lies
// below one.
bool InListedHijackKey(HKey root, std::string_view path) {
  if (root != kLocalMachine) return false;
  const auto parts = PlaceParts(root, path);
  const auto hijack = registry::SplitUtf8Path(kHijackKey);
  if (parts.size() <= hijack.size()) return false;
  for (std::size_t i = 0; i < hijack.size(); ++i) {
    if (!registry::Utf8NamesEqual(parts[i], hijack[i])) return false;
  }
  return NamesProtectedTool(parts[hijack.size()]);
}

}  // namespace

bool NamesProtectedTool(std::string_view name) {
  const std::string folded = registry::FoldUtf8(name);
  for (const char* tool : kProtectedTools) {
    std::string_view entry(tool);
    if (folded == registry::FoldUtf8(entry)) return true;
    while (!entry.empty() && entry.back() == ' ') entry.remove_suffix(1);
    if (folded == registry::FoldUtf8(entry)) return true;
  }
  return false;
}

std::vector<int> ItemsChanging(HKey root, std::string_view path, const std::string* name) {
  std::vector<int> items;
  if (InListedHijackKey(root, path)) return {kImageHijackItem};
  for (int item = 0; item < kItemCount; ++item) {
    for (const Place& place : kItemRows[item].places) {
      if (place.key == nullptr || place.root != root || !SamePath(root, path, place.key)) continue;
      // A key: one the repair makes again when it is missing.
      if (name == nullptr ? place.key_defaults.count > 0 : registry::Utf8NamesEqual(*name, place.value)) {
        items.push_back(item);
        break;
      }
    }
  }
  return items;
}

namespace {

// A statement in the places whose names hold a NUL: the registry's text
// calls end a name there, so it would reach another key or value.
std::string NulRefusal(const RegEntry& entry, const std::string& key) {
  for (const std::string* name : {&entry.path, &entry.user, &entry.value.name}) {
    if (name->find('\0') != std::string::npos) return "a name in " + key + " holds a NUL character";
  }
  return {};
}

}  // namespace

std::string UndoRefusal(const RegEntry& entry) {
  const std::string key = registry::RegKeyName(entry.root, entry.path, entry.user);
  if (entry.root != kLocalMachine && entry.root != kCurrentUser) return "a key outside HKEY_LOCAL_MACHINE and the users";
  const bool listed = InListedHijackKey(entry.root, entry.path);
  switch (entry.kind) {
    case RegEntry::Kind::kKey: {
      if (listed) return NulRefusal(entry, key);
      for (const ItemRow& row : kItemRows) {
        for (const Place& place : row.places) {
          if (place.key != nullptr && place.root == entry.root && SamePath(entry.root, entry.path, place.key)) {
            return NulRefusal(entry, key);
          }
        }
      }
      return "the key " + key + " is none of the places the repairs change";
    }
    case RegEntry::Kind::kDeleteKey:
      if (listed || !ItemsChanging(entry.root, entry.path, nullptr).empty()) return NulRefusal(entry, key);
      return "deletes the key " + key + ", which no repair creates";
    case RegEntry::Kind::kValue:
    case RegEntry::Kind::kDeleteValue:
      if (!ItemsChanging(entry.root, entry.path, &entry.value.name).empty()) return NulRefusal(entry, key);
      return "the value \"" + entry.value.name + "\" of " + key + " is none of the values the repairs change";
  }
  return "an unknown statement";
}

}  // namespace torvane::repair
