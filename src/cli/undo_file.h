// The backup file a repair writes and the restore that applies one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "registry/change_stores.h"
#include "registry/reg_file.h"
#include "repair/repair_run.h"

namespace torvane::cli {

// Refuses (SourceError) a backup path that names one of `sources` (after
// symbolic links) or anything that exists, a dangling link included.
void CheckBackupPath(const std::string& path, const std::vector<std::string>& sources);

// A file WriteNewFile made: its name and what it is (device and file number;
// zero where that cannot be told).
struct WrittenFile {
  std::string path;
  std::uint64_t device = 0, number = 0;
};

// Writes `bytes` to a new file `path` as a file set of one that never
// replaces a file (FileSet::AddNew). Throws SourceError.
WrittenFile WriteNewFile(const std::string& path, const std::string& bytes);

// Writes the undo of `parts` to the new file `path`, once, whole, read from
// their targets before anything changes; `users[k]` names profile k's
// HKCU part (empty for a single user). Refuses (SourceError), before
// anything is written or changed, what its own restore could not put back:
// a link, a NUL in a name, a value the target could not write back, a name
// that does not read back exactly.
WrittenFile WriteBackup(const std::string& path, const std::vector<repair::PlanPart>& parts,
                        const std::vector<std::string>& users);

// Removes the file when its name still leads to the one written (a backup
// of a run that changed nothing); false when it is left.
bool RemoveWritten(const WrittenFile& file);

// The statements that undo `plan`, read from `target` before it changes:
// each value's stored bytes (or its absence), each deleted key whole. `user`
// names the profile (UTF-8) of an HKCU plan, or is empty. Throws SourceError
// when a part cannot be read.
std::vector<registry::RegEntry> UndoOf(const registry::Plan& plan, registry::RegTarget& target, const std::string& user);

// One statement and where it goes.
struct Placed {
  const registry::RegEntry* entry;
  registry::RegTarget* target;
};

struct ApplyOutcome {
  std::optional<std::size_t> refused;  // the first statement refused
  bool rolled_back = true;             // false: undoing the applied ones failed too
};

// Applies the statements in order. When one is refused, the ones applied
// before it are undone in reverse order from what each replaced (read before
// it was applied), so the targets end as they began.
ApplyOutcome ApplyAllOrNothing(const std::vector<Placed>& statements);

}  // namespace torvane::cli
