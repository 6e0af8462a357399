#include "registry/hive_store.h"

#include <fcntl.h>
#include <hivex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "registry/codepage.h"
#include "registry/names.h"
#include "registry/regf_reader.h"
#include "registry/utf.h"

namespace torvane::registry {

namespace {

constexpr std::size_t kBaseBlockSize = 0x1000;
constexpr std::uint32_t kSetValueBit = 0x0002;
// Data above this size is split into "db" cells on hives of version 1.4 and
// later; hivex writes one cell, so a node holding such a value is not
// rewritten.
constexpr std::size_t kLargestPlainValue = 16344;

// Frees what hivex allocates.
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Malloced = std::unique_ptr<T, FreeDeleter>;

std::string NodeName(const HiveFile& hive, hive_node_h node) {
  if (hive.reader() != nullptr) return hive.reader()->Name(node);
  Malloced<char> name(hivex_node_name(hive.handle(), node));
  return name ? Utf8ToGbk(name.get()) : std::string();
}

std::string ExactName(const HiveFile& hive, hive_node_h node) {
  if (hive.reader() != nullptr) return hive.reader()->Utf8Name(node);
  Malloced<char> name(hivex_node_name(hive.handle(), node));
  return name ? std::string(name.get()) : std::string();
}

std::vector<hive_node_h> Children(const HiveFile& hive, hive_node_h node) {
  if (hive.reader() != nullptr) return hive.reader()->Children(node);
  std::vector<hive_node_h> out;
  Malloced<hive_node_h> list(hivex_node_children(hive.handle(), node));
  if (!list) return out;
  for (hive_node_h* p = list.get(); *p != 0; ++p) out.push_back(*p);
  return out;
}

hive_node_h RootOf(const HiveFile& hive) {
  return hive.reader() != nullptr ? hive.reader()->root() : hivex_root(hive.handle());
}

// A value as it is stored: UTF-8 name as hivex gives it, raw data.
struct RawValue {
  std::string key;
  std::uint32_t type;
  std::string data;
  // The stored name holds a NUL, where hivex's name ends: written back, the
  // value would lose the rest of its name (and could take another's).
  bool cut = false;
};

bool AnyCut(const std::vector<RawValue>& values) {
  return std::any_of(values.begin(), values.end(), [](const RawValue& value) { return value.cut; });
}

// hivex passes value types as its enum, which lists the types only up to
// REG_QWORD; a hive may hold any 32-bit type, and loading or storing such a
// number as the enum is undefined. The bits are copied instead.
static_assert(sizeof(hive_type) == sizeof(std::uint32_t));

std::uint32_t TypeBits(const hive_type& type) {
  std::uint32_t bits;
  std::memcpy(&bits, &type, sizeof bits);
  return bits;
}

hive_set_value SetValueOf(RawValue& raw) {
  hive_set_value set{};
  set.key = raw.key.data();
  std::memcpy(&set.t, &raw.type, sizeof raw.type);
  set.len = raw.data.size();
  set.value = raw.data.data();
  return set;
}

// Writes `values` as the node's whole value list. A value hivex would have
// to write as one oversized cell is refused before anything changes.
long WriteNodeValues(HiveFile& hive, std::size_t node, std::vector<RawValue>& values) {
  for (const RawValue& value : values) {
    if (value.data.size() > kLargestPlainValue) return kAccessDenied;
  }
  std::vector<hive_set_value> set(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) set[i] = SetValueOf(values[i]);
  if (hivex_node_set_values(hive.handle(), node, set.size(), set.data(), 0) != 0) {
    hive.MarkBroken();
    return kAccessDenied;
  }
  hive.MarkModified();
  return kSuccess;
}

bool RawValues(hive_h* h, hive_node_h node, std::vector<RawValue>* out) {
  Malloced<hive_value_h> list(hivex_node_values(h, node));
  if (!list) return false;
  for (hive_value_h* p = list.get(); *p != 0; ++p) {
    Malloced<char> key(hivex_value_key(h, *p));
    hive_type type{};
    std::size_t length = 0;
    Malloced<char> data(hivex_value_value(h, *p, &type, &length));
    if (!key || !data) return false;
    const bool cut = hivex_value_key_len(h, *p) != std::strlen(key.get());
    out->push_back(RawValue{key.get(), TypeBits(type), std::string(data.get(), length), cut});
  }
  return true;
}

RegValue ToExact(const RawValue& raw) {
  return RegValue{raw.key, raw.type, std::vector<std::uint8_t>(raw.data.begin(), raw.data.end()), true};
}

RegValue ToAnsi(const RawValue& raw) {
  RegValue value = AnsiForm(ToExact(raw));
  value.name = Utf8ToGbk(raw.key);
  return value;
}

void CollectSubtree(const HiveFile& hive, hive_node_h node, int depth, std::vector<hive_node_h>* out) {
  out->push_back(node);
  if (depth >= kMaxKeyDepth) return;
  for (hive_node_h child : Children(hive, node)) CollectSubtree(hive, child, depth + 1, out);
}

// The file mapped for reading, for the structure check.
class MappedFile {
 public:
  explicit MappedFile(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) == 0 && info.st_size > 0) {
      void* at = ::mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ, MAP_SHARED, fd, 0);
      if (at != MAP_FAILED) {
        data_ = static_cast<const unsigned char*>(at);
        size_ = static_cast<std::size_t>(info.st_size);
      }
    }
  }
  ~MappedFile() {
    if (data_ != nullptr) ::munmap(const_cast<unsigned char*>(data_), size_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  const unsigned char* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  const unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace

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
  struct Closer {
    int fd;
    bool owned;
    ~Closer() {
      if (owned) ::close(fd);
    }
  } closer{fd, !writable};
  struct stat info {};
  if (::fstat(fd, &info) != 0) throw HiveError(path + ": cannot read: " + std::strerror(errno));
  if (!S_ISREG(info.st_mode)) throw HiveError(path + ": not a regular file");
  const auto file_size = static_cast<std::uint64_t>(info.st_size);
  std::string header(static_cast<std::size_t>(std::min<std::uint64_t>(file_size, kBaseBlockSize + 4)), '\0');
  if (::pread(fd, header.data(), header.size(), 0) != static_cast<ssize_t>(header.size())) {
    throw HiveError(path + ": cannot read: " + std::strerror(errno));
  }
  const std::string first_bin = header.size() > kBaseBlockSize ? header.substr(kBaseBlockSize) : std::string();
  header.resize(std::min<std::size_t>(header.size(), kBaseBlockSize));
  bool dirty = false;
  const std::string problem = CheckHiveHeader(header, file_size, &dirty);
  if (!problem.empty()) throw HiveError(path + ": " + problem);
  if (first_bin != "hbin") throw HiveError(path + ": damaged hive (no hive bin after the header)");
  if (!writable) {
    auto reader = RegfReader::Open(fd);
    if (reader == nullptr) throw HiveError(path + ": cannot map it: " + std::strerror(errno));
    if (const std::string damage = reader->Check(); !damage.empty()) {
      throw HiveError(path + ": damaged hive (" + damage + ")");
    }
    return std::shared_ptr<HiveFile>(new HiveFile(place, nullptr, std::move(reader), dirty));
  }
  {
    const MappedFile mapped(fd);
    if (mapped.data() == nullptr || mapped.size() != file_size) throw HiveError(path + ": cannot read it whole");
    const std::string damage = CheckHiveStructure(mapped.data(), mapped.size());
    if (!damage.empty()) throw HiveError(path + ": " + damage + "; refusing to change it");
  }
  // hivex opens the file by name: the locked one, through its descriptor.
  std::string name = "/proc/self/fd/" + std::to_string(fd);
  if (::access(name.c_str(), F_OK) != 0) name = path;
  hive_h* hive = hivex_open(name.c_str(), HIVEX_OPEN_WRITE);
  if (hive == nullptr) throw HiveError(path + ": damaged hive (" + std::strerror(errno) + ")");
  std::shared_ptr<HiveFile> file(new HiveFile(place, hive, nullptr, dirty));
  file->lock_ = std::move(lock);
  return file;
}

HiveFile::HiveFile(FilePlace place, hive_h* hive, std::unique_ptr<RegfReader> reader, bool dirty)
    : place_(std::move(place)), path_(place_.path()), hive_(hive), reader_(std::move(reader)), writable_(hive != nullptr), dirty_(dirty) {}

HiveFile::~HiveFile() {
  if (hive_ != nullptr) hivex_close(hive_);
}

void HiveFile::Prepare(FileSet& set) {
  if (!writable_) throw HiveError(path_ + ": opened for reading only");
  if (broken_) throw HiveError(path_ + ": a change failed half-way through the hive's structure; nothing was written");
  try {
    set.AddWrittenBy(place_, [&](const std::string& temporary) {
      if (hivex_commit(hive_, temporary.c_str(), 0) != 0) {
        throw HiveError(path_ + ": cannot write the changed hive: " + std::strerror(errno));
      }
    });
  } catch (const FileError& error) {
    throw HiveError(error.what());
  }
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

std::vector<RegValue> NodeValues(HiveFile& hive, std::size_t node, bool exact) {
  std::vector<RegValue> values;
  if (hive.reader() != nullptr) {
    if (!hive.reader()->Values(node, &values, exact)) values.clear();
    return values;
  }
  std::vector<RawValue> raw;
  if (!RawValues(hive.handle(), node, &raw)) return values;
  for (const RawValue& value : raw) values.push_back(exact ? ToExact(value) : ToAnsi(value));
  return values;
}

namespace {

// A link is marked in its key's flags, which the in-place reader sees; hivex
// does not give the flags, so a hive loaded for changes is asked for the
// value every link holds.
bool NodeIsLink(HiveFile& hive, std::size_t node) {
  if (hive.reader() != nullptr) return hive.reader()->IsLink(node);
  errno = 0;
  const hive_value_h value = hivex_node_get_value(hive.handle(), node, "SymbolicLinkValue");
  if (value == 0) return errno != 0 && errno != ENOENT;  // unreadable: not one to go into
  hive_type type{};
  std::size_t length = 0;
  return hivex_value_type(hive.handle(), value, &type, &length) != 0 || type == hive_t_REG_LINK;
}

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

hive_node_h HiveStore::ChildNamed(const HiveFile& hive, std::size_t node, const std::string& name, bool exact) {
  // Opening each subkey of a key in turn would read every sibling's name
  // each time; the names of the keys looked into last are kept.
  constexpr std::size_t kKeptKeys = 64;
  auto& index = exact ? exact_index_ : ansi_index_;
  if (index.hive != &hive || index.generation != hive.key_generation() || index.keys.size() > kKeptKeys) {
    index.keys.clear();
    index.hive = &hive;
    index.generation = hive.key_generation();
  }
  auto [entry, added] = index.keys.try_emplace(NodeId{&hive, node});
  if (added) {
    for (hive_node_h child : Children(hive, node)) {
      std::string folded = exact ? FoldUtf8(ExactName(hive, child)) : FoldName(NodeName(hive, child));
      entry->second.emplace(std::move(folded), child);  // the first of two equal names wins, as before
    }
  }
  auto it = entry->second.find(exact ? FoldUtf8(name) : FoldName(name));
  return it == entry->second.end() ? 0 : it->second;
}

void HiveStore::NoteChildAdded(HiveFile& hive, std::size_t node, const std::string& utf8_name, std::size_t child) {
  const std::uint64_t before = hive.key_generation();
  hive.MarkKeysChanged();
  for (ChildIndex* index : {&exact_index_, &ansi_index_}) {
    if (index->hive != &hive || index->generation != before) continue;
    index->generation = hive.key_generation();
    auto known = index->keys.find(NodeId{&hive, node});
    if (known == index->keys.end()) continue;
    known->second.emplace(index == &exact_index_ ? FoldUtf8(utf8_name) : FoldName(Utf8ToGbk(utf8_name)), child);
  }
}

bool HiveStore::Walk(const Handle& from, const std::string& path, Handle* found, bool create, bool open_link,
                     bool exact) {
  Handle at = from;
  const auto parts = exact ? SplitUtf8Path(path) : SplitKeyPath(path);
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::string& part = parts[i];
    if (at.hive != nullptr && at.node != RootOf(*at.hive) && NodeIsLink(*at.hive, at.node)) return false;
    if (at.hive == nullptr) {
      if (!software_ || !NamesEqual(part, "SOFTWARE")) return false;
      at.hive = software_.get();
      at.node = RootOf(*software_);
      continue;
    }
    hive_node_h next = ChildNamed(*at.hive, at.node, part, exact);
    if (next == 0) {
      if (!create || !at.hive->writable()) return false;
      errno = 0;
      const std::string utf8 = exact ? part : GbkToUtf8(part);
      next = hivex_node_add_child(at.hive->handle(), at.node, utf8.c_str());
      if (next == 0) {
        // EINVAL and EEXIST come before hivex touches the hive.
        if (errno != EINVAL && errno != EEXIST) at.hive->MarkBroken();
        return false;
      }
      at.hive->MarkModified();
      NoteChildAdded(*at.hive, at.node, utf8, next);
    }
    at.node = next;
  }
  if (!open_link && at.hive != nullptr && !parts.empty() && NodeIsLink(*at.hive, at.node)) return false;
  *found = at;
  return true;
}

long HiveStore::RegOpenKeyExA(HKey root, const std::string& path, std::uint32_t options,
                              std::uint32_t access, HKey* result) {
  if (result == nullptr) return kInvalidParameter;
  *result = kNullKey;
  Handle parent;
  if (!Resolve(root, &parent)) return root == kCurrentUser ? kFileNotFound : kInvalidHandle;
  if (parent.deleted) return kKeyDeleted;
  Handle found;
  if (!Walk(parent, ViewPath(root, path, access), &found, false, (options & kOpenLink) != 0)) return kFileNotFound;
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
  for (const RegValue& value : NodeValues(*handle.hive, handle.node, false)) {
    if (NamesEqual(value.name, name)) return CopyValueOut(value, type, data, size);
  }
  return kFileNotFound;
}

long HiveStore::SetNodeValue(HiveFile& hive, std::size_t node, const RegValue& value) {
  if (!hive.writable()) return kAccessDenied;
  std::vector<RawValue> raw;
  if (!RawValues(hive.handle(), node, &raw) || AnyCut(raw)) return kAccessDenied;
  const RegValue stored = StoredForm(value);
  RawValue wanted{value.name, value.type, std::string(stored.data.begin(), stored.data.end())};
  bool replaced = false;
  for (RawValue& existing : raw) {
    if (!replaced && Utf8NamesEqual(existing.key, value.name)) {
      existing.type = wanted.type;
      existing.data = wanted.data;  // the stored name keeps its letter case
      replaced = true;
    }
  }
  if (!replaced) raw.push_back(std::move(wanted));
  return WriteNodeValues(hive, node, raw);
}

long HiveStore::DeleteNodeValue(HiveFile& hive, std::size_t node, const std::string& name) {
  if (!hive.writable()) {
    for (const RegValue& value : NodeValues(hive, node, true)) {
      if (Utf8NamesEqual(value.name, name)) return kAccessDenied;
    }
    return kFileNotFound;
  }
  std::vector<RawValue> raw;
  if (!RawValues(hive.handle(), node, &raw) || AnyCut(raw)) return kAccessDenied;
  std::vector<RawValue> kept;
  bool found = false;
  for (RawValue& existing : raw) {
    if (!found && Utf8NamesEqual(existing.key, name)) {
      found = true;
    } else {
      kept.push_back(std::move(existing));
    }
  }
  if (!found) return kFileNotFound;
  if (!hive.writable()) return kAccessDenied;
  return WriteNodeValues(hive, node, kept);
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
      const auto children = Children(*handle.hive, handle.node);
      cache = {handle.hive, handle.node, handle.hive->generation(), {children.begin(), children.end()}};
    }
    if (index >= cache.children.size()) return kNoMoreItems;
    child = NodeName(*handle.hive, cache.children[index]);
  }
  if (name == nullptr || child.size() + 1 > capacity) return kMoreData;
  std::memcpy(name, child.c_str(), child.size() + 1);
  return kSuccess;
}

void HiveStore::ForgetNode(const HiveFile* hive, std::size_t node) {
  for (auto& [id, handle] : handles_) {
    if (handle.hive == hive && handle.node == node) handle.deleted = true;
  }
}

long HiveStore::RegDeleteKeyA(HKey key, const std::string& subkey) {
  Handle handle;
  if (!Resolve(key, &handle)) return kInvalidHandle;
  if (handle.deleted) return kKeyDeleted;
  if (SplitKeyPath(subkey).empty()) return kInvalidParameter;
  Handle victim;
  if (!Walk(handle, subkey, &victim, false, true)) return kFileNotFound;
  if (victim.hive == nullptr || !victim.hive->writable()) return kAccessDenied;
  hive_h* h = victim.hive->handle();
  if (victim.node == hivex_root(h) || hivex_node_nr_children(h, victim.node) > 0) return kAccessDenied;
  if (hivex_node_delete_child(h, victim.node) != 0) {
    victim.hive->MarkBroken();
    return kAccessDenied;
  }
  victim.hive->MarkModified();
  victim.hive->MarkKeysChanged();
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

bool HiveStore::CreateKey(HKey root, const std::string& path) {
  Handle top, found;
  return Resolve(root, &top) && Walk(top, path, &found, true, false, true) && found.hive != nullptr;
}

bool HiveStore::DeleteTree(HKey root, const std::string& path) {
  Handle top, victim;
  if (!Resolve(root, &top)) return false;
  // A link goes as a link: what lies below it in the file is its own.
  if (!Walk(top, path, &victim, false, true, true)) return true;
  if (victim.hive == nullptr || !victim.hive->writable()) return false;
  hive_h* h = victim.hive->handle();
  if (victim.node == hivex_root(h)) return false;
  std::vector<hive_node_h> doomed;
  CollectSubtree(*victim.hive, victim.node, 0, &doomed);
  if (hivex_node_delete_child(h, victim.node) != 0) {
    victim.hive->MarkBroken();
    return false;
  }
  victim.hive->MarkModified();
  victim.hive->MarkKeysChanged();
  for (hive_node_h node : doomed) ForgetNode(victim.hive, node);
  return true;
}

bool HiveStore::SetValue(HKey root, const std::string& path, const RegValue& value) {
  Handle top, key;
  if (!Resolve(root, &top) || !Walk(top, path, &key, true, false, true) || key.hive == nullptr) return false;
  return SetNodeValue(*key.hive, key.node, value) == kSuccess;
}

bool HiveStore::DeleteValue(HKey root, const std::string& path, const std::string& name) {
  Handle top, key;
  if (!Resolve(root, &top)) return false;
  if (!Walk(top, path, &key, false, false, true) || key.hive == nullptr) return true;
  const long rc = DeleteNodeValue(*key.hive, key.node, name);
  return rc == kSuccess || rc == kFileNotFound;
}

std::optional<std::vector<RegValue>> HiveStore::ListValues(HKey root, const std::string& path) {
  Handle top, key;
  if (!Resolve(root, &top) || !Walk(top, path, &key, false, false, true)) return std::nullopt;
  if (key.hive == nullptr) return std::vector<RegValue>{};
  return NodeValues(*key.hive, key.node, true);
}

namespace {

bool ReadNode(HiveFile& hive, hive_node_h node, int depth, RegTree* tree) {
  if (depth > kMaxKeyDepth) return false;
  tree->values = NodeValues(hive, node, true);
  for (hive_node_h child : Children(hive, node)) {
    RegTree& sub = tree->children.emplace_back();
    sub.name = ExactName(hive, child);
    if (!ReadNode(hive, child, depth + 1, &sub)) return false;
  }
  return true;
}

}  // namespace

std::optional<RegTree> HiveStore::ReadTree(HKey root, const std::string& path) {
  Handle top, key;
  if (!Resolve(root, &top) || !Walk(top, path, &key, false, false, true) || key.hive == nullptr) {
    return RegTarget::ReadTree(root, path);
  }
  RegTree tree;
  if (!ReadNode(*key.hive, key.node, 0, &tree)) return std::nullopt;
  return tree;
}

std::optional<std::vector<std::string>> HiveStore::ListSubkeys(HKey root, const std::string& path) {
  Handle top, key;
  if (!Resolve(root, &top) || !Walk(top, path, &key, false, false, true)) return std::nullopt;
  if (key.hive == nullptr) return software_ ? std::vector<std::string>{"SOFTWARE"} : std::vector<std::string>{};
  std::vector<std::string> names;
  for (hive_node_h child : Children(*key.hive, key.node)) names.push_back(ExactName(*key.hive, child));
  return names;
}

}  // namespace torvane::registry
