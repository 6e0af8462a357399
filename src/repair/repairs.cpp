// The repair action of every item. Each re-reads its place, changes it only
// when it shows damage, and reports whether every change it issued took.
#include <iterator>

#include "registry/names.h"
#include "repair/engine.h"
#include "repair/item_rows.h"
#include "repair/places.h"
#include "repair/value_read.h"

namespace torvane::repair {

using registry::HKey;
using registry::kCurrentUser;
using registry::kFileNotFound;
using registry::kKeyAllAccess;
using registry::kLocalMachine;
using registry::kSuccess;
using registry::ScopedKey;

namespace {

using namespace places;

// Outcome of an action that issued `changes` changes of which `refused` failed.
RepairOutcome Outcome(int changes, int refused) {
  if (refused > 0) return RepairOutcome::kFailed;
  return changes > 0 ? RepairOutcome::kRepaired : RepairOutcome::kNothingToDo;
}

}  // namespace

RepairOutcome RepairEngine::ApplyRepair(int index) {
  if (CheckItem(index)) return RepairOutcome::kNothingToDo;
  int repaired = 0, failed = 0;
  ForEachView(index, [&](View) {
    // Looked at again: a key both views share was mended in the first.
    // A place that cannot be read is not changed blind.
    const ViewState state = ViewStateOf(index);
    if (state == ViewState::kUndetermined) ++failed;
    if (state != ViewState::kDamaged) return;
    const RepairOutcome outcome = Act(index);
    repaired += outcome == RepairOutcome::kRepaired;
    failed += outcome == RepairOutcome::kFailed;
  });
  if (failed > 0) return RepairOutcome::kFailed;
  if (repaired == 0) return RepairOutcome::kNothingToDo;
  // Every change took; the item counts as repaired only if its places now
  // read healthy. Malware that watches its values and writes them back at
  // once is caught here rather than listed as repaired.
  return CheckItem(index) ? RepairOutcome::kRepaired : RepairOutcome::kFailed;
}

RepairOutcome RepairEngine::Act(int index) {
  switch (kItemRows[index].action) {
    case Action::kRemoveHijacks:
      return RepairImageHijackInView();
    case Action::kRestoreNumber:
      return RestoreNumber(index);
    case Action::kRestoreText:
      return RestoreText(index);
    case Action::kRestorePrefixes:
      return RestorePrefixes(index);
    case Action::kRemoveValues:
      break;
  }
  return RemoveValues(index);
}

RepairOutcome RepairEngine::RemoveValues(int index) {
  const ItemRow& action = kItemRows[index];
  ScopedKey keys[kMaxPlaces] = {ScopedKey(store_), ScopedKey(store_), ScopedKey(store_), ScopedKey(store_),
                                ScopedKey(store_)};
  long status[kMaxPlaces] = {kFileNotFound, kFileNotFound, kFileNotFound, kFileNotFound, kFileNotFound};
  std::optional<Bytes> data[kMaxPlaces];
  int count = 0;
  while (count < kMaxPlaces && action.places[count].key != nullptr) ++count;
  // The user's places have one view, mended with the 64-bit one.
  const auto skipped = [&](int i) { return action.places[i].root == kCurrentUser && !LooksAtUser(); };
  for (int i = 0; i < count; ++i) {
    if (skipped(i)) continue;
    status[i] = keys[i].Open(action.places[i].root, action.places[i].key, Viewed(action.places[i].root, kKeyAllAccess));
  }
  // A value that only matters with first byte 1 and holds another is left
  // as it is.
  const auto harmless = [&](int i, const std::optional<Bytes>& read) {
    return action.places[i].only_when_one && read && FirstByteOf(read) != 1;
  };
  for (int i = 0; i < count; ++i) {
    if (!keys[i].is_open()) continue;
    data[i] = ReadValue(store_, keys[i].get(), action.places[i].value, action.places[i].capacity, &status[i]);
    if (harmless(i, data[i])) data[i].reset();
  }
  int changes = 0, refused = 0, unknown = 0;
  for (int i = 0; i < count; ++i) {
    const Place& place = action.places[i];
    if (data[i]) {
      ++changes;
      if (store_.RegDeleteValueA(keys[i].get(), place.value) != kSuccess) ++refused;
    } else if (status[i] != kFileNotFound) {
      // The place could not be opened for the change: a value that reading
      // shows is damage left in place.
      ScopedKey readable(store_);
      if (readable.Open(place.root, place.key, Viewed(place.root, registry::kKeyRead)) == kSuccess) {
        const auto shown = ReadValue(store_, readable.get(), place.value, place.capacity);
        if (shown && !harmless(i, shown)) ++refused;
      } else {
        ++unknown;
      }
    }
  }
  // Half an item repaired while the other half could not be looked at is not
  // a repaired item.
  if (changes > 0 && unknown > 0) ++refused;
  return Outcome(changes, refused);
}

RepairOutcome RepairEngine::RestoreText(int index) {
  const Place& place = kItemRows[index].places[0];
  std::string healthy;
  // Userinit and Shell name files, which Windows finds whatever their letter
  // case; the text written is the one given here.
  bool file_names = false;
  switch (index) {
    case kUserinitItem:
      healthy = HealthyUserinit();
      file_names = true;
      break;
    case kShellItem:
      healthy = kShell;
      file_names = true;
      break;
    case kAppInitItem:
      break;
    default:
      healthy = kHttpPrefix;
      break;
  }
  ScopedKey key(store_);
  const long opened = key.Open(place.root, place.key, Viewed(place.root, kKeyAllAccess));
  // A missing key holds no value: healthy when the healthy form is no text.
  if (opened == kFileNotFound && (healthy.empty() || MissingIsHealthy())) return RepairOutcome::kNothingToDo;
  // Item 13 reads with read access: a key it may not change is damage only
  // when that read shows some.
  if (index == kAppInitItem && !key.is_open()) {
    ScopedKey readable(store_);
    if (readable.Open(place.root, place.key, Viewed(place.root, registry::kKeyRead)) != kSuccess ||
        TextOf(ReadValue(store_, readable.get(), place.value, place.capacity)) == healthy) {
      return RepairOutcome::kNothingToDo;
    }
    return RepairOutcome::kFailed;
  }
  long status = opened;
  const auto data = ReadValue(store_, key.get(), place.value, place.capacity, &status);
  if (!data && MissingIsHealthy() && Absent(opened, status)) return RepairOutcome::kNothingToDo;
  const std::string text = TextOf(data);
  if (key.is_open() && (file_names ? registry::NamesEqual(text, healthy) : text == healthy)) {
    return RepairOutcome::kNothingToDo;
  }
  // No key is ever created: an unopened key is a change that cannot be made.
  if (!key.is_open()) return RepairOutcome::kFailed;
  return Outcome(1, WriteText(store_, key.get(), place.value, healthy) != kSuccess);
}

RepairOutcome RepairEngine::RestoreNumber(int index) {
  const Place& place = kItemRows[index].places[0];
  ScopedKey key(store_);
  const long opened = key.Open(place.root, place.key, Viewed(place.root, kKeyAllAccess));
  long status = opened;
  const auto data = ReadValue(store_, key.get(), place.value, place.capacity, &status);
  if (NumberOf(data) == 1 || (!data && MissingIsHealthy() && Absent(opened, status))) {
    return RepairOutcome::kNothingToDo;
  }
  // A key malware deleted is made again with what Windows keeps in it.
  if (opened == kFileNotFound && place.key_defaults.count > 0) return MakeKeyAgain(place);
  if (!key.is_open()) return RepairOutcome::kFailed;
  return Outcome(1, WriteNumber(store_, key.get(), place.value, 1) != kSuccess);
}

RepairOutcome RepairEngine::MakeKeyAgain(const Place& place) {
  auto parts = registry::SplitKeyPath(place.key);
  const std::string name = parts.back();
  parts.pop_back();
  std::string parent_path;
  for (const std::string& part : parts) parent_path += (parent_path.empty() ? "" : "\\") + part;
  ScopedKey parent(store_);
  if (parent.Open(place.root, parent_path, Viewed(place.root, kKeyAllAccess)) != kSuccess) return RepairOutcome::kFailed;
  registry::HKey made = registry::kNullKey;
  bool created = false;
  if (store_.RegCreateKeyExA(parent.get(), name, Viewed(place.root, kKeyAllAccess), &made, &created) != kSuccess) {
    return RepairOutcome::kFailed;
  }
  int refused = 0;
  for (int i = 0; i < place.key_defaults.count; ++i) {
    const places::DefaultValue& value = place.key_defaults.values[i];
    // A key that came back meanwhile keeps what it holds but the value.
    if (!created && !registry::NamesEqual(value.name, place.value)) continue;
    const long rc = value.type == registry::kRegDword ? WriteNumber(store_, made, value.name, value.number)
                                                      : WriteText(store_, made, value.name, value.text);
    refused += rc != kSuccess;
  }
  store_.RegCloseKey(made);
  return Outcome(1, refused);
}

RepairOutcome RepairEngine::RestorePrefixes(int index) {
  const ItemRow& row = kItemRows[index];
  ScopedKey key(store_);
  const long opened = key.Open(row.root, row.key, Viewed(row.root, kKeyAllAccess));
  std::optional<Bytes> data[5];
  long status[5];
  for (int i = 0; i < 5; ++i) {
    status[i] = opened;
    data[i] = ReadValue(store_, key.get(), row.places[i].value, row.places[i].capacity, &status[i]);
  }
  int changes = 0, refused = 0;
  for (int i = 0; i < 5; ++i) {
    if (TextOf(data[i]) == kUrlPrefixes[i].healthy) continue;
    if (!data[i] && MissingIsHealthy() && Absent(opened, status[i])) continue;
    ++changes;
    if (!key.is_open() ||
        WriteText(store_, key.get(), kUrlPrefixes[i].value, kUrlPrefixes[i].healthy) != kSuccess) {
      ++refused;
    }
  }
  return Outcome(changes, refused);
}

}  // namespace torvane::repair
