// The health checks of the scan.
#include <algorithm>
#include <array>
#include <iterator>

#include "registry/names.h"
#include "repair/engine.h"
#include "repair/item_rows.h"
#include "repair/places.h"
#include "repair/value_read.h"

namespace torvane::repair {

using registry::HKey;
using registry::kCurrentUser;
using registry::kKeyAllAccess;
using registry::kKeyRead;
using registry::kLocalMachine;
using registry::ScopedKey;

namespace {

constexpr std::uint32_t kCapacity = 100;
constexpr std::uint32_t kAppInitCapacity = 80;

using namespace places;

// 12 is evaluated after 13; the order is visible to anything that watches the
// registry calls, so it is kept.
constexpr std::array<int, kItemCount> ScanOrder() {
  std::array<int, kItemCount> order{};
  for (int i = 0; i < kItemCount; ++i) order[i] = i;
  order[kShellItem] = kAppInitItem;
  order[kAppInitItem] = kShellItem;
  return order;
}
constexpr std::array<int, kItemCount> kScanOrder = ScanOrder();
static_assert(kScanOrder[kShellItem] == kAppInitItem && kScanOrder[kAppInitItem] == kShellItem &&
                  kAppInitItem == kShellItem + 1,
              "13 is read just before 12");

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
  return kItemRows[index].root == kCurrentUser ? kTouchesCurrentUser : kTouchesLocalMachine;
}

bool RepairEngine::CheckItem(int index) {
  const ItemViews views = CheckViews(index);
  return std::none_of(views.begin(), views.end(), [](ViewState state) {
    return state == ViewState::kDamaged || state == ViewState::kUndetermined;
  });
}

ItemViews RepairEngine::CheckViews(int index) {
  ItemViews views{};
  unread_items_[index].clear();
  ForEachView(index, [&](View view) {
    views[static_cast<int>(view)] = ViewStateOf(index);
    if (unread_items_[index].empty()) unread_items_[index] = unread_;
  });
  return views;
}

ViewState RepairEngine::ViewStateOf(int index) {
  unread_.clear();
  if (index == kImageHijackItem) {
    const HijackOutcome outcome = CheckImageHijackInView();
    if (outcome == HijackOutcome::kHijacked) return ViewState::kDamaged;
    if (outcome == HijackOutcome::kClean) return ViewState::kHealthy;
    if (unread_.empty()) unread_ = std::string("HKEY_LOCAL_MACHINE\\") + kHijackKey + ": could not be read whole";
    return ViewState::kUndetermined;
  }
  const bool healthy = CheckInView(index);
  // A place that was not read is never called healthy, nor damaged on the
  // strength of what it did not show.
  if (!unread_.empty()) return ViewState::kUndetermined;
  return healthy ? ViewState::kHealthy : ViewState::kDamaged;
}

void RepairEngine::NoteUnread(HKey root, const char* path, long rc) {
  if (rc == registry::kSuccess || rc == registry::kFileNotFound || !unread_.empty()) return;
  std::string key = store_.RootName(root) + "\\" + path;
  const bool view32 = root == kLocalMachine && view_ == registry::kView32;
  std::string why;
  if (rc == registry::kRefusedLink) {
    const std::string link = store_.RefusedLink();
    // The place itself is the link: one name says it all.
    if (!view32 && link.compare(0, key.size() + 1, key + " ") == 0) {
      unread_ = link + ", not followed";
      return;
    }
    why = (link.empty() ? "a registry link on its path" : link) + ", not followed";
  } else if (rc == registry::kAccessDenied) {
    why = "access denied";
  } else if (rc == registry::kUnreadableRecord) {
    // Nothing refused the read: the file holds something no reader can.
    why = "the hive's records there cannot be read (the file is damaged at that key)";
  } else if (rc == registry::kDuplicateName) {
    // Nothing refused the read: the hive holds a key twice on the way.
    why = "a key on its path is there twice (two subkeys of one name, letter case aside), so which one Windows "
          "reads cannot be told";
  } else {
    why = "error " + std::to_string(rc);
  }
  unread_ = key + (view32 ? " (32-bit view)" : "") + ": " + why;
}

bool RepairEngine::CheckInView(int index) {
  const ItemRow& check = kItemRows[index];
  if (check.rule == Rule::kAutoUpdate) {
    const bool row = CheckPlace(check.root, check.key, check.value, check.access, Rule::kAbsent);
    const bool windows = CheckPlace(kLocalMachine, kWindowsUpdatePolicy, "NoAutoUpdate", check.access,
                                    Rule::kAbsentOrNotOne);
    return row && windows;
  }
  switch (check.rule) {
    case Rule::kImageHijack:
      return CheckImageHijackInView() != HijackOutcome::kHijacked;
    case Rule::kContextMenu: {
      // The user's policy has one view: it is read with the 64-bit one.
      ScopedKey user(store_), machine(store_);
      if (LooksAtUser()) NoteUnread(kCurrentUser, check.key, user.Open(kCurrentUser, check.key, check.access));
      NoteUnread(kLocalMachine, check.key, machine.Open(kLocalMachine, check.key, Viewed(kLocalMachine, check.access)));
      long user_status = registry::kFileNotFound, machine_status = registry::kFileNotFound;
      const bool user_set = user.is_open() && ReadValue(store_, user.get(), check.value, kCapacity, &user_status);
      const bool machine_set =
          machine.is_open() && ReadValue(store_, machine.get(), check.value, kCapacity, &machine_status);
      NoteUnread(kCurrentUser, check.key, user_status);
      NoteUnread(kLocalMachine, check.key, machine_status);
      return !user_set && !machine_set;
    }
    case Rule::kPrefixes: {
      ScopedKey key(store_);
      const long opened = OpenToLook(key, check.root, check.key, check.access, Viewed(check.root, 0));
      NoteUnread(check.root, check.key, opened);
      return std::all_of(std::begin(kUrlPrefixes), std::end(kUrlPrefixes), [&](const Prefix& prefix) {
        long status = opened;
        const auto data = ReadValue(store_, key.get(), prefix.value, kCapacity, &status);
        if (key.is_open()) NoteUnread(check.root, check.key, status);
        return (!data && MissingIsHealthy() && Absent(opened, status)) || TextOf(data) == prefix.healthy;
      });
    }
    default:
      break;
  }
  return CheckPlace(check.root, check.key, check.value, check.access, check.rule);
}

bool RepairEngine::CheckPlace(HKey root, const char* path, const char* value, std::uint32_t access, Rule rule) {
  ScopedKey key(store_);
  const long opened = OpenToLook(key, root, path, access, Viewed(root, 0));
  long status = opened;
  const auto data = ReadValue(store_, key.get(), value, rule == Rule::kEmptyText ? kAppInitCapacity : kCapacity,
                              &status);
  NoteUnread(root, path, key.is_open() ? status : opened);
  // A value the 32-bit view lacks is no damage: Windows reads the 64-bit one.
  if (!data && MissingIsHealthy() && Absent(opened, status)) return true;
  switch (rule) {
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

void RepairEngine::ScanItems(ItemBytes& healthy, ItemBytes* undetermined) {
  ItemBytes result = healthy;
  for (int index : kScanOrder) {
    result[index] = CheckItem(index) ? 1 : 0;
    if (undetermined != nullptr) (*undetermined)[index] = unread_items_[index].empty() ? 0 : 1;
  }
  healthy = result;
}

}  // namespace torvane::repair
