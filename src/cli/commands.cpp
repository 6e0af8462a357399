#include "cli/commands.h"

#include <algorithm>
#include <memory>

#include "cli/report.h"
#include "cli/sources.h"
#include "cli/undo_file.h"
#include "registry/change_stores.h"
#include "registry/codepage.h"
#include "registry/file_io.h"
#include "registry/names.h"
#include "registry/utf.h"
#include "repair/engine.h"
#include "repair/repair_run.h"
#include "repair/run.h"
#include "repair/undo_scope.h"

namespace torvane::cli {

using registry::RecordingStore;
using registry::Refusal;
using registry::RegEntry;
using registry::RegFile;

namespace {

repair::RunProfile RunProfileOf(const Profile& profile, const std::vector<int>& ignored = {}) {
  return {profile.store,    profile.target,       profile.system_directory, profile.has_machine,
          profile.has_user, profile.policy.get(), ignored};
}

bool Determinable(int index, const Profile& profile) { return repair::Determinable(index, RunProfileOf(profile)); }

// A scan's findings, as the report keeps them.
void Keep(const repair::Findings& found, ProfileReport& result) {
  result.states = found.states;
  result.views = found.views;
  result.unread = found.unread;
  result.policy = found.policy;
}

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

void Print(const RunReport& report, bool json, const Streams& streams) {
  if (json) {
    PrintJson(report, streams.out);
  } else {
    PrintText(report, streams.colour, streams.out);
  }
}

// One line on stderr for each dirty hive read with its logs replayed.
void WarnRecovered(const Source& source, bool repair, const Streams& streams) {
  for (const auto& hive : source.recovered()) {
    std::string logs;
    for (const std::string& log : hive.logs) logs += (logs.empty() ? "" : ", ") + log;
    std::fprintf(streams.err, "torvane: %s: the hive is dirty; read with its transaction logs replayed (%s)%s\n",
                 Printable(hive.path).c_str(), Printable(logs).c_str(),
                 repair ? "; a repair writes that state back as one clean hive" : "");
  }
}

// Names on stderr each key that refused the access asked for.
void WarnRefused(const std::vector<Refusal>& refusals, const registry::RegistryStore& store,
                 const Streams& streams) {
  for (const Refusal& refusal : refusals) {
    std::string key = store.RootName(refusal.root);
    if (!refusal.path.empty()) key += "\\" + registry::GbkToUtf8(refusal.path);
    std::fprintf(streams.err, "torvane: %s: access denied (%s)\n", Printable(key).c_str(), refusal.access.c_str());
  }
}

// The policy files that were read but are no evidence, or could not be read:
// one line each on stderr, each once.
void WarnPolicyNotes(const std::vector<Profile>& profiles, const Streams& streams) {
  std::vector<std::string> said;
  for (const Profile& profile : profiles) {
    if (!profile.policy) continue;
    for (const std::string& note : profile.policy->notes()) {
      if (std::find(said.begin(), said.end(), note) != said.end()) continue;
      said.push_back(note);
      std::fprintf(streams.err, "torvane: %s\n", Printable(note).c_str());
    }
  }
}

// The machine hive could not be used: one line on stderr, once for every
// profile that shares it. Its items are undetermined.
bool WarnMachineUnusable(const std::vector<Profile>& profiles, const Streams& streams) {
  if (profiles.empty() || profiles.front().machine_problem.empty()) return false;
  std::fprintf(streams.err, "torvane: machine items undetermined: %s\n",
               Printable(profiles.front().machine_problem).c_str());
  return true;
}

// What a profile's report says could not be used.
std::string ProblemOf(const Profile& profile) {
  if (profile.machine_problem.empty()) return profile.user_problem;
  if (profile.user_problem.empty()) return profile.machine_problem;
  return profile.machine_problem + "; " + profile.user_problem;
}

// A profile whose user hive could not be used: one line on stderr. Its user
// items are undetermined, so the run cannot call the profile healthy.
bool WarnUnusable(const Profile& profile, const Streams& streams) {
  if (profile.user_problem.empty()) return false;
  std::string name = profile.name ? *profile.name : "the user hive";
  if (profile.sid && *profile.sid != name) name += " (" + *profile.sid + ")";
  // Folder names and profile paths come from the machine: shown escaped.
  std::fprintf(streams.err, "torvane: %s: user items undetermined: %s\n", Printable(name).c_str(),
               Printable(profile.user_problem).c_str());
  return true;
}

int Scan(const Options& options, const Streams& streams) {
  auto source = OpenSource(options, false);
  WarnRecovered(*source, false, streams);
  WarnPolicyNotes(source->profiles(), streams);
  RunReport report;
  report.source = source->label();
  bool damaged = WarnMachineUnusable(source->profiles(), streams);
  for (Profile& profile : source->profiles()) {
    RecordingStore watched(*profile.store, nullptr, [](const Change&) {});
    repair::RepairEngine engine(watched, profile.system_directory);
    ProfileReport result;
    result.name = profile.name;
    result.sid = profile.sid;
    result.problem = ProblemOf(profile);
    Keep(repair::Evaluate(engine, watched, RunProfileOf(profile, options.ignored)), result);
    WarnRefused(watched.refusals(), watched, streams);
    damaged |= WarnUnusable(profile, streams);
    // A place that could not be read, or whose hive was not given, cannot
    // be called healthy.
    for (int i = 0; i < repair::kItemCount; ++i) {
      damaged |= result.states[i] == State::kDamaged || result.states[i] == State::kUndetermined;
    }
    report.profiles.push_back(std::move(result));
  }
  Print(report, options.json, streams);
  return damaged ? kExitDamage : kExitOk;
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
    backup = repair::WriteBackup(options.backup, run.parts(), users);
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

// A live backup of several profiles names each HKEY_USERS\<SID>: restoring
// it reaches every profile, loading the hives of users who have signed out.
Options ForRestore(const Options& options, const RegFile& file) {
  Options opened = options;
  const bool live = options.source == SourceKind::kLive || options.source == SourceKind::kDefault;
  for (const RegEntry& entry : file.entries) {
    if (live && !entry.user.empty()) {
      opened.source = SourceKind::kLive;
      opened.all_users = true;
    }
  }
  return opened;
}

bool HasSid(const Profile& profile, const std::string& user) {
  return profile.sid && registry::NamesEqual(*profile.sid, user);
}

// The profile a statement belongs to, by its exact name; throws SourceError.
std::size_t ProfileOf(const RegEntry& entry, Source& source, const std::string& where) {
  auto& profiles = source.profiles();
  if (entry.root == registry::kLocalMachine) {
    if (!profiles[0].machine_problem.empty()) {
      throw SourceError(where + "HKEY_LOCAL_MACHINE cannot be restored: " + profiles[0].machine_problem +
                        ". Nothing was changed.");
    }
    if (!profiles[0].has_machine) throw SourceError(where + "HKEY_LOCAL_MACHINE needs the SOFTWARE hive (--software)");
    return 0;
  }
  if (entry.user.empty()) {
    if (profiles.size() > 1) {
      throw SourceError(where + "HKEY_CURRENT_USER is ambiguous with several profiles; name one as HKEY_USERS\\NAME");
    }
    if (!profiles[0].user_problem.empty()) {
      throw SourceError(where + "HKEY_CURRENT_USER cannot be restored: " + profiles[0].user_problem +
                        ". Nothing was changed.");
    }
    if (!profiles[0].has_user) throw SourceError(where + "HKEY_CURRENT_USER needs a user hive (--ntuser)");
    return 0;
  }
  std::vector<std::size_t> matches;
  for (std::size_t k = 0; k < profiles.size(); ++k) {
    const bool named = (profiles[k].name && *profiles[k].name == entry.user) || HasSid(profiles[k], entry.user);
    if (named && (profiles[k].has_user || profiles[k].sid)) matches.push_back(k);
  }
  if (matches.empty()) throw SourceError(where + "no profile named exactly \"" + entry.user + "\" in " + source.label());
  if (matches.size() > 1) throw SourceError(where + "several profiles are named \"" + entry.user + "\" in " + source.label());
  // A live profile that is listed but cannot be reached: said as such.
  if (!profiles[matches[0]].has_user) {
    throw SourceError(where + "the profile of " + entry.user + " cannot be reached: " + profiles[matches[0]].user_problem +
                      ". Nothing was changed.");
  }
  return matches[0];
}

// A statement whose key lies through a registry link (the key itself or one
// above it) refuses the whole restore before anything changes: a restore
// never writes, creates or deletes through a link.
void RefuseLinkedPlace(const RegEntry& entry, registry::RegistryStore& store, const std::string& where) {
  registry::ScopedKey key(store);
  if (key.Open(entry.root, registry::Utf8ToGbk(entry.path), registry::kKeyRead) == registry::kRefusedLink) {
    const std::string link = store.RefusedLink();
    throw SourceError(where + (link.empty() ? "a registry link on the key's path" : link) +
                      "; a restore never writes through a link. Nothing was changed.");
  }
}

// Checks every statement, then applies them all or none.
int Restore(const Options& options, const Streams& streams) {
  RegFile file;
  try {
    file = registry::ReadRegFile(options.restore_file);
  } catch (const registry::RegFileError& error) {
    throw SourceError(error.what());
  }
  auto where = [&](const RegEntry& entry) { return options.restore_file + ":" + std::to_string(entry.line) + ": "; };
  for (const RegEntry& entry : file.entries) {
    const std::string refusal = repair::UndoRefusal(entry);
    if (!refusal.empty()) {
      throw SourceError(where(entry) + refusal + "; a backup of this tool never holds it. Nothing was changed.");
    }
  }
  auto source = OpenSource(ForRestore(options, file), true);
  WarnRecovered(*source, true, streams);
  std::vector<repair::Placed> statements;
  for (const RegEntry& entry : file.entries) {
    Profile& profile = source->profiles()[ProfileOf(entry, *source, where(entry))];
    RefuseLinkedPlace(entry, *profile.store, where(entry));
    if (entry.kind == RegEntry::Kind::kValue) {
      const std::string refusal = profile.target->WriteRefusal(entry.root, entry.path, entry.value);
      if (!refusal.empty()) throw SourceError(where(entry) + refusal + ". Nothing was changed.");
    }
    statements.push_back(repair::Placed{&entry, profile.target});
  }
  const repair::ApplyOutcome outcome = repair::ApplyAllOrNothing(statements);
  if (outcome.refused) {
    const RegEntry& refused = *statements[*outcome.refused].entry;
    if (!outcome.rolled_back) {
      std::fprintf(streams.err,
                   "torvane: %srefused by %s, and undoing the statements applied before it failed too; the registry "
                   "is partly restored\n",
                   where(refused).c_str(), source->label().c_str());
      return kExitDamage;
    }
    throw SourceError(where(refused) + "refused by " + source->label() + ". Nothing was changed.");
  }
  source->Commit();
  std::fprintf(streams.out, "Restored %zu statements from %s\n", statements.size(), options.restore_file.c_str());
  return kExitOk;
}

}  // namespace

int Run(const Options& options, const Streams& streams) {
  try {
    switch (options.command) {
      case Command::kHelp:
        std::fputs(kUsage, streams.out);
        return kExitOk;
      case Command::kVersion:
        std::fprintf(streams.out, "torvane %s\n", kVersion);
        return kExitOk;
      case Command::kList:
        PrintList(streams.out);
        return kExitOk;
      case Command::kScan:
        return Scan(options, streams);
      case Command::kRepair:
        return Repair(options, streams);
      case Command::kRestore:
        return Restore(options, streams);
    }
  } catch (const CommitError& error) {
    // Some files were changed: not an error before anything changed.
    std::fprintf(streams.err, "torvane: %s\n", Printable(error.what()).c_str());
    return kExitDamage;
  } catch (const std::exception& error) {
    std::fprintf(streams.err, "torvane: %s\n", Printable(error.what()).c_str());
    // A caller that asked for JSON gets JSON, whatever stopped the run.
    if (options.json) std::fprintf(streams.out, "{\"error\": %s}\n", JsonString(error.what()).c_str());
  }
  return kExitError;
}

}  // namespace torvane::cli
