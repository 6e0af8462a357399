// The checks a hive file passes before it is read or changed.
#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "registry/digits.h"
#include "registry/hive_log.h"
#include "registry/little_endian.h"
#include "registry/regf_reader.h"

namespace torvane::registry {

namespace {

using regf::kBaseBlockSize;

std::string Hex(std::size_t offset) {
  return "0x" + HexDigits(offset);
}

// Walks the hive bins cell by cell and notes the cells in use, in file
// order: the only offsets the writer takes as valid.
std::string CheckBins(const unsigned char* p, std::size_t size, std::vector<std::size_t>& used) {
  const std::size_t end = std::min<std::size_t>(size, kBaseBlockSize + Le32(p + 0x28));
  std::size_t page_size = 0;
  for (std::size_t off = kBaseBlockSize; off < end; off += page_size) {
    if (off + 0x20 > size || std::memcmp(p + off, "hbin", 4) != 0) {
      return "damaged hive (no hive bin at " + Hex(off) + ")";
    }
    // Windows and libregf refuse a bin that names another place than its own.
    if (Le32(p + off + 4) != off - kBaseBlockSize) {
      return "damaged hive (the hive bin at " + Hex(off) + " names another offset)";
    }
    page_size = Le32(p + off + 8);
    if (page_size <= 0x20 || (page_size & 0xFFF) != 0) return "damaged hive (bad hive bin size at " + Hex(off) + ")";
    if (page_size > size - off) return "damaged hive (the hive bin at " + Hex(off) + " runs past the end)";
    std::size_t length = 0;
    for (std::size_t cell = off + 0x20; cell < off + page_size; cell += length) {
      const auto raw = static_cast<std::int32_t>(Le32(p + cell));
      length = static_cast<std::size_t>(raw < 0 ? -static_cast<std::int64_t>(raw) : raw);
      if (length <= 4 || (length & 3) != 0 || length > off + page_size - cell) {
        return "damaged hive (bad cell at " + Hex(cell) + ")";
      }
      if (raw < 0) used.push_back(cell);
    }
  }
  return {};
}

// The writer trusts a hive's structure when it changes it: a cell freed
// twice (shared between two owners) or a reference to something that is not
// a cell in use would end in a hive Windows cannot load, or in a write at a
// wild offset. Before a hive is opened for changes, every cell the writer
// may free or relink is checked: reachable from the root exactly once, in
// use, of the right kind and size.
class StructureCheck {
 public:
  // Only the bins the header announces count: a file padded far beyond them
  // (a sparse file of a terabyte) costs nothing here, and what is kept
  // follows the cells in use, not the bytes of the free ones.
  StructureCheck(const unsigned char* p, std::size_t size)
      : p_(p), size_(std::min<std::size_t>(size, kBaseBlockSize + Le32(p + 0x28))) {}

  std::size_t claimed_bytes() const { return claimed_bytes_; }

  std::string Run() {
    if (std::string problem = CheckBins(p_, size_, used_); !problem.empty()) return problem;
    claimed_.assign(used_.size(), false);
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
  // The cell's place among those in use; used_.size() when it is none.
  std::size_t Index(std::size_t cell) const {
    const auto it = std::lower_bound(used_.begin(), used_.end(), cell);
    return it != used_.end() && *it == cell ? static_cast<std::size_t>(it - used_.begin()) : used_.size();
  }
  bool InUse(std::size_t cell, std::size_t need) {
    problem_ = cell;
    return cell < size_ && cell % 4 == 0 && Index(cell) < used_.size() && CellLength(cell) >= need &&
           CellLength(cell) <= size_ - cell;
  }
  // A cell with one owner.
  bool Claim(std::size_t cell, std::size_t need, const char* id = nullptr) {
    if (!InUse(cell, need)) return false;
    const std::size_t index = Index(cell);
    if (claimed_[index]) return false;
    if (id != nullptr && std::memcmp(p_ + cell + 4, id, 2) != 0) return false;
    claimed_[index] = true;
    claimed_bytes_ += CellLength(cell);
    return true;
  }
  static std::size_t At(std::uint32_t relative) { return kBaseBlockSize + relative; }

  bool SecurityCell(std::size_t sk) {
    if (!InUse(sk, 4 + 0x14) || std::memcmp(p_ + sk + 4, "sk", 2) != 0) return false;
    // The descriptor lies within its cell: Windows and libregf refuse a key
    // whose security cell runs past its end.
    if (Le32(p_ + sk + 20) > CellLength(sk) - (4 + 0x14)) return false;
    // Shared by keys, but by nothing else (the writer frees a deleted key's
    // class cell, say).
    if (sk_references_.count(sk) == 0 && !Claim(sk, 4 + 0x14)) return false;
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
    // Data that runs past its one cell is no read of the reader's either.
    if (!KeptInSegments(Le32(p_ + 0x18), length)) return true;
    if (CellLength(cell) < 12 || std::memcmp(p_ + cell + 4, "db", 2) != 0) return false;
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
    // A key has a name, and it lies within its record.
    if (Le16(q + 0x48) == 0 || 4 + 0x4C + std::size_t{Le16(q + 0x48)} > CellLength(nk)) return false;
    if (Le32(q + 0x1C) != 0xFFFFFFFF && !SubkeyList(At(Le32(q + 0x1C)), pending, false)) return false;
    const std::size_t values = Le32(q + 0x24);
    if (values > 0 && Le32(q + 0x28) != 0xFFFFFFFF) {
      const std::size_t list = At(Le32(q + 0x28));
      if (!Claim(list, 4) || 4 + values * 4 > CellLength(list)) return false;
      for (std::size_t i = 0; i < values; ++i) {
        const std::size_t vk = At(Le32(p_ + list + 4 + i * 4));
        if (!Claim(vk, 4 + 0x14, "vk") || 4 + 0x14 + std::size_t{Le16(p_ + vk + 6)} > CellLength(vk)) return false;
        const std::uint32_t length = Le32(p_ + vk + 8);
        if ((length & 0x80000000u) == 0 && !DataCells(At(Le32(p_ + vk + 12)), length)) return false;
      }
    }
    if (Le32(q + 0x2C) != 0xFFFFFFFF && !SecurityCell(At(Le32(q + 0x2C)))) return false;
    // A class name lies within its cell.
    if (Le32(q + 0x30) != 0xFFFFFFFF &&
        (!Claim(At(Le32(q + 0x30)), 4) || 4 + std::size_t{Le16(q + 0x4A)} > CellLength(At(Le32(q + 0x30))))) {
      return false;
    }
    problem_ = nk;
    return true;
  }

  const unsigned char* p_;
  std::size_t size_;
  std::vector<std::size_t> used_;  // the cells in use, in file order
  std::vector<bool> claimed_;       // by their place in used_
  std::map<std::size_t, std::uint32_t> sk_references_;
  std::size_t problem_ = 0;
  std::size_t claimed_bytes_ = 0;
};

}  // namespace

std::string CheckHiveHeader(const std::string& header, std::uint64_t file_size, bool* dirty) {
  if (header.size() < 4 || header.compare(0, 4, "regf") != 0) {
    return "not a registry hive (no \"regf\" signature)";
  }
  if (header.size() < kBaseBlockSize) {
    return "truncated: " + std::to_string(file_size) + " bytes, less than the 4096-byte hive header";
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(header.data());
  if (BaseBlockChecksum(bytes) != Le32(bytes + 0x1FC)) return "damaged hive header (checksum mismatch)";
  if (Le32(bytes + 0x14) != 1) return "unsupported hive version " + std::to_string(Le32(bytes + 0x14));
  // Windows loads a primary file in memory format only; a log or an
  // alternate file is no hive of its own.
  if (Le32(bytes + 0x1C) != 0 || Le32(bytes + 0x20) != 1) return "not a primary hive file (its header's type or format)";
  const std::uint32_t data_size = Le32(bytes + 0x28);
  if (data_size == 0 || data_size % 0x1000 != 0) return "damaged hive header (bad data size)";
  *dirty = Le32(bytes + 0x04) != Le32(bytes + 0x08);
  // A dirty hive's logs may grow its bins: its size is checked once they
  // are replayed.
  // Counted in 64 bits: a 32-bit build must not wrap the sum to a small one.
  const std::uint64_t announced = std::uint64_t{kBaseBlockSize} + data_size;
  if (!*dirty && file_size < announced) {
    return "truncated: the header announces " + std::to_string(announced) + " bytes, the file holds " +
           std::to_string(file_size);
  }
  if (Le32(bytes + 0x24) >= data_size) return "damaged hive header (root key outside the hive)";
  return {};
}

std::string CheckHiveStructure(const unsigned char* p, std::size_t size, std::size_t* reachable) {
  StructureCheck check(p, size);
  std::string problem = check.Run();
  if (reachable != nullptr) *reachable = check.claimed_bytes();
  return problem;
}

}  // namespace torvane::registry
