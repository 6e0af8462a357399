// Reading a hive file in place: the one reader of hives, for reading and
// for the writer (hive_cells.h).
//
// A reader that walks every cell of a hive when it opens it costs more on a
// large SOFTWARE hive than everything a scan does after. This reader maps
// the file and touches only the cells a lookup visits; each cell is
// checked (in the file, in use, of its kind, large enough) before it is read,
// and anything damaged reads as missing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "registry/owned.h"
#include "registry/reg_value.h"
#include "registry/regf_format.h"

namespace torvane::registry {

// Checks the first 4096 bytes of a hive file of `file_size` bytes; the
// reason it cannot be used, or empty (then `*dirty` is set).
std::string CheckHiveHeader(const std::string& header, std::uint64_t file_size, bool* dirty);

// The writer trusts a hive's structure when it changes it; before a hive
// is opened for changes, every cell it may free or relink is checked (see
// regf_check.cpp). The reason the `size` mapped bytes at `p` (a header
// CheckHiveHeader accepted) cannot be changed safely, or empty; when it
// can, `*reachable` (if given) is the bytes of the cells reachable from the
// root. Cells marked in use that nothing reaches are no part of the hive.
std::string CheckHiveStructure(const unsigned char* p, std::size_t size, std::size_t* reachable = nullptr);

// Whether a value's data of `length` bytes is kept in segments listed by a
// "db" record, as Windows reads it: in hives of version 1.4 and later
// (`minor_version` 4 and up), data longer than 16,344 bytes. Other data lies
// in one cell.
using regf::kLargestPlainData;
using regf::KeptInSegments;

class RegfReader {
 public:
  // Maps the open file whose header CheckHiveHeader accepted; null when it
  // cannot. The mapping outlives the descriptor.
  static std::unique_ptr<RegfReader> Open(int fd);
  // Reads a hive held in `mapping` (a recovered one: see hive_log.h); null
  // when it is too short to hold one.
  static std::unique_ptr<RegfReader> Adopt(std::unique_ptr<Mapping> mapping);
  ~RegfReader();
  RegfReader(const RegfReader&) = delete;
  RegfReader& operator=(const RegfReader&) = delete;

  // What makes the hive unreadable as a whole (its bins do not follow one
  // another to the end the header announces, or the root is no key), or
  // empty. Only the bin headers are read, not every cell.
  std::string Check() const;

  // Keys are named by the offset of their cell in the file.
  std::size_t root() const;
  // The subkeys in stored order; false (and none) when the key's list is damaged.
  bool Children(std::size_t node, std::vector<std::size_t>* out) const;
  // The key's name exactly, in (W)UTF-8; false when it cannot be read.
  bool NameOf(std::size_t node, std::string* utf8) const;
  // The key's name in code page 936, or exact in UTF-8; empty when damaged.
  std::string Name(std::size_t node) const;
  std::string Utf8Name(std::size_t node) const;
  // Whether the key is a registry link (its target is outside the file).
  bool IsLink(std::size_t node) const;
  // Every value as the A entry points see it, or with `exact` raw with UTF-8
  // names; false when any is damaged. With `unnamed`, a value whose name
  // cannot be read is left out and counted there instead.
  bool Values(std::size_t node, std::vector<RegValue>* out, bool exact = false,
              std::size_t* unnamed = nullptr) const;
  // The end of the bins the header announces: cells lie before it.
  std::size_t end() const { return end_; }
  // The hive as read: its header and bins, up to end().
  std::string_view image() const { return {reinterpret_cast<const char*>(data_), end_}; }

 private:
  explicit RegfReader(std::unique_ptr<Mapping> mapping);
  // The cell at `offset` (relative to the first bin) when it is in use and
  // at least `need` bytes long; null otherwise.
  const unsigned char* Cell(std::uint64_t offset, std::size_t need, std::size_t* length = nullptr) const;
  const unsigned char* Node(std::size_t node, std::size_t* length = nullptr) const;
  bool AppendList(std::uint32_t offset, bool inside_index, std::size_t limit, std::vector<std::size_t>* out) const;
  bool Data(const unsigned char* vk, std::string* out) const;

  std::unique_ptr<Mapping> mapping_;
  const unsigned char* data_;
  std::size_t size_;
  std::size_t end_;  // end of the bins the header announces
};

}  // namespace torvane::registry
