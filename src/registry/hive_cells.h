// Cells of an offline hive written by this tool rather than by hivex: the
// keys a run adds, and a compact copy of a hive that is mostly free space.
//
// hivex adds a key by copying its parent's whole subkey list into a new cell
// and never reuses the old one, and finds the new key's place by converting
// every sibling's name: a restore of a key with ten thousand subkeys took
// minutes and grew the hive by hundreds of megabytes. Keys added in a run
// are kept in memory instead and, once hivex has written the rest, appended
// in one new hive bin: each key, value and data cell once, and one sorted
// subkey list for each key that gained subkeys.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "registry/reg_value.h"

namespace torvane::registry {

// A key to add, with everything below it; names (W)UTF-8, values raw.
struct NewKey {
  std::string name;
  std::vector<RegValue> values;
  std::vector<NewKey> children;
};

// New keys under a key the written hive holds (its cell's file offset).
struct NewSubkeys {
  std::size_t parent;
  std::vector<NewKey> keys;
};

// Appends `added` to the hive file open read-write at `fd` (as hivex wrote
// it: header, then its bins): the new cells go into one bin after the last,
// each parent's subkey list is replaced by one sorted list of its old and
// new subkeys (the old list cells are freed), and the header's length and
// checksum follow. Each new key takes its parent's security cell. The
// reason it cannot (a parent that does not read as a key with a readable
// subkey list and security cell, an I/O error), or empty. Data is written
// in one cell: the caller refuses what a hive keeps in segments.
std::string AppendNewKeys(int fd, const std::vector<NewSubkeys>& added);

// A hive's bins hold free cells of any size (a hostile one, a single free
// cell of a gigabyte); hivex loads and writes every byte of them. A copy of
// the hive at `p` (`size` bytes, header and structure checked: see
// CheckHiveStructure) holding only the cells reachable from its root, each
// byte for byte with its references moved, in bins packed one after
// another; the header keeps everything but the root's place, the length
// and the checksum. Security cells keep their ring, in the order found.
// Empty when the copy cannot be made (a structure the check did not cover).
std::string CompactHive(const unsigned char* p, std::size_t size);

}  // namespace torvane::registry
