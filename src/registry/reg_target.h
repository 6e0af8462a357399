// What importing a .reg file, backing up and restoring need of a registry
// beyond the seven operations: whole keys and values by exact name.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "registry/reg_value.h"
#include "registry/registry.h"

namespace torvane::registry {

// A key with everything below it, names exact and values raw.
struct RegTree {
  std::string name;  // UTF-8; empty for the key the tree was read at
  std::vector<RegValue> values;
  std::vector<RegTree> children;
  // The key is a registry link, read as an ordinary key. Only a store that
  // can tell (an offline hive) sets it.
  bool link = false;
};

// What importing a .reg file and backing up need of a store beyond the seven
// operations. Paths are below one of the two roots; paths and names are
// UTF-8 and name keys and values exactly (letter case of ASCII aside), also
// those outside GBK. Each returns false when refused.
class RegTarget {
 public:
  virtual ~RegTarget() = default;
  virtual bool CreateKey(HKey root, const std::string& path) = 0;
  // Removes the key and everything below it; true when it is gone.
  virtual bool DeleteTree(HKey root, const std::string& path) = 0;
  // Creates the key when missing.
  virtual bool SetValue(HKey root, const std::string& path, const RegValue& value) = 0;
  // True when the value is gone (or never was).
  virtual bool DeleteValue(HKey root, const std::string& path, const std::string& name) = 0;
  // Every value of the key in its stored order, raw; nullopt when it does
  // not exist or cannot be read.
  virtual std::optional<std::vector<RegValue>> ListValues(HKey root, const std::string& path) = 0;
  // The key's value of `name` (names compare as the registry compares them),
  // raw: nullopt when the key has none; `*readable` false when the key does
  // not exist or its values cannot be read. Found among ListValues unless a
  // store knows a faster way.
  virtual std::optional<RegValue> FindValue(HKey root, const std::string& path, const std::string& name,
                                            bool* readable);
  // The names of the key's subkeys; nullopt when it does not exist or cannot
  // be read.
  virtual std::optional<std::vector<std::string>> ListSubkeys(HKey root, const std::string& path) = 0;
  // The key at `path` and everything below it; nullopt when it does not
  // exist or any part of it cannot be read (or it nests deeper than the
  // registry allows). Built from the two lists above unless a store knows
  // a faster way.
  virtual std::optional<RegTree> ReadTree(HKey root, const std::string& path);
  // Why SetValue could never write `value` into the key as it is (one line);
  // empty when nothing stands in the way. A backup asks before the first
  // change, so that what it holds can be put back.
  virtual std::string WriteRefusal(HKey /*root*/, const std::string& /*path*/, const RegValue& /*value*/) const {
    return {};
  }
  // Whether changes stay in memory until the source commits them (a file),
  // rather than reach the registry at once.
  virtual bool HoldsChanges() const { return false; }
  // Why the commit would refuse the changes held so far (one line), found
  // without writing anything; empty when nothing stands in the way.
  virtual std::string CommitRefusal() const { return {}; }
};

}  // namespace torvane::registry
