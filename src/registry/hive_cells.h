// The cells of an offline hive as this tool writes them: every change a run
// makes, and a compact copy of a hive that is mostly free space.
//
// A run's changes are kept in memory and written at the commit, all at
// once: each new key, value and data cell once, in one new hive bin, one
// sorted subkey list for each key whose subkeys changed and one value list
// for each key whose values changed; what they replace is marked free.
#pragma once

#include <cstddef>
#include <map>
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

// What a run changes in a hive, by the file offsets of the keys' cells.
struct HiveChanges {
  // New keys under keys the hive holds.
  std::vector<NewSubkeys> added;
  // Keys whose values are replaced whole (raw, names UTF-8).
  std::map<std::size_t, std::vector<RegValue>> values;
  // Subkeys taken out of a key, each with everything below it.
  std::map<std::size_t, std::vector<std::size_t>> deleted;
};

// Writes `changes` into the hive file open read-write at `fd` (a copy of
// the hive as it was read, its structure checked: see CheckHiveStructure).
// Every cell written goes into one bin after the last; a key whose subkeys
// change gets one sorted subkey list of those that stay and those added
// (an "ri" index of "lh" leaves when long), whatever kind of list it had;
// a key whose values change, a new value list. What goes is marked free:
// old lists, deleted keys with their values, data (a "db" record's
// segments too), class names, and a security cell no key refers to any
// more, which leaves the ring of security cells. The header follows (its
// length, both sequence numbers one past the old, the checksum). Data is
// kept as a hive of `minor_version` keeps it (KeptInSegments). The reason
// it cannot (a key that does not read back, an I/O error), or empty.
std::string WriteChanges(int fd, const HiveChanges& changes, std::uint32_t minor_version);

// A hive's bins hold free cells of any size (a hostile one, a single free
// cell of a gigabyte), which a copy of the file would carry whole. A copy of
// the hive at `p` (`size` bytes, header and structure checked: see
// CheckHiveStructure) holding only the cells reachable from its root, each
// byte for byte with its references moved, in bins packed one after
// another; the header keeps everything but the root's place, the length
// and the checksum. Security cells keep their ring, in the order found.
// Empty when the copy cannot be made (a structure the check did not cover).
std::string CompactHive(const unsigned char* p, std::size_t size);

}  // namespace torvane::registry
