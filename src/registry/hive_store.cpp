#include "registry/hive_store.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <limits>
#include <memory>

#include "registry/codepage.h"
#include "registry/hive_cells.h"
#include "registry/hive_log.h"
#include "registry/little_endian.h"
#include "registry/names.h"
#include "registry/owned.h"
#include "registry/regf_format.h"
#include "registry/regf_reader.h"
#include "registry/utf.h"

namespace torvane::registry {

namespace {

using regf::kBaseBlockSize;
// A hive whose free cells hold more than its cells in use, and more than
// this, is changed as a compact copy.
constexpr std::size_t kCompactAbove = std::size_t{4} << 20;

// A key's exact name: as the reader found it, or as this run added it.
bool ExactNameOf(const HiveFile& hive, std::size_t node, std::string* name) {
  if (const std::string* added = hive.AddedName(node)) {
    *name = *added;
    return true;
  }
  return hive.Original(node) && hive.reader().NameOf(node, name);
}

// The subkeys as the reader found them, less those this run deleted, and
// those it added.
bool ChildrenOf(const HiveFile& hive, std::size_t node, std::vector<std::size_t>* out) {
  if (hive.Added(node)) {
    *out = hive.AddedChildren(node);
    return true;
  }
  if (!hive.reader().Children(node, out)) return false;
  if (!hive.ChildrenChanged(node)) return true;
  std::erase_if(*out, [&](std::size_t child) { return hive.Deleted(child); });
  const std::vector<std::size_t> added = hive.AddedChildren(node);
  out->insert(out->end(), added.begin(), added.end());
  return true;
}

std::size_t RootOf(const HiveFile& hive) { return hive.reader().root(); }


// Writes `values` (exact, raw) as the node's whole value list, at the
// commit.
long WriteNodeValues(HiveFile& hive, std::size_t node, std::vector<RegValue> values) {
  for (const RegValue& value : values) {
    // What a value record can hold: a name of 65,535 bytes, data under 2 GB.
    if (Utf8ToUtf16le(value.name).size() > 0xFFFF || value.data.size() >= 0x80000000u) return kAccessDenied;
  }
  hive.NoteValuesWritten(node, std::move(values));
  hive.MarkModified();
  return kSuccess;
}

void CollectSubtree(const HiveFile& hive, std::size_t node, int depth, std::vector<std::size_t>* out) {
  out->push_back(node);
  std::vector<std::size_t> children;
  if (depth >= kMaxKeyDepth || !ChildrenOf(hive, node, &children)) return;
  for (std::size_t child : children) CollectSubtree(hive, child, depth + 1, out);
}

// Whether the keys at `a` and `b` of two readers hold the same names,
// links, values and subkeys, in the same order.
bool SameKeys(const RegfReader& one, std::size_t a, const RegfReader& two, std::size_t b, int depth) {
  std::string name_a, name_b;
  std::vector<RegValue> values_a, values_b;
  std::size_t unnamed_a = 0, unnamed_b = 0;
  std::vector<std::size_t> children_a, children_b;
  if (depth > kMaxKeyDepth || !one.NameOf(a, &name_a) || !two.NameOf(b, &name_b) || name_a != name_b ||
      one.IsLink(a) != two.IsLink(b) || !one.Values(a, &values_a, true, &unnamed_a) ||
      !two.Values(b, &values_b, true, &unnamed_b) || unnamed_a != unnamed_b || values_a.size() != values_b.size() ||
      !one.Children(a, &children_a) || !two.Children(b, &children_b) || children_a.size() != children_b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < values_a.size(); ++i) {
    if (values_a[i].name != values_b[i].name || values_a[i].type != values_b[i].type ||
        values_a[i].data != values_b[i].data) {
      return false;
    }
  }
  for (std::size_t i = 0; i < children_a.size(); ++i) {
    if (!SameKeys(one, children_a[i], two, children_b[i], depth + 1)) return false;
  }
  return true;
}

// The reader of a compact copy of the hive mapped at `p` (see CompactHive)
// in memory, when it can be made, passes the checks the file passed and
// reads as `reader` does; null otherwise. The reader's mapping keeps the
// copy.
std::unique_ptr<RegfReader> CompactCopy(const unsigned char* p, std::size_t size, const RegfReader& reader) {
  const UniqueFd memory(OpenScratchFile());
  if (memory.get() < 0) return nullptr;
  {
    const std::string bytes = CompactHive(p, size);
    if (bytes.empty() || !CheckHiveStructure(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()).empty()) {
      return nullptr;
    }
    if (!WriteAt(memory.get(), bytes.data(), bytes.size(), 0)) return nullptr;
  }
  auto copy = RegfReader::Open(memory.get());
  if (copy == nullptr || !copy->Check().empty() || !SameKeys(reader, reader.root(), *copy, copy->root(), 0)) {
    return nullptr;
  }
  return copy;
}

}  // namespace

// A log beside a dirty hive, read whole: a copy, which another process
// cannot change between its hashes being checked and its pages used.
struct FoundLog {
  std::string name;
  std::string bytes;
};

// The transaction logs of the hive at `place`: NAME.LOG, NAME.LOG1 and
// NAME.LOG2 in its folder, found in any letter case as Windows finds them,
// never through a link; each a regular file of at most kMaxLogBytes. A name
// there twice (in two letter cases), a link or anything but a regular file
// at a log's name is refused: which file Windows would replay is not known.
constexpr std::uint64_t kMaxLogBytes = std::uint64_t{1} << 30;

std::vector<FoundLog> FindLogs(const FilePlace& place) {
  if (!place.folder()) throw DirtyHiveError(place.path() + ": its folder cannot be read (" + place.open_error() + ")");
  const Folder& folder = *place.folder();
  std::vector<FoundLog> logs;
  std::vector<std::string> names;
  try {
    names = folder.Names();
  } catch (const FileError& error) {
    throw DirtyHiveError(error.what());
  }
  for (const char* suffix : {".LOG", ".LOG1", ".LOG2"}) {
    const std::string wanted = FoldName(place.name() + suffix);
    std::optional<std::string> found;
    for (const std::string& entry : names) {
      if (FoldName(entry) != wanted) continue;
      if (found) throw DirtyHiveError(JoinPath(folder.path(), entry) + ": two files bear the name of one log");
      found = entry;
    }
    if (!found) continue;
    const FilePlace log(place.folder(), *found);
    const EntryInfo info = folder.Entry(*found);
    if (info.kind == EntryInfo::kMissing) throw DirtyHiveError(log.path() + ": cannot read it");
    if (info.kind == EntryInfo::kLink) throw DirtyHiveError(log.path() + ": is a symbolic link; refusing to follow it");
    if (info.kind == EntryInfo::kUnreadable) throw DirtyHiveError(log.path() + ": " + info.what);
    if (info.kind != EntryInfo::kRegular) throw DirtyHiveError(log.path() + ": not a regular file (" + info.what + ")");
    if (info.size > kMaxLogBytes) throw DirtyHiveError(log.path() + ": larger than a transaction log can be");
    FoundLog entry{*found, {}};
    try {
      const UniqueFd fd(OpenRegularFile(log));
      entry.bytes = ReadToEnd(fd.get(), kMaxLogBytes, log.path(), "a transaction log");
    } catch (const FileError& error) {
      throw DirtyHiveError(error.what());
    }
    logs.push_back(std::move(entry));
  }
  return logs;
}

// The dirty hive open at `fd` (`file_size` bytes) as Windows reads it once
// its logs are replayed: a private copy of the file with the logs' pages
// written into it (only the pages written are copied). Throws
// DirtyHiveError when the logs cannot be replayed.
std::unique_ptr<Mapping> Recover(const FilePlace& place, int fd, std::uint64_t file_size, HiveRecovery* recovery) {
  const std::vector<FoundLog> logs = FindLogs(place);
  const Mapping primary(fd);
  if (primary.data() == nullptr || primary.size() != file_size) {
    throw HiveError(place.path() + ": cannot map it: " + LastSystemError());
  }
  std::vector<LogFile> files;
  for (const FoundLog& log : logs) files.push_back(LogFile{log.name, log.bytes});
  *recovery = RecoverHive({reinterpret_cast<const char*>(primary.data()), primary.size()}, files);
  if (!recovery->refusal.empty()) {
    std::string named;
    for (const FoundLog& log : logs) named += (named.empty() ? "" : ", ") + log.name;
    throw DirtyHiveError(place.path() + ": the hive is dirty and its transaction logs cannot be replayed (" +
                         (named.empty() ? std::string("there are none beside it") : recovery->refusal + "; found: " + named) +
                         ")");
  }
  if (recovery->size > std::numeric_limits<std::size_t>::max() / 2) {
    throw HiveError(place.path() + ": the hive its logs describe is too large to hold here");
  }
  auto image = std::make_unique<Mapping>(Mapping::PrivateCopy(fd, primary.size(), static_cast<std::size_t>(recovery->size)));
  if (image->data() == nullptr) throw HiveError(place.path() + ": cannot map it: " + LastSystemError());
  ApplyRecovery(*recovery, image->private_data());
  // What the logs point at is copied: they may go now.
  for (LogPage& page : recovery->pages) page.data = nullptr;
  return image;
}

std::shared_ptr<HiveFile> HiveFile::Open(const FilePlace& place, bool writable) {
  const std::string& path = place.path();
  std::unique_ptr<FileLock> lock;
  int fd = -1;
  try {
    if (writable) {
      lock = std::make_unique<FileLock>(place);
      fd = lock->fd();
    } else {
      fd = OpenRegularFile(place);
    }
  } catch (const FileError& error) {
    throw HiveError(error.what());
  }
  // A file opened for reading is this function's; a locked one the lock's.
  const UniqueFd owned(writable ? -1 : fd);
  // (Both open regular files only.)
  const std::optional<std::uint64_t> size = SizeOfFile(fd);
  if (!size) throw HiveError(path + ": cannot read: " + LastSystemError());
  const std::uint64_t file_size = *size;
  std::string header(static_cast<std::size_t>(std::min<std::uint64_t>(file_size, kBaseBlockSize + 4)), '\0');
  if (!ReadAt(fd, header.data(), header.size(), 0)) throw HiveError(path + ": cannot read: " + LastSystemError());
  const std::string first_bin = header.size() > kBaseBlockSize ? header.substr(kBaseBlockSize) : std::string();
  header.resize(std::min<std::size_t>(header.size(), kBaseBlockSize));
  bool dirty = false;
  const std::string problem = CheckHiveHeader(header, file_size, &dirty);
  if (!problem.empty()) throw HiveError(path + ": " + problem);
  if (first_bin != "hbin") throw HiveError(path + ": damaged hive (no hive bin after the header)");
  // A dirty hive is read as Windows would load it: with its logs replayed.
  HiveRecovery recovery;
  std::unique_ptr<RegfReader> reader;
  const Mapping* image = nullptr;  // the recovered hive, when dirty
  if (dirty) {
    auto recovered = Recover(place, fd, file_size, &recovery);
    image = recovered.get();
    bool still_dirty = false;
    const std::string header_problem = CheckHiveHeader(recovery.base_block, recovery.size, &still_dirty);
    if (!header_problem.empty()) {
      throw DirtyHiveError(path + ": the hive is dirty, and with its transaction logs replayed " + header_problem);
    }
    header = recovery.base_block;
    reader = RegfReader::Adopt(std::move(recovered));
  } else {
    reader = RegfReader::Open(fd);
  }
  if (reader == nullptr) throw HiveError(path + ": cannot map it: " + LastSystemError());
  if (const std::string damage = reader->Check(); !damage.empty()) {
    if (dirty) {
      throw DirtyHiveError(path + ": the hive is dirty, and with its transaction logs replayed it is damaged (" +
                           damage + ")");
    }
    throw HiveError(path + ": damaged hive (" + damage + ")");
  }
  const std::uint32_t minor = Le32(reinterpret_cast<const unsigned char*>(header.data()) + 0x18);
  const auto finish = [&](std::shared_ptr<HiveFile> file) {
    file->minor_version_ = minor;
    file->replayed_ = recovery.applied;
    if (!recovery.writable) {
      file->unwritable_ = path + ": its transaction logs name the last sequence number a hive can have; a hive "
                                 "written after them could not be told from their entries";
    }
    return file;
  };
  if (!writable) return finish(std::shared_ptr<HiveFile>(new HiveFile(place, std::move(reader), false)));
  {
    // The bytes the writer starts from: the file, or the recovered hive.
    std::optional<Mapping> file_bytes;
    if (image == nullptr) file_bytes.emplace(fd);
    const Mapping& mapped = image != nullptr ? *image : *file_bytes;
    if (mapped.data() == nullptr || (image == nullptr && mapped.size() != file_size)) {
      throw HiveError(path + ": cannot read it whole");
    }
    std::size_t used = 0;
    const std::string damage = CheckHiveStructure(mapped.data(), mapped.size(), &used);
    if (!damage.empty()) throw HiveError(path + ": " + damage + "; refusing to change it");
    // A hive that is mostly free space, or cells nothing reaches, is
    // changed as a compact copy of what its root reaches instead, once that
    // copy is shown to read as the file does: the written file then follows
    // the hive, not its free space.
    if (reader->end() - kBaseBlockSize - used > std::max(used, kCompactAbove)) {
      if (auto copy = CompactCopy(mapped.data(), mapped.size(), *reader)) reader = std::move(copy);
    }
  }
  std::shared_ptr<HiveFile> file(new HiveFile(place, std::move(reader), true));
  file->lock_ = std::move(lock);
  return finish(std::move(file));
}

HiveFile::HiveFile(FilePlace place, std::unique_ptr<RegfReader> reader, bool writable)
    : place_(std::move(place)), path_(place_.path()), reader_(std::move(reader)), writable_(writable) {}

namespace {

// A path of exact names for messages, NULs shown.
std::string Shown(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == '\0') {
      out += "\\0";
    } else {
      out += c;
    }
  }
  return out;
}

bool SameValues(const std::vector<RegValue>& a, const std::vector<RegValue>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].name != b[i].name || a[i].type != b[i].type || a[i].data != b[i].data) return false;
  }
  return true;
}

}  // namespace

std::string HiveFile::CheckWritten(int fd) const {
  auto written = RegfReader::Open(fd);
  if (written == nullptr) return "cannot read it back";
  if (std::string damage = written->Check(); !damage.empty()) return "it reads back damaged (" + damage + ")";
  // Walks the old hive with this run's changes beside the new file.
  struct Walker {
    const HiveFile& hive;
    const RegfReader& now;
    std::string first;
    bool Differs(const std::string& where, std::string what) {
      first = Shown(where.empty() ? "the root key" : where) + ": " + what;
      return false;
    }
    bool Same(std::size_t old_node, std::size_t new_node, const std::string& where, int depth) {
      if (depth > kMaxKeyDepth) return Differs(where, "too deep to compare");
      std::vector<RegValue> expected, found;
      std::size_t unnamed = 0;
      if (!NodeValues(hive, old_node, true, &expected, &unnamed) || unnamed != 0) {
        return Differs(where, "its values could not be read before");
      }
      if (!now.Values(new_node, &found, true)) return Differs(where, "its values do not read back");
      if (!SameValues(expected, found)) return Differs(where, "its values differ from the planned ones");
      std::vector<std::size_t> old_children, new_children;
      // The subkeys read before, less those deleted, and those added.
      if (hive.Original(old_node) && !hive.reader().Children(old_node, &old_children)) {
        return Differs(where, "its subkeys could not be read before");
      }
      if (auto added = hive.added_.find(old_node); added != hive.added_.end()) {
        old_children.insert(old_children.end(), added->second.begin(), added->second.end());
      }
      if (!now.Children(new_node, &new_children)) return Differs(where, "its subkeys do not read back");
      std::map<std::string, std::size_t> wanted, got;
      for (std::size_t child : old_children) {
        if (hive.deleted_.count(child) != 0) continue;
        std::string name;
        if (!ExactNameOf(hive, child, &name) || !wanted.emplace(name, child).second) {
          return Differs(where, "a subkey name could not be read or is there twice");
        }
      }
      for (std::size_t child : new_children) {
        std::string name;
        if (!now.NameOf(child, &name) || !got.emplace(name, child).second) {
          return Differs(where, "a subkey name does not read back or is there twice");
        }
      }
      auto below = [&](const std::string& name) { return where.empty() ? name : where + "\\" + name; };
      for (const auto& [name, child] : wanted) {
        if (got.count(name) == 0) return Differs(below(name), "missing from the written hive");
      }
      for (const auto& [name, child] : got) {
        if (wanted.count(name) == 0) return Differs(below(name), "not planned but in the written hive");
      }
      for (const auto& [name, child] : wanted) {
        if (!Same(child, got[name], below(name), depth + 1)) return false;
      }
      return true;
    }
  } walker{*this, *written, {}};
  if (walker.Same(RootOf(*this), written->root(), "", 0)) return {};
  return walker.first;
}

HiveFile::~HiveFile() = default;

void HiveFile::Prepare(FileSet& set) {
  if (const std::string refusal = Unwritable(); !refusal.empty()) throw HiveError(refusal);
  // The name must still lead to the file read and locked: one put there
  // meanwhile is never replaced by what was read from another.
  if (lock_ && place_.folder() && place_.folder()->Entry(place_.name()).id != lock_->id()) {
    throw HiveError(path_ + ": another file took its name during the run; nothing was written");
  }
  try {
    set.AddWrittenBy(place_, [&](const std::string& temporary, int fd) { WriteProved(temporary, fd); });
  } catch (const FileError& error) {
    throw HiveError(error.what());
  }
}

std::string HiveFile::Unwritable() const {
  if (!writable_) return path_ + ": opened for reading only";
  return unwritable_;
}

void HiveFile::WriteProved(const std::string& name, int fd) const {
  UniqueFd opened;
  if (fd < 0) {
    opened.Reset(OpenNewVersion(name));
    fd = opened.get();
    if (fd < 0) throw HiveError(path_ + ": cannot write the changed hive: " + LastSystemError());
  }
  // The hive as it was read (its bins only), then the run's changes.
  const std::string_view image = reader_->image();
  if (!WriteAt(fd, image.data(), image.size(), 0) || !TruncateFile(fd, image.size())) {
    throw HiveError(path_ + ": cannot write the changed hive: " + LastSystemError());
  }
  if (const std::string problem = WriteChanges(fd, Changes(), minor_version_); !problem.empty()) {
    throw HiveError(path_ + ": cannot write the changes (" + problem + "); nothing was written");
  }
  const std::string difference = CheckWritten(fd);
  if (!difference.empty()) {
    throw HiveError(path_ + ": the written hive is not the planned change (" + difference + "); nothing was written");
  }
}

std::string HiveFile::PrepareRefusal() const {
  if (!modified_) return {};
  if (std::string refusal = Unwritable(); !refusal.empty()) return refusal;
  if (refusal_ && refusal_->first == generation_) return refusal_->second;
  // Written into memory, never beside the file: a dry run leaves no trace.
  std::string refusal;
  const UniqueFd memory(OpenScratchFile());
  if (memory.get() < 0) {
    refusal = path_ + ": cannot write the changed hive: " + LastSystemError();
  } else {
    try {
      WriteProved("(in memory)", memory.get());
    } catch (const HiveError& error) {
      refusal = error.what();
    }
  }
  refusal_.emplace(generation_, refusal);
  return refusal;
}

void HiveFile::Commit(const BeforeReplaceHook& hook) {
  if (!modified_) return;
  FileSet set;
  set.SetBeforeReplace(hook);
  Prepare(set);
  try {
    set.Commit();
  } catch (const FileError& error) {
    throw HiveError(error.what());
  }
  Committed();
}

bool NodeValues(const HiveFile& hive, std::size_t node, bool exact, std::vector<RegValue>* out,
                std::size_t* unnamed) {
  out->clear();
  *unnamed = 0;
  if (const std::vector<RegValue>* written = hive.WrittenValues(node)) {
    for (const RegValue& value : *written) {
      if (exact) {
        out->push_back(value);
      } else {
        RegValue ansi = AnsiForm(value);
        ansi.name = Utf8ToGbk(value.name);
        out->push_back(std::move(ansi));
      }
    }
    return true;
  }
  if (!hive.Original(node)) return true;  // added by this run, no value yet
  return hive.reader().Values(node, out, exact, unnamed);
}

bool HiveFile::Original(std::size_t node) const { return node < reader_->end() && added_names_.count(node) == 0; }

const std::vector<RegValue>* HiveFile::WrittenValues(std::size_t node) const {
  auto it = written_values_.find(node);
  return it == written_values_.end() ? nullptr : &it->second;
}

const std::string* HiveFile::AddedName(std::size_t node) const {
  auto it = added_names_.find(node);
  return it == added_names_.end() ? nullptr : &it->second;
}

std::vector<std::size_t> HiveFile::AddedChildren(std::size_t node) const {
  std::vector<std::size_t> children;
  if (auto it = added_.find(node); it != added_.end()) {
    for (std::size_t child : it->second) {
      if (deleted_.count(child) == 0) children.push_back(child);
    }
  }
  return children;
}

NewKey HiveFile::NewKeyAt(std::size_t node) const {
  NewKey key;
  key.name = added_names_.at(node);
  if (const std::vector<RegValue>* values = WrittenValues(node)) key.values = *values;
  for (std::size_t child : AddedChildren(node)) key.children.push_back(NewKeyAt(child));
  return key;
}

std::vector<NewSubkeys> HiveFile::NewKeys() const {
  std::vector<NewSubkeys> keys;
  for (const auto& [parent, children] : added_) {
    if (Added(parent) || deleted_.count(parent) != 0) continue;
    NewSubkeys under{parent, {}};
    for (std::size_t child : AddedChildren(parent)) under.keys.push_back(NewKeyAt(child));
    if (!under.keys.empty()) keys.push_back(std::move(under));
  }
  // The same run writes the same file.
  std::sort(keys.begin(), keys.end(), [](const NewSubkeys& a, const NewSubkeys& b) { return a.parent < b.parent; });
  return keys;
}

HiveChanges HiveFile::Changes() const {
  HiveChanges changes;
  changes.added = NewKeys();
  for (const auto& [node, values] : written_values_) {
    if (Original(node) && !Deleted(node)) changes.values.emplace(node, values);
  }
  for (const auto& [parent, nodes] : deleted_under_) {
    if (Deleted(parent)) continue;
    for (std::size_t node : nodes) changes.deleted[parent].push_back(node);
  }
  return changes;
}

void HiveFile::NoteValuesWritten(std::size_t node, std::vector<RegValue> values) {
  written_values_[node] = std::move(values);
  value_places_.erase(node);
}

namespace {

// Two names compare equal exactly when these are equal (Utf8NamesEqual).
std::string NameKey(const std::string& utf8) { return std::to_string(utf8.size()) + ":" + FoldUtf8(utf8); }

}  // namespace

std::unordered_map<std::string, std::size_t>& HiveFile::PlacesOf(std::size_t node) const {
  auto [places, made] = value_places_.try_emplace(node);
  if (made) {
    const auto written = written_values_.find(node);
    if (written != written_values_.end()) {
      const std::vector<RegValue>& values = written->second;
      for (std::size_t i = 0; i < values.size(); ++i) places->second.emplace(NameKey(values[i].name), i);
    }
  }
  return places->second;
}

const RegValue* HiveFile::FindWrittenValue(std::size_t node, const std::string& name) const {
  const auto written = written_values_.find(node);
  if (written == written_values_.end()) return nullptr;
  const auto& places = PlacesOf(node);
  const auto place = places.find(NameKey(name));
  return place == places.end() ? nullptr : &written->second[place->second];
}

void HiveFile::SetWrittenValue(std::size_t node, RegValue value) {
  std::vector<RegValue>& values = written_values_[node];
  auto& places = PlacesOf(node);
  const auto [place, fresh] = places.emplace(NameKey(value.name), values.size());
  if (fresh) {
    values.push_back(std::move(value));
  } else {
    values[place->second].type = value.type;
    values[place->second].data = std::move(value.data);  // the stored name keeps its letter case
  }
}

void HiveFile::NoteChildAdded(std::size_t parent, std::size_t child, const std::string& utf8_name) {
  added_[parent].push_back(child);
  added_names_[child] = utf8_name;
  children_changed_.insert(parent);
}

void HiveFile::NoteDeleted(std::size_t parent, std::size_t node) {
  // A key the file holds, taken out of a key it holds and keeps: the
  // commit frees it with everything below it.
  if (Original(node) && Original(parent) && !Deleted(parent)) deleted_under_[parent].push_back(node);
  deleted_.insert(node);
  children_changed_.insert(parent);
}

namespace {

// A key is a link exactly when its node's flags say so. Keys this run
// added are none.
bool NodeIsLink(const HiveFile& hive, std::size_t node) { return hive.Original(node) && hive.reader().IsLink(node); }

}  // namespace

HiveStore::HiveStore(std::shared_ptr<HiveFile> software, std::shared_ptr<HiveFile> user)
    : software_(std::move(software)), user_(std::move(user)) {}

bool HiveStore::Resolve(HKey key, Handle* handle) const {
  if (key == kLocalMachine) {
    *handle = Handle{nullptr, 0, kKeyAllAccess, false};
    return true;
  }
  if (key == kCurrentUser) {
    if (!user_) return false;
    *handle = Handle{user_.get(), RootOf(*user_), kKeyAllAccess, false};
    return true;
  }
  auto it = handles_.find(key);
  if (it == handles_.end()) return false;
  *handle = it->second;
  return true;
}

long HiveStore::ChildNamed(const HiveFile& hive, std::size_t node, const std::string& name, bool exact,
                           std::size_t* child) {
  constexpr std::size_t kAmbiguous = ~std::size_t{0};
  // Opening each subkey of a key in turn would read every sibling's name
  // each time; the names of the keys looked into last are kept.
  constexpr std::size_t kKeptKeys = 64;
  auto& index = exact ? exact_index_ : ansi_index_;
  if (index.hive != &hive || index.generation != hive.key_generation() || index.keys.size() > kKeptKeys) {
    index.keys.clear();
    index.hive = &hive;
    index.generation = hive.key_generation();
  }
  auto entry = index.keys.find(NodeId{&hive, node});
  if (entry == index.keys.end()) {
    std::vector<std::size_t> children;
    if (!ChildrenOf(hive, node, &children)) return kUnreadableRecord;
    std::unordered_map<std::string, std::size_t> names;
    for (std::size_t sub : children) {
      std::string utf8;
      if (!ExactNameOf(hive, sub, &utf8)) return kUnreadableRecord;  // it could be the one asked for
      std::string folded = exact ? FoldUtf8(utf8) : FoldName(Utf8ToGbk(utf8));
      // Two subkeys of one name: which Windows reaches depends on how it
      // searches the list (it expects one, in order), so neither is read.
      const auto [place, fresh] = names.emplace(std::move(folded), sub);
      if (!fresh) place->second = kAmbiguous;
    }
    entry = index.keys.emplace(NodeId{&hive, node}, std::move(names)).first;
  }
  auto it = entry->second.find(exact ? FoldUtf8(name) : FoldName(name));
  *child = it == entry->second.end() ? 0 : it->second;
  return *child == kAmbiguous ? kDuplicateName : kSuccess;
}

void HiveStore::NoteChildAdded(HiveFile& hive, std::size_t node, const std::string& utf8_name, std::size_t child) {
  const std::uint64_t before = hive.key_generation();
  hive.MarkKeysChanged();
  hive.NoteChildAdded(node, child, utf8_name);
  if (names_cache_.hive == &hive && names_cache_.generation == before) {
    names_cache_.generation = hive.key_generation();
    if (names_cache_.node == node) names_cache_.names.push_back(utf8_name);
  }
  for (ChildIndex* index : {&exact_index_, &ansi_index_}) {
    if (index->hive != &hive || index->generation != before) continue;
    index->generation = hive.key_generation();
    auto known = index->keys.find(NodeId{&hive, node});
    if (known == index->keys.end()) continue;
    known->second.emplace(index == &exact_index_ ? FoldUtf8(utf8_name) : FoldName(Utf8ToGbk(utf8_name)), child);
  }
}

long HiveStore::Walk(const Handle& from, const std::string& path, Handle* found, bool create, bool open_link,
                     bool exact) {
  Handle at = from;
  const auto parts = exact ? SplitUtf8Path(path) : SplitKeyPath(path);
  // A link names a key of the machine it was made on, never one of this
  // file: what lies behind it cannot be read here, which is not absence.
  const auto refuse = [&](std::size_t through) {
    std::string name = "...";
    if (from.hive == nullptr) {
      name = "HKEY_LOCAL_MACHINE";
    } else if (from.node == RootOf(*from.hive)) {
      name = from.hive == software_.get() ? "HKEY_LOCAL_MACHINE\\SOFTWARE" : "HKEY_CURRENT_USER";
    }
    for (std::size_t i = 0; i < through; ++i) name += "\\" + (exact ? parts[i] : GbkToUtf8(parts[i]));
    refused_ = name + " is a registry link";
    return kRefusedLink;
  };
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::string& part = parts[i];
    // The root too: a hive whose root is marked as a link is no hive to
    // read through.
    if (at.hive != nullptr && NodeIsLink(*at.hive, at.node)) return refuse(i);
    if (at.hive == nullptr) {
      if (!software_ || !NamesEqual(part, "SOFTWARE")) return kFileNotFound;
      at.hive = software_.get();
      at.node = RootOf(*software_);
      continue;
    }
    std::size_t next = 0;
    if (const long rc = ChildNamed(*at.hive, at.node, part, exact, &next); rc != kSuccess) return rc;
    if (next == 0) {
      if (!create || !at.hive->writable()) return kFileNotFound;
      const std::string utf8 = exact ? part : GbkToUtf8(part);
      // No name of a key is empty; a key's record holds 65,535 bytes of it.
      if (utf8.empty() || Utf8ToUtf16le(utf8).size() > 0xFFFF) return kAccessDenied;
      next = at.hive->NewNode();
      at.hive->MarkModified();
      NoteChildAdded(*at.hive, at.node, utf8, next);
    }
    at.parent = at.node;
    at.node = next;
  }
  if (!open_link && at.hive != nullptr && !parts.empty() && NodeIsLink(*at.hive, at.node)) return refuse(parts.size());
  *found = at;
  return kSuccess;
}

long HiveStore::RegOpenKeyExA(HKey root, const std::string& path, std::uint32_t options,
                              std::uint32_t access, HKey* result) {
  if (result == nullptr) return kInvalidParameter;
  *result = kNullKey;
  Handle parent;
  if (!Resolve(root, &parent)) return root == kCurrentUser ? kFileNotFound : kInvalidHandle;
  if (parent.deleted) return kKeyDeleted;
  Handle found;
  const long rc = Walk(parent, ViewPath(root, path, access), &found, false, (options & kOpenLink) != 0);
  if (rc != kSuccess) return rc;
  found.access = access;
  found.deleted = false;
  const HKey handle = next_handle_;
  next_handle_ += 4;
  handles_.emplace(handle, found);
  *result = handle;
  return kSuccess;
}

long HiveStore::RegQueryValueExA(HKey key, const std::string& name, std::uint32_t* type,
                                 std::uint8_t* data, std::uint32_t* size) {
  Handle handle;
  if (!Resolve(key, &handle)) return kInvalidHandle;
  if (handle.deleted) return kKeyDeleted;
  if (data != nullptr && size == nullptr) return kInvalidParameter;
  if (handle.hive == nullptr) return kFileNotFound;
  std::vector<RegValue> exact;
  std::size_t unnamed = 0;
  // A list that cannot be read is no proof that the value is missing.
  if (!NodeValues(*handle.hive, handle.node, true, &exact, &unnamed)) return kUnreadableRecord;
  // Matched by the name as stored: a name code page 936 cannot spell (its
  // letters shown as '?') is reached by no name given in it, as on Windows.
  const std::string wanted = GbkToUtf8(name);
  for (const RegValue& value : exact) {
    if (Utf8NamesEqual(value.name, wanted)) return CopyValueOut(AnsiForm(value), type, data, size);
  }
  return unnamed == 0 ? kFileNotFound : kAccessDenied;
}

long HiveStore::SetNodeValue(HiveFile& hive, std::size_t node, const RegValue& value) {
  if (!hive.writable()) return kAccessDenied;
  const RegValue stored = StoredForm(value);
  // What a value record can hold: a name of 65,535 bytes, data under 2 GB.
  if (Utf8ToUtf16le(stored.name).size() > 0xFFFF || stored.data.size() >= 0x80000000u) return kAccessDenied;
  // The key's values are read once, then set one by one, each found by its
  // name at once: a restore that sets many values in one key stays linear.
  if (!hive.Added(node) && hive.WrittenValues(node) == nullptr) {
    std::vector<RegValue> values;
    std::size_t unnamed = 0;
    if (!NodeValues(hive, node, true, &values, &unnamed) || unnamed != 0) return kAccessDenied;
    hive.NoteValuesWritten(node, std::move(values));
  }
  hive.SetWrittenValue(node, RegValue{value.name, stored.type, stored.data, true});
  hive.MarkModified();
  return kSuccess;
}

long HiveStore::DeleteNodeValue(HiveFile& hive, std::size_t node, const std::string& name) {
  std::vector<RegValue> values;
  std::size_t unnamed = 0;
  if (!NodeValues(hive, node, true, &values, &unnamed)) return kAccessDenied;
  auto it = std::find_if(values.begin(), values.end(),
                         [&](const RegValue& value) { return Utf8NamesEqual(value.name, name); });
  if (it == values.end()) return unnamed == 0 ? kFileNotFound : kAccessDenied;
  if (!hive.writable() || unnamed != 0) return kAccessDenied;
  values.erase(it);
  return WriteNodeValues(hive, node, std::move(values));
}

long HiveStore::RegSetValueExA(HKey key, const std::string& name, std::uint32_t /*reserved*/,
                               std::uint32_t type, const std::uint8_t* data, std::uint32_t size) {
  Handle handle;
  if (!Resolve(key, &handle)) return kInvalidHandle;
  if (handle.deleted) return kKeyDeleted;
  if (data == nullptr && size != 0) return kInvalidParameter;
  if (handle.hive == nullptr || (handle.access & kSetValueBit) == 0) return kAccessDenied;
  RegValue value{GbkToUtf8(name), type, std::vector<std::uint8_t>(data, data + size)};
  return SetNodeValue(*handle.hive, handle.node, value);
}

long HiveStore::RegDeleteValueA(HKey key, const std::string& name) {
  Handle handle;
  if (!Resolve(key, &handle)) return kInvalidHandle;
  if (handle.deleted) return kKeyDeleted;
  if (handle.hive == nullptr || (handle.access & kSetValueBit) == 0) return kAccessDenied;
  return DeleteNodeValue(*handle.hive, handle.node, GbkToUtf8(name));
}

long HiveStore::RegEnumKeyA(HKey key, std::uint32_t index, char* name, std::uint32_t capacity) {
  Handle handle;
  if (!Resolve(key, &handle)) return kInvalidHandle;
  if (handle.deleted) return kKeyDeleted;
  std::string child;
  if (handle.hive == nullptr) {
    if (!software_ || index > 0) return kNoMoreItems;
    child = "SOFTWARE";
  } else {
    EnumCache& cache = enum_cache_;
    if (cache.hive != handle.hive || cache.node != handle.node || cache.generation != handle.hive->generation()) {
      std::vector<std::size_t> children;
      cache = {};
      if (!ChildrenOf(*handle.hive, handle.node, &children)) return kUnreadableRecord;
      cache = {handle.hive, handle.node, handle.hive->generation(), {children.begin(), children.end()}};
    }
    if (index >= cache.children.size()) return kNoMoreItems;
    if (!ExactNameOf(*handle.hive, cache.children[index], &child)) return kUnreadableRecord;
    child = Utf8ToGbk(child);
  }
  if (name == nullptr || child.size() + 1 > capacity) return kMoreData;
  std::memcpy(name, child.c_str(), child.size() + 1);
  return kSuccess;
}

long HiveStore::RegEnumValueA(HKey key, std::uint32_t index, char* name, std::uint32_t capacity) {
  Handle handle;
  if (!Resolve(key, &handle)) return kInvalidHandle;
  if (handle.deleted) return kKeyDeleted;
  if (handle.hive == nullptr) return kNoMoreItems;
  ValueCache& cache = value_cache_;
  if (cache.hive != handle.hive || cache.node != handle.node || cache.generation != handle.hive->generation()) {
    std::vector<RegValue> values;
    std::size_t unnamed = 0;
    // A value whose name does not decode is still a value: the list is not
    // given short.
    cache = {handle.hive, handle.node, handle.hive->generation(),
             NodeValues(*handle.hive, handle.node, false, &values, &unnamed) && unnamed == 0, {}};
    for (const RegValue& value : values) cache.names.push_back(value.name);
  }
  if (!cache.readable) return kUnreadableRecord;
  if (index >= cache.names.size()) return kNoMoreItems;
  const std::string& listed = cache.names[index];
  if (name == nullptr || listed.size() + 1 > capacity) return kMoreData;
  std::memcpy(name, listed.c_str(), listed.size() + 1);
  return kSuccess;
}

void HiveStore::ForgetNode(const HiveFile* hive, std::size_t node) {
  for (auto& [id, handle] : handles_) {
    if (handle.hive == hive && handle.node == node) handle.deleted = true;
  }
}

long HiveStore::FindVictim(HKey key, const std::string& subkey, Handle* victim) {
  Handle handle;
  if (!Resolve(key, &handle)) return kInvalidHandle;
  if (handle.deleted) return kKeyDeleted;
  if (SplitKeyPath(subkey).empty()) return kInvalidParameter;
  if (const long rc = Walk(handle, subkey, victim, false, true); rc != kSuccess) return rc;
  return victim->hive == nullptr || !victim->hive->writable() ? kAccessDenied : kSuccess;
}

long HiveStore::RegDeleteKeyA(HKey key, const std::string& subkey) {
  Handle victim;
  if (const long rc = FindVictim(key, subkey, &victim); rc != kSuccess) return rc;
  std::vector<std::size_t> children;
  // Its parent's list was read on the way to it: the commit writes that
  // list anew, whatever kind it is.
  if (victim.node == RootOf(*victim.hive) || !ChildrenOf(*victim.hive, victim.node, &children) || !children.empty()) {
    return kAccessDenied;
  }
  victim.hive->MarkModified();
  victim.hive->MarkKeysChanged();
  victim.hive->NoteDeleted(victim.parent, victim.node);
  ForgetNode(victim.hive, victim.node);
  return kSuccess;
}

long HiveStore::RegCloseKey(HKey key) {
  if (key == kCurrentUser || key == kLocalMachine) return kSuccess;
  return handles_.erase(key) == 1 ? kSuccess : kInvalidHandle;
}

long HiveStore::RegQueryKeyIsLink(HKey key, bool* is_link) {
  Handle handle;
  if (!Resolve(key, &handle)) return kInvalidHandle;
  if (handle.deleted) return kKeyDeleted;
  *is_link = handle.hive != nullptr && handle.node != RootOf(*handle.hive) && NodeIsLink(*handle.hive, handle.node);
  return kSuccess;
}

bool HiveStore::KeyRemovable(HKey key) {
  Handle handle;
  // Any key but the root: its parent's list, read on the way to it, is
  // written anew at the commit.
  return !Resolve(key, &handle) || handle.deleted || handle.hive == nullptr || handle.node != RootOf(*handle.hive);
}

// Its keys are nodes of the file, deleted as such: no name below it needs
// spelling.
bool HiveStore::TreeRemovable(HKey key) {
  Handle handle;
  return Resolve(key, &handle) && !handle.deleted && handle.hive != nullptr && handle.hive->writable() &&
         handle.node != RootOf(*handle.hive);
}

long HiveStore::RegDeleteTreeA(HKey key, const std::string& subkey) {
  Handle victim;
  if (const long rc = FindVictim(key, subkey, &victim); rc != kSuccess) return rc;
  if (victim.node == RootOf(*victim.hive)) return kAccessDenied;
  DeleteSubtree(victim);
  return kSuccess;
}

void HiveStore::DeleteSubtree(const Handle& victim) {
  std::vector<std::size_t> doomed;
  CollectSubtree(*victim.hive, victim.node, 0, &doomed);
  victim.hive->MarkModified();
  victim.hive->MarkKeysChanged();
  victim.hive->NoteDeleted(victim.parent, victim.node);
  ForgetNode(victim.hive, victim.node);
  // Keys added below it go with it, never to be written.
  for (std::size_t node : doomed) {
    victim.hive->NoteDeleted(victim.node, node);
    ForgetNode(victim.hive, node);
  }
}

bool HiveStore::CreateKey(HKey root, const std::string& path) {
  Handle top, found;
  return Resolve(root, &top) && Walk(top, path, &found, true, false, true) == kSuccess && found.hive != nullptr;
}

bool HiveStore::DeleteTree(HKey root, const std::string& path) {
  Handle top, victim;
  if (!Resolve(root, &top)) return false;
  // A link goes as a link: what lies below it in the file is its own.
  const long rc = Walk(top, path, &victim, false, true, true);
  if (rc == kFileNotFound) return true;
  if (rc != kSuccess || victim.hive == nullptr || !victim.hive->writable()) return false;
  if (victim.node == RootOf(*victim.hive)) return false;
  DeleteSubtree(victim);
  return true;
}

std::string HiveStore::CommitRefusal() const {
  for (const HiveFile* hive : {software_.get(), user_.get()}) {
    if (hive == nullptr) continue;
    if (std::string refusal = hive->PrepareRefusal(); !refusal.empty()) return refusal;
  }
  return {};
}

std::string HiveStore::WriteRefusal(HKey root, const std::string& /*path*/, const RegValue& value) const {
  const HiveFile* hive = root == kCurrentUser ? user_.get() : software_.get();
  if (hive == nullptr) return {};
  // What a value record can hold; any name and data of a real value fits.
  if (Utf8ToUtf16le(value.name).size() > 0xFFFF) return "a value name longer than a hive can hold";
  if (value.data.size() >= 0x80000000u) return "value data larger than a hive can hold";
  return {};
}

bool HiveStore::SetValue(HKey root, const std::string& path, const RegValue& value) {
  Handle top, key;
  if (!Resolve(root, &top) || Walk(top, path, &key, true, false, true) != kSuccess || key.hive == nullptr) {
    return false;
  }
  return SetNodeValue(*key.hive, key.node, value) == kSuccess;
}

bool HiveStore::DeleteValue(HKey root, const std::string& path, const std::string& name) {
  Handle top, key;
  if (!Resolve(root, &top)) return false;
  const long walked = Walk(top, path, &key, false, false, true);
  if (walked == kFileNotFound || (walked == kSuccess && key.hive == nullptr)) return true;
  if (walked != kSuccess) return false;
  const long rc = DeleteNodeValue(*key.hive, key.node, name);
  return rc == kSuccess || rc == kFileNotFound;
}

std::optional<RegValue> HiveStore::FindValue(HKey root, const std::string& path, const std::string& name,
                                             bool* readable) {
  *readable = false;
  Handle top, key;
  if (!Resolve(root, &top) || Walk(top, path, &key, false, false, true) != kSuccess) return std::nullopt;
  *readable = true;
  if (key.hive == nullptr) return std::nullopt;
  if (key.hive->WrittenValues(key.node) != nullptr) {
    const RegValue* found = key.hive->FindWrittenValue(key.node, name);
    return found == nullptr ? std::nullopt : std::optional<RegValue>(*found);
  }
  return RegTarget::FindValue(root, path, name, readable);
}

std::optional<std::vector<RegValue>> HiveStore::ListValues(HKey root, const std::string& path) {
  Handle top, key;
  if (!Resolve(root, &top) || Walk(top, path, &key, false, false, true) != kSuccess) return std::nullopt;
  if (key.hive == nullptr) return std::vector<RegValue>{};
  std::vector<RegValue> values;
  std::size_t unnamed = 0;
  if (!NodeValues(*key.hive, key.node, true, &values, &unnamed) || unnamed != 0) return std::nullopt;
  return values;
}

namespace {

bool ReadNode(const HiveFile& hive, std::size_t node, int depth, RegTree* tree) {
  if (depth > kMaxKeyDepth) return false;
  std::size_t unnamed = 0;
  if (!NodeValues(hive, node, true, &tree->values, &unnamed) || unnamed != 0) return false;
  std::vector<std::size_t> children;
  if (!ChildrenOf(hive, node, &children)) return false;
  for (std::size_t child : children) {
    RegTree& sub = tree->children.emplace_back();
    if (!ExactNameOf(hive, child, &sub.name) || !ReadNode(hive, child, depth + 1, &sub)) return false;
    // Read on as a key: whether a link may go as one is for the caller.
    sub.link = NodeIsLink(hive, child);
  }
  return true;
}

}  // namespace

std::optional<RegTree> HiveStore::ReadTree(HKey root, const std::string& path) {
  Handle top, key;
  const long rc = Resolve(root, &top) ? Walk(top, path, &key, false, false, true) : kInvalidHandle;
  if (rc == kAccessDenied || rc == kDuplicateName || rc == kUnreadableRecord) return std::nullopt;
  if (rc != kSuccess || key.hive == nullptr) return RegTarget::ReadTree(root, path);
  RegTree tree;
  if (!ReadNode(*key.hive, key.node, 0, &tree)) return std::nullopt;
  return tree;
}

std::optional<std::vector<std::string>> HiveStore::ListSubkeys(HKey root, const std::string& path) {
  Handle top, key;
  if (!Resolve(root, &top) || Walk(top, path, &key, false, false, true) != kSuccess) return std::nullopt;
  if (key.hive == nullptr) return software_ ? std::vector<std::string>{"SOFTWARE"} : std::vector<std::string>{};
  NamesCache& cache = names_cache_;
  if (cache.hive == key.hive && cache.node == key.node && cache.generation == key.hive->key_generation()) {
    return cache.names;
  }
  std::vector<std::size_t> children;
  if (!ChildrenOf(*key.hive, key.node, &children)) return std::nullopt;
  std::vector<std::string> names;
  for (std::size_t child : children) {
    std::string& name = names.emplace_back();
    if (!ExactNameOf(*key.hive, child, &name)) return std::nullopt;
  }
  cache = {key.hive, key.node, key.hive->key_generation(), names};
  return names;
}

void HiveFile::LockAgain() {
  if (lock_) return;
  try {
    lock_ = std::make_unique<FileLock>(place_);
  } catch (const FileError& error) {
    throw HiveError(error.what());
  }
}

void CommitHives(const std::vector<HiveFile*>& hives, const std::function<void(FileSet&)>& more) {
  FileSet set;
  std::vector<HiveFile*> changed;
  for (HiveFile* hive : hives) {
    if (hive == nullptr || !hive->modified()) continue;
    if (std::find(changed.begin(), changed.end(), hive) != changed.end()) continue;
    hive->Prepare(set);
    changed.push_back(hive);
  }
  if (more) more(set);
  set.Commit();
  for (HiveFile* hive : changed) hive->Committed();
}

}  // namespace torvane::registry
