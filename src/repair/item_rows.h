// Every item in one row, in index order: what its check reads and how it
// judges what it read, what its repair does, and the values that repair
// may change (all an undo of it may put back). The item's texts are its
// row of the catalogue (catalogue.cpp).
#pragma once

#include <cstdint>
#include <iterator>
#include <string_view>

#include "registry/registry.h"
#include "repair/catalogue.h"
#include "repair/places.h"

namespace torvane::repair {

enum class Rule : std::uint8_t {
  kAbsent,          // healthy when the value cannot be read
  kAbsentOrNotOne,  // healthy unless the value reads with first byte 1
  kPresentAndOne,   // healthy only when the value reads with first byte 1
  kUserinit,        // healthy when the text is the system's Userinit text
  kShell,           // healthy when the text is "Explorer.exe"
  kEmptyText,       // healthy when the text is empty (or the value absent)
  kHttpPrefix,      // healthy when the text is "http://"
  kPrefixes,        // all five URL prefixes hold their texts
  kContextMenu,     // absent under both roots
  kAutoUpdate,      // absent at the row's place, and not 1 where Windows reads it
  kImageHijack,
};

enum class Action : std::uint8_t {
  kRemoveValues,     // reads every place, then deletes each value that read
  kRemoveHijacks,    // deletes the listed tools' image-options subkeys
  kRestoreNumber,    // writes 1 as a number
  kRestoreText,      // writes the item's healthy text
  kRestorePrefixes,  // writes each prefix's text
};

inline constexpr std::uint32_t kDefaultCapacity = 80;

// A value a repair changes. `capacity`: the size of its first read (longer
// data is read whole).
struct Place {
  registry::HKey root = registry::kLocalMachine;
  const char* key = nullptr;
  const char* value = nullptr;
  std::uint32_t capacity = kDefaultCapacity;
  bool only_when_one = false;  // removed only when its first byte is 1
  // The key, when missing, is made again with these values (the last key of
  // the path only: a missing parent is damage beyond the item); none: the
  // key is never made.
  places::KeyDefaults key_defaults = {};
};

inline constexpr int kMaxPlaces = 5;

struct ItemRow {
  // The check: the value it reads, with what access, and its rule.
  registry::HKey root;
  const char* key;
  const char* value;
  std::uint32_t access;
  Rule rule;
  Action action;
  // What the repair changes, in the order it reads them; unused places have
  // a null key.
  Place places[kMaxPlaces];
};

namespace rows {

using namespace places;
using registry::kCurrentUser;
using registry::kKeyAllAccess;
using registry::kKeyRead;
using registry::kLocalMachine;

constexpr ItemRow Remove(registry::HKey root, const char* key, const char* value, std::uint32_t access = kKeyAllAccess,
                         Rule rule = Rule::kAbsent, std::uint32_t capacity = kDefaultCapacity) {
  return {root, key, value, access, rule, Action::kRemoveValues, {{root, key, value, capacity}}};
}

}  // namespace rows

inline constexpr ItemRow kItemRows[] = {
    rows::Remove(rows::kCurrentUser, places::kSystemPolicy, "DisableTaskMgr", rows::kKeyAllAccess,
                 Rule::kAbsentOrNotOne),
    rows::Remove(rows::kCurrentUser, places::kSystemPolicy, "DisableRegistryTools"),
    rows::Remove(rows::kCurrentUser, places::kCmdPolicy, "DisableCMD", rows::kKeyRead),
    {rows::kLocalMachine, places::kHijackKey, nullptr, rows::kKeyAllAccess, Rule::kImageHijack, Action::kRemoveHijacks,
     {}},
    rows::Remove(rows::kCurrentUser, places::kExplorerPolicy, "NoRun"),
    {rows::kCurrentUser, places::kExplorerPolicy, "NoViewContextMenu", rows::kKeyRead, Rule::kContextMenu,
     Action::kRemoveValues,
     {{rows::kCurrentUser, places::kExplorerPolicy, "NoViewContextMenu"},
      {rows::kLocalMachine, places::kExplorerPolicy, "NoViewContextMenu"}}},
    rows::Remove(rows::kCurrentUser, places::kExplorerPolicy, "NoClose"),
    rows::Remove(rows::kCurrentUser, places::kExplorerPolicy, "NoLogOff"),
    // The policy the check reads is removed as well: without it the item
    // would stay damaged after every repair. Where Windows reads the policy
    // only a value that switches updates off goes.
    {rows::kLocalMachine, places::kSystemPolicy, "NoAutoUpdate", rows::kKeyAllAccess, Rule::kAutoUpdate,
     Action::kRemoveValues,
     {{rows::kLocalMachine, places::kAutoUpdatePolicy, "NoAutoUpdate"},
      {rows::kLocalMachine, places::kSystemPolicy, "NoAutoUpdate"},
      {rows::kLocalMachine, places::kWindowsUpdatePolicy, "NoAutoUpdate", kDefaultCapacity, true}}},
    {rows::kLocalMachine, places::kShowAll, "CheckedValue", rows::kKeyAllAccess, Rule::kPresentAndOne,
     Action::kRestoreNumber, {{rows::kLocalMachine, places::kShowAll, "CheckedValue", 4, false, places::kShowAllKey}}},
    {rows::kLocalMachine, places::kWinlogon, "Userinit", rows::kKeyAllAccess, Rule::kUserinit, Action::kRestoreText,
     {{rows::kLocalMachine, places::kWinlogon, "Userinit", 100}}},
    rows::Remove(rows::kCurrentUser, places::kExplorerPolicy, "RestrictRun", rows::kKeyAllAccess, Rule::kAbsent, 32),
    {rows::kLocalMachine, places::kWinlogon, "Shell", rows::kKeyAllAccess, Rule::kShell, Action::kRestoreText,
     {{rows::kLocalMachine, places::kWinlogon, "Shell"}}},
    {rows::kLocalMachine, places::kWindows, "AppInit_DLLs", rows::kKeyRead, Rule::kEmptyText, Action::kRestoreText,
     {{rows::kLocalMachine, places::kWindows, "AppInit_DLLs"}}},
    rows::Remove(rows::kCurrentUser, places::kExplorerPolicy, "NoFolderOptions"),
    rows::Remove(rows::kCurrentUser, places::kIeRestrictions, "NoBrowserOptions"),
    rows::Remove(rows::kCurrentUser, places::kExplorerPolicy, "NoFolderOptions"),
    rows::Remove(rows::kCurrentUser, places::kIeRestrictions, "NoBrowserContextMenu"),
    rows::Remove(rows::kCurrentUser, places::kIeRestrictions, "NoViewSource"),
    rows::Remove(rows::kCurrentUser, places::kIeControlPanel, "HomePage", rows::kKeyAllAccess, Rule::kAbsentOrNotOne),
    rows::Remove(rows::kCurrentUser, places::kIeMain, "Window title"),
    {rows::kLocalMachine, places::kDefaultPrefix, "", rows::kKeyAllAccess, Rule::kHttpPrefix, Action::kRestoreText,
     {{rows::kLocalMachine, places::kDefaultPrefix, ""}}},
    {rows::kLocalMachine, places::kPrefixes, nullptr, rows::kKeyAllAccess, Rule::kPrefixes, Action::kRestorePrefixes,
     {{rows::kLocalMachine, places::kPrefixes, places::kUrlPrefixes[0].value},
      {rows::kLocalMachine, places::kPrefixes, places::kUrlPrefixes[1].value},
      {rows::kLocalMachine, places::kPrefixes, places::kUrlPrefixes[2].value},
      {rows::kLocalMachine, places::kPrefixes, places::kUrlPrefixes[3].value},
      {rows::kLocalMachine, places::kPrefixes, places::kUrlPrefixes[4].value}}},
};

static_assert(std::size(kItemRows) == kItemCount, "one row per item, in index order");

constexpr bool RowsAgreeWithTheirActions() {
  for (const ItemRow& row : kItemRows) {
    const bool changes = row.places[0].key != nullptr;
    if ((row.action == Action::kRemoveHijacks) == changes) return false;
    if (row.action == Action::kRestorePrefixes && row.places[kMaxPlaces - 1].key == nullptr) return false;
  }
  return true;
}
static_assert(RowsAgreeWithTheirActions(), "every repair but the hijack removal names the values it changes");

constexpr bool DefaultsHoldTheirValue() {
  for (const ItemRow& row : kItemRows) {
    for (const Place& place : row.places) {
      if (place.key_defaults.count == 0) continue;
      bool found = false;
      for (int i = 0; i < place.key_defaults.count; ++i) {
        const places::DefaultValue& value = place.key_defaults.values[i];
        found = found || std::string_view(value.name) == place.value;
      }
      if (!found || row.action != Action::kRestoreNumber) return false;
    }
  }
  return true;
}
static_assert(DefaultsHoldTheirValue(), "a key made again holds the value its repair restores");

}  // namespace torvane::repair
