#include "repair/undo_scope.h"

#include "registry/utf.h"
#include "repair/catalogue.h"
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
    {kTaskMgrItem, kCurrentUser, kSystemPolicy, "DisableTaskMgr"},
    {kRegeditItem, kCurrentUser, kSystemPolicy, "DisableRegistryTools"},
    {kCmdItem, kCurrentUser, kCmdPolicy, "DisableCMD"},
    {kRunMenuItem, kCurrentUser, kExplorerPolicy, "NoRun"},
    {kContextMenuItem, kCurrentUser, kExplorerPolicy, "NoViewContextMenu"},
    {kContextMenuItem, kLocalMachine, kExplorerPolicy, "NoViewContextMenu"},
    {kCloseButtonItem, kCurrentUser, kExplorerPolicy, "NoClose"},
    {kLogOffButtonItem, kCurrentUser, kExplorerPolicy, "NoLogOff"},
    {kAutoUpdateItem, kLocalMachine, kAutoUpdatePolicy, "NoAutoUpdate"},
    {kAutoUpdateItem, kLocalMachine, kSystemPolicy, "NoAutoUpdate"},
    {kAutoUpdateItem, kLocalMachine, kWindowsUpdatePolicy, "NoAutoUpdate"},
    {kHiddenFilesItem, kLocalMachine, kShowAll, "CheckedValue"},
    {kUserinitItem, kLocalMachine, kWinlogon, "Userinit"},
    {kGroupPolicyItem, kCurrentUser, kExplorerPolicy, "RestrictRun"},
    {kShellItem, kLocalMachine, kWinlogon, "Shell"},
    {kAppInitItem, kLocalMachine, kWindows, "AppInit_DLLs"},
    {kFolderOptionsMenuItem, kCurrentUser, kExplorerPolicy, "NoFolderOptions"},
    {kIeOptionsItem, kCurrentUser, kIeRestrictions, "NoBrowserOptions"},
    {kIeFolderOptionsItem, kCurrentUser, kExplorerPolicy, "NoFolderOptions"},
    {kIeContextMenuItem, kCurrentUser, kIeRestrictions, "NoBrowserContextMenu"},
    {kIeViewSourceItem, kCurrentUser, kIeRestrictions, "NoViewSource"},
    {kIeHomePageItem, kCurrentUser, kIeControlPanel, "HomePage"},
    {kIeTitleItem, kCurrentUser, kIeMain, "Window title"},
    {kIeUrlPrefixItem, kLocalMachine, kDefaultPrefix, ""},
    {kIeProtocolPrefixesItem, kLocalMachine, kPrefixes, kUrlPrefixes[0].value},
    {kIeProtocolPrefixesItem, kLocalMachine, kPrefixes, kUrlPrefixes[1].value},
    {kIeProtocolPrefixesItem, kLocalMachine, kPrefixes, kUrlPrefixes[2].value},
    {kIeProtocolPrefixesItem, kLocalMachine, kPrefixes, kUrlPrefixes[3].value},
    {kIeProtocolPrefixesItem, kLocalMachine, kPrefixes, kUrlPrefixes[4].value},
};

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
  if (name == nullptr) return items;
  for (const ChangedValue& place : kChangedValues) {
    if (place.root == root && SamePath(root, path, place.key) && registry::Utf8NamesEqual(*name, place.value)) {
      items.push_back(place.item);
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
      for (const ChangedValue& place : kChangedValues) {
        if (place.root == entry.root && SamePath(entry.root, entry.path, place.key)) return NulRefusal(entry, key);
      }
      return "the key " + key + " is none of the places the repairs change";
    }
    case RegEntry::Kind::kDeleteKey:
      if (listed) return NulRefusal(entry, key);
      return "deletes the key " + key + ", which no repair creates";
    case RegEntry::Kind::kValue:
    case RegEntry::Kind::kDeleteValue:
      if (!ItemsChanging(entry.root, entry.path, &entry.value.name).empty()) return NulRefusal(entry, key);
      return "the value \"" + entry.value.name + "\" of " + key + " is none of the values the repairs change";
  }
  return "an unknown statement";
}

}  // namespace torvane::repair
