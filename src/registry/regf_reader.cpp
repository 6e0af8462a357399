#include "registry/regf_reader.h"

#include <algorithm>
#include <cstring>

#include "registry/codepage.h"
#include "registry/little_endian.h"
#include "registry/utf.h"

namespace torvane::registry {

namespace {

using regf::kBaseBlockSize;
using regf::kNoCell;
// Fixed parts of the records, from the cell's start (its size field) on.
constexpr std::size_t kNodeFixed = 0x50;
constexpr std::size_t kValueFixed = 0x18;
constexpr std::size_t kListFixed = 8;

bool IsId(const unsigned char* cell, const char* id) { return cell[4] == id[0] && cell[5] == id[1]; }

// A stored name in UTF-8: Latin-1 when the record says so, else UTF-16LE.
// A name is all its stored characters: NULs and unpaired surrogates (as
// WTF-8) included, so "Shell\0x" is not "Shell". Only an odd length of
// UTF-16 cannot be read.
bool NameToUtf8(const unsigned char* name, std::size_t length, bool latin1, std::string* out) {
  if (latin1) {
    std::string utf8;
    for (std::size_t i = 0; i < length; ++i) AppendUtf8(utf8, name[i]);
    *out = std::move(utf8);
    return true;
  }
  if (length % 2 != 0) return false;
  *out = Utf16leToUtf8(std::string_view(reinterpret_cast<const char*>(name), length));
  return true;
}

}  // namespace

std::unique_ptr<RegfReader> RegfReader::Open(int fd) {
  auto mapping = std::make_unique<Mapping>(fd, 2 * kBaseBlockSize);
  if (mapping->data() == nullptr) return nullptr;
  return std::unique_ptr<RegfReader>(new RegfReader(std::move(mapping)));
}

std::unique_ptr<RegfReader> RegfReader::Adopt(std::unique_ptr<Mapping> mapping) {
  if (mapping == nullptr || mapping->data() == nullptr || mapping->size() < 2 * kBaseBlockSize) return nullptr;
  return std::unique_ptr<RegfReader>(new RegfReader(std::move(mapping)));
}

RegfReader::RegfReader(std::unique_ptr<Mapping> mapping)
    : mapping_(std::move(mapping)),
      data_(mapping_->data()),
      size_(mapping_->size()),
      end_(std::min<std::size_t>(size_, kBaseBlockSize + Le32(data_ + 0x28))) {}

RegfReader::~RegfReader() = default;

std::size_t RegfReader::root() const { return kBaseBlockSize + Le32(data_ + 0x24); }

std::string RegfReader::Check() const {
  std::size_t bin_size = 0;
  for (std::size_t at = kBaseBlockSize; at < end_; at += bin_size) {
    if (end_ - at < 0x20 || std::memcmp(data_ + at, "hbin", 4) != 0) return "no hive bin at " + std::to_string(at);
    bin_size = Le32(data_ + at + 8);
    if (bin_size <= 0x20 || bin_size % 0x1000 != 0 || bin_size > end_ - at) {
      return "bad size of the hive bin at " + std::to_string(at);
    }
  }
  if (Node(root()) == nullptr) return "the root is no key";
  return {};
}

const unsigned char* RegfReader::Cell(std::uint64_t offset, std::size_t need, std::size_t* length) const {
  if (offset < kBaseBlockSize + 0x20 || offset % 4 != 0 || offset + 8 > end_) return nullptr;
  const unsigned char* cell = data_ + offset;
  const auto raw = static_cast<std::int32_t>(Le32(cell));
  if (raw >= 0) return nullptr;  // free
  const std::uint64_t cell_length = static_cast<std::uint64_t>(-static_cast<std::int64_t>(raw));
  if (cell_length < need || cell_length > end_ - offset) return nullptr;
  if (length != nullptr) *length = static_cast<std::size_t>(cell_length);
  return cell;
}

const unsigned char* RegfReader::Node(std::size_t node, std::size_t* length) const {
  const unsigned char* nk = Cell(node, kNodeFixed, length);
  return nk != nullptr && IsId(nk, "nk") ? nk : nullptr;
}

bool RegfReader::AppendList(std::uint32_t offset, bool inside_index, std::size_t limit,
                            std::vector<std::size_t>* out) const {
  std::size_t length = 0;
  const unsigned char* list = Cell(kBaseBlockSize + std::uint64_t{offset}, kListFixed, &length);
  if (list == nullptr) return false;
  const bool index = IsId(list, "ri");
  const bool fast = IsId(list, "lf") || IsId(list, "lh");
  if (!index && !fast && !IsId(list, "li")) return false;
  if (index && inside_index) return false;
  const std::size_t count = Le16(list + 6);
  const std::size_t stride = fast ? 8 : 4;
  if (kListFixed + count * stride > length) return false;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t entry = Le32(list + kListFixed + i * stride);
    if (index) {
      if (!AppendList(entry, true, limit, out)) return false;
    } else {
      const std::size_t child = kBaseBlockSize + std::size_t{entry};
      // An index may name one list many times: more than the key counts is damage.
      if (Node(child) == nullptr || out->size() >= limit) return false;
      out->push_back(child);
    }
  }
  return true;
}

bool RegfReader::Children(std::size_t node, std::vector<std::size_t>* out) const {
  out->clear();
  const unsigned char* nk = Node(node);
  if (nk == nullptr) return false;
  const std::uint32_t count = Le32(nk + 0x18);
  if (count == 0) return true;
  // The count of the key and of its list must agree, as Windows requires.
  if (!AppendList(Le32(nk + 0x20), false, count, out) || out->size() != count) {
    out->clear();
    return false;
  }
  return true;
}

bool RegfReader::IsLink(std::size_t node) const {
  const unsigned char* nk = Node(node);
  // A key that cannot be read is not one to go into either.
  return nk == nullptr || (Le16(nk + 6) & regf::nk::kSymbolicLink) != 0;
}

std::string RegfReader::Name(std::size_t node) const {
  std::string name;
  return NameOf(node, &name) ? Utf8ToGbk(name) : std::string();
}

std::string RegfReader::Utf8Name(std::size_t node) const {
  std::string name;
  return NameOf(node, &name) ? name : std::string();
}

bool RegfReader::NameOf(std::size_t node, std::string* utf8) const {
  std::size_t length = 0;
  const unsigned char* nk = Node(node, &length);
  if (nk == nullptr) return false;
  const std::size_t name_length = Le16(nk + 0x4C);
  // Only the default value goes without a name; a key never does.
  return name_length != 0 && kNodeFixed + name_length <= length &&
         NameToUtf8(nk + kNodeFixed, name_length, (Le16(nk + 6) & 0x20) != 0, utf8);
}

bool RegfReader::Data(const unsigned char* vk, std::string* out) const {
  const std::uint32_t declared = Le32(vk + 8);
  if (declared & 0x80000000u) {  // kept in the record itself
    const std::size_t length = declared & 0x7FFFFFFFu;
    if (length > 4) return false;
    out->assign(reinterpret_cast<const char*>(vk + 12), length);
    return true;
  }
  std::size_t cell_length = 0;
  const unsigned char* cell = Cell(kBaseBlockSize + std::uint64_t{Le32(vk + 12)}, 8, &cell_length);
  if (cell == nullptr) return false;
  // Windows decides by the hive's version and the length alone, whatever
  // the cell holds: data that should be in one cell and runs past it, or
  // should be in segments and is not, cannot be read as it does.
  if (!KeptInSegments(Le32(data_ + 0x18), declared)) {
    if (declared > cell_length - 4) return false;
    out->assign(reinterpret_cast<const char*>(cell + 4), declared);
    return true;
  }
  // A "db" record listing its segments.
  if (!IsId(cell, "db") || cell_length < 12) return false;
  const std::size_t segments = Le16(cell + 6);
  std::size_t list_length = 0;
  const unsigned char* list = Cell(kBaseBlockSize + std::uint64_t{Le32(cell + 8)}, 4 + segments * 4, &list_length);
  if (list == nullptr) return false;
  // Windows takes 16,344 bytes from each segment in turn and the rest from
  // the last, as many as the record declares, and does not look at how long
  // the segment's cell is: a segment whose cell holds fewer bytes than it is
  // to give would be read past its end. Such data, or data the segments run
  // out before, cannot be read as Windows reads it (never shorter than
  // declared).
  out->clear();
  for (std::size_t i = 0; i < segments && out->size() < declared; ++i) {
    std::size_t segment_length = 0;
    const unsigned char* segment = Cell(kBaseBlockSize + std::uint64_t{Le32(list + 4 + i * 4)}, 8, &segment_length);
    if (segment == nullptr) return false;
    const std::size_t take = std::min<std::size_t>(kLargestPlainData, declared - out->size());
    if (segment_length - 4 < take) return false;
    out->append(reinterpret_cast<const char*>(segment + 4), take);
  }
  return out->size() == declared;
}

bool RegfReader::Values(std::size_t node, std::vector<RegValue>* out, bool exact, std::size_t* unnamed) const {
  if (unnamed != nullptr) *unnamed = 0;
  const unsigned char* nk = Node(node);
  if (nk == nullptr) return false;
  const std::size_t count = Le32(nk + 0x28);
  if (count == 0) return true;
  std::size_t list_length = 0;
  const unsigned char* list = Cell(kBaseBlockSize + std::uint64_t{Le32(nk + 0x2C)}, 4, &list_length);
  if (list == nullptr || Le32(nk + 0x2C) == kNoCell || 4 + count * 4 > list_length) return false;
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t length = 0;
    const unsigned char* vk = Cell(kBaseBlockSize + std::uint64_t{Le32(list + 4 + i * 4)}, kValueFixed, &length);
    if (vk == nullptr || !IsId(vk, "vk")) return false;
    const std::size_t name_length = Le16(vk + 6);
    if (kValueFixed + name_length > length) return false;
    RegValue value;
    // A name that cannot be read hides none of the values beside it.
    if (!NameToUtf8(vk + kValueFixed, name_length, (Le16(vk + 20) & 1) != 0, &value.name)) {
      if (unnamed == nullptr) return false;
      ++*unnamed;
      continue;
    }
    value.type = Le32(vk + 16);
    std::string data;
    if (!Data(vk, &data)) return false;
    value.data.assign(data.begin(), data.end());
    value.raw = true;
    if (!exact) {
      value = AnsiForm(value);
      value.name = Utf8ToGbk(value.name);
    }
    out->push_back(std::move(value));
  }
  return true;
}

}  // namespace torvane::registry
