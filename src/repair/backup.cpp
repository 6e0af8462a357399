#include "repair/backup.h"

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <unordered_set>

#include "registry/file_io.h"
#include "registry/names.h"
#include "registry/owned.h"
#include "registry/reg_tree.h"
#include "registry/utf.h"

namespace torvane::repair {

using registry::HKey;
using registry::RegEntry;
using registry::RegFile;
using registry::RegFormat;
using registry::RegTarget;
using registry::RegValue;

WrittenFile WriteNewFile(const registry::FilePlace& place, const std::string& bytes) {
  const std::string& path = place.path();
  try {
    registry::FileSet set;
    set.AddNew(place, bytes);
    set.Commit();
  } catch (const registry::FileError& error) {
    // The file set's reasons name the path first.
    std::string reason = error.what();
    if (reason.rfind(path + ": ", 0) == 0) reason.erase(0, path.size() + 2);
    throw BackupError(path + ": cannot write the backup: " + reason + "; nothing was changed");
  }
  WrittenFile made_file{path};
  if (place.folder()) {
    const registry::EntryInfo made = place.folder()->Entry(place.name());
    made_file.device = made.id.volume;
    made_file.number = made.id.number;
  }
  return made_file;
}

bool RemoveWritten(const WrittenFile& file) {
  return file.number != 0 && registry::RemoveIfSame(registry::FilePlace(file.path), {file.device, file.number});
}

namespace {

// A step that puts back what one statement replaced.
using Undo = std::function<bool()>;

// Keys known to exist, so that a long run of statements below one key does
// not list its parent's subkeys again for each of them.
class KnownKeys {
 public:
  bool Has(const RegTarget* target, HKey root, const std::string& path) const {
    return keys_.count(Id(target, root, path)) != 0;
  }
  void Add(const RegTarget* target, HKey root, const std::string& path) {
    std::string prefix;
    for (const std::string& part : registry::SplitUtf8Path(path)) {
      const std::string parent = Id(target, root, prefix);
      prefix = registry::ChildPath(prefix, part);
      keys_.insert(Id(target, root, prefix));
      if (const auto listed = children_.find(parent); listed != children_.end()) {
        listed->second.insert(registry::FoldUtf8(part));
      }
    }
  }
  // `path` was created by this run of statements: undoing that (deleting
  // it) undoes whatever is then set below it too.
  void NoteCreated(const RegTarget* target, HKey root, const std::string& path) {
    created_.insert(Id(target, root, path));
  }
  bool InsideCreated(const RegTarget* target, HKey root, const std::string& path) const {
    std::string id = Id(target, root, "");
    if (created_.count(id) != 0) return true;
    for (const std::string& part : registry::SplitUtf8Path(path)) {
      id += "\\" + registry::FoldUtf8(part);
      if (created_.count(id) != 0) return true;
    }
    return false;
  }
  // Forgets `path` and everything below it.
  void Remove(const RegTarget* target, HKey root, const std::string& path) {
    const std::string id = Id(target, root, path);
    for (auto it = created_.lower_bound(id); it != created_.end() && it->compare(0, id.size(), id) == 0;) {
      const bool below = it->size() == id.size() || (*it)[id.size()] == '\\';
      it = below ? created_.erase(it) : std::next(it);
    }
    for (auto it = keys_.lower_bound(id); it != keys_.end() && it->compare(0, id.size(), id) == 0;) {
      const bool below = it->size() == id.size() || (*it)[id.size()] == '\\';
      it = below ? keys_.erase(it) : std::next(it);
    }
    for (auto it = children_.lower_bound(id); it != children_.end() && it->first.compare(0, id.size(), id) == 0;) {
      const bool below = it->first.size() == id.size() || it->first[id.size()] == '\\';
      it = below ? children_.erase(it) : std::next(it);
    }
    const auto parts = registry::SplitUtf8Path(path);
    if (parts.empty()) return;
    std::string parent;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) parent = registry::ChildPath(parent, parts[i]);
    if (const auto listed = children_.find(Id(target, root, parent)); listed != children_.end()) {
      listed->second.erase(registry::FoldUtf8(parts.back()));
    }
  }
  // The folded names of the subkeys of `parent`, listed once and then kept
  // as the restore creates and deletes keys (a restore of many keys below
  // one would otherwise list it again for each); null when it cannot be read.
  const std::unordered_set<std::string>* Children(RegTarget& target, HKey root, const std::string& parent) {
    const std::string id = Id(&target, root, parent);
    auto listed = children_.find(id);
    if (listed == children_.end()) {
      const auto names = target.ListSubkeys(root, parent);
      if (!names) return nullptr;
      std::unordered_set<std::string> folded;
      for (const std::string& name : *names) folded.insert(registry::FoldUtf8(name));
      listed = children_.emplace(id, std::move(folded)).first;
    }
    return &listed->second;
  }

 private:
  static std::string Id(const RegTarget* target, HKey root, const std::string& path) {
    std::string id = std::to_string(reinterpret_cast<std::uintptr_t>(target)) + ":" + std::to_string(root);
    for (const std::string& part : registry::SplitUtf8Path(path)) id += "\\" + registry::FoldUtf8(part);
    return id;
  }
  std::set<std::string> keys_;
  std::set<std::string> created_;
  std::map<std::string, std::unordered_set<std::string>> children_;  // by parent id
};

// The topmost key of `path` that does not exist ("" when all do), read from
// the listings of their parents; nullopt when a listing cannot be read, so
// that a key that exists but refuses reading is never taken for missing.
std::optional<std::string> FirstMissing(RegTarget& target, HKey root, const std::string& path, KnownKeys& known) {
  std::string prefix;
  for (const std::string& part : registry::SplitUtf8Path(path)) {
    const std::string key = registry::ChildPath(prefix, part);
    if (!known.Has(&target, root, key)) {
      const auto* children = known.Children(target, root, prefix);
      if (children == nullptr) return std::nullopt;
      if (children->count(registry::FoldUtf8(part)) == 0) return key;
    }
    prefix = key;
  }
  return std::string();
}

// What undoes `entry`, read before it is applied; false when that cannot be
// read (the statement is then refused unapplied).
bool Prepare(const RegEntry& entry, RegTarget& target, KnownKeys& known, std::vector<Undo>* undo) {
  const HKey root = entry.root;
  const std::string path = entry.path;
  const auto missing = FirstMissing(target, root, path, known);
  if (!missing) return false;
  if (!missing->empty()) {
    // Creating the key (and its missing parents) is undone by deleting the
    // topmost one created; deleting what is not there needs no undo.
    if (entry.kind == RegEntry::Kind::kKey || entry.kind == RegEntry::Kind::kValue) {
      undo->push_back([&target, root, created = *missing] { return target.DeleteTree(root, created); });
      known.NoteCreated(&target, root, *missing);
    }
    return true;
  }
  // A value set in a key this run created goes when the key does: a key
  // restored with many values is not read again for each of them.
  if (entry.kind == RegEntry::Kind::kValue && known.InsideCreated(&target, root, path)) return true;
  switch (entry.kind) {
    case RegEntry::Kind::kKey:
      return true;
    case RegEntry::Kind::kDeleteKey: {
      auto tree = target.ReadTree(root, path);
      if (!tree) return false;
      undo->push_back([&target, root, path, tree = std::move(*tree)] { return registry::WriteTree(target, root, path, tree); });
      return true;
    }
    case RegEntry::Kind::kValue:
    case RegEntry::Kind::kDeleteValue:
      break;
  }
  // The value a change of this name replaces, as it is stored.
  bool readable = false;
  const std::optional<RegValue> old = target.FindValue(root, path, entry.value.name, &readable);
  if (!readable) return false;
  const std::string name = entry.value.name;
  undo->push_back([&target, root, path, name, old] {
    return old ? target.SetValue(root, path, *old) : target.DeleteValue(root, path, name);
  });
  return true;
}

bool Apply(const RegEntry& entry, RegTarget& target, KnownKeys& known) {
  switch (entry.kind) {
    case RegEntry::Kind::kKey:
    case RegEntry::Kind::kValue: {
      const bool done = entry.kind == RegEntry::Kind::kKey ? target.CreateKey(entry.root, entry.path)
                                                            : target.SetValue(entry.root, entry.path, entry.value);
      if (done) known.Add(&target, entry.root, entry.path);
      return done;
    }
    case RegEntry::Kind::kDeleteKey:
      known.Remove(&target, entry.root, entry.path);
      return target.DeleteTree(entry.root, entry.path);
    case RegEntry::Kind::kDeleteValue:
      return target.DeleteValue(entry.root, entry.path, entry.value.name);
  }
  return false;
}

}  // namespace

ApplyOutcome ApplyAllOrNothing(const std::vector<Placed>& statements) {
  ApplyOutcome outcome;
  std::vector<Undo> undo;
  KnownKeys known;
  for (std::size_t i = 0; i < statements.size(); ++i) {
    const Placed& placed = statements[i];
    if (!Prepare(*placed.entry, *placed.target, known, &undo) || !Apply(*placed.entry, *placed.target, known)) {
      outcome.refused = i;
      break;
    }
  }
  if (!outcome.refused) return outcome;
  for (auto step = undo.rbegin(); step != undo.rend(); ++step) {
    if (!(*step)()) outcome.rolled_back = false;
  }
  return outcome;
}

namespace {

// The path of the first link at or below `tree` (read at `path`).
std::optional<std::string> LinkIn(const registry::RegTree& tree, const std::string& path) {
  if (tree.link) return path;
  for (const registry::RegTree& child : tree.children) {
    if (auto link = LinkIn(child, registry::ChildPath(path, child.name))) return link;
  }
  return std::nullopt;
}

// Why a tree read for a backup would not come back as it is: a key name
// holding a backslash (a restore reads it as two keys), or two subkeys or
// two values of one key that a restore takes for one (names equal but for
// letter case). Empty when it would; `where` names the key.
std::string Unrestorable(const registry::RegTree& tree, const std::string& path, std::string* where) {
  std::set<std::string> keys, values;
  for (const RegValue& value : tree.values) {
    if (values.insert(registry::FoldUtf8(value.name)).second) continue;
    *where = path;
    return "holds two values named \"" + value.name + "\" (letter case aside)";
  }
  for (const registry::RegTree& child : tree.children) {
    const std::string below = registry::ChildPath(path, child.name);
    if (child.name.find('\\') != std::string::npos) {
      *where = below;
      return "has a backslash in its name, which a restore would read as two keys";
    }
    if (!keys.insert(registry::FoldUtf8(child.name)).second) {
      *where = below;
      return "is there twice (two subkeys of one name, letter case aside)";
    }
    if (std::string why = Unrestorable(child, below, where); !why.empty()) return why;
  }
  return {};
}

}  // namespace

std::vector<RegEntry> UndoOf(const registry::Plan& plan, RegTarget& target, const std::string& user) {
  std::vector<RegEntry> entries;
  // A key the run makes is undone by deleting it, with what the run wrote
  // into it.
  const auto made = [&](registry::HKey root, const std::string& path) {
    const auto parts = registry::SplitUtf8Path(path);
    for (const registry::Plan::Key& key : plan.created_keys) {
      const auto created = registry::SplitUtf8Path(key.path);
      if (key.root != root || created.size() > parts.size()) continue;
      if (std::equal(created.begin(), created.end(), parts.begin(), registry::Utf8NamesEqual)) return true;
    }
    return false;
  };
  for (const registry::Plan::Key& key : plan.created_keys) {
    // Below another key the run makes: deleting that one takes it along.
    std::string parent;
    const auto parts = registry::SplitUtf8Path(key.path);
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) parent = registry::ChildPath(parent, parts[i]);
    if (parts.size() > 1 && made(key.root, parent)) continue;
    // Looked at first: a key that is there after all is not the run's to delete.
    if (target.ListValues(key.root, key.path)) {
      throw BackupError(registry::RegKeyName(key.root, key.path) +
                        " appeared while the repair was planned; run it again. Nothing was changed.");
    }
    RegEntry entry;
    entry.kind = RegEntry::Kind::kDeleteKey;
    entry.root = key.root;
    entry.path = key.path;
    entry.user = key.root == registry::kCurrentUser ? user : std::string();
    entries.push_back(std::move(entry));
  }
  for (const registry::Plan::Value& change : plan.values) {
    if (made(change.root, change.path)) continue;
    RegEntry key;
    key.kind = RegEntry::Kind::kKey;
    key.root = change.root;
    key.path = change.path;
    key.user = change.root == registry::kCurrentUser ? user : std::string();
    bool readable = false;
    const auto old = target.FindValue(change.root, change.path, change.name, &readable);
    // The key of a planned change the run does not make exists.
    if (!readable) {
      throw BackupError("cannot read " + registry::RegKeyName(change.root, change.path) + " to back it up; nothing was changed");
    }
    // Two values the restore would take for one: putting one back would
    // overwrite the other.
    if (const auto all = target.ListValues(change.root, change.path)) {
      const std::string folded = registry::FoldUtf8(change.name);
      if (std::count_if(all->begin(), all->end(),
                        [&](const RegValue& value) { return registry::FoldUtf8(value.name) == folded; }) > 1) {
        throw BackupError(registry::RegKeyName(change.root, change.path, key.user) + " holds two values named \"" +
                          change.name + "\" (letter case aside), which a backup cannot tell apart; run the repair "
                          "without --backup to change it. Nothing was changed.");
      }
    }
    RegEntry entry = key;
    if (old) {
      entry.kind = RegEntry::Kind::kValue;
      entry.value = *old;
    } else {
      entry.kind = RegEntry::Kind::kDeleteValue;
      entry.value.name = change.name;
    }
    entries.push_back(std::move(key));
    entries.push_back(std::move(entry));
  }
  for (const registry::Plan::Key& key : plan.deleted_keys) {
    // A .reg file cannot make a link; the undo leaves a removed link out
    // rather than put an ordinary key in its place.
    if (key.link) continue;
    const auto tree = target.ReadTree(key.root, key.path);
    if (!tree) {
      throw BackupError("cannot read " + registry::RegKeyName(key.root, key.path) + " whole to back it up; nothing was changed");
    }
    // Restored, a link below the key would come back as an ordinary key.
    if (const auto link = LinkIn(*tree, key.path)) {
      throw BackupError(registry::RegKeyName(key.root, *link, key.root == registry::kCurrentUser ? user : "") +
                        " is a registry link, which a backup cannot carry; run the repair without --backup to "
                        "remove it. Nothing was changed.");
    }
    std::string where;
    if (const std::string why = Unrestorable(*tree, key.path, &where); !why.empty()) {
      throw BackupError(registry::RegKeyName(key.root, where, key.root == registry::kCurrentUser ? user : "") + " " + why +
                        ", which a backup cannot carry; run the repair without --backup to remove it. Nothing was "
                        "changed.");
    }
    registry::AppendTreeEntries(*tree, key.root, key.path, key.root == registry::kCurrentUser ? user : std::string(), &entries);
  }
  return entries;
}

namespace {

bool HasNul(const std::string& text) { return text.find('\0') != std::string::npos; }

}  // namespace


WrittenFile WriteBackup(const registry::FilePlace& place, const std::vector<repair::PlanPart>& parts,
                        const std::vector<std::string>& users) {
  const std::string& path = place.path();
  RegFile undo{RegFormat::kVersion5, {}};
  for (const repair::PlanPart& part : parts) {
    const std::string user = part.machine ? std::string() : users[part.profile];
    // A .reg file cannot make a link: the backup could not put back a link
    // the run removed.
    for (const registry::Plan::Key& key : part.plan.deleted_keys) {
      if (!key.link) continue;
      throw BackupError(registry::RegKeyName(key.root, key.path, key.root == registry::kCurrentUser ? user : "") +
                        " is a registry link, which a backup cannot carry; run the repair without --backup to remove "
                        "it. Nothing was changed.");
    }
    auto entries = UndoOf(part.plan, *part.target, user);
    // What a restore would refuse is never backed up: the run stops first.
    for (const RegEntry& entry : entries) {
      // A .reg file has no way to write a NUL inside a name, and the
      // registry's text calls end a name at one: such a backup would restore
      // another value, or another key.
      if (HasNul(entry.path) || HasNul(entry.user) || HasNul(entry.value.name)) {
        const bool value = entry.kind == RegEntry::Kind::kValue || entry.kind == RegEntry::Kind::kDeleteValue;
        throw BackupError(registry::RegKeyName(entry.root, entry.path, entry.user) +
                          (value ? ": value \"" + entry.value.name + "\"" : std::string()) +
                          " has a NUL character in its name, which a backup cannot carry. Nothing was changed.");
      }
      if (entry.kind == RegEntry::Kind::kValue) {
        const std::string refusal = part.target->WriteRefusal(entry.root, entry.path, entry.value);
        if (!refusal.empty()) {
          throw BackupError(registry::RegKeyName(entry.root, entry.path, entry.user) + ": " + refusal +
                            "; a restore could not put it back. Nothing was changed.");
        }
      }
      if (entry.value.data.size() > registry::kMaxValueBytes) {
        throw BackupError(registry::RegKeyName(entry.root, entry.path, entry.user) + ": value \"" + entry.value.name +
                          "\" is larger than a backup can carry (" +
                          std::to_string(registry::kMaxValueBytes >> 20) + " MB). Nothing was changed.");
      }
    }
    undo.entries.insert(undo.entries.end(), std::make_move_iterator(entries.begin()),
                        std::make_move_iterator(entries.end()));
  }
  // Every name must read back as it is: a line break or a backslash in a
  // name (a profile folder's, say) would make the restore refuse, or
  // restore something else.
  const std::string bytes = registry::FormatRegFile(undo);
  std::vector<RegEntry> again;
  try {
    again = registry::ParseRegFile(bytes, path).entries;
  } catch (const registry::RegFileError&) {
  }
  for (std::size_t i = 0; i < undo.entries.size(); ++i) {
    if (i < again.size() && again[i] == undo.entries[i]) continue;
    const RegEntry& entry = undo.entries[i];
    const std::string key = registry::RegKeyName(entry.root, entry.path, entry.user);
    const bool value = entry.kind == RegEntry::Kind::kValue || entry.kind == RegEntry::Kind::kDeleteValue;
    throw BackupError("a backup cannot name " + (value ? "the value \"" + entry.value.name + "\" of " : "") + key +
                      " exactly; it would not restore what is there. Nothing was changed.");
  }
  return WriteNewFile(place, bytes);
}

}  // namespace torvane::repair
