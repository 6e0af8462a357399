// Where the registry comes from: the machine's own, a .reg file, the demo,
// offline hives, or every profile of a mounted Windows volume.
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/options.h"
#include "registry/group_policy.h"
#include "registry/reg_file.h"
#include "registry/registry.h"
#include "registry/utf.h"

namespace torvane::cli {

// A source that cannot be opened or written; the message is one line that
// names the file and what is wrong.
class SourceError : public std::runtime_error {
 public:
  // A NUL (a value's name may hold one) is shown as \x00.
  explicit SourceError(const std::string& what) : std::runtime_error(registry::ShowNuls(what)) {}
};

// A hive that cannot be read as Windows would read it (a dirty one whose
// logs cannot be replayed): what it holds is undetermined, and the run goes
// on without it.
class UndeterminedHive : public SourceError {
 public:
  using SourceError::SourceError;
};

// A commit that failed part way: some files hold the run's changes.
class CommitError : public SourceError {
 public:
  CommitError(const std::string& what, std::vector<std::string> replaced)
      : SourceError(what), replaced_(std::move(replaced)) {}
  // The files that hold their new version (never empty).
  const std::vector<std::string>& replaced() const { return replaced_; }

 private:
  std::vector<std::string> replaced_;
};

// One user's view of the registry: the machine part and one user's part.
struct Profile {
  std::optional<std::string> name;  // the profile folder's name (UTF-8) under --windows
  std::optional<std::string> sid;   // the user's SID, for the live profiles
  registry::RegistryStore* store = nullptr;
  registry::RegTarget* target = nullptr;
  bool has_machine = true;  // the HKLM part is there
  bool has_user = true;     // the HKCU part is there
  // Why the user part is missing when its hive could not be used (one line).
  std::string user_problem;
  // Why the machine part is missing when its hive could not be used.
  std::string machine_problem;
  // The files the two parts are written to (empty: not a file).
  std::string machine_file, user_file;
  std::string system_directory;
  // The Group Policy files of this machine and profile; null: none read.
  std::shared_ptr<const registry::PolicyEvidence> policy;
};

class Source {
 public:
  virtual ~Source() = default;
  const std::string& label() const { return label_; }
  std::vector<Profile>& profiles() { return profiles_; }
  // Dirty hive files, read with their transaction logs replayed: which
  // part they hold, and the logs.
  struct RecoveredHive {
    std::string path;
    bool machine;
    std::vector<std::string> logs;
  };
  const std::vector<RecoveredHive>& recovered() const { return recovered_; }
  // The files the registry is read from (and a repair writes back), and
  // the dirty hives left alone because their logs could not be replayed.
  const std::vector<std::string>& files() const { return files_; }
  // Writes what the run changed back where it came from: every file of the
  // source together, or none. Throws SourceError when nothing was changed,
  // CommitError when some files were.
  virtual void Commit() {}

  // Removes from the local policy file `file` (as an evidence origin names
  // it) every entry that sets one of `values`, and raises the policy
  // object's version, both written by Commit with the rest. Throws
  // SourceError when the source cannot: nothing is then changed.
  virtual bool CanChangePolicyFiles() const { return false; }
  virtual void RemovePolicyValues(const std::string& file, const std::vector<registry::PolicyValue>& values) {
    (void)values;
    throw SourceError(file + ": this source cannot change a policy file. Nothing was changed.");
  }

 protected:
  std::string label_;
  std::vector<Profile> profiles_;
  std::vector<RecoveredHive> recovered_;
  std::vector<std::string> files_;
};

// Opens the source the options name. `writable`: the run will change it.
std::unique_ptr<Source> OpenSource(const Options& options, bool writable);

}  // namespace torvane::cli
