#include "repair/repair_run.h"

#include <algorithm>
#include <utility>

#include "repair/catalogue.h"
#include "repair/item_rows.h"
#include "repair/undo_scope.h"
#include "repair/value_read.h"

namespace torvane::repair {

using registry::Change;
using registry::OverlayState;
using registry::OverlayStore;
using registry::Plan;
using registry::RecordingStore;

bool Determinable(int index, const RunProfile& profile) {
  const int hives = HivesTouched(index);
  return (!(hives & kTouchesCurrentUser) || profile.has_user) &&
         (!(hives & kTouchesLocalMachine) || profile.has_machine);
}

std::optional<registry::PolicyOrigin> ManagedBy(registry::RegistryStore& store, int index,
                                                const registry::PolicyEvidence& policy) {
  const ItemRow& row = kItemRows[index];
  if (row.action != Action::kRemoveValues) return std::nullopt;
  std::optional<registry::PolicyOrigin> origin;
  for (const Place& place : row.places) {
    if (place.key == nullptr) continue;
    registry::ScopedKey key(store);
    if (key.Open(place.root, place.key, registry::kKeyRead) != registry::kSuccess) continue;
    std::uint32_t type = 0, size = 0;
    if (store.RegQueryValueExA(key.get(), place.value, &type, nullptr, &size) != registry::kSuccess) continue;
    const auto data = ReadValue(store, key.get(), place.value, size);
    if (!data) continue;
    // A value that only matters with first byte 1 and holds another is no
    // damage, managed or not.
    if (place.only_when_one && FirstByteOf(data) != 1) continue;
    auto set = policy.SetBy(place.root, place.key, place.value, type, *data);
    if (!set) return std::nullopt;
    if (!origin) origin = std::move(set);
  }
  return origin;
}

Findings Evaluate(RepairEngine& engine, registry::RegistryStore& store, const RunProfile& profile, bool with_views) {
  ItemBytes healthy, undetermined{};
  healthy.fill(1);
  engine.ScanItems(healthy, &undetermined);
  Findings found;
  for (int i = 0; i < kItemCount; ++i) {
    if (!Determinable(i, profile)) {
      found.states[i] = ItemState::kUndetermined;
      continue;
    }
    if (undetermined[i]) {
      found.states[i] = ItemState::kUndetermined;
      found.unread[i] = engine.Unread(i);
    } else {
      found.states[i] = healthy[i] ? ItemState::kHealthy : ItemState::kDamaged;
      if (!healthy[i] && profile.policy != nullptr) {
        found.policy[i] = ManagedBy(store, i, *profile.policy);
        if (found.policy[i]) found.states[i] = ItemState::kManaged;
      }
    }
    if (with_views && (HivesTouched(i) & kTouchesLocalMachine)) found.views[i] = engine.CheckViews(i);
  }
  for (int index : profile.ignored) {
    found.states[index] = ItemState::kIgnored;
    found.views[index] = {};
    found.unread[index].clear();
  }
  return found;
}

RepairRun::RepairRun(std::vector<RunProfile> profiles, const std::vector<int>& requested, bool dry_run,
                     bool include_managed)
    : profiles_(std::move(profiles)),
      requested_(requested),
      dry_run_(dry_run),
      machine_(std::make_shared<OverlayState>()) {
  runs_.resize(profiles_.size());
  for (std::size_t k = 0; k < profiles_.size(); ++k) {
    const RunProfile& profile = profiles_[k];
    ProfileRun& run = runs_[k];
    overlays_.push_back(std::make_unique<OverlayStore>(*profile.store, machine_));
    recorders_.push_back(std::make_unique<RecordingStore>(*overlays_.back(), nullptr, [this, &run](const Change& c) {
      if (dry_run_) run.changes.push_back(c);
    }));
    RepairEngine engine(*recorders_.back(), profile.system_directory);
    // What policy set is found before anything is planned.
    std::optional<Findings> before;
    if (profile.policy != nullptr && !profile.policy->empty()) before = Evaluate(engine, *recorders_.back(), profile);
    bool any = false;
    for (int index : requested_) {
      if (k > 0 && HivesTouched(index) == kTouchesLocalMachine) continue;
      if (!Determinable(index, profile)) continue;
      if (before && before->states[index] == ItemState::kManaged) {
        if (!include_managed) {
          run.left_alone.push_back(index);
          continue;
        }
        // The next refresh of a domain's policy would set it again.
        if (before->policy[index]->scope != "local") {
          run.domain_managed.push_back(index);
          continue;
        }
        ProfileRun::PolicyEdit edit{index, before->policy[index]->file, {}};
        for (const Place& place : kItemRows[index].places) {
          if (place.key != nullptr) edit.values.push_back({place.root, place.key, place.value});
        }
        run.policy_edits.push_back(std::move(edit));
      }
      run.ticked[index] = true;
      any = true;
    }
    if (any) {
      RunTexts texts;
      RunRepairs(engine, run.flags, texts, run.ticked);
      run.ran = true;
    }
    for (int index : run.domain_managed) {
      run.ticked[index] = true;
      run.flags.m_failed[index] = 1;
      run.ran = true;
    }
    run.refusals = recorders_.back()->refusals();
    Relist(run);
  }
  if (profiles_.empty()) return;
  parts_.push_back({PlanOf(*machine_, registry::kLocalMachine), profiles_[0].target, 0, true});
  for (std::size_t k = 0; k < profiles_.size(); ++k) {
    parts_.push_back({PlanOf(overlays_[k]->user_state(), registry::kCurrentUser), profiles_[k].target, k, false});
  }
}

RepairRun::~RepairRun() = default;

void RepairRun::CarryOut() {
  for (const PlanPart& part : parts_) {
    // A dry run carries its plan out only on targets that hold the changes
    // in memory until a commit it never makes (hive and .reg files, not the
    // live registry): a change such a target refuses fails its items alike.
    if (dry_run_ && !part.target->HoldsChanges()) continue;
    const Plan refused = registry::CarryOut(part.plan, *part.target);
    std::vector<int> items;
    for (const Plan::Value& value : refused.values) {
      for (int item : ItemsChanging(value.root, value.path, &value.name)) items.push_back(item);
    }
    for (const Plan::Key& key : refused.deleted_keys) {
      for (int item : ItemsChanging(key.root, key.path, nullptr)) items.push_back(item);
    }
    for (const Plan::Key& key : refused.created_keys) {
      for (int item : ItemsChanging(key.root, key.path, nullptr)) items.push_back(item);
    }
    RunFlags& flags = runs_[part.profile].flags;
    for (int item : items) {
      if (!flags.m_repaired[item]) continue;
      flags.m_repaired[item] = 0;
      flags.m_failed[item] = 1;
    }
  }
  for (ProfileRun& run : runs_) Relist(run);
}

void RepairRun::ReadBack() {
  for (std::size_t k = 0; k < profiles_.size(); ++k) {
    const RunProfile& profile = profiles_[k];
    ProfileRun& run = runs_[k];
    // A dry run reads its plan; a real run reads the registry, not what it
    // meant to write.
    RepairEngine engine(dry_run_ ? static_cast<registry::RegistryStore&>(*recorders_[k]) : *profile.store,
                        profile.system_directory);
    run.after = Evaluate(engine, dry_run_ ? static_cast<registry::RegistryStore&>(*recorders_[k]) : *profile.store,
                         profile);
    run.still_damaged.clear();
    for (int i = 0; i < kItemCount; ++i) {
      const bool wanted = std::find(requested_.begin(), requested_.end(), i) != requested_.end();
      const bool left = std::find(run.left_alone.begin(), run.left_alone.end(), i) != run.left_alone.end();
      if (wanted && !left && Determinable(i, profile) && run.after.states[i] != ItemState::kHealthy) {
        run.still_damaged.push_back(i);
      }
      if (!dry_run_ && run.flags.m_repaired[i] && run.after.states[i] != ItemState::kHealthy) {
        run.flags.m_repaired[i] = 0;
        run.flags.m_failed[i] = 1;
      }
    }
    Relist(run);
  }
}

void RepairRun::Unreached(std::size_t k, int index) {
  ProfileRun& run = runs_[k];
  if (!run.flags.m_repaired[index]) return;
  run.flags.m_repaired[index] = 0;
  run.flags.m_failed[index] = 1;
  run.after.states[index] = ItemState::kDamaged;
  if (std::find(run.still_damaged.begin(), run.still_damaged.end(), index) == run.still_damaged.end()) {
    run.still_damaged.push_back(index);
    std::sort(run.still_damaged.begin(), run.still_damaged.end());
  }
  Relist(run);
}

// The lists and the message from the flags.
void RepairRun::Relist(ProfileRun& run) const {
  run.repaired.clear();
  run.failed.clear();
  for (int i = 0; i < kItemCount; ++i) {
    if (run.flags.m_repaired[i]) run.repaired.push_back(i);
    if (run.flags.m_failed[i]) run.failed.push_back(i);
  }
  if (!run.ran) return;
  RunTexts texts;
  run.message = ComposeRepairReport(run.flags, run.ticked, texts) ? texts.m_reportText : texts.m_noRepairText;
}

}  // namespace torvane::repair
