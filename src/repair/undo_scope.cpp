#include "repair/undo_scope.h"

#include "registry/utf.h"
#include "repair/places.h"
#include "repair/protected_tools.h"

namespace torvane::repair {

using registry::HKey;
using registry::kCurrentUser;
using registry::kLocalMachine;
using registry::RegEntry;
using namespace places;

namespace {

// Every value a repair changes, with its item. Items 14 and 16 share one.
struct ChangedValue {
  int item;
  HKey root;
  const char* key;
  const char* value;
};

constexpr ChangedValue kChangedValues[] = {
    {0, kCurrentUser, kSystemPolicy, "DisableTaskMgr"},
    {1, kCurrentUser, kSystemPolicy, "DisableRegistryTools"},
    {2, kCurrentUser, kCmdPolicy, "DisableCMD"},
    {4, kCurrentUser, kExplorerPolicy, "NoRun"},
    {5, kCurrentUser, kExplorerPolicy, "NoViewContextMenu"},
    {5, kLocalMachine, kExplorerPolicy, "NoViewContextMenu"},
    {6, kCurrentUser, kExplorerPolicy, "NoClose"},
    {7, kCurrentUser, kExplorerPolicy, "NoLogOff"},
    {8, kLocalMachine, kAutoUpdatePolicy, "NoAutoUpdate"},
    {8, kLocalMachine, kSystemPolicy, "NoAutoUpdate"},
    {9, kLocalMachine, kShowAll, "CheckedValue"},
    {10, kLocalMachine, kWinlogon, "Userinit"},
    {11, kCurrentUser, kExplorerPolicy, "RestrictRun"},
    {12, kLocalMachine, kWinlogon, "Shell"},
    {13, kLocalMachine, kWindows, "AppInit_DLLs"},
    {14, kCurrentUser, kExplorerPolicy, "NoFolderOptions"},
    {15, kCurrentUser, kIeRestrictions, "NoBrowserOptions"},
    {16, kCurrentUser, kExplorerPolicy, "NoFolderOptions"},
    {17, kCurrentUser, kIeRestrictions, "NoBrowserContextMenu"},
    {18, kCurrentUser, kIeRestrictions, "NoViewSource"},
    {19, kCurrentUser, kIeControlPanel, "HomePage"},
    {20, kCurrentUser, kIeMain, "Window title"},
    {21, kLocalMachine, kDefaultPrefix, ""},
    {22, kLocalMachine, kPrefixes, kUrlPrefixes[0].value},
    {22, kLocalMachine, kPrefixes, kUrlPrefixes[1].value},
    {22, kLocalMachine, kPrefixes, kUrlPrefixes[2].value},
    {22, kLocalMachine, kPrefixes, kUrlPrefixes[3].value},
    {22, kLocalMachine, kPrefixes, kUrlPrefixes[4].value},
};

constexpr int kHijackItem = 3;

bool SamePath(std::string_view a, std::string_view b) {
  const auto left = registry::SplitUtf8Path(a), right = registry::SplitUtf8Path(b);
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
  const auto parts = registry::SplitUtf8Path(path);
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
  if (InListedHijackKey(root, path)) return {kHijackItem};
  if (name == nullptr) return items;
  for (const ChangedValue& place : kChangedValues) {
    if (place.root == root && SamePath(path, place.key) && registry::Utf8NamesEqual(*name, place.value)) {
      items.push_back(place.item);
    }
  }
  return items;
}

std::string UndoRefusal(const RegEntry& entry) {
  const std::string key = registry::RegKeyName(entry.root, entry.path, entry.user);
  if (entry.root != kLocalMachine && entry.root != kCurrentUser) return "a key outside HKEY_LOCAL_MACHINE and the users";
  const bool listed = InListedHijackKey(entry.root, entry.path);
  switch (entry.kind) {
    case RegEntry::Kind::kKey: {
      if (listed) return {};
      for (const ChangedValue& place : kChangedValues) {
        if (place.root == entry.root && SamePath(entry.path, place.key)) return {};
      }
      return "the key " + key + " is none of the places the repairs change";
    }
    case RegEntry::Kind::kDeleteKey:
      if (listed) return {};
      return "deletes the key " + key + ", which no repair creates";
    case RegEntry::Kind::kValue:
    case RegEntry::Kind::kDeleteValue:
      if (!ItemsChanging(entry.root, entry.path, &entry.value.name).empty()) return {};
      return "the value \"" + entry.value.name + "\" of " + key + " is none of the values the repairs change";
  }
  return "an unknown statement";
}

}  // namespace torvane::repair
