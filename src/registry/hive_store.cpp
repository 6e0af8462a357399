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
#include <map>
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
constexpr int kMaxDepth = 512;

std::uint32_t Le32(const std::string& bytes, std::size_t at) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 3])) << 24;
}

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
  if (depth >= kMaxDepth) return;
  for (hive_node_h child : Children(hive, node)) CollectSubtree(hive, child, depth + 1, out);
}

// The file mapped for reading, for the checks below.
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

std::uint32_t Le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint16_t Le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

std::string Hex(std::size_t offset) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%zx", offset);
  return text;
}

// Walks the hive bins as hivex does when it opens a hive and notes the cells
// in use: the only offsets hivex takes as valid.
std::string CheckBins(const unsigned char* p, std::size_t size, std::vector<bool>& used) {
  const std::size_t end = std::min<std::size_t>(size, kBaseBlockSize + Le32(p + 0x28));
  std::size_t page_size = 0;
  for (std::size_t off = kBaseBlockSize; off < end; off += page_size) {
    if (off + 0x20 > size || std::memcmp(p + off, "hbin", 4) != 0) {
      return "damaged hive (no hive bin at " + Hex(off) + ")";
    }
    page_size = Le32(p + off + 8);
    if (page_size <= 0x20 || (page_size & 0xFFF) != 0) return "damaged hive (bad hive bin size at " + Hex(off) + ")";
    if (page_size > size - off) return "damaged hive (the hive bin at " + Hex(off) + " runs past the end)";
    std::size_t length = 0;
    for (std::size_t cell = off + 0x20; cell < off + page_size; cell += length) {
      const auto raw = static_cast<std::int32_t>(Le32(p + cell));
      length = static_cast<std::size_t>(raw < 0 ? -static_cast<std::int64_t>(raw) : raw);
      if (length <= 4 || (length & 3) != 0) return "damaged hive (bad cell at " + Hex(cell) + ")";
      if (raw < 0) used[cell / 4] = true;
    }
  }
  return {};
}

// hivex trusts a hive's structure when it changes it: a cell freed twice
// (shared between two owners) or a reference to something that is not a
// cell in use ends in an assertion, which aborts the process, or in a write
// at a wild offset. Before a hive is opened for changes, every cell its
// writer may free or relink is checked: reachable from the root exactly
// once, in use, of the right kind and size.
class StructureCheck {
 public:
  // Only the bins the header announces count: a file padded far beyond them
  // (a sparse file of a terabyte) costs nothing here.
  StructureCheck(const unsigned char* p, std::size_t size)
      : p_(p),
        size_(std::min<std::size_t>(size, kBaseBlockSize + Le32(p + 0x28))),
        used_(size_ / 4 + 1),
        claimed_(size_ / 4 + 1) {}

  std::string Run() {
    if (std::string problem = CheckBins(p_, size_, used_); !problem.empty()) return problem;
    std::vector<std::size_t> pending{kBaseBlockSize + Le32(p_ + 0x24)};
    while (!pending.empty()) {
      const std::size_t nk = pending.back();
      pending.pop_back();
      if (!Node(nk, &pending)) return "damaged hive (key structure at " + Hex(problem_) + ")";
    }
    for (const auto& [sk, references] : sk_references_) {
      if (Le32(p_ + sk + 16) < references) return "damaged hive (security cell at " + Hex(sk) + ")";
    }
    return {};
  }

 private:
  std::size_t CellLength(std::size_t cell) const {
    return static_cast<std::size_t>(-static_cast<std::int64_t>(static_cast<std::int32_t>(Le32(p_ + cell))));
  }
  bool InUse(std::size_t cell, std::size_t need) {
    problem_ = cell;
    return cell < size_ && cell % 4 == 0 && used_[cell / 4] && CellLength(cell) >= need &&
           CellLength(cell) <= size_ - cell;
  }
  // A cell with one owner.
  bool Claim(std::size_t cell, std::size_t need, const char* id = nullptr) {
    if (!InUse(cell, need) || claimed_[cell / 4]) return false;
    if (id != nullptr && std::memcmp(p_ + cell + 4, id, 2) != 0) return false;
    claimed_[cell / 4] = true;
    return true;
  }
  static std::size_t At(std::uint32_t relative) { return kBaseBlockSize + relative; }

  bool SecurityCell(std::size_t sk) {
    if (!InUse(sk, 4 + 0x14) || std::memcmp(p_ + sk + 4, "sk", 2) != 0) return false;
    for (std::size_t link : {At(Le32(p_ + sk + 8)), At(Le32(p_ + sk + 12))}) {
      if (!InUse(link, 4 + 0x14) || std::memcmp(p_ + link + 4, "sk", 2) != 0) return false;
    }
    ++sk_references_[sk];
    return true;
  }

  bool SubkeyList(std::size_t list, std::vector<std::size_t>* pending, bool inside_ri) {
    if (!Claim(list, 8)) return false;
    const unsigned char* q = p_ + list + 4;
    const std::size_t count = Le16(q + 2);
    const bool ri = q[0] == 'r' && q[1] == 'i', li = q[0] == 'l' && q[1] == 'i';
    const bool lf = q[0] == 'l' && (q[1] == 'f' || q[1] == 'h');
    if (!ri && !li && !lf) return false;
    if (ri && inside_ri) return false;
    const std::size_t stride = lf ? 8 : 4;
    if (8 + count * stride > CellLength(list)) return false;
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t target = At(Le32(q + 4 + i * stride));
      if (ri) {
        if (!SubkeyList(target, pending, true)) return false;
      } else {
        pending->push_back(target);
      }
    }
    return true;
  }

  // A value's data: one cell, or a "db" record, its list and its segments.
  bool DataCells(std::size_t cell, std::uint32_t length) {
    if (!Claim(cell, 4)) return false;
    if (length <= CellLength(cell) - 4 || std::memcmp(p_ + cell + 4, "db", 2) != 0) return true;
    if (CellLength(cell) < 12) return false;
    const std::size_t segments = Le16(p_ + cell + 6);
    const std::size_t list = At(Le32(p_ + cell + 8));
    if (!Claim(list, 4 + segments * 4)) return false;
    for (std::size_t i = 0; i < segments; ++i) {
      if (!Claim(At(Le32(p_ + list + 4 + i * 4)), 8)) return false;
    }
    return true;
  }

  bool Node(std::size_t nk, std::vector<std::size_t>* pending) {
    if (!Claim(nk, 4 + 0x4C, "nk")) return false;
    const unsigned char* q = p_ + nk + 4;
    if (Le32(q + 0x1C) != 0xFFFFFFFF && !SubkeyList(At(Le32(q + 0x1C)), pending, false)) return false;
    const std::size_t values = Le32(q + 0x24);
    if (values > 0 && Le32(q + 0x28) != 0xFFFFFFFF) {
      const std::size_t list = At(Le32(q + 0x28));
      if (!Claim(list, 4) || 4 + values * 4 > CellLength(list)) return false;
      for (std::size_t i = 0; i < values; ++i) {
        const std::size_t vk = At(Le32(p_ + list + 4 + i * 4));
        if (!Claim(vk, 4 + 0x14, "vk")) return false;
        const std::uint32_t length = Le32(p_ + vk + 8);
        if ((length & 0x80000000u) == 0 && !DataCells(At(Le32(p_ + vk + 12)), length)) return false;
      }
    }
    if (Le32(q + 0x2C) != 0xFFFFFFFF && !SecurityCell(At(Le32(q + 0x2C)))) return false;
    if (Le32(q + 0x30) != 0xFFFFFFFF && !Claim(At(Le32(q + 0x30)), 4)) return false;
    problem_ = nk;
    return true;
  }

  const unsigned char* p_;
  std::size_t size_;
  std::vector<bool> used_, claimed_;
  std::map<std::size_t, std::uint32_t> sk_references_;
  std::size_t problem_ = 0;
};

}  // namespace

std::string CheckHiveHeader(const std::string& header, std::uint64_t file_size, bool* dirty) {
  if (header.size() < 4 || header.compare(0, 4, "regf") != 0) {
    return "not a registry hive (no \"regf\" signature)";
  }
  if (header.size() < kBaseBlockSize) {
    return "truncated: " + std::to_string(file_size) + " bytes, less than the 4096-byte hive header";
  }
  std::uint32_t sum = 0;
  for (std::size_t at = 0; at < 0x1FC; at += 4) sum ^= Le32(header, at);
  if (sum != Le32(header, 0x1FC)) return "damaged hive header (checksum mismatch)";
  if (Le32(header, 0x14) != 1) return "unsupported hive version " + std::to_string(Le32(header, 0x14));
  const std::uint32_t data_size = Le32(header, 0x28);
  if (data_size == 0 || data_size % 0x1000 != 0) return "damaged hive header (bad data size)";
  if (file_size < kBaseBlockSize + data_size) {
    return "truncated: the header announces " + std::to_string(kBaseBlockSize + data_size) +
           " bytes, the file holds " + std::to_string(file_size);
  }
  if (Le32(header, 0x24) >= data_size) return "damaged hive header (root key outside the hive)";
  *dirty = Le32(header, 0x04) != Le32(header, 0x08);
  return {};
}

std::shared_ptr<HiveFile> HiveFile::Open(const std::string& path, bool writable) {
  std::unique_ptr<FileLock> lock;
  int fd = -1;
  if (writable) {
    try {
      lock = std::make_unique<FileLock>(path);
    } catch (const FileError& error) {
      throw HiveError(error.what());
    }
    fd = lock->fd();
  } else {
    // Not blocking: a pipe planted under a hive's name must not stall the scan.
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw HiveError(path + ": cannot read: " + std::strerror(errno));
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
    return std::shared_ptr<HiveFile>(new HiveFile(path, nullptr, std::move(reader), dirty));
  }
  {
    const MappedFile mapped(fd);
    if (mapped.data() == nullptr || mapped.size() != file_size) throw HiveError(path + ": cannot read it whole");
    const std::string damage = StructureCheck(mapped.data(), mapped.size()).Run();
    if (!damage.empty()) throw HiveError(path + ": " + damage + "; refusing to change it");
  }
  // hivex opens the file by name: the locked one, through its descriptor.
  std::string name = "/proc/self/fd/" + std::to_string(fd);
  if (::access(name.c_str(), F_OK) != 0) name = path;
  hive_h* hive = hivex_open(name.c_str(), HIVEX_OPEN_WRITE);
  if (hive == nullptr) throw HiveError(path + ": damaged hive (" + std::strerror(errno) + ")");
  std::shared_ptr<HiveFile> file(new HiveFile(path, hive, nullptr, dirty));
  file->lock_ = std::move(lock);
  return file;
}

HiveFile::HiveFile(std::string path, hive_h* hive, std::unique_ptr<RegfReader> reader, bool dirty)
    : path_(std::move(path)), hive_(hive), reader_(std::move(reader)), writable_(hive != nullptr), dirty_(dirty) {}

HiveFile::~HiveFile() {
  if (hive_ != nullptr) hivex_close(hive_);
}

void HiveFile::Prepare(FileSet& set) {
  if (!writable_) throw HiveError(path_ + ": opened for reading only");
  if (broken_) throw HiveError(path_ + ": a change failed half-way through the hive's structure; nothing was written");
  try {
    set.AddWrittenBy(path_, [&](const std::string& temporary) {
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
  if (!Walk(parent, path, &found, false, (options & kOpenLink) != 0)) return kFileNotFound;
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
  for (const RawValue& existing : raw) {
    if (existing.data.size() > kLargestPlainValue) return kAccessDenied;
  }
  std::vector<hive_set_value> set(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    set[i] = SetValueOf(raw[i]);
  }
  if (hivex_node_set_values(hive.handle(), node, set.size(), set.data(), 0) != 0) {
    hive.MarkBroken();
    return kAccessDenied;
  }
  hive.MarkModified();
  return kSuccess;
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
  for (const RawValue& existing : kept) {
    if (existing.data.size() > kLargestPlainValue) return kAccessDenied;
  }
  std::vector<hive_set_value> set(kept.size());
  for (std::size_t i = 0; i < kept.size(); ++i) {
    set[i] = SetValueOf(kept[i]);
  }
  if (hivex_node_set_values(hive.handle(), node, set.size(), set.data(), 0) != 0) {
    hive.MarkBroken();
    return kAccessDenied;
  }
  hive.MarkModified();
  return kSuccess;
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
  if (depth > kMaxDepth) return false;
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
