// torvane repair: one run over every profile of the source, its undo first, committed
// all or nothing.

#include "cli/command_parts.h"
#include "cli/undo_file.h"

namespace torvane::cli {


namespace {

std::string MissingHive(int index, const Profile& profile) {
  const int hives = repair::HivesTouched(index);
  if ((hives & repair::kTouchesCurrentUser) && !profile.has_user) return "a user hive (--ntuser)";
  return "the SOFTWARE hive (--software)";
}

// The repaired items whose changes did not reach their files: their files
// hold what they held before.
std::vector<int> Uncommitted(const Profile& profile, const std::vector<std::string>& replaced,
                             const repair::ProfileRun& run) {
  auto written = [&](const std::string& file) {
    return file.empty() || std::find(replaced.begin(), replaced.end(), file) != replaced.end();
  };
  std::vector<int> lost;
  for (int index : run.repaired) {
    const int hives = repair::HivesTouched(index);
    if ((!(hives & repair::kTouchesLocalMachine) || written(profile.machine_file)) &&
        (!(hives & repair::kTouchesCurrentUser) || written(profile.user_file))) {
      continue;
    }
    lost.push_back(index);
  }
  return lost;
}

std::vector<int> RequestedItems(const Options& options) {
  std::vector<int> requested = options.items;
  if (options.all) {
    for (int i = 0; i < repair::kItemCount; ++i) {
      if (!std::binary_search(options.ignored.begin(), options.ignored.end(), i)) requested.push_back(i);
    }
  }
  return requested;
}

// Refuses, before anything changes, items a profile cannot decide because
// the source does not give their hive.
void RefuseUnrepairable(const Options& options, const std::vector<int>& requested, Source& source) {
  for (int index : requested) {
    if (options.all) continue;
    for (const Profile& profile : source.profiles()) {
      // A profile whose hive could not be used says so in the report.
      if (!Determinable(index, profile) && ProblemOf(profile).empty()) {
        throw SourceError("item " + std::to_string(index) + " needs " + MissingHive(index, profile) +
                          ", which " + source.label() + " does not give");
      }
    }
  }
}

// The name a backup gives a profile's HKCU part (HKEY_USERS\NAME), exact;
// empty for a source with a single user.
std::string BackupUser(const Profile& profile) {
  // A live profile's keys are HKEY_USERS\<SID>, as Windows names them.
  if (profile.sid) return *profile.sid;
  return profile.name ? *profile.name : std::string();
}

void RefuseUnnamableProfiles(const std::vector<Profile>& profiles) {
  for (std::size_t k = 0; k < profiles.size(); ++k) {
    const std::string name = BackupUser(profiles[k]);
    if (!registry::IsExactUtf8(name)) {
      throw SourceError("the profile folder \"" + name + "\" has a name that is not UTF-8; a backup could not name "
                        "it exactly. Nothing was changed.");
    }
    if (name.find_first_of("\\\r\n") != std::string::npos) {
      std::string shown;
      for (char c : name) shown += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : std::string(1, c);
      throw SourceError("the profile folder \"" + shown + "\" has a line break or a backslash in its name; a backup "
                        "could not name it exactly. Nothing was changed.");
    }
    for (std::size_t j = 0; j < k; ++j) {
      if (!name.empty() && BackupUser(profiles[j]) == name) {
        throw SourceError("two profiles are named \"" + name + "\"; a backup could not tell them apart. Nothing "
                          "was changed.");
      }
    }
  }
}

// The report of one profile from its part of the run.
ProfileReport ReportOf(const Profile& profile, const repair::ProfileRun& run) {
  ProfileReport result;
  result.name = profile.name;
  result.sid = profile.sid;
  result.problem = ProblemOf(profile);
  if (profile.store->RootName(registry::kCurrentUser) != "HKEY_CURRENT_USER") {
    result.user_root = profile.store->RootName(registry::kCurrentUser);
  }
  Keep(run.after, result);
  result.ran = run.ran;
  result.message = run.message;
  result.repaired = run.repaired;
  result.failed = run.failed;
  result.still_damaged = run.still_damaged;
  result.left_alone = run.left_alone;
  result.domain_managed = run.domain_managed;
  result.changes = run.changes;
  return result;
}

// The dry run, having carried its plan out in memory as the real run would
// (RepairRun::CarryOut), stops where the real run's commit would refuse,
// with its words; it writes nothing and never commits.
void RefuseWhatTheCommitWould(const std::vector<repair::PlanPart>& parts) {
  for (const repair::PlanPart& part : parts) {
    const std::string refusal = part.target->CommitRefusal();
    if (!refusal.empty()) throw SourceError(refusal + "; nothing was changed");
  }
}

}  // namespace

// Plans every change first, then writes the undo (once, whole), then
// changes: a backup always covers exactly what the run changed.
int Repair(const Options& options, const Streams& streams) {
  // The dry run opens the files as the real run does (a hive the writer
  // refuses is refused by both), and changes nothing: it never commits.
  auto source = OpenSource(options, true);
  auto& profiles = source->profiles();
  const std::vector<int> requested = RequestedItems(options);
  RefuseUnrepairable(options, requested, *source);
  WarnRecovered(*source, true, streams);
  WarnPolicyNotes(profiles, streams);
  if (!options.backup.empty()) {
    CheckBackupPath(options.backup, source->files());
    RefuseUnnamableProfiles(profiles);
  }

  std::vector<repair::RunProfile> run_profiles;
  for (const Profile& profile : profiles) run_profiles.push_back(RunProfileOf(profile, options.ignored));
  repair::RepairRun run(std::move(run_profiles), requested, options.dry_run, options.include_managed);
  std::optional<repair::WrittenFile> backup;
  for (const repair::ProfileRun& part : run.profiles()) {
    if (part.policy_edits.empty() || source->CanChangePolicyFiles()) continue;
    throw SourceError(part.policy_edits.front().file +
                      ": --include-managed cannot take the value out of this local policy file here; change it with "
                      "the local policy editor. Nothing was changed.");
  }
  for (const repair::ProfileRun& part : run.profiles()) {
    if (part.policy_edits.empty() || options.backup.empty()) continue;
    throw SourceError(part.policy_edits.front().file +
                      ": a backup cannot carry the local policy file --include-managed changes; run without --backup "
                      "(the policy editor can set it again). Nothing was changed.");
  }
  if (!options.dry_run && !options.backup.empty()) {
    std::vector<std::string> users;
    for (const Profile& profile : profiles) users.push_back(BackupUser(profile));
    // On Windows no part of the path given is a link (a junction a hostile
    // volume holds would take the file elsewhere); elsewhere it is followed
    // as the user named it.
    backup = repair::WriteBackup(registry::FilePlace::WithoutLinks(options.backup), run.parts(), users);
  }
  run.CarryOut();
  run.ReadBack();
  // The report shows as repaired only what now stands in the files.
  std::string commit_error;
  // The local policy files a managed item's repair changes too: what it
  // took out of the registry goes out of the file, in the same commit.
  std::vector<std::vector<std::string>> policy_files(profiles.size());
  std::vector<const repair::ProfileRun::PolicyEdit*> edits;
  for (std::size_t k = 0; k < profiles.size(); ++k) {
    const auto& repaired = run.profiles()[k].repaired;
    for (const auto& edit : run.profiles()[k].policy_edits) {
      if (std::find(repaired.begin(), repaired.end(), edit.item) == repaired.end()) continue;
      edits.push_back(&edit);
      policy_files[k].push_back(edit.file);
    }
  }
  if (options.dry_run) {
    // The policy files are changed as the real run changes them, in memory
    // only (nothing is committed): what the real run refuses, the dry run
    // refuses in the same words.
    for (const auto* edit : edits) source->RemovePolicyValues(edit->file, edit->values);
    RefuseWhatTheCommitWould(run.parts());
  } else {
    try {
      for (const auto* edit : edits) source->RemovePolicyValues(edit->file, edit->values);
      source->Commit();
    } catch (const CommitError& error) {
      // Some files took the run's changes and others not.
      for (std::size_t k = 0; k < profiles.size(); ++k) {
        for (int index : Uncommitted(profiles[k], error.replaced(), run.profiles()[k])) run.Unreached(k, index);
        std::erase_if(policy_files[k], [&](const std::string& file) {
          return std::find(error.replaced().begin(), error.replaced().end(), file) == error.replaced().end();
        });
      }
      commit_error = error.what();
    } catch (const SourceError&) {
      // Nothing was changed: a backup of changes never made goes too.
      if (backup) repair::RemoveWritten(*backup);
      throw;
    }
  }

  RunReport report;
  report.source = source->label();
  report.repair = true;
  report.dry_run = options.dry_run;
  bool incomplete = WarnMachineUnusable(profiles, streams);
  for (std::size_t k = 0; k < profiles.size(); ++k) {
    const repair::ProfileRun& part = run.profiles()[k];
    WarnRefused(part.refusals, *profiles[k].store, streams);
    report.profiles.push_back(ReportOf(profiles[k], part));
    report.profiles.back().policy_files = policy_files[k];
    incomplete |= !part.failed.empty() || !part.still_damaged.empty();
    incomplete |= WarnUnusable(profiles[k], streams);
  }
  Print(report, options.json, streams);
  if (!commit_error.empty()) {
    std::fprintf(streams.err, "torvane: %s\n", Printable(commit_error).c_str());
    return kExitDamage;
  }
  if (!options.backup.empty() && !options.json) std::fprintf(streams.out, "Backup: %s\n", options.backup.c_str());
  return incomplete ? kExitDamage : kExitOk;
}

}  // namespace torvane::cli
