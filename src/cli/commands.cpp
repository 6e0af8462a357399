#include "cli/commands.h"

#include <memory>

#include "cli/change_stores.h"
#include "cli/report.h"
#include "cli/sources.h"
#include "registry/codepage.h"
#include "registry/file_io.h"
#include "registry/names.h"
#include "repair/engine.h"
#include "repair/run.h"

namespace torvane::cli {

using registry::RegEntry;
using registry::RegFile;
using registry::RegFormat;

namespace {

bool Determinable(int index, const Profile& profile) {
  const int hives = repair::HivesTouched(index);
  return (!(hives & repair::kTouchesCurrentUser) || profile.has_user) &&
         (!(hives & repair::kTouchesLocalMachine) || profile.has_machine);
}

std::array<State, repair::kItemCount> Evaluate(repair::RepairEngine& engine, const Profile& profile) {
  // The scan leaves entry 3 alone when the image hijack check is undetermined.
  constexpr std::uint8_t kUnset = 2;
  repair::ItemBytes healthy;
  healthy.fill(1);
  healthy[3] = kUnset;
  engine.ScanItems(healthy);
  std::array<State, repair::kItemCount> states{};
  for (int i = 0; i < repair::kItemCount; ++i) {
    if (!Determinable(i, profile) || healthy[i] == kUnset) {
      states[i] = State::kUndetermined;
    } else {
      states[i] = healthy[i] ? State::kHealthy : State::kDamaged;
    }
  }
  return states;
}

std::string MissingHive(int index, const Profile& profile) {
  const int hives = repair::HivesTouched(index);
  if ((hives & repair::kTouchesCurrentUser) && !profile.has_user) return "a user hive (--ntuser)";
  return "the SOFTWARE hive (--software)";
}

// Moves the repaired items whose changes did not reach their files to the
// failed ones: their files hold what they held before.
void KeepOnlyCommitted(const Profile& profile, const std::vector<std::string>& replaced, ProfileReport& result) {
  auto written = [&](const std::string& file) {
    return file.empty() || std::find(replaced.begin(), replaced.end(), file) != replaced.end();
  };
  std::vector<int> kept;
  for (int index : result.repaired) {
    const int hives = repair::HivesTouched(index);
    if ((!(hives & repair::kTouchesLocalMachine) || written(profile.machine_file)) &&
        (!(hives & repair::kTouchesCurrentUser) || written(profile.user_file))) {
      kept.push_back(index);
      continue;
    }
    result.failed.push_back(index);
    result.states[index] = State::kDamaged;
    result.still_damaged.push_back(index);
  }
  result.repaired = std::move(kept);
  std::sort(result.failed.begin(), result.failed.end());
  std::sort(result.still_damaged.begin(), result.still_damaged.end());
}

void Print(const RunReport& report, bool json, const Streams& streams) {
  if (json) {
    PrintJson(report, streams.out);
  } else {
    PrintText(report, streams.colour, streams.out);
  }
}

void WarnDirty(const Source& source, const Streams& streams) {
  for (const auto& hive : source.dirty()) {
    std::fprintf(streams.err,
                 "torvane: %s: the hive is dirty (its transaction logs were not replayed); what it shows may be "
                 "stale and it will not be repaired\n",
                 Printable(hive.path).c_str());
  }
}

// Names on stderr each key that refused the access asked for.
void WarnRefused(const RecordingStore& store, const Streams& streams) {
  for (const Refusal& refusal : store.refusals()) {
    std::fprintf(streams.err, "torvane: %s: access denied (%s)\n",
                 registry::GbkToUtf8(registry::RegKeyName(refusal.root, refusal.path)).c_str(),
                 refusal.access.c_str());
  }
}

// A profile whose user hive could not be used: one line on stderr. Its user
// items are undetermined, so the run cannot call the profile healthy.
bool WarnUnusable(const Profile& profile, const Streams& streams) {
  if (profile.user_problem.empty()) return false;
  std::string name = profile.name ? *profile.name : "the user hive";
  if (profile.sid && *profile.sid != name) name += " (" + *profile.sid + ")";
  std::fprintf(streams.err, "torvane: %s: user items undetermined: %s\n", name.c_str(), profile.user_problem.c_str());
  return true;
}

int Scan(const Options& options, const Streams& streams) {
  auto source = OpenSource(options, false);
  WarnDirty(*source, streams);
  RunReport report;
  report.source = source->label();
  bool damaged = false;
  for (Profile& profile : source->profiles()) {
    RecordingStore watched(*profile.store, nullptr, [](const Change&) {});
    repair::RepairEngine engine(watched, profile.system_directory);
    ProfileReport result;
    result.name = profile.name;
    result.sid = profile.sid;
    result.problem = profile.user_problem;
    result.states = Evaluate(engine, profile);
    WarnRefused(watched, streams);
    damaged |= WarnUnusable(profile, streams);
    for (State state : result.states) damaged |= state == State::kDamaged;
    report.profiles.push_back(std::move(result));
  }
  Print(report, options.json, streams);
  return damaged ? kExitDamage : kExitOk;
}

// Keeps the backup file up to date: rewritten whole before every change.
class Backup {
 public:
  explicit Backup(std::string path) : path_(std::move(path)) {}
  void Add(const Change& change) {
    changes_.push_back(change);
    Write();
  }
  void Write() {
    try {
      registry::WriteFileAtomically(path_, registry::FormatRegFile(RegFile{RegFormat::kVersion5, UndoEntries(changes_)}));
    } catch (const registry::FileError& error) {
      throw SourceError(std::string(error.what()) + " (backup; nothing more was changed)");
    }
  }

 private:
  std::string path_;
  std::vector<Change> changes_;
};

int Repair(const Options& options, const Streams& streams) {
  auto source = OpenSource(options, !options.dry_run);
  auto& profiles = source->profiles();
  std::vector<int> requested = options.items;
  if (options.all) {
    for (int i = 0; i < repair::kItemCount; ++i) requested.push_back(i);
  }
  // Refuse before anything changes.
  int touched = 0;
  for (int index : requested) {
    touched |= repair::HivesTouched(index);
    if (options.all) continue;
    for (const Profile& profile : profiles) {
      // A profile whose hive could not be used says so in the report.
      if (!Determinable(index, profile) && profile.user_problem.empty()) {
        throw SourceError("item " + std::to_string(index) + " needs " + MissingHive(index, profile) +
                          ", which " + source->label() + " does not give");
      }
    }
  }
  for (const auto& hive : source->dirty()) {
    if (touched & (hive.machine ? repair::kTouchesLocalMachine : repair::kTouchesCurrentUser)) {
      throw SourceError(hive.path +
                        ": the hive is dirty (its transaction logs were not replayed); refusing to repair it. "
                        "Boot that Windows once, or replay the logs, then run again. Nothing was changed.");
    }
  }
  std::unique_ptr<Backup> backup;
  if (!options.backup.empty()) {
    backup = std::make_unique<Backup>(options.backup);
    backup->Write();
  }

  RunReport report;
  report.source = source->label();
  report.repair = true;
  report.dry_run = options.dry_run;
  auto machine_overlay = std::make_shared<OverlayState>();
  bool incomplete = false;
  for (std::size_t k = 0; k < profiles.size(); ++k) {
    Profile& profile = profiles[k];
    ProfileReport result;
    result.name = profile.name;
    result.sid = profile.sid;
    result.problem = profile.user_problem;
    // A live profile's keys are HKEY_USERS\<SID>, as Windows names them.
    const std::string user = profile.sid    ? *profile.sid
                             : profile.name ? registry::Utf8ToGbk(*profile.name)
                                            : std::string();

    std::unique_ptr<OverlayStore> overlay;
    registry::RegistryStore* base = profile.store;
    if (options.dry_run) {
      overlay = std::make_unique<OverlayStore>(*profile.store, machine_overlay);
      base = overlay.get();
    }
    RecordingStore recorder(*base, options.dry_run ? nullptr : profile.target, [&](const Change& change) {
      Change noted = change;
      noted.user = user;
      if (backup) backup->Add(noted);
      result.changes.push_back(std::move(noted));
    });
    repair::RepairEngine engine(recorder, profile.system_directory);

    repair::TickState ticked{};
    bool any = false;
    for (int index : requested) {
      // The machine part is shared: its items run with the first profile.
      if (k > 0 && repair::HivesTouched(index) == repair::kTouchesLocalMachine) continue;
      if (!Determinable(index, profile)) continue;
      ticked[index] = true;
      any = true;
    }
    repair::RunFlags flags;
    if (any) {
      repair::RunTexts texts;
      result.message = repair::RunRepairs(engine, flags, texts, ticked).text;
      result.ran = true;
    }
    result.states = Evaluate(engine, profile);
    WarnRefused(recorder, streams);
    for (int i = 0; i < repair::kItemCount; ++i) {
      if (flags.m_repaired[i]) result.repaired.push_back(i);
      if (flags.m_failed[i]) result.failed.push_back(i);
      const bool wanted = std::find(requested.begin(), requested.end(), i) != requested.end();
      if (wanted && Determinable(i, profile) && result.states[i] != State::kHealthy) {
        result.still_damaged.push_back(i);
      }
    }
    incomplete |= !result.failed.empty() || !result.still_damaged.empty();
    incomplete |= WarnUnusable(profile, streams);
    report.profiles.push_back(std::move(result));
  }
  if (!options.dry_run) {
    try {
      source->Commit();
    } catch (const CommitError& error) {
      // Some files took the run's changes and others not: the report shows
      // as repaired only what now stands in the files.
      for (std::size_t k = 0; k < profiles.size(); ++k) {
        KeepOnlyCommitted(profiles[k], error.replaced(), report.profiles[k]);
      }
      Print(report, options.json, streams);
      std::fprintf(streams.err, "torvane: %s\n", Printable(error.what()).c_str());
      return kExitDamage;
    }
  }
  Print(report, options.json, streams);
  if (backup && !options.json) std::fprintf(streams.out, "Backup: %s\n", options.backup.c_str());
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

int Restore(const Options& options, const Streams& streams) {
  RegFile file;
  try {
    file = registry::ReadRegFile(options.restore_file);
  } catch (const registry::RegFileError& error) {
    throw SourceError(error.what());
  }
  auto source = OpenSource(ForRestore(options, file), true);
  for (const auto& hive : source->dirty()) {
    throw SourceError(hive.path + ": the hive is dirty (its transaction logs were not replayed); refusing to change "
                      "it. Nothing was changed.");
  }
  auto& profiles = source->profiles();
  // Which profile each statement goes to; all decided before anything changes.
  std::vector<RegFile> parts(profiles.size());
  for (const RegEntry& entry : file.entries) {
    const std::string where = options.restore_file + ":" + std::to_string(entry.line) + ": ";
    std::size_t target = 0;
    if (entry.root == registry::kLocalMachine) {
      if (!profiles[0].has_machine) throw SourceError(where + "HKEY_LOCAL_MACHINE needs the SOFTWARE hive (--software)");
    } else if (!entry.user.empty()) {
      target = profiles.size();
      for (std::size_t k = 0; k < profiles.size(); ++k) {
        if (profiles[k].name && registry::NamesEqual(registry::Utf8ToGbk(*profiles[k].name), entry.user)) target = k;
        if (HasSid(profiles[k], entry.user)) target = k;
      }
      if (target == profiles.size()) {
        throw SourceError(where + "no profile \"" + registry::GbkToUtf8(entry.user) + "\" in " + source->label());
      }
      if (!profiles[target].has_user) {
        throw SourceError(where + "the profile of " + registry::GbkToUtf8(entry.user) + " cannot be reached: " +
                          profiles[target].user_problem + ". Nothing was changed.");
      }
    } else {
      if (profiles.size() > 1) {
        throw SourceError(where + "HKEY_CURRENT_USER is ambiguous with several profiles; name one as HKEY_USERS\\NAME");
      }
      if (!profiles[0].has_user) throw SourceError(where + "HKEY_CURRENT_USER needs a user hive (--ntuser)");
    }
    parts[target].entries.push_back(entry);
  }
  std::size_t refused_count = 0, applied = 0;
  for (std::size_t k = 0; k < profiles.size(); ++k) {
    for (const RegEntry& entry : registry::ApplyRegFile(parts[k], *profiles[k].target)) {
      std::fprintf(streams.err, "torvane: %s:%d: refused by %s\n", options.restore_file.c_str(), entry.line,
                   source->label().c_str());
      ++refused_count;
    }
    applied += parts[k].entries.size();
  }
  source->Commit();
  std::fprintf(streams.out, "Restored %zu of %zu statements from %s\n", applied - refused_count, applied,
               options.restore_file.c_str());
  return refused_count == 0 ? kExitOk : kExitDamage;
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
  }
  return kExitError;
}

}  // namespace torvane::cli
