// The backup a repair writes before its first change, in the .reg format,
// and the restore that applies one: the same for the dialog and the
// command line.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "registry/change_stores.h"
#include "registry/file_io.h"
#include "registry/reg_file.h"
#include "registry/utf.h"
#include "repair/repair_run.h"

namespace torvane::repair {

// Why a backup could not be written or read back; nothing was changed.
class BackupError : public std::runtime_error {
 public:
  // A NUL (a value's name may hold one) is shown as \x00.
  explicit BackupError(const std::string& what) : std::runtime_error(registry::ShowNuls(what)) {}
};

// A file WriteNewFile made: its name and what it is (device and file number;
// zero where that cannot be told).
struct WrittenFile {
  std::string path;
  std::uint64_t device = 0, number = 0;
};

// Writes `bytes` to a new file at `place` as a file set of one that never
// replaces a file (FileSet::AddNew). Throws BackupError.
WrittenFile WriteNewFile(const registry::FilePlace& place, const std::string& bytes);

// Writes the undo of `parts` to a new file at `place`, once, whole, read from
// their targets before anything changes; `users[k]` names profile k's
// HKCU part (empty for a single user). Refuses (BackupError), before
// anything is written or changed, what its own restore could not put back:
// a link, a NUL in a name, a value the target could not write back, a name
// that does not read back exactly.
WrittenFile WriteBackup(const registry::FilePlace& place, const std::vector<repair::PlanPart>& parts,
                        const std::vector<std::string>& users);

// Removes the file when its name still leads to the one written (a backup
// of a run that changed nothing); false when it is left.
bool RemoveWritten(const WrittenFile& file);

// The statements that undo `plan`, read from `target` before it changes:
// each value's stored bytes (or its absence), each deleted key whole. `user`
// names the profile (UTF-8) of an HKCU plan, or is empty. Throws BackupError
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

}  // namespace torvane::repair
