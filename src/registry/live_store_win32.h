// The machine's own registry, plus what backing up and restoring need of it
// (Windows builds only): those name keys and values in UTF-8 and go through
// the wide entry points, and values come and go as their stored bytes.
// Every place is resolved as the seven operations resolve it: a registry link
// on its path is never written or read through. Paths are
// the keys as stored: a key of the 32-bit view goes by its
// SOFTWARE\Wow6432Node path, reached in the 64-bit view.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "registry/reg_target.h"
#include "registry/registry.h"
#include "registry/win32_store.h"

namespace torvane::registry {

class LiveStore final : public Win32Store, public RegTarget {
 public:
  bool CreateKey(HKey root, const std::string& path) override;
  bool DeleteTree(HKey root, const std::string& path) override;
  bool SetValue(HKey root, const std::string& path, const RegValue& value) override;
  bool DeleteValue(HKey root, const std::string& path, const std::string& name) override;
  std::optional<std::vector<RegValue>> ListValues(HKey root, const std::string& path) override;
  std::optional<std::vector<std::string>> ListSubkeys(HKey root, const std::string& path) override;

 private:
  class Placed;
};

}  // namespace torvane::registry
