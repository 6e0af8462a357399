// torvane restore: a backup applied all or nothing, only within what repairs change.

#include "cli/command_parts.h"
#include "cli/undo_file.h"
#include "registry/codepage.h"
#include "registry/names.h"
#include "repair/undo_scope.h"

namespace torvane::cli {

using registry::RegEntry;
using registry::RegFile;

namespace {

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

}  // namespace

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

}  // namespace torvane::cli
