// The health checks of the scan.
#include <algorithm>
#include <iterator>

#include "registry/names.h"
#include "repair/engine.h"
#include "repair/places.h"
#include "repair/protected_tools.h"
#include "repair/value_read.h"

namespace torvane::repair {

using registry::HKey;
using registry::kCurrentUser;
using registry::kKeyAllAccess;
using registry::kKeyRead;
using registry::kLocalMachine;
using registry::ScopedKey;

namespace {

enum class Rule {
  kAbsent,          // healthy when the value cannot be read
  kAbsentOrNotOne,  // healthy unless the value reads with first byte 1
  kPresentAndOne,   // healthy only when the value reads with first byte 1
  kUserinit,        // healthy when the text is the system's Userinit text
  kShell,           // healthy when the text is "Explorer.exe"
  kEmptyText,       // healthy when the text is empty (or the value absent)
  kHttpPrefix,      // healthy when the text is "http://"
  kPrefixes,        // all five URL prefixes hold their texts
  kContextMenu,     // absent under both roots
  kImageHijack,
};

struct Check {
  HKey root;
  const char* key;
  const char* value;
  std::uint32_t access;
  Rule rule;
};

constexpr std::uint32_t kCapacity = 100;
constexpr std::uint32_t kAppInitCapacity = 80;

using namespace places;

constexpr Check kChecks[] = {
    {kCurrentUser, kSystemPolicy, "DisableTaskMgr", kKeyAllAccess, Rule::kAbsentOrNotOne},
    {kCurrentUser, kSystemPolicy, "DisableRegistryTools", kKeyAllAccess, Rule::kAbsent},
    {kCurrentUser, kCmdPolicy, "DisableCMD", kKeyRead, Rule::kAbsent},
    {kLocalMachine, kHijackKey, nullptr, kKeyAllAccess, Rule::kImageHijack},
    {kCurrentUser, kExplorerPolicy, "NoRun", kKeyAllAccess, Rule::kAbsent},
    {kCurrentUser, kExplorerPolicy, "NoViewContextMenu", kKeyRead, Rule::kContextMenu},
    {kCurrentUser, kExplorerPolicy, "NoClose", kKeyAllAccess, Rule::kAbsent},
    {kCurrentUser, kExplorerPolicy, "NoLogOff", kKeyAllAccess, Rule::kAbsent},
    {kLocalMachine, kSystemPolicy, "NoAutoUpdate", kKeyAllAccess, Rule::kAbsent},
    {kLocalMachine, kShowAll, "CheckedValue", kKeyAllAccess, Rule::kPresentAndOne},
    {kLocalMachine, kWinlogon, "Userinit", kKeyAllAccess, Rule::kUserinit},
    {kCurrentUser, kExplorerPolicy, "RestrictRun", kKeyAllAccess, Rule::kAbsent},
    {kLocalMachine, kWinlogon, "Shell", kKeyAllAccess, Rule::kShell},
    {kLocalMachine, kWindows, "AppInit_DLLs", kKeyRead, Rule::kEmptyText},
    {kCurrentUser, kExplorerPolicy, "NoFolderOptions", kKeyAllAccess, Rule::kAbsent},
    {kCurrentUser, kIeRestrictions, "NoBrowserOptions", kKeyAllAccess, Rule::kAbsent},
    {kCurrentUser, kExplorerPolicy, "NoFolderOptions", kKeyAllAccess, Rule::kAbsent},
    {kCurrentUser, kIeRestrictions, "NoBrowserContextMenu", kKeyAllAccess, Rule::kAbsent},
    {kCurrentUser, kIeRestrictions, "NoViewSource", kKeyAllAccess, Rule::kAbsent},
    {kCurrentUser, kIeControlPanel, "HomePage", kKeyAllAccess, Rule::kAbsentOrNotOne},
    {kCurrentUser, kIeMain, "Window title", kKeyAllAccess, Rule::kAbsent},
    {kLocalMachine, kDefaultPrefix, "", kKeyAllAccess, Rule::kHttpPrefix},
    {kLocalMachine, kPrefixes, nullptr, kKeyAllAccess, Rule::kPrefixes},
};

static_assert(std::size(kChecks) == kItemCount, "one check per item, in index order");

// 12 is evaluated after 13; the order is visible to anything that watches the
// registry calls, so it is kept.
constexpr int kScanOrder[kItemCount] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                        13, 12, 14, 15, 16, 17, 18, 19, 20, 21, 22};

// Opens `path` with `access`, or, when that is refused, for reading: damage
// that reading shows is still damage (its repair then fails). `view` are
// the view bits of the open.
long OpenToLook(ScopedKey& key, HKey root, const char* path, std::uint32_t access, std::uint32_t view) {
  const long rc = key.Open(root, path, access | view);
  if (rc == registry::kSuccess || rc == registry::kFileNotFound || !registry::WantsWrite(access)) return rc;
  return key.Open(root, path, kKeyRead | view);
}

}  // namespace

int HivesTouched(int index) {
  if (index == kContextMenuItem) return kTouchesCurrentUser | kTouchesLocalMachine;
  return kChecks[index].root == kCurrentUser ? kTouchesCurrentUser : kTouchesLocalMachine;
}

RepairEngine::RepairEngine(registry::RegistryStore& store, std::string system_directory)
    : store_(store), system_directory_(std::move(system_directory)) {
  protected_tools_.reserve(kProtectedToolCount * 2);
  for (const char* tool : kProtectedTools) {
    std::string name(tool);
    // Four entries carry a trailing blank that no program's file name has:
    // the name matches without it, and a subkey spelt with it still counts.
    protected_tools_.insert(registry::FoldName(name));
    while (!name.empty() && name.back() == ' ') name.pop_back();
    protected_tools_.insert(registry::FoldName(name));
  }
}

bool RepairEngine::IsProtectedTool(const std::string& name) const {
  return protected_tools_.count(registry::FoldName(name)) != 0;
}

std::string RepairEngine::HealthyUserinit() const {
  return system_directory_ + "\\userinit.exe,";
}

std::uint32_t RepairEngine::Viewed(HKey root, std::uint32_t access) const {
  return root == kLocalMachine ? access | view_ : access;
}

bool RepairEngine::CheckItem(int index) {
  bool healthy = true;
  ForEachView(index, [&](View) { healthy = CheckInView(index) && healthy; });
  return healthy;
}

ItemViews RepairEngine::CheckViews(int index) {
  ItemViews views{};
  ForEachView(index, [&](View view) {
    ViewState& state = views[static_cast<int>(view)];
    if (index == kImageHijackItem) {
      const HijackOutcome outcome = CheckImageHijackInView();
      state = outcome == HijackOutcome::kHijacked ? ViewState::kDamaged
              : outcome == HijackOutcome::kClean  ? ViewState::kHealthy
                                                  : ViewState::kUndetermined;
    } else {
      state = CheckInView(index) ? ViewState::kHealthy : ViewState::kDamaged;
    }
  });
  return views;
}

bool RepairEngine::CheckInView(int index) {
  const Check& check = kChecks[index];
  switch (check.rule) {
    case Rule::kImageHijack:
      return CheckImageHijackInView() != HijackOutcome::kHijacked;
    case Rule::kContextMenu: {
      // The user's policy has one view: it is read with the 64-bit one.
      ScopedKey user(store_), machine(store_);
      if (LooksAtUser()) user.Open(kCurrentUser, check.key, check.access);
      machine.Open(kLocalMachine, check.key, Viewed(kLocalMachine, check.access));
      return !ReadValue(store_, user.get(), check.value, kCapacity) &&
             !ReadValue(store_, machine.get(), check.value, kCapacity);
    }
    case Rule::kPrefixes: {
      ScopedKey key(store_);
      const long opened = OpenToLook(key, check.root, check.key, check.access, Viewed(check.root, 0));
      return std::all_of(std::begin(kUrlPrefixes), std::end(kUrlPrefixes), [&](const Prefix& prefix) {
        long status = opened;
        const auto data = ReadValue(store_, key.get(), prefix.value, kCapacity, &status);
        return (!data && MissingIsHealthy() && Absent(opened, status)) || TextOf(data) == prefix.healthy;
      });
    }
    default:
      break;
  }

  ScopedKey key(store_);
  const long opened = OpenToLook(key, check.root, check.key, check.access, Viewed(check.root, 0));
  long status = opened;
  const auto data = ReadValue(store_, key.get(), check.value,
                              check.rule == Rule::kEmptyText ? kAppInitCapacity : kCapacity, &status);
  // A value the 32-bit view lacks is no damage: Windows reads the 64-bit one.
  if (!data && MissingIsHealthy() && Absent(opened, status)) return true;
  switch (check.rule) {
    case Rule::kAbsent:
      return !data;
    case Rule::kAbsentOrNotOne:
      return !data || FirstByteOf(data) != 1;
    case Rule::kPresentAndOne:
      return data && FirstByteOf(data) == 1;
    case Rule::kUserinit:
      return registry::NamesEqual(TextOf(data), HealthyUserinit());
    case Rule::kShell:
      return registry::NamesEqual(TextOf(data), kShell);
    case Rule::kEmptyText:
      return TextOf(data).empty();
    case Rule::kHttpPrefix:
      return TextOf(data) == kHttpPrefix;
    default:
      return true;
  }
}

void RepairEngine::ScanItems(ItemBytes& healthy) {
  ItemBytes result = healthy;
  for (int index : kScanOrder) {
    if (index == kImageHijackItem) {
      const HijackOutcome outcome = CheckImageHijack();
      if (outcome != HijackOutcome::kUndetermined) {
        result[kImageHijackItem] = outcome == HijackOutcome::kClean ? 1 : 0;
      }
      continue;
    }
    result[index] = CheckItem(index) ? 1 : 0;
  }
  healthy = result;
}

}  // namespace torvane::repair
