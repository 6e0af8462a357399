#include "support/hive_diff.h"

#include <hivex.h>
#include <sys/wait.h>

#include <cstdint>
#include <cctype>
#include <cstdlib>
#include <cstdio>
#include <iterator>
#include <type_traits>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <vector>

#include "registry/hive_store.h"
#include "registry/regf_reader.h"
#include "registry/utf.h"

namespace torvane::testing {

namespace {

using registry::HiveError;
using registry::HiveFile;
using registry::HiveStore;
using registry::RegTree;

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool Printable(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

// A name as regfexport shows it: up to its first NUL.
std::string Shown(const std::string& name) { return name.substr(0, name.find('\0')); }

// One line a key and one a value, paths from the root key's name on; with
// `sizes_only`, as regfexport shows them.
void Flatten(const RegTree& tree, const std::string& path, bool sizes_only, std::set<std::string>* out) {
  out->insert("K " + path);
  for (const auto& value : tree.values) {
    // regfexport shows the default value's empty name so.
    const std::string name = !sizes_only ? value.name : value.name.empty() ? "(default)" : Shown(value.name);
    // regfexport counts a text's size its own way (a missing terminator added).
    const bool text = value.type == 1 || value.type == 2 || value.type == 7;
    std::string line = "V " + path + "|" + name + "|" + (sizes_only && text ? "text" : std::to_string(value.data.size()));
    if (!sizes_only) line += "|" + std::to_string(value.type) + "|" + std::string(value.data.begin(), value.data.end());
    out->insert(line);
  }
  for (const RegTree& child : tree.children) {
    // regfexport names a key below a root shown without a name from there.
    const std::string parent = sizes_only && path.empty() ? path : path + "\\";
    Flatten(child, parent + (sizes_only ? Shown(child.name) : child.name), sizes_only, out);
  }
}

// What `reader` (a command and its options) lists of the hive `file`;
// nullopt when it fails. Through a file, not a pipe: a read the fuzzer's
// timer interrupts would take another path through this code on each run,
// and the seeded smoke run would no longer try the same inputs every time.
std::optional<std::string> Listing(const std::string& reader, const std::string& file) {
  const std::string listing = file + ".listing";
  const int status = std::system((reader + " '" + file + "' >'" + listing + "' 2>/dev/null").c_str());
  std::string text = Read(listing);
  std::remove(listing.c_str());
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return text;
}

// The keys and values regfexport lists whose paths and names are printable
// ASCII (how it shows others is its own affair); false when it fails.
bool Regfexport(const std::string& file, std::set<std::string>* out) {
  const auto text = Listing("regfexport", file);
  if (!text) return false;
  std::istringstream lines(*text);
  std::string line, path, value;
  // A name with a line break runs on over the next lines: a key's path
  // ends at its "Key: " line, a value's name at its "Type: " line.
  bool in_path = false, in_name = false, in_value = false, is_text = false;
  while (std::getline(lines, line)) {
    if (in_path && line.rfind("Key: ", 0) != 0) {
      path += "\n" + line;
      continue;
    }
    if (in_name && line.rfind("Type: ", 0) != 0) {
      value += "\n" + line;
      continue;
    }
    if (in_path) {
      in_path = false;
      if (Printable(path)) out->insert("K " + path);
    }
    in_name = false;
    if (line.rfind("Key path: ", 0) == 0) {
      path = line.substr(10);
      in_path = true;
      in_value = false;
    } else if (line.rfind("Value: ", 0) == 0) {
      const std::size_t space = line.find(' ', 7);
      value = space == std::string::npos ? std::string() : line.substr(space + 1);
      in_value = in_name = true;
    } else if (in_value && line.rfind("Type: ", 0) == 0) {
      is_text = line.find("(REG_SZ)") != std::string::npos || line.find("(REG_EXPAND_SZ)") != std::string::npos ||
             line.find("(REG_MULTI_SZ)") != std::string::npos;
    } else if (in_value && line.rfind("Data size: ", 0) == 0) {
      if (Printable(path) && Printable(value)) {
        out->insert("V " + path + "|" + value + "|" + (is_text ? std::string("text") : line.substr(11)));
      }
      in_value = false;
    }
  }
  return true;
}

std::set<std::string> PrintableOnly(const std::set<std::string>& lines) {
  std::set<std::string> kept;
  for (const std::string& line : lines) {
    if (Printable(line)) kept.insert(line);
  }
  return kept;
}

std::string FirstDifference(const std::set<std::string>& a, const std::set<std::string>& b) {
  for (const std::string& line : a) {
    if (b.count(line) == 0) return "only in the first: " + line;
  }
  for (const std::string& line : b) {
    if (a.count(line) == 0) return "only in the second: " + line;
  }
  return {};
}

std::string Hex(const void* data, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  const auto* p = static_cast<const unsigned char*>(data);
  std::string text;
  text.reserve(2 * size);
  for (std::size_t i = 0; i < size; ++i) {
    text += kDigits[p[i] >> 4];
    text += kDigits[p[i] & 15];
  }
  return text;
}

// One line a key and one a value, each value with its type and its data in
// hex; paths below the root, which is the empty path.
void FlattenExact(const RegTree& tree, const std::string& path, std::set<std::string>* out) {
  out->insert("K " + path);
  for (const auto& value : tree.values) {
    out->insert("V " + path + "|" + value.name + "|" + std::to_string(value.type) + "|" +
                Hex(value.data.data(), value.data.size()));
  }
  for (const RegTree& child : tree.children) FlattenExact(child, path + "\\" + child.name, out);
}

// reglookup's names for the types it knows.
std::string RegfiType(std::uint32_t type) {
  static const char* const kNames[] = {"NONE",     "SZ",        "EXPAND_SZ",     "BINARY",
                                       "DWORD",    "DWORD_BE",  "LINK",          "MULTI_SZ",
                                       "RSRC_LIST", "RSRC_DESC", "RSRC_REQ_LIST", "QWORD"};
  if (type < std::size(kNames)) return kNames[type];
  char text[16];
  std::snprintf(text, sizeof text, "0x%.8X", type);
  return text;
}

// One line a key and one a value with its type, as reglookup shows them.
void FlattenTypes(const RegTree& tree, const std::string& path, std::set<std::string>* out) {
  out->insert("K " + path);
  for (const auto& value : tree.values) out->insert("V " + path + "|" + value.name + "|" + RegfiType(value.type));
  for (const RegTree& child : tree.children) FlattenTypes(child, path + "\\" + child.name, out);
}

// The keys and values hivex's library reads, as FlattenExact writes them;
// false when it cannot open the file or read any part of it.
bool Hivex(const std::string& file, std::set<std::string>* out) {
  hive_h* h = hivex_open(file.c_str(), 0);
  if (h == nullptr) return false;
  std::unique_ptr<hive_h, int (*)(hive_h*)> closer(h, hivex_close);
  const auto owned = [](auto* p) { return std::unique_ptr<std::remove_pointer_t<decltype(p)>, void (*)(void*)>(p, std::free); };
  int budget = 100000;  // the store read this hive whole; a loop would not end here
  std::function<bool(hive_node_h, const std::string&, int)> walk = [&](hive_node_h node, const std::string& path,
                                                                         int depth) {
    if (depth > 512 || --budget < 0) return false;
    out->insert("K " + path);
    auto values = owned(hivex_node_values(h, node));
    if (!values) return false;
    for (hive_value_h* v = values.get(); *v != 0; ++v) {
      auto name = owned(hivex_value_key(h, *v));
      // Any number: read as one, not as hivex's enumeration of the types.
      std::uint32_t type = 0;
      std::size_t size = 0;
      auto data = owned(hivex_value_value(h, *v, reinterpret_cast<hive_type*>(&type), &size));
      if (!name || !data) return false;
      out->insert("V " + path + "|" + name.get() + "|" + std::to_string(type) + "|" + Hex(data.get(), size));
    }
    auto children = owned(hivex_node_children(h, node));
    if (!children) return false;
    for (hive_node_h* child = children.get(); *child != 0; ++child) {
      auto name = owned(hivex_node_name(h, *child));
      if (!name || !walk(*child, path + "\\" + name.get(), depth + 1)) return false;
    }
    return true;
  };
  return walk(hivex_root(h), "", 0);
}

// A name as reglookup writes it, its %XX escapes undone.
std::string Unescaped(const std::string& text) {
  std::string plain;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      plain += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      plain += text[i];
    }
  }
  return plain;
}

// The keys and values reglookup lists whose paths and names are printable
// ASCII, as FlattenTypes writes them; false when it fails. Its lines are
// "PATH,TYPE,VALUE,MTIME", a value's path its key's, a slash and its name,
// with the slashes, commas and other characters of names escaped as %XX.
bool Reglookup(const std::string& file, std::set<std::string>* out) {
  const auto text = Listing("reglookup -H", file);
  if (!text) return false;
  std::istringstream lines(*text);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t comma = line.find(',');
    const std::size_t end = comma == std::string::npos ? comma : line.find(',', comma + 1);
    if (end == std::string::npos || line.empty() || line[0] != '/') continue;
    const std::string type = line.substr(comma + 1, end - comma - 1);
    std::string path = line.substr(0, comma);
    std::string name;
    if (type != "KEY") {
      const std::size_t slash = path.rfind('/');
      name = Unescaped(path.substr(slash + 1));
      path.erase(slash);
    }
    std::string key;
    std::size_t from = 1;
    while (from < path.size()) {
      std::size_t slash = path.find('/', from);
      if (slash == std::string::npos) slash = path.size();
      key += "\\" + Unescaped(path.substr(from, slash - from));
      from = slash + 1;
    }
    const std::string entry = type == "KEY" ? "K " + key : "V " + key + "|" + name + "|" + type;
    if (Printable(entry)) out->insert(entry);
  }
  return true;
}

// A key a path reaches from the root: every name on the way non-empty,
// without a backslash, no link, and alone among its siblings as names
// compare (which of two a walk takes is not known).
struct Reached {
  std::vector<std::string> parts;
  const RegTree* key;
};

void Reachable(const RegTree& tree, std::vector<std::string>* parts, std::vector<Reached>* out) {
  out->push_back({*parts, &tree});
  std::map<std::string, int> folded;
  for (const RegTree& child : tree.children) ++folded[registry::FoldUtf8(child.name)];
  for (const RegTree& child : tree.children) {
    if (child.name.empty() || child.name.find('\\') != std::string::npos || child.link ||
        folded[registry::FoldUtf8(child.name)] != 1) {
      continue;
    }
    parts->push_back(child.name);
    Reachable(child, parts, out);
    parts->pop_back();
  }
}

std::string Joined(const std::vector<std::string>& parts) {
  std::string path;
  for (const std::string& part : parts) path += (path.empty() ? "" : "\\") + part;
  return path;
}

RegTree* Find(RegTree* tree, const std::vector<std::string>& parts) {
  for (const std::string& part : parts) {
    RegTree* next = nullptr;
    for (RegTree& child : tree->children) {
      if (child.name == part) next = &child;
    }
    if (next == nullptr) return nullptr;
    tree = next;
  }
  return tree;
}

// The names of `values` that no other value's name equals as names compare.
std::vector<std::string> LoneNames(const std::vector<registry::RegValue>& values) {
  std::map<std::string, int> folded;
  for (const auto& value : values) ++folded[registry::FoldUtf8(value.name)];
  std::vector<std::string> names;
  for (const auto& value : values) {
    if (folded[registry::FoldUtf8(value.name)] == 1) names.push_back(value.name);
  }
  return names;
}

// Sets `value` in the model's key at `parts` (the key made when missing).
void ModelSet(RegTree* model, std::vector<std::string> parts, const registry::RegValue& value) {
  RegTree* key = Find(model, parts);
  if (key == nullptr) {
    const std::string last = parts.back();
    parts.pop_back();
    RegTree* parent = Find(model, parts);
    parent->children.push_back(RegTree{last, {}, {}, false});
    key = &parent->children.back();
  }
  for (auto& old : key->values) {
    if (registry::Utf8NamesEqual(old.name, value.name)) {
      old.type = value.type;
      old.data = value.data;
      return;
    }
  }
  key->values.push_back(value);
}

// A change made through the store's RegTarget operations, chosen by `seed`
// among the keys a path reaches, and made on `model` as far as the store
// takes it: a value set (an existing one overwritten, or a new one; one
// time in four longer than a hive keeps in one cell from version 1.4 on), a
// value deleted, a key added with a value, and last a key deleted with
// everything below it. Whether the store took any of it.
bool ChangeThrough(HiveStore& store, std::uint32_t seed, RegTree* model) {
  std::vector<Reached> keys;
  std::vector<std::string> parts;
  Reachable(*model, &parts, &keys);
  // The model changes below: what the store read stays in `paths`.
  std::vector<std::vector<std::string>> paths;
  std::vector<std::vector<std::string>> lone;
  for (const Reached& key : keys) {
    paths.push_back(key.parts);
    lone.push_back(LoneNames(key.key->values));
  }
  const auto pick = [&](std::size_t count) { return count == 0 ? 0 : (seed = seed * 1103515245u + 12345u) % count; };
  bool changed = false;

  std::size_t at = pick(paths.size());
  registry::RegValue value{"TorvaneDiff", registry::kRegBinary, {}, true};
  if (!lone[at].empty() && pick(2) == 0) value.name = lone[at][pick(lone[at].size())];
  value.data.resize(pick(4) == 0 ? 20000 : 4);
  for (std::size_t i = 0; i < value.data.size(); ++i) value.data[i] = static_cast<std::uint8_t>(i * 7 + seed);
  if (store.SetValue(registry::kCurrentUser, Joined(paths[at]), value)) {
    ModelSet(model, paths[at], value);
    changed = true;
  }

  at = pick(paths.size());
  if (!lone[at].empty()) {
    const std::string name = lone[at][pick(lone[at].size())];
    if (store.DeleteValue(registry::kCurrentUser, Joined(paths[at]), name)) {
      auto& values = Find(model, paths[at])->values;
      for (auto it = values.begin(); it != values.end(); ++it) {
        if (it->name == name) {
          values.erase(it);
          changed = true;
          break;
        }
      }
    }
  }

  at = pick(paths.size());
  const std::string added = "TorvaneDiffKey";
  const RegTree* parent = Find(model, paths[at]);
  bool taken = false;
  for (const RegTree& child : parent->children) taken = taken || registry::Utf8NamesEqual(child.name, added);
  if (!taken) {
    std::vector<std::string> place = paths[at];
    place.push_back(added);
    const registry::RegValue mark{"", registry::kRegDword, {1, 2, 3, 4}, true};
    if (store.SetValue(registry::kCurrentUser, Joined(place), mark)) {
      ModelSet(model, place, mark);
      changed = true;
    }
  }

  if (paths.size() > 1) {
    at = 1 + pick(paths.size() - 1);
    if (store.DeleteTree(registry::kCurrentUser, Joined(paths[at]))) {
      std::vector<std::string> up = paths[at];
      up.pop_back();
      auto& children = Find(model, up)->children;
      for (auto it = children.begin(); it != children.end(); ++it) {
        if (it->name == paths[at].back()) {
          children.erase(it);
          changed = true;
          break;
        }
      }
    }
  }
  return changed;
}

std::uint32_t Hash(const std::string& bytes) {
  std::uint32_t hash = 2166136261u;
  for (char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  return hash;
}

// The whole hive as the store reads it (the user root is the file's root);
// false when any of it cannot be read.
bool WholeTree(const std::string& file, RegTree* tree) {
  HiveStore store(nullptr, HiveFile::Open(file, false));
  auto read = store.ReadTree(registry::kCurrentUser, "");
  if (!read) return false;
  *tree = std::move(*read);
  return true;
}

}  // namespace

bool HaveRegfexport() {
  static const bool have = std::system("regfexport -V >/dev/null 2>&1") == 0;
  return have;
}

bool HaveReglookup() {
  static const bool have = std::system("command -v reglookup >/dev/null 2>&1") == 0;
  return have;
}

std::string HiveReadingsDisagree(const std::string& bytes, const std::string& folder) {
  const std::string file = folder + "/hive";
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
  RegTree before;
  bool whole = false;
  std::string root;
  try {
    whole = WholeTree(file, &before);
    auto hive = HiveFile::Open(file, false);
    root = hive->reader().Utf8Name(hive->reader().root());
  } catch (const HiveError&) {
    return {};  // not read at all: nothing is called healthy
  }
  try {
    auto hive = HiveFile::Open(file, true);
    registry::FileSet set;
    hive->Prepare(set);
    set.Commit();
  } catch (const std::exception&) {
    return Read(file) == bytes ? std::string() : "a refused commit changed the file";
  }
  if (!whole) return "a hive not read whole was committed";
  RegTree after;
  try {
    if (!WholeTree(file, &after)) return "the committed hive is not read whole";
  } catch (const HiveError& error) {
    return std::string("the committed hive does not open: ") + error.what();
  }
  std::set<std::string> mine, again;
  Flatten(before, root, false, &mine);
  Flatten(after, root, false, &again);
  if (std::string difference = FirstDifference(mine, again); !difference.empty()) {
    return "the no-op commit changed the tree: " + difference;
  }
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
  if (HaveRegfexport()) {
    std::set<std::string> theirs, sizes;
    if (!Regfexport(file, &theirs)) return "the store changes a hive libregf cannot read";
    Flatten(before, Shown(root), true, &sizes);
    if (std::string difference = FirstDifference(PrintableOnly(sizes), theirs); !difference.empty()) {
      return "the store and libregf disagree: " + difference;
    }
  }

  // Then a change committed. hivex and reglookup judge the result when they
  // read the hive as it was as the store did (where they differ from it on
  // a hive, they do not say what the store should have written).
  std::set<std::string> exact, typed, by_hivex, by_reglookup;
  FlattenExact(before, "", &exact);
  FlattenTypes(before, "", &typed);
  const bool hivex_judges = Hivex(file, &by_hivex) && PrintableOnly(by_hivex) == PrintableOnly(exact);
  const bool reglookup_judges = HaveReglookup() && Reglookup(file, &by_reglookup) && by_reglookup == PrintableOnly(typed);
  RegTree model = before;
  try {
    auto hive = HiveFile::Open(file, true);
    HiveStore store(nullptr, hive);
    if (!ChangeThrough(store, Hash(bytes), &model)) return {};
    hive->Commit();
  } catch (const HiveError&) {
    return Read(file) == bytes ? std::string() : "a refused change changed the file";
  }
  RegTree changed;
  try {
    if (!WholeTree(file, &changed)) return "the changed hive is not read whole";
  } catch (const HiveError& error) {
    return std::string("the changed hive does not open: ") + error.what();
  }
  std::set<std::string> expected, written;
  FlattenExact(model, "", &expected);
  FlattenExact(changed, "", &written);
  if (std::string difference = FirstDifference(expected, written); !difference.empty()) {
    return "the committed change reads back otherwise: " + difference;
  }
  if (HaveRegfexport()) {
    std::set<std::string> theirs, sizes;
    if (!Regfexport(file, &theirs)) return "libregf cannot read the changed hive";
    Flatten(changed, Shown(root), true, &sizes);
    if (std::string difference = FirstDifference(PrintableOnly(sizes), theirs); !difference.empty()) {
      return "the store and libregf disagree on the changed hive: " + difference;
    }
  }
  if (hivex_judges) {
    std::set<std::string> theirs;
    if (!Hivex(file, &theirs)) return "hivex cannot read the changed hive";
    if (std::string difference = FirstDifference(PrintableOnly(written), PrintableOnly(theirs)); !difference.empty()) {
      return "the store and hivex disagree on the changed hive: " + difference;
    }
  }
  if (reglookup_judges) {
    std::set<std::string> theirs, types;
    if (!Reglookup(file, &theirs)) return "reglookup cannot read the changed hive";
    FlattenTypes(changed, "", &types);
    if (std::string difference = FirstDifference(PrintableOnly(types), theirs); !difference.empty()) {
      return "the store and reglookup disagree on the changed hive: " + difference;
    }
  }
  return {};
}

}  // namespace torvane::testing
