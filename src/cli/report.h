// What a command found and did, and how it is shown: text for a person (the
// dialog's groups and report lines, in UTF-8) or one JSON object for scripts.
#pragma once

#include <array>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/change_stores.h"
#include "repair/catalogue.h"
#include "repair/engine.h"
#include "repair/repair_run.h"

namespace torvane::cli {

using registry::Change;

// kIgnored: named by --ignore; its state is not reported.
using State = repair::ItemState;

struct ProfileReport {
  std::optional<std::string> name;  // the folder's name: UTF-8 as a rule, any bytes at worst
  std::string problem;              // why the user part is undetermined (one line), or empty
  std::optional<std::string> sid;   // the user's SID, for live profiles
  std::array<State, repair::kItemCount> states{};
  // Machine items: what each registry view showed (kNotExamined: a view
  // the registry lacks, or an item of the user's hive alone).
  std::array<repair::ItemViews, repair::kItemCount> views{};
  // Undetermined items: the key that could not be read and why (UTF-8).
  std::array<std::string, repair::kItemCount> unread{};
  // Managed items: the policy that set their values.
  std::array<std::optional<registry::PolicyOrigin>, repair::kItemCount> policy{};
  bool ran = false;        // a repair run took place for this profile
  std::string message;     // the run's message text (GBK), as the dialog shows it
  std::vector<int> repaired, failed, still_damaged;
  std::vector<int> left_alone, domain_managed;  // managed items a repair did not change
  std::vector<std::string> policy_files;        // local policy files a repair changed
  std::vector<Change> changes;  // --dry-run: what it would change
  // What the registry calls this profile's user part (UTF-8), when it is not
  // HKEY_CURRENT_USER: HKEY_USERS\<SID> on a live machine.
  std::string user_root;
};

struct RunReport {
  std::string source;
  bool repair = false;
  bool dry_run = false;
  std::vector<ProfileReport> profiles;
};

void PrintText(const RunReport& report, bool colour, std::FILE* out);
void PrintJson(const RunReport& report, std::FILE* out);
void PrintList(std::FILE* out);

// A JSON string literal of a UTF-8 text; bytes that are not UTF-8 become
// U+FFFD, so the output is always valid UTF-8.
std::string JsonString(const std::string& utf8);

// A text from outside the program (a folder name, a file name, hive data)
// made safe for a terminal: control characters, bidirectional overrides and
// bytes that are not UTF-8 are written as \xNN or \uNNNN escapes.
std::string Printable(std::string_view utf8);

}  // namespace torvane::cli
