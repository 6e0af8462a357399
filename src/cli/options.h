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
  bool json = false;
  std::vector<int> items;  // ascending, no repeats
};

Options ParseArguments(const std::vector<std::string>& args);

extern const char* const kUsage;
extern const char* const kVersion;  // as the release files name it, "1.0.0.1"

}  // namespace torvane::cli
