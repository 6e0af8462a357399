// One repair run over one or more profiles, the same for the dialog and the
// command line: plan every change over overlays, let the caller keep an undo
// of the plan, carry it out, read the registry back, and report only what
// the read-back shows. The caller chooses the registries and shows the
// outcome; it decides nothing itself.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "registry/change_stores.h"
#include "registry/group_policy.h"
#include "registry/reg_target.h"
#include "repair/engine.h"
#include "repair/run.h"

namespace torvane::repair {

// kManaged: damage by its rule, but Group Policy set exactly these values
// (see Findings::policy). kIgnored: left out at the caller's word; its state
// is not reported.
enum class ItemState { kHealthy, kDamaged, kUndetermined, kIgnored, kManaged };

// One profile's registry as a run reads and changes it. The machine part is
// shared: every profile's store reaches the same HKEY_LOCAL_MACHINE.
struct RunProfile {
  registry::RegistryStore* store = nullptr;  // read through, never written
  registry::RegTarget* target = nullptr;     // where the profile's plan is carried out
  std::string system_directory;
  bool has_machine = true;  // the HKLM part is there
  bool has_user = true;     // the HKCU part is there
  // The Group Policy files of this machine and profile; null: none read.
  const registry::PolicyEvidence* policy = nullptr;
  // Items left out at the caller's word: kIgnored, whatever they show.
  std::vector<int> ignored{};
};

// Whether the profile has every hive `index` reads.
bool Determinable(int index, const RunProfile& profile);

// What a scan of one profile found.
struct Findings {
  std::array<ItemState, kItemCount> states{};
  // Machine items: what each registry view showed.
  std::array<ItemViews, kItemCount> views{};
  // Undetermined items: the key that could not be read and why (UTF-8).
  std::array<std::string, kItemCount> unread{};
  // Managed items: the policy that set their values.
  std::array<std::optional<registry::PolicyOrigin>, kItemCount> policy{};
};

// `store`: what `engine` reads through. Without `with_views`, what each
// registry view showed is not looked at (Findings::views stays empty).
Findings Evaluate(RepairEngine& engine, registry::RegistryStore& store, const RunProfile& profile,
                  bool with_views = true);

// The policy that set every value of item `index` that shows damage, when
// one did; nullopt when any such value lacks trusted evidence, or the item
// is none a policy sets.
std::optional<registry::PolicyOrigin> ManagedBy(registry::RegistryStore& store, int index,
                                                const registry::PolicyEvidence& policy);

// One profile's part of a run, and what came of it.
struct ProfileRun {
  TickState ticked{};
  RunFlags flags;
  bool ran = false;                          // a repair was attempted for this profile
  std::vector<registry::Change> changes;     // a dry run's: what would change
  std::vector<registry::Refusal> refusals;   // keys that refused the access the plan asked
  Findings after;                            // after the run (a dry run: over its plan)
  std::vector<int> repaired, failed, still_damaged;
  std::vector<int> left_alone;  // requested, but managed: not repaired
  // Requested with managed items included, but set by a domain's policy,
  // which the next refresh would set again: not repaired, failed.
  std::vector<int> domain_managed;
  // Managed by the local policy object and included: the run also takes
  // the values out of the policy file, or the next refresh sets them again.
  struct PolicyEdit {
    int item;
    std::string file;
    std::vector<registry::PolicyValue> values;
  };
  std::vector<PolicyEdit> policy_edits;
  std::string message;                       // the run's message text (GBK)
};

// A plan with where it is carried out: the machine part (once, with the
// first profile's target) or one profile's user part.
struct PlanPart {
  registry::Plan plan;
  registry::RegTarget* target = nullptr;
  std::size_t profile = 0;
  bool machine = false;
};

class RepairRun {
 public:
  // Plans the repair of each of `requested` that a profile can decide, the
  // machine items with the first profile only. Nothing below changes.
  // A managed item is left alone unless `include_managed`.
  RepairRun(std::vector<RunProfile> profiles, const std::vector<int>& requested, bool dry_run,
            bool include_managed = false);
  ~RepairRun();
  RepairRun(const RepairRun&) = delete;
  RepairRun& operator=(const RepairRun&) = delete;

  // The plans, for an undo kept before the first change: the machine part
  // first, then each profile's user part.
  const std::vector<PlanPart>& parts() const { return parts_; }

  // Carries out every plan (a dry run: where the target holds the changes
  // in memory only); an item with a change refused failed.
  void CarryOut();

  // Reads every profile as it now stands (a dry run: as the plan leaves
  // it). An item listed repaired that does not read healthy failed, and a
  // requested item that does not read healthy is still damaged.
  void ReadBack();

  // Moves `index` of profile `k` from the repaired to the failed, still
  // damaged: its change did not reach where it is kept.
  void Unreached(std::size_t k, int index);

  std::vector<ProfileRun>& profiles() { return runs_; }
  const std::vector<ProfileRun>& profiles() const { return runs_; }

 private:
  void Relist(ProfileRun& run) const;

  std::vector<RunProfile> profiles_;
  std::vector<int> requested_;
  bool dry_run_;
  std::shared_ptr<registry::OverlayState> machine_;
  std::vector<std::unique_ptr<registry::OverlayStore>> overlays_;
  std::vector<std::unique_ptr<registry::RecordingStore>> recorders_;
  std::vector<PlanPart> parts_;
  std::vector<ProfileRun> runs_;
};

}  // namespace torvane::repair
