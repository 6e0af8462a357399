// The machine's own registry through the advapi32 ANSI entry points
// (Windows builds only).
#pragma once

#include <memory>

#include "cli/sources.h"
#include "registry/reg_file.h"
#include "registry/registry.h"
#include "registry/win32_store.h"

namespace torvane::cli {

// The Win32 store, plus what restoring a backup needs of it.
class LiveStore final : public registry::Win32Store, public registry::RegTarget {
 public:
  bool CreateKey(registry::HKey root, const std::string& path) override;
  bool DeleteTree(registry::HKey root, const std::string& path) override;
  bool SetValue(registry::HKey root, const std::string& path, const registry::RegValue& value) override;
  bool DeleteValue(registry::HKey root, const std::string& path, const std::string& name) override;
  std::optional<std::vector<registry::RegValue>> ListValues(registry::HKey root,
                                                            const std::string& path) override;
};

std::unique_ptr<Source> OpenLiveSource();

}  // namespace torvane::cli
