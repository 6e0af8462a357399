// Keys with everything below them (RegTree, read through a RegTarget with
// exact names and raw values): what a backup keeps of a key a run deletes,
// and what a restore that must roll back keeps of a key it replaces.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "registry/reg_file.h"

namespace torvane::registry {

// Creates the key at `path` with every key and value of `tree` below it;
// false when anything was refused.
bool WriteTree(RegTarget& target, HKey root, const std::string& path, const RegTree& tree);

// The statements that rebuild `tree` at `path` (a key line, then its values,
// for each key, parents first).
void AppendTreeEntries(const RegTree& tree, HKey root, const std::string& path, const std::string& user,
                       std::vector<RegEntry>* out);

// `path` + "\" + `name`, or `name` when `path` is empty.
std::string ChildPath(const std::string& path, const std::string& name);

}  // namespace torvane::registry
