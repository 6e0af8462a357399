#include "cli/report.h"


#include "registry/codepage.h"
#include "registry/reg_file.h"

namespace torvane::cli {

using registry::GbkToUtf8;

namespace {

struct StateWords {
  const char* json;      // the JSON's "state"
  const char* terminal;  // the text report's column, one width for all
};

StateWords WordsOf(State state) {
  switch (state) {
    case State::kHealthy: return {"healthy", "ok          "};
    case State::kDamaged: return {"damaged", "DAMAGED     "};
    case State::kUndetermined: return {"undetermined", "undetermined"};
    case State::kIgnored: return {"ignored", "ignored     "};
    case State::kManaged: return {"managed", "managed     "};
  }
  return {"", ""};
}

const char* StateName(State state) { return WordsOf(state).json; }
const char* StateLabel(State state) { return WordsOf(state).terminal; }

// CR LF line ends of the program's texts become a terminal's LF.
std::string TerminalText(const std::string& gbk) {
  std::string text = GbkToUtf8(gbk);
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out.push_back(text[i]);
  }
  return out;
}

// Strict UTF-8, as JSON and a terminal want it: no lone surrogates.
std::size_t DecodeUtf8(std::string_view text, std::uint32_t* code) {
  return registry::DecodeUtf8(text, code, registry::Surrogates::kRefused);
}

bool IsValidUtf8(std::string_view text) {
  std::uint32_t code = 0;
  for (std::size_t at = 0, n = 0; at < text.size(); at += n) {
    if ((n = DecodeUtf8(text.substr(at), &code)) == 0) return false;
  }
  return true;
}

std::string Hex(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (char c : bytes) {
    out.push_back(kDigits[static_cast<unsigned char>(c) >> 4]);
    out.push_back(kDigits[static_cast<unsigned char>(c) & 15]);
  }
  return out;
}

// A text in quotes, '"' and '\\' escaped first, so that a control
// character's escape cannot be mistaken for the text.
std::string Quoted(const std::string& gbk) {
  std::string out;
  for (char c : GbkToUtf8(gbk)) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return "\"" + Printable(out) + "\"";
}

std::string DescribeValue(const registry::RegValue& value) {
  if (value.type == registry::kRegSz && !value.data.empty() && value.data.back() == 0) {
    return Quoted(std::string(value.data.begin(), value.data.end() - 1));
  }
  if (value.type == registry::kRegDword && value.data.size() == 4) {
    const std::uint32_t number = value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                                 static_cast<std::uint32_t>(value.data[3]) << 24;
    return "dword:" + std::to_string(number);
  }
  return "type " + std::to_string(value.type) + ", " + std::to_string(value.data.size()) + " bytes";
}

const char* ViewStateName(repair::ViewState state) {
  switch (state) {
    case repair::ViewState::kHealthy: return "healthy";
    case repair::ViewState::kDamaged: return "damaged";
    case repair::ViewState::kUndetermined: return "undetermined";
    case repair::ViewState::kNotExamined: break;
  }
  return nullptr;
}

constexpr const char* kViewNames[repair::kViewCount] = {"64", "32"};

// The views an item was examined in, as JSON members ("64": "healthy", ...).
std::string JsonViews(const repair::ItemViews& views) {
  std::string out;
  for (int v = 0; v < repair::kViewCount; ++v) {
    const char* state = ViewStateName(views[v]);
    if (state == nullptr) continue;
    out.append(out.empty() ? "" : ", ").append("\"").append(kViewNames[v]).append("\": \"").append(state).append("\"");
  }
  return out;
}

// " [64-bit: healthy, 32-bit: damaged]" for an item examined in a view.
std::string TextViews(const repair::ItemViews& views) {
  std::string out;
  for (int v = 0; v < repair::kViewCount; ++v) {
    const char* state = ViewStateName(views[v]);
    if (state == nullptr) continue;
    out.append(out.empty() ? " [" : ", ").append(kViewNames[v]).append("-bit: ").append(state);
  }
  return out.empty() ? out : out + "]";
}

std::string ValueName(const std::string& name) { return name.empty() ? "(default)" : Quoted(name); }

// A changed key's full name (UTF-8), under the profile's own user root.
std::string ChangedKey(const Change& change, const std::string& user_root) {
  if (change.root != registry::kCurrentUser || user_root.empty()) {
    return GbkToUtf8(registry::RegKeyName(change.root, change.path));
  }
  return change.path.empty() ? user_root : user_root + "\\" + GbkToUtf8(change.path);
}

void PrintChange(const Change& change, const std::string& user_root, std::FILE* out) {
  const std::string key = Printable(ChangedKey(change, user_root));
  switch (change.kind) {
    case Change::Kind::kSetValue:
      std::fprintf(out, "  set    %s %s = %s (was %s)\n", key.c_str(), ValueName(change.value.name).c_str(),
                   DescribeValue(change.value).c_str(),
                   change.old_value ? DescribeValue(*change.old_value).c_str() : "absent");
      break;
    case Change::Kind::kDeleteValue:
      std::fprintf(out, "  delete %s %s\n", key.c_str(), ValueName(change.value.name).c_str());
      break;
    case Change::Kind::kDeleteKey:
      std::fprintf(out, change.link ? "  delete link %s (what it points at stays)\n" : "  delete key %s\n",
                   key.c_str());
      break;
    case Change::Kind::kCreateKey:
      std::fprintf(out, "  create key %s\n", key.c_str());
      break;
  }
}

// A change of a dry run as a JSON object.
std::string JsonChange(const Change& change, const std::string& user_root) {
  static const char* const kKinds[] = {"set value", "delete value", "delete key", "create key"};
  std::string out = "{\"change\": \"";
  out += change.kind == Change::Kind::kDeleteKey && change.link ? "delete link" : kKinds[static_cast<int>(change.kind)];
  out += "\", \"key\": " + JsonString(ChangedKey(change, user_root));
  const bool of_key = change.kind == Change::Kind::kDeleteKey || change.kind == Change::Kind::kCreateKey;
  if (!of_key) out += ", \"name\": " + JsonString(GbkToUtf8(change.value.name));
  if (change.kind == Change::Kind::kSetValue) out += ", \"value\": " + JsonString(DescribeValue(change.value));
  return out + "}";
}

void PrintItemList(const std::vector<int>& items, const std::optional<std::string>& profile,
                   bool& first, std::FILE* out) {
  for (int index : items) {
    std::fprintf(out, "%s{\"profile\": %s, \"index\": %d, \"name\": %s}", first ? "" : ", ",
                 profile ? JsonString(*profile).c_str() : "null", index,
                 JsonString(GbkToUtf8(repair::Item(index).name)).c_str());
    first = false;
  }
}

}  // namespace

std::string JsonString(const std::string& utf8) {
  std::string out = "\"";
  std::uint32_t code = 0;
  for (std::size_t at = 0, n = 0; at < utf8.size(); at += n) {
    n = DecodeUtf8(std::string_view(utf8).substr(at), &code);
    if (n == 0) {
      out.append("\xEF\xBF\xBD");  // U+FFFD
      n = 1;
    } else if (code == '"' || code == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(code));
    } else if (code < 0x20 || code == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", code);
      out.append(escaped);
    } else {
      out.append(utf8, at, n);
    }
  }
  return out + "\"";
}

std::string Printable(std::string_view utf8) {
  std::string out;
  std::uint32_t code = 0;
  for (std::size_t at = 0, n = 0; at < utf8.size(); at += n) {
    n = DecodeUtf8(utf8.substr(at), &code);
    char escaped[16];
    if (n == 0) {
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(utf8[at]));
      out.append(escaped);
      n = 1;
    } else if (code < 0x20 || (code >= 0x7F && code < 0xA0) || code == 0x2028 || code == 0x2029 ||
               (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069)) {
      std::snprintf(escaped, sizeof escaped, code < 0x100 ? "\\x%02x" : "\\u%04x", code);
      out.append(escaped);
    } else {
      out.append(utf8.substr(at, n));
    }
  }
  return out;
}

namespace {
// " (KEY: why)" after an item whose place could not be read.
std::string UnreadText(const std::string& unread) {
  return unread.empty() ? std::string() : " (" + Printable(unread) + ")";
}

// " (set by ...)" after a managed item.
std::string PolicyText(const std::optional<registry::PolicyOrigin>& policy) {
  if (!policy) return {};
  return " (set by " + policy->scope + " policy \"" + Printable(policy->name) + "\", " + Printable(policy->file) +
         (policy->owner_checked ? "" : "; the file's owner was not checked") + ")";
}

std::string JsonPolicy(const registry::PolicyOrigin& policy) {
  return "{\"scope\": " + JsonString(policy.scope) + ", \"name\": " + JsonString(policy.name) +
         ", \"file\": " + JsonString(policy.file) + ", \"owner_checked\": " +
         (policy.owner_checked ? "true" : "false") + "}";
}
}  // namespace

void PrintText(const RunReport& report, bool colour, std::FILE* out) {
  for (const ProfileReport& profile : report.profiles) {
    if (profile.name && profile.sid && *profile.sid != *profile.name) {
      std::fprintf(out, "== %s (%s) ==\n", Printable(*profile.name).c_str(), profile.sid->c_str());
    } else if (profile.name) {
      std::fprintf(out, "== %s ==\n", Printable(*profile.name).c_str());
    }
    if (!profile.problem.empty()) std::fprintf(out, "undetermined: %s\n", Printable(profile.problem).c_str());
    if (report.repair) {
      if (report.dry_run) {
        std::fprintf(out, "%s\n", profile.changes.empty() ? "Would change nothing." : "Would change:");
        for (const Change& change : profile.changes) PrintChange(change, profile.user_root, out);
        for (const std::string& file : profile.policy_files) {
          std::fprintf(out, "  take the values out of the local policy %s, and raise its version\n",
                       Printable(file).c_str());
        }
      }
      if (profile.ran) {
        std::string text = TerminalText(profile.message);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        std::fprintf(out, "%s\n", text.c_str());
      }
      for (const std::string& file : report.dry_run ? std::vector<std::string>() : profile.policy_files) {
        std::fprintf(out, "taken out of the local policy too: %s\n", Printable(file).c_str());
      }
      for (int index : profile.left_alone) {
        std::fprintf(out, "left alone: %2d %s%s\n", index, GbkToUtf8(repair::Item(index).name).c_str(),
                     PolicyText(profile.policy[index]).c_str());
      }
      for (int index : profile.domain_managed) {
        std::fprintf(out, "not repaired: %2d %s%s: the next policy refresh would set it again; the fix belongs in "
                          "the policy object\n",
                     index, GbkToUtf8(repair::Item(index).name).c_str(), PolicyText(profile.policy[index]).c_str());
      }
      for (int index : profile.still_damaged) {
        if (std::find(profile.domain_managed.begin(), profile.domain_managed.end(), index) !=
            profile.domain_managed.end()) {
          continue;
        }
        std::fprintf(out, "%s%s: %2d %s%s%s\n", colour ? "\033[31m" : "",
                     profile.states[index] == State::kUndetermined ? "undetermined" : "still damaged", index,
                     GbkToUtf8(repair::Item(index).name).c_str(), UnreadText(profile.unread[index]).c_str(),
                     colour ? "\033[0m" : "");
      }
      continue;
    }
    for (int group = 0; group < repair::kGroupCount; ++group) {
      std::fprintf(out, "%s\n", GbkToUtf8(repair::Group(group).label).c_str());
      for (int i = 0; i < repair::kItemCount; ++i) {
        if (repair::GroupOf(i) != group) continue;
        const bool damaged = profile.states[i] == State::kDamaged || !profile.unread[i].empty();
        std::fprintf(out, "  %s%2d %s %s%s%s%s\n", colour && damaged ? "\033[31m" : "", i, StateLabel(profile.states[i]),
                     GbkToUtf8(repair::Item(i).name).c_str(), TextViews(profile.views[i]).c_str(),
                     (UnreadText(profile.unread[i]) + PolicyText(profile.policy[i])).c_str(),
                     colour && damaged ? "\033[0m" : "");
      }
    }
  }
}

void PrintJson(const RunReport& report, std::FILE* out) {
  // A dry run says so: its states and lists are what the run would give.
  std::fprintf(out, "{\"source\": %s, %s\"profiles\": [", JsonString(report.source).c_str(),
               report.dry_run ? "\"dry_run\": true, " : "");
  for (std::size_t p = 0; p < report.profiles.size(); ++p) {
    const ProfileReport& profile = report.profiles[p];
    std::fprintf(out, "%s{\"profile\": %s, ", p == 0 ? "" : ", ",
                 profile.name ? JsonString(*profile.name).c_str() : "null");
    // A folder name that is no UTF-8 is shown with U+FFFD; its bytes follow.
    if (profile.name && !IsValidUtf8(*profile.name)) {
      std::fprintf(out, "\"profile_bytes\": \"%s\", ", Hex(*profile.name).c_str());
    }
    std::fprintf(out, "\"sid\": %s, ", profile.sid ? JsonString(*profile.sid).c_str() : "null");
    if (!profile.problem.empty()) std::fprintf(out, "\"problem\": %s, ", JsonString(profile.problem).c_str());
    std::fprintf(out, "\"items\": [");
    for (int i = 0; i < repair::kItemCount; ++i) {
      std::fprintf(out, "%s{\"index\": %d, \"group\": \"%s\", \"name\": %s, \"state\": \"%s\"", i == 0 ? "" : ", ",
                   i, repair::Group(repair::GroupOf(i)).key,
                   JsonString(GbkToUtf8(repair::Item(i).name)).c_str(), StateName(profile.states[i]));
      if (repair::HivesTouched(i) & repair::kTouchesLocalMachine) {
        std::fprintf(out, ", \"views\": {%s}", JsonViews(profile.views[i]).c_str());
      }
      if (!profile.unread[i].empty()) std::fprintf(out, ", \"unread\": %s", JsonString(profile.unread[i]).c_str());
      if (profile.policy[i]) std::fprintf(out, ", \"policy\": %s", JsonPolicy(*profile.policy[i]).c_str());
      std::fprintf(out, "}");
    }
    std::fprintf(out, "]");
    if (!profile.policy_files.empty()) {
      std::fprintf(out, ", \"policy_files_changed\": [");
      for (std::size_t f = 0; f < profile.policy_files.size(); ++f) {
        std::fprintf(out, "%s%s", f == 0 ? "" : ", ", JsonString(profile.policy_files[f]).c_str());
      }
      std::fprintf(out, "]");
    }
    if (report.dry_run) {
      std::fprintf(out, ", \"would_change\": [");
      for (std::size_t c = 0; c < profile.changes.size(); ++c) {
        std::fprintf(out, "%s%s", c == 0 ? "" : ", ", JsonChange(profile.changes[c], profile.user_root).c_str());
      }
      std::fprintf(out, "]");
    }
    std::fprintf(out, "}");
  }
  std::fprintf(out, "], \"repaired\": [");
  bool first = true;
  for (const ProfileReport& profile : report.profiles) PrintItemList(profile.repaired, profile.name, first, out);
  std::fprintf(out, "], \"failed\": [");
  first = true;
  for (const ProfileReport& profile : report.profiles) PrintItemList(profile.failed, profile.name, first, out);
  if (report.repair) {
    std::fprintf(out, "], \"left_alone\": [");
    first = true;
    for (const ProfileReport& profile : report.profiles) PrintItemList(profile.left_alone, profile.name, first, out);
  }
  std::fprintf(out, "]}\n");
}

void PrintList(std::FILE* out) {
  for (int i = 0; i < repair::kItemCount; ++i) {
    const repair::RepairItem& item = repair::Item(i);
    std::fprintf(out, "%2d  %-6s  %s\n", i, repair::Group(item.group).key,
                 GbkToUtf8(item.name).c_str());
    if (repair::HivesTouched(i) & repair::kTouchesLocalMachine) {
      std::fprintf(out, "      views: 64-bit, and 32-bit (HKLM\\SOFTWARE\\Wow6432Node) on 64-bit Windows%s\n",
                   repair::HivesTouched(i) & repair::kTouchesCurrentUser ? "; the user's policy: one view" : "");
    }
    // The description starts with its own blank lines; indent what it says.
    std::string text = TerminalText(item.description);
    std::string line;
    for (std::size_t at = 0; at <= text.size(); ++at) {
      if (at == text.size() || text[at] == '\n') {
        if (!line.empty()) std::fprintf(out, "      %s\n", line.c_str());
        line.clear();
      } else {
        line.push_back(text[at]);
      }
    }
  }
}

}  // namespace torvane::cli
