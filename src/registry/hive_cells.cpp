#include "registry/hive_cells.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "registry/file_io.h"
#include "registry/hive_log.h"
#include "registry/little_endian.h"
#include "registry/owned.h"
#include "registry/regf_format.h"
#include "registry/regf_reader.h"
#include "registry/utf.h"

namespace torvane::registry {

namespace {

using regf::kBaseBlockSize;
using regf::kBinHeaderSize;
using regf::kNoCell;
// A longer subkey list is split into leaves of this many entries under an
// "ri" index, as Windows keeps the lists of keys with many subkeys; one
// list could hold up to 65535.
constexpr std::size_t kLeafEntries = 1012;

void Put16(std::string& bytes, std::size_t at, std::uint16_t value) { registry::PutLe16(bytes, at, value); }
void Put32(std::string& bytes, std::size_t at, std::uint32_t value) { registry::PutLe32(bytes, at, value); }

// The registry compares names by their upper-cased UTF-16 units; ASCII and
// Latin-1 letters are upper-cased here, every other unit compares as it is.
std::uint16_t Upcase(std::uint16_t unit) {
  if ((unit >= 'a' && unit <= 'z') || (unit >= 0xE0 && unit <= 0xFE && unit != 0xF7)) return unit - 0x20;
  if (unit == 0xFF) return 0x178;
  return unit;
}

std::vector<std::uint16_t> Units(const std::string& utf8) {
  const std::string utf16 = Utf8ToUtf16le(utf8);
  std::vector<std::uint16_t> units(utf16.size() / 2);
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<std::uint16_t>(static_cast<unsigned char>(utf16[2 * i]) |
                                          static_cast<unsigned char>(utf16[2 * i + 1]) << 8);
  }
  return units;
}

// A name as a record stores it: Latin-1 when every unit fits (flagged
// compressed), else UTF-16LE.
struct StoredName {
  std::string bytes;
  bool compressed;
  std::size_t utf16_bytes;
};

StoredName Store(const std::string& utf8) {
  const std::vector<std::uint16_t> units = Units(utf8);
  const bool narrow = std::all_of(units.begin(), units.end(), [](std::uint16_t u) { return u <= 0xFF; });
  StoredName name{{}, narrow, units.size() * 2};
  for (std::uint16_t unit : units) {
    name.bytes += static_cast<char>(unit & 0xFF);
    if (!narrow) name.bytes += static_cast<char>(unit >> 8);
  }
  return name;
}

// One entry of a subkey list: the key's cell (relative to the bins), its
// "lh" hash and the key it sorts by.
struct Entry {
  std::uint32_t cell;
  std::uint32_t hash;
  std::vector<std::uint16_t> order;
};

Entry EntryOf(std::uint32_t cell, const std::string& utf8) {
  Entry entry{cell, 0, Units(utf8)};
  for (std::uint16_t& unit : entry.order) {
    unit = Upcase(unit);
    entry.hash = entry.hash * 37 + unit;
  }
  return entry;
}

std::uint64_t FileTimeNow() {
  constexpr std::uint64_t kEpochDifference = 11644473600ull;  // 1601 to 1970, in seconds
  return (static_cast<std::uint64_t>(std::time(nullptr)) + kEpochDifference) * 10000000ull;
}

// The new bin, built in memory: cells are handed out one after another.
class Bin {
 public:
  explicit Bin(std::size_t at) : at_(at), bytes_(kBinHeaderSize, '\0') {}

  // A cell for `payload` bytes after its size field; its file offset.
  std::size_t Cell(std::size_t payload) {
    const std::size_t length = (payload + 4 + 7) & ~std::size_t{7};
    const std::size_t cell = at_ + bytes_.size();
    bytes_.append(length, '\0');
    Put32(bytes_, cell - at_, static_cast<std::uint32_t>(-static_cast<std::int64_t>(length)));
    return cell;
  }
  void Set16(std::size_t at, std::uint16_t value) { Put16(bytes_, at - at_, value); }
  void Set32(std::size_t at, std::uint32_t value) { Put32(bytes_, at - at_, value); }
  void Set(std::size_t at, const std::string& bytes) { bytes_.replace(at - at_, bytes.size(), bytes); }

  // The finished bin: a whole number of pages, the rest one free cell.
  const std::string& Finish(std::uint64_t stamp) {
    const std::size_t used = bytes_.size();
    const std::size_t length = (used + 0xFFF) & ~std::size_t{0xFFF};
    bytes_.resize(length, '\0');
    if (length > used) Put32(bytes_, used, static_cast<std::uint32_t>(length - used));
    bytes_.replace(0, 4, "hbin");
    Put32(bytes_, 4, static_cast<std::uint32_t>(at_ - kBaseBlockSize));
    Put32(bytes_, 8, static_cast<std::uint32_t>(length));
    Put32(bytes_, 0x14, static_cast<std::uint32_t>(stamp));
    Put32(bytes_, 0x18, static_cast<std::uint32_t>(stamp >> 32));
    return bytes_;
  }
  std::size_t size() const { return bytes_.size(); }

 private:
  std::size_t at_;  // the bin's file offset
  std::string bytes_;
};

std::uint32_t Relative(std::size_t cell) { return static_cast<std::uint32_t>(cell - kBaseBlockSize); }

// Writes `entries`, sorted, as one list or an "ri" index of them; the cell
// (relative) that the key's record names. Hives of version 1.5 and later get
// "lh" lists (with each name's hash), older ones "li" lists (offsets only),
// which every version of Windows reads.
std::uint32_t WriteList(Bin& bin, std::vector<Entry> entries, std::uint32_t minor_version) {
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.order < b.order; });
  const bool hashed = minor_version >= 5;
  auto leaf = [&](std::size_t from, std::size_t count) {
    const std::size_t entry = hashed ? 8 : 4;
    const std::size_t cell = bin.Cell(4 + entry * count);
    bin.Set(cell + 4, hashed ? "lh" : "li");
    bin.Set16(cell + 6, static_cast<std::uint16_t>(count));
    for (std::size_t i = 0; i < count; ++i) {
      bin.Set32(cell + 8 + entry * i, entries[from + i].cell);
      if (hashed) bin.Set32(cell + 12 + entry * i, entries[from + i].hash);
    }
    return Relative(cell);
  };
  if (entries.size() <= kLeafEntries) return leaf(0, entries.size());
  std::vector<std::uint32_t> leaves;
  for (std::size_t from = 0; from < entries.size(); from += kLeafEntries) {
    leaves.push_back(leaf(from, std::min(kLeafEntries, entries.size() - from)));
  }
  const std::size_t index = bin.Cell(4 + 4 * leaves.size());
  bin.Set(index + 4, "ri");
  bin.Set16(index + 6, static_cast<std::uint16_t>(leaves.size()));
  for (std::size_t i = 0; i < leaves.size(); ++i) bin.Set32(index + 8 + 4 * i, leaves[i]);
  return Relative(index);
}

// A key's value list as written: its cell (relative, or none) and the
// lengths its key's record keeps of the longest name and the largest data.
struct ValueList {
  std::uint32_t list = kNoCell;
  std::uint32_t longest_name = 0;
  std::uint32_t largest_data = 0;
};

class Writer {
 public:
  Writer(Bin& bin, std::uint64_t stamp, std::uint32_t minor_version)
      : bin_(bin), stamp_(stamp), minor_version_(minor_version) {}

  // Writes `key` and everything below it; its cell, relative.
  std::uint32_t Key(const NewKey& key, std::uint32_t parent, std::uint32_t security) {
    ++keys_;
    const StoredName name = Store(key.name);
    const std::size_t nk = bin_.Cell(0x4C + name.bytes.size());
    bin_.Set(nk + 4, "nk");
    bin_.Set16(nk + 6, name.compressed ? regf::nk::kCompressedName : 0);
    bin_.Set32(nk + 8, static_cast<std::uint32_t>(stamp_));
    bin_.Set32(nk + 12, static_cast<std::uint32_t>(stamp_ >> 32));
    bin_.Set32(nk + 0x14, parent);
    bin_.Set32(nk + 0x24, kNoCell);  // no volatile subkeys
    bin_.Set32(nk + 0x30, security);
    bin_.Set32(nk + 0x34, kNoCell);  // no class
    bin_.Set16(nk + 0x4C, static_cast<std::uint16_t>(name.bytes.size()));
    bin_.Set(nk + 0x50, name.bytes);
    const ValueList values = Values(key.values);
    bin_.Set32(nk + 0x2C, values.list);
    bin_.Set32(nk + 0x28, static_cast<std::uint32_t>(key.values.size()));
    bin_.Set32(nk + 0x40, values.longest_name);
    bin_.Set32(nk + 0x44, values.largest_data);
    std::vector<Entry> entries;
    std::size_t longest = 0;
    for (const NewKey& child : key.children) {
      entries.push_back(EntryOf(Key(child, Relative(nk), security), child.name));
      longest = std::max(longest, entries.back().order.size() * 2);
    }
    bin_.Set32(nk + 0x18, static_cast<std::uint32_t>(entries.size()));
    bin_.Set32(nk + 0x20, entries.empty() ? kNoCell : WriteList(bin_, std::move(entries), minor_version_));
    bin_.Set32(nk + 0x38, static_cast<std::uint32_t>(longest));
    return Relative(nk);
  }

  std::size_t keys() const { return keys_; }

  // Writes `values` (raw, names UTF-8) as a key's whole value list. Data a
  // hive of version 1.4 or later keeps in segments (KeptInSegments) goes
  // into a "db" record, its list and segments of 16,344 bytes, the last one
  // shorter, as Windows writes them; other data into one cell, or into the
  // record itself when it is 4 bytes or less.
  ValueList Values(const std::vector<RegValue>& values) {
    ValueList out;
    if (values.empty()) return out;
    std::vector<std::uint32_t> cells;
    for (const RegValue& value : values) {
      const StoredName name = Store(value.name);
      out.longest_name = std::max(out.longest_name, static_cast<std::uint32_t>(name.utf16_bytes));
      out.largest_data = std::max(out.largest_data, static_cast<std::uint32_t>(value.data.size()));
      const std::size_t vk = bin_.Cell(0x14 + name.bytes.size());
      bin_.Set(vk + 4, "vk");
      bin_.Set16(vk + 6, static_cast<std::uint16_t>(name.bytes.size()));
      const std::string data(value.data.begin(), value.data.end());
      if (data.size() <= 4) {
        bin_.Set32(vk + 8, static_cast<std::uint32_t>(data.size()) | 0x80000000u);
        bin_.Set(vk + 12, data);
      } else if (KeptInSegments(minor_version_, static_cast<std::uint32_t>(data.size()))) {
        std::vector<std::uint32_t> segments;
        for (std::size_t at = 0; at < data.size(); at += kLargestPlainData) {
          const std::string part = data.substr(at, kLargestPlainData);
          const std::size_t cell = bin_.Cell(part.size());
          bin_.Set(cell + 4, part);
          segments.push_back(Relative(cell));
        }
        const std::size_t list = bin_.Cell(4 * segments.size());
        for (std::size_t i = 0; i < segments.size(); ++i) bin_.Set32(list + 4 + 4 * i, segments[i]);
        const std::size_t db = bin_.Cell(8);
        bin_.Set(db + 4, "db");
        bin_.Set16(db + 6, static_cast<std::uint16_t>(segments.size()));
        bin_.Set32(db + 8, Relative(list));
        bin_.Set32(vk + 8, static_cast<std::uint32_t>(data.size()));
        bin_.Set32(vk + 12, Relative(db));
      } else {
        const std::size_t cell = bin_.Cell(data.size());
        bin_.Set(cell + 4, data);
        bin_.Set32(vk + 8, static_cast<std::uint32_t>(data.size()));
        bin_.Set32(vk + 12, Relative(cell));
      }
      bin_.Set32(vk + 16, value.type);
      bin_.Set16(vk + 20, name.compressed ? 1 : 0);
      bin_.Set(vk + 24, name.bytes);
      cells.push_back(Relative(vk));
    }
    const std::size_t list = bin_.Cell(4 * cells.size());
    for (std::size_t i = 0; i < cells.size(); ++i) bin_.Set32(list + 4 + 4 * i, cells[i]);
    out.list = Relative(list);
    return out;
  }

 private:
  Bin& bin_;
  std::uint64_t stamp_;
  std::uint32_t minor_version_;
  std::size_t keys_ = 0;
};

bool WriteAll(int fd, const std::string& bytes, std::size_t at) { return WriteAt(fd, bytes.data(), bytes.size(), at); }

}  // namespace

namespace {

// The changes to the cells of a hive mapped at `p` (up to `end`, its
// structure checked: see CheckHiveStructure, which makes sure that no cell
// but a security cell is reached twice): 32-bit words patched in place, and
// what the new bin holds.
class Changer {
 public:
  Changer(const RegfReader& reader, const unsigned char* p, std::size_t end, std::uint32_t minor_version)
      : reader_(reader), p_(p), end_(end), minor_version_(minor_version) {}

  std::map<std::size_t, std::uint32_t>& patches() { return patches_; }

  // Marks the cell at file offset `cell` free; false for one that is not a
  // cell in use.
  bool Free(std::size_t cell) {
    if (cell < kBaseBlockSize + kBinHeaderSize || cell + 4 > end_ || !freed_.insert(cell).second) return false;
    const auto raw = static_cast<std::int32_t>(Get(cell));
    if (raw >= 0) return false;
    patches_[cell] = static_cast<std::uint32_t>(-static_cast<std::int64_t>(raw));
    return true;
  }

  // The word at `at` as the changes so far leave it.
  std::uint32_t Get(std::size_t at) const {
    const auto patched = patches_.find(at);
    return patched != patches_.end() ? patched->second : Le32(p_ + at);
  }

  // Frees a key's value list, values and their data.
  std::string FreeValues(std::size_t nk) {
    const std::uint32_t count = Le32(p_ + nk + regf::nk::kValueCount), list = Le32(p_ + nk + regf::nk::kValueList);
    if (count == 0 || list == kNoCell) return {};
    const std::size_t at = kBaseBlockSize + std::size_t{list};
    if (at + 4 + 4 * std::size_t{count} > end_ || !Free(at)) return "a value list does not read back";
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::size_t vk = kBaseBlockSize + std::size_t{Le32(p_ + at + 4 + 4 * i)};
      if (vk + regf::vk::kName > end_ || !Free(vk)) return "a value does not read back";
      const std::uint32_t size = Le32(p_ + vk + regf::vk::kDataSize), data = Le32(p_ + vk + regf::vk::kData);
      if ((size & regf::vk::kDataInRecord) != 0 || size == 0 || data == kNoCell) continue;
      const std::size_t cell = kBaseBlockSize + std::size_t{data};
      if (cell + 8 > end_ || !Free(cell)) return "a value's data does not read back";
      if (!KeptInSegments(minor_version_, size)) continue;
      // A "db" record: its list of segments and the segments.
      const std::size_t segments = Le16(p_ + cell + regf::db::kSegmentCount);
      const std::size_t segment_list = kBaseBlockSize + std::size_t{Le32(p_ + cell + regf::db::kSegmentList)};
      if (segment_list + 4 + 4 * segments > end_ || !Free(segment_list)) return "a value's segments do not read back";
      for (std::size_t k = 0; k < segments; ++k) {
        if (!Free(kBaseBlockSize + std::size_t{Le32(p_ + segment_list + 4 + 4 * k)})) {
          return "a value's segment does not read back";
        }
      }
    }
    return {};
  }

  // Frees the cells of a subkey list (an index's leaves too).
  std::string FreeList(std::size_t nk) {
    if (Le32(p_ + nk + regf::nk::kSubkeyCount) == 0 || Le32(p_ + nk + regf::nk::kSubkeyList) == kNoCell) return {};
    const std::size_t list = kBaseBlockSize + std::size_t{Le32(p_ + nk + regf::nk::kSubkeyList)};
    if (list + 8 > end_ || !Free(list)) return "a subkey list does not read back";
    if (std::memcmp(p_ + list + 4, "ri", 2) == 0) {
      for (std::size_t i = 0; i < Le16(p_ + list + regf::list::kCount); ++i) {
        const std::size_t entry = list + regf::list::kEntries + 4 * i;
        if (entry + 4 > end_ || !Free(kBaseBlockSize + std::size_t{Le32(p_ + entry)})) {
          return "a subkey list does not read back";
        }
      }
    }
    return {};
  }

  // Frees a key and everything below it; its security cell loses a
  // reference for each key freed.
  std::string FreeTree(std::size_t key) {
    std::vector<std::size_t> pending{key};
    while (!pending.empty()) {
      const std::size_t nk = pending.back();
      pending.pop_back();
      std::vector<std::size_t> children;
      if (!reader_.Children(nk, &children)) return "the subkeys of a deleted key do not read back";
      pending.insert(pending.end(), children.begin(), children.end());
      if (std::string problem = FreeValues(nk); !problem.empty()) return problem;
      if (std::string problem = FreeList(nk); !problem.empty()) return problem;
      const std::uint32_t class_name = Le32(p_ + nk + regf::nk::kClassName);
      if (class_name != kNoCell && !Free(kBaseBlockSize + std::size_t{class_name})) {
        return "a deleted key's class name does not read back";
      }
      const std::size_t security = kBaseBlockSize + std::size_t{Le32(p_ + nk + regf::nk::kSecurity)};
      ++dropped_[security];
      if (!Free(nk)) return "a deleted key does not read back";
    }
    return {};
  }

  // Each security cell's count of references, less those of the keys
  // freed, plus `added`; a cell no key refers to any more is freed and taken
  // out of the ring of security cells.
  std::string SettleSecurity(const std::map<std::size_t, std::uint32_t>& added) {
    std::map<std::size_t, std::int64_t> change;
    for (const auto& [cell, count] : dropped_) change[cell] -= count;
    for (const auto& [cell, count] : added) change[cell] += count;
    for (const auto& [cell, delta] : change) {
      if (cell + regf::sk::kDescriptor > end_ || std::memcmp(p_ + cell + 4, "sk", 2) != 0) return "a security cell does not read back";
      const std::int64_t references = std::int64_t{Le32(p_ + cell + regf::sk::kReferences)} + delta;
      if (references < 0) return "a security cell has fewer references than keys";
      patches_[cell + regf::sk::kReferences] = static_cast<std::uint32_t>(references);
      if (references > 0) continue;
      const std::uint32_t next = Get(cell + regf::sk::kNext), previous = Get(cell + regf::sk::kPrevious);
      if (next == Relative(cell) || previous == Relative(cell)) return "the last security cell would go";
      patches_[kBaseBlockSize + std::size_t{previous} + regf::sk::kNext] = next;
      patches_[kBaseBlockSize + std::size_t{next} + regf::sk::kPrevious] = previous;
      if (!Free(cell)) return "a security cell does not read back";
    }
    return {};
  }

 private:
  const RegfReader& reader_;
  const unsigned char* p_;
  std::size_t end_;
  std::uint32_t minor_version_;
  std::map<std::size_t, std::uint32_t> patches_;
  std::unordered_set<std::size_t> freed_;
  std::map<std::size_t, std::uint32_t> dropped_;
};

}  // namespace

std::string WriteChanges(int fd, const HiveChanges& changes, std::uint32_t minor_version) {
  std::vector<std::pair<std::size_t, std::string>> runs;  // file offset: bytes with the changed words
  std::vector<std::pair<std::size_t, std::string>> bins;
  std::uint64_t data_size = 0;
  std::uint32_t sequence = 0;
  {
    auto reader = RegfReader::Open(fd);
    if (reader == nullptr) return "cannot map the written hive";
    const Mapping mapped(fd);
    if (mapped.data() == nullptr || mapped.size() < reader->end()) return "cannot map the written hive";
    const unsigned char* p = mapped.data();
    const std::size_t end = reader->end();
    data_size = end - kBaseBlockSize;
    sequence = Le32(p + regf::header::kPrimarySequence) + 1;
    const std::uint64_t stamp = FileTimeNow();
    Bin bin(end);
    Writer writer(bin, stamp, minor_version);
    Changer changer(*reader, p, end, minor_version);
    const auto is_key = [&](std::size_t nk) {
      std::string name;
      return nk + regf::nk::kName <= end && reader->NameOf(nk, &name);
    };
    std::map<std::size_t, std::uint32_t> security_references;
    // Every key whose subkeys change: those deleted go (with all below
    // them), those added come, and one sorted list replaces the old.
    std::set<std::size_t> parents;
    for (const NewSubkeys& under : changes.added) parents.insert(under.parent);
    for (const auto& [parent, gone] : changes.deleted) parents.insert(parent);
    for (std::size_t nk : parents) {
      if (!is_key(nk)) return "a key whose subkeys change does not read back";
      std::vector<std::size_t> old_children;
      if (!reader->Children(nk, &old_children)) return "the subkeys of a key whose subkeys change do not read back";
      std::set<std::size_t> gone;
      if (const auto deleted = changes.deleted.find(nk); deleted != changes.deleted.end()) {
        gone.insert(deleted->second.begin(), deleted->second.end());
      }
      std::vector<Entry> entries;
      std::size_t longest = 0;
      for (std::size_t child : old_children) {
        if (gone.erase(child) != 0) {
          if (std::string problem = changer.FreeTree(child); !problem.empty()) return problem;
          continue;
        }
        std::string name;
        if (!reader->NameOf(child, &name)) return "a subkey name does not read back";
        entries.push_back(EntryOf(Relative(child), name));
        longest = std::max(longest, entries.back().order.size() * 2);
      }
      if (!gone.empty()) return "a key to delete is not its parent's subkey";
      const auto under = std::find_if(changes.added.begin(), changes.added.end(),
                                      [&](const NewSubkeys& added) { return added.parent == nk; });
      if (under != changes.added.end() && !under->keys.empty()) {
        const std::size_t security = kBaseBlockSize + std::size_t{Le32(p + nk + regf::nk::kSecurity)};
        if (security + regf::sk::kDescriptor > end || std::memcmp(p + security + 4, "sk", 2) != 0 ||
            static_cast<std::int32_t>(Le32(p + security)) >= 0) {
          return "a key new keys go under has no security cell";
        }
        const std::size_t before = writer.keys();
        for (const NewKey& key : under->keys) {
          entries.push_back(EntryOf(writer.Key(key, Relative(nk), Relative(security)), key.name));
          longest = std::max(longest, entries.back().order.size() * 2);
        }
        security_references[security] += static_cast<std::uint32_t>(writer.keys() - before);
      }
      // The old list goes: its cells (an index's leaves too) become free.
      if (std::string problem = changer.FreeList(nk); !problem.empty()) return problem;
      changer.patches()[nk + regf::nk::kSubkeyCount] = static_cast<std::uint32_t>(entries.size());
      changer.patches()[nk + regf::nk::kSubkeyList] =
          entries.empty() ? kNoCell : WriteList(bin, std::move(entries), minor_version);
      changer.patches()[nk + regf::nk::kLongestSubkeyName] = static_cast<std::uint32_t>(longest);
    }
    // Every key whose values change gets a new list of them; the old one,
    // its values and their data become free.
    for (const auto& [nk, values] : changes.values) {
      if (!is_key(nk)) return "a key whose values change does not read back";
      if (std::string problem = changer.FreeValues(nk); !problem.empty()) return problem;
      const ValueList list = writer.Values(values);
      changer.patches()[nk + regf::nk::kValueCount] = static_cast<std::uint32_t>(values.size());
      changer.patches()[nk + regf::nk::kValueList] = list.list;
      changer.patches()[nk + regf::nk::kLongestValueName] = list.longest_name;
      changer.patches()[nk + regf::nk::kLargestValueData] = list.largest_data;
    }
    if (std::string problem = changer.SettleSecurity(security_references); !problem.empty()) return problem;
    // The patched words go out in runs of the file's bytes around them, one
    // write per neighbourhood rather than one per word: deleting a big tree
    // frees a cell every few dozen bytes.
    constexpr std::size_t kNear = 4096;
    for (const auto& [at, value] : changer.patches()) {
      if (at + 4 > end) return "a changed cell lies outside the hive";
      if (runs.empty() || at > runs.back().first + runs.back().second.size() + kNear) runs.emplace_back(at, std::string());
      auto& [start, bytes] = runs.back();
      if (const std::size_t need = at + 4 - start; bytes.size() < need) {
        bytes.append(reinterpret_cast<const char*>(p) + start + bytes.size(), need - bytes.size());
      }
      Put32(bytes, at - start, value);
    }
    if (bin.size() > kBinHeaderSize) {
      bins.emplace_back(end, bin.Finish(stamp));
      data_size += bins.back().second.size();
    }
  }
  if (data_size > 0xFFFFF000u) return "the hive would grow past 4 GB";
  std::string header(0x200, '\0');
  if (!ReadAt(fd, header.data(), header.size(), 0)) return "cannot read the written hive's header";
  // Written whole and clean: both sequence numbers one past the old.
  Put32(header, regf::header::kPrimarySequence, sequence);
  Put32(header, regf::header::kSecondarySequence, sequence);
  Put32(header, regf::header::kBinsSize, static_cast<std::uint32_t>(data_size));
  Put32(header, regf::header::kChecksum, BaseBlockChecksum(reinterpret_cast<const unsigned char*>(header.data())));
  for (const auto& [at, bytes] : runs) {
    if (!WriteAll(fd, bytes, at)) return "cannot write: " + LastSystemError();
  }
  for (const auto& [at, bytes] : bins) {
    if (!WriteAll(fd, bytes, at)) return "cannot write: " + LastSystemError();
  }
  if (!WriteAll(fd, header, 0) || !TruncateFile(fd, kBaseBlockSize + data_size)) {
    return "cannot write: " + LastSystemError();
  }
  return {};
}

namespace {

// Copies the cells reachable from a checked hive's root; see CompactHive.
class Compactor {
 public:
  Compactor(const unsigned char* p, std::size_t size)
      : p_(p), end_(std::min<std::size_t>(size, kBaseBlockSize + std::size_t{Le32(p + 0x28)})) {}

  std::string Run() {
    const std::size_t root = kBaseBlockSize + std::size_t{Le32(p_ + 0x24)};
    std::vector<std::size_t> keys{root};
    if (!Place(root, 0x50)) return {};
    while (!keys.empty()) {
      const std::size_t nk = keys.back();
      keys.pop_back();
      if (!Key(nk, &keys)) return {};
    }
    for (std::size_t i = 0; i < security_.size(); ++i) {
      const std::size_t n = security_.size();
      Refer(security_[i], 8, security_[(i + 1) % n]);
      Refer(security_[i], 12, security_[(i + n - 1) % n]);
    }
    return Write(root);
  }

 private:
  std::size_t Length(std::size_t cell) const {
    return static_cast<std::size_t>(-static_cast<std::int64_t>(static_cast<std::int32_t>(Le32(p_ + cell))));
  }
  bool Valid(std::size_t cell, std::size_t need) const {
    return cell >= kBaseBlockSize + kBinHeaderSize && cell % 4 == 0 && cell + 4 <= end_ &&
           static_cast<std::int32_t>(Le32(p_ + cell)) < 0 && Length(cell) >= need && Length(cell) <= end_ - cell;
  }
  // Takes the cell into the copy once.
  bool Place(std::size_t cell, std::size_t need) {
    if (!Valid(cell, need)) return false;
    if (moved_.emplace(cell, 0).second) order_.push_back(cell);
    return true;
  }
  static std::size_t At(std::uint32_t relative) { return kBaseBlockSize + std::size_t{relative}; }
  // The 32-bit reference at `field` of `cell` is to `target`.
  void Refer(std::size_t cell, std::size_t field, std::size_t target) { references_.push_back({cell, field, target}); }
  // A reference held by `cell` at `field`, taken along when it names something.
  bool Follow(std::size_t cell, std::size_t field, std::size_t need, std::size_t* target = nullptr) {
    const std::size_t to = At(Le32(p_ + cell + field));
    if (!Place(to, need)) return false;
    Refer(cell, field, to);
    if (target != nullptr) *target = to;
    return true;
  }

  bool Key(std::size_t nk, std::vector<std::size_t>* keys) {
    if (std::memcmp(p_ + nk + 4, "nk", 2) != 0) return false;
    if (Le32(p_ + nk + 0x20) != kNoCell) {
      std::size_t list = 0;
      if (!Follow(nk, 0x20, 8, &list) || !List(list, nk, false, keys)) return false;
    }
    const std::size_t values = Le32(p_ + nk + 0x28);
    if (values > 0 && Le32(p_ + nk + 0x2C) != kNoCell) {
      std::size_t list = 0;
      if (!Follow(nk, 0x2C, 4 + 4 * values, &list)) return false;
      for (std::size_t i = 0; i < values; ++i) {
        std::size_t vk = 0;
        if (!Follow(list, 4 + 4 * i, 0x18, &vk) || !Value(vk)) return false;
      }
    }
    if (Le32(p_ + nk + 0x30) != kNoCell) {
      std::size_t sk = 0;
      if (!Follow(nk, 0x30, 0x18, &sk) || std::memcmp(p_ + sk + 4, "sk", 2) != 0) return false;
      if (security_seen_.insert(sk).second) security_.push_back(sk);
    }
    if (Le32(p_ + nk + 0x34) != kNoCell && !Follow(nk, 0x34, 4)) return false;
    return true;
  }

  bool List(std::size_t list, std::size_t parent, bool inside_index, std::vector<std::size_t>* keys) {
    const unsigned char* q = p_ + list + 4;
    const bool index = q[0] == 'r' && q[1] == 'i';
    const bool fast = q[0] == 'l' && (q[1] == 'f' || q[1] == 'h');
    if (!index && !fast && !(q[0] == 'l' && q[1] == 'i')) return false;
    if (index && inside_index) return false;
    const std::size_t count = Le16(q + 2);
    const std::size_t stride = fast ? 8 : 4;
    if (8 + count * stride > Length(list)) return false;
    for (std::size_t i = 0; i < count; ++i) {
      std::size_t target = 0;
      if (index) {
        if (!Follow(list, 8 + i * stride, 8, &target) || !List(target, parent, true, keys)) return false;
        continue;
      }
      const std::size_t before = order_.size();
      if (!Follow(list, 8 + i * stride, 0x50, &target)) return false;
      if (order_.size() == before) return false;  // a key reached twice
      Refer(target, 0x14, parent);
      keys->push_back(target);
    }
    return true;
  }

  bool Value(std::size_t vk) {
    if (std::memcmp(p_ + vk + 4, "vk", 2) != 0) return false;
    const std::uint32_t length = Le32(p_ + vk + 8);
    if (length & 0x80000000u) return true;
    std::size_t data = 0;
    if (!Follow(vk, 12, 4, &data)) return false;
    if (!KeptInSegments(Le32(p_ + 0x18), length)) return true;
    if (Length(data) < 12 || std::memcmp(p_ + data + 4, "db", 2) != 0) return false;
    const std::size_t segments = Le16(p_ + data + 6);
    std::size_t list = 0;
    if (!Follow(data, 8, 4 + 4 * segments, &list)) return false;
    for (std::size_t i = 0; i < segments; ++i) {
      if (!Follow(list, 4 + 4 * i, 8)) return false;
    }
    return true;
  }

  std::string Write(std::size_t root) {
    // Cells keep their length; a bin closes when the next cell does not fit,
    // its rest one free cell (never 4 bytes, which is no cell).
    std::string out(reinterpret_cast<const char*>(p_), kBaseBlockSize);
    std::size_t bin = 0, bin_size = 0, used = 0;
    auto close = [&] {
      if (bin_size == 0) return;
      if (used < bin_size) Put32(out, bin + used, static_cast<std::uint32_t>(bin_size - used));
    };
    for (std::size_t cell : order_) {
      const std::size_t length = Length(cell);
      const bool fits = bin_size != 0 && (used + length == bin_size || used + length + 8 <= bin_size);
      if (!fits) {
        close();
        bin = out.size();
        bin_size = (kBinHeaderSize + length + 0xFFF) & ~std::size_t{0xFFF};
        if (bin_size - kBinHeaderSize - length == 4) bin_size += 0x1000;
        if (bin + bin_size - kBaseBlockSize > 0xFFFFF000u) return {};
        out.resize(bin + bin_size, '\0');
        out.replace(bin, 4, "hbin");
        Put32(out, bin + 4, static_cast<std::uint32_t>(bin - kBaseBlockSize));
        Put32(out, bin + 8, static_cast<std::uint32_t>(bin_size));
        used = kBinHeaderSize;
      }
      moved_[cell] = bin + used;
      out.replace(bin + used, length, reinterpret_cast<const char*>(p_ + cell), length);
      used += length;
    }
    close();
    for (const Reference& reference : references_) {
      Put32(out, moved_.at(reference.cell) + reference.field, Relative(moved_.at(reference.target)));
    }
    Put32(out, 0x24, Relative(moved_.at(root)));
    Put32(out, 0x28, static_cast<std::uint32_t>(out.size() - kBaseBlockSize));
    Put32(out, 0x1FC, BaseBlockChecksum(reinterpret_cast<const unsigned char*>(out.data())));
    return out;
  }

  struct Reference {
    std::size_t cell, field, target;
  };
  const unsigned char* p_;
  std::size_t end_;
  std::unordered_map<std::size_t, std::size_t> moved_;  // old offset: new offset
  std::vector<std::size_t> order_;
  std::vector<Reference> references_;
  std::vector<std::size_t> security_;
  std::unordered_set<std::size_t> security_seen_;
};

}  // namespace

std::string CompactHive(const unsigned char* p, std::size_t size) { return Compactor(p, size).Run(); }

}  // namespace torvane::registry
