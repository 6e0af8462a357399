#include "support/hive_diff.h"

#include <sys/wait.h>

#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include "registry/hive_store.h"
#include "registry/regf_reader.h"

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

// The keys and values regfexport lists whose paths and names are printable
// ASCII (how it shows others is its own affair); false when it fails.
bool Regfexport(const std::string& file, std::set<std::string>* out) {
  // Through a file, not a pipe: a read the fuzzer's timer interrupts would
  // take another path through this code on each run, and the seeded smoke
  // run would no longer try the same inputs every time.
  const std::string listing = file + ".regfexport";
  const int status = std::system(("regfexport '" + file + "' >'" + listing + "' 2>/dev/null").c_str());
  const std::string text = Read(listing);
  std::remove(listing.c_str());
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
  std::istringstream lines(text);
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

bool HaveRegfexport() { return std::system("regfexport -V >/dev/null 2>&1") == 0; }

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
  if (!HaveRegfexport()) return {};
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
  std::set<std::string> theirs, sizes;
  if (!Regfexport(file, &theirs)) return "the store changes a hive libregf cannot read";
  Flatten(before, Shown(root), true, &sizes);
  if (std::string difference = FirstDifference(PrintableOnly(sizes), theirs); !difference.empty()) {
    return "the store and libregf disagree: " + difference;
  }
  return {};
}

}  // namespace torvane::testing
