// The command line of `torvane`.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace torvane::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitDamage = 1;  // scan: damage found; repair/restore: something failed
inline constexpr int kExitError = 2;

// A command line that cannot be run; the message is one line.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class Command { kList, kScan, kRepair, kRestore, kHelp, kVersion };
enum class SourceKind { kDefault, kLive, kReg, kDemo, kHives, kWindows };

struct Options {
  Command command = Command::kHelp;
  SourceKind source = SourceKind::kDefault;
  std::string source_text;  // the source arguments as given
  std::string reg_file;
  std::string software, ntuser;
  std::string windows_dir;
  std::string restore_file;
  std::string backup;
  bool all = false;
  bool dry_run = false;
  // --include-managed: also repairs what Group Policy set (a domain's
  // policy is still refused: its next refresh would set it again).
  bool include_managed = false;
  bool json = false;
  std::vector<int> items;  // ascending, no repeats
  // --ignore: items an organisation sets some other way; never repaired,
  // never counted as damage (ascending, no repeats).
  std::vector<int> ignored;
  bool all_users = false;  // --all-users
  std::string user;        // --user NAME|SID
};

// Which profiles a live run examines.
enum class LiveScope { kOwnUser, kAllUsers, kOneUser };

// Under LocalSystem its own hive is never what the caller meant: --live alone
// then means every profile.
LiveScope LiveScopeOf(const Options& options, bool local_system);

Options ParseArguments(const std::vector<std::string>& args);

extern const char* const kUsage;
extern const char* const kVersion;  // as the release files name it, "1.0.0.1"

}  // namespace torvane::cli
