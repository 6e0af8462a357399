#include "cli/options.h"

#include <algorithm>

#include "repair/catalogue.h"

namespace torvane::cli {

const char* const kUsage =
    "usage: torvane list\n"
    "       torvane scan   [SOURCE] [--ignore INDEX[,INDEX...]] [--json]\n"
    "       torvane repair [SOURCE] (--all | INDEX...) [--ignore INDEX[,INDEX...]] [--include-managed]\n"
    "                      [--dry-run] [--backup FILE.reg]\n"
    "                      [--json]\n"
    "       torvane restore FILE.reg [SOURCE]\n"
    "       torvane --version\n"
    "SOURCE: --live [--all-users | --user NAME|SID] | --reg FILE | --demo | [--software FILE] [--ntuser FILE]\n"
    "        | --windows DIR\n";

const char* const kVersion = TORVANE_VERSION;

namespace {

void SetSource(Options& options, SourceKind kind, const std::string& text) {
  const bool hives = kind == SourceKind::kHives && options.source == SourceKind::kHives;
  if (options.source != SourceKind::kDefault && !hives) {
    throw UsageError("more than one source given (" + options.source_text + ", " + text + ")");
  }
  options.source = kind;
  options.source_text = options.source_text.empty() ? text : options.source_text + " " + text;
}

UsageError UnknownIndex(const std::string& text) {
  return UsageError("unknown item index \"" + text + "\" (the items are 0 to " + std::to_string(repair::kItemCount - 1) +
                    ", see `torvane list`)");
}

int ParseIndex(const std::string& text) {
  const bool digits = !text.empty() && text.size() <= 3 &&
                      std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  const int index = digits ? std::stoi(text) : -1;
  if (!repair::IsItemIndex(index)) {
    throw UnknownIndex(text);
  }
  return index;
}

// The command word; false for those that take no further arguments.
bool ParseCommand(const std::vector<std::string>& args, Options& options) {
  const std::string& command = args[0];
  if (command == "list") {
    options.command = Command::kList;
  } else if (command == "scan") {
    options.command = Command::kScan;
  } else if (command == "repair") {
    options.command = Command::kRepair;
  } else if (command == "restore") {
    options.command = Command::kRestore;
  } else if (command == "help" || command == "--help" || command == "-h") {
    options.command = Command::kHelp;
    return false;
  } else if (command == "--version") {
    if (args.size() > 1) throw UsageError("unexpected argument \"" + args[1] + "\" for --version");
    options.command = Command::kVersion;
    return false;
  } else {
    throw UsageError("unknown command \"" + command + "\"");
  }
  return true;
}

// Takes args[i] (and its value, moving i past it) into `options`.
void ParseArgument(const std::vector<std::string>& args, std::size_t& i, Options& options) {
  auto value_of = [&]() -> const std::string& {
    if (i + 1 >= args.size() || args[i + 1].empty()) throw UsageError(args[i] + " needs a value");
    return args[++i];
  };
  const std::string& arg = args[i];
  const bool takes_source = options.command != Command::kList;
  const bool scans = options.command == Command::kScan || options.command == Command::kRepair;
  const bool repairs = options.command == Command::kRepair;
  if (takes_source && arg == "--live") {
    SetSource(options, SourceKind::kLive, arg);
  } else if (takes_source && arg == "--demo") {
    SetSource(options, SourceKind::kDemo, arg);
  } else if (takes_source && arg == "--reg") {
    options.reg_file = value_of();
    SetSource(options, SourceKind::kReg, "--reg " + options.reg_file);
  } else if (takes_source && (arg == "--software" || arg == "--ntuser")) {
    std::string& slot = arg == "--software" ? options.software : options.ntuser;
    if (!slot.empty()) throw UsageError(arg + " given twice");
    slot = value_of();
    SetSource(options, SourceKind::kHives, arg + " " + slot);
  } else if (takes_source && arg == "--windows") {
    options.windows_dir = value_of();
    SetSource(options, SourceKind::kWindows, "--windows " + options.windows_dir);
  } else if (scans && arg == "--all-users") {
    options.all_users = true;
  } else if (scans && arg == "--user") {
    if (!options.user.empty()) throw UsageError("--user given twice");
    options.user = value_of();
  } else if (scans && arg == "--ignore") {
    const std::string& list = value_of();
    for (std::size_t at = 0; at <= list.size();) {
      const std::size_t comma = std::min(list.find(',', at), list.size());
      options.ignored.push_back(ParseIndex(list.substr(at, comma - at)));
      at = comma + 1;
    }
  } else if (scans && arg == "--json") {
    options.json = true;
  } else if (repairs && arg == "--all") {
    options.all = true;
  } else if (repairs && arg == "--dry-run") {
    options.dry_run = true;
  } else if (repairs && arg == "--include-managed") {
    options.include_managed = true;
  } else if (repairs && arg == "--backup") {
    options.backup = value_of();
  } else if (repairs && !arg.empty() && arg[0] != '-') {
    options.items.push_back(ParseIndex(arg));
  } else if (options.command == Command::kRestore && options.restore_file.empty() && !arg.empty() &&
             arg[0] != '-') {
    options.restore_file = arg;
  } else if (!arg.empty() && arg[0] == '-' && arg.size() > 1 && arg.find_first_not_of("0123456789", 1) == std::string::npos) {
    throw UnknownIndex(arg);
  } else {
    throw UsageError("unexpected argument \"" + arg + "\" for " + args[0]);
  }
}

// What the arguments must say together.
void CheckCombination(Options& options) {
  if (options.command == Command::kRepair) {
    if (options.all && !options.items.empty()) throw UsageError("give either --all or item indices, not both");
    if (!options.all && options.items.empty()) throw UsageError("repair needs --all or the indices of the items");
    if (options.dry_run && !options.backup.empty()) throw UsageError("--dry-run changes nothing, so it takes no --backup");
    std::sort(options.items.begin(), options.items.end());
    options.items.erase(std::unique(options.items.begin(), options.items.end()), options.items.end());
  }
  std::sort(options.ignored.begin(), options.ignored.end());
  options.ignored.erase(std::unique(options.ignored.begin(), options.ignored.end()), options.ignored.end());
  for (int index : options.items) {
    if (std::binary_search(options.ignored.begin(), options.ignored.end(), index)) {
      throw UsageError("item " + std::to_string(index) + " is both to be repaired and ignored");
    }
  }
  if (options.all_users || !options.user.empty()) {
    const std::string given = options.all_users ? "--all-users" : "--user";
    if (options.all_users && !options.user.empty()) throw UsageError("give either --all-users or --user, not both");
    if (options.source != SourceKind::kDefault && options.source != SourceKind::kLive) {
      throw UsageError(given + " chooses profiles of the live registry; it does not go with " + options.source_text);
    }
    options.source = SourceKind::kLive;
    if (options.source_text.empty()) options.source_text = "--live";
  }
  if (options.command == Command::kRestore && options.restore_file.empty()) {
    throw UsageError("restore needs the .reg file to apply");
  }
}

}  // namespace

Options ParseArguments(const std::vector<std::string>& args) {
  Options options;
  if (args.empty()) throw UsageError("no command given");
  if (!ParseCommand(args, options)) return options;
  for (std::size_t i = 1; i < args.size(); ++i) ParseArgument(args, i, options);
  CheckCombination(options);
  return options;
}

LiveScope LiveScopeOf(const Options& options, bool local_system) {
  if (!options.user.empty()) return LiveScope::kOneUser;
  if (options.all_users || local_system) return LiveScope::kAllUsers;
  return LiveScope::kOwnUser;
}

}  // namespace torvane::cli
