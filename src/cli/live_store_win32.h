// The machine's own registry through the advapi32 ANSI entry points
// (Windows builds only).
#pragma once

#include <memory>

#include "cli/sources.h"
#include "registry/reg_file.h"
#include "registry/registry.h"

namespace torvane::cli {

class LiveStore final : public registry::RegistryStore, public registry::RegTarget {
 public:
  long RegOpenKeyExA(registry::HKey root, const std::string& path, std::uint32_t options,
                     std::uint32_t access, registry::HKey* result) override;
  long RegQueryValueExA(registry::HKey key, const std::string& name, std::uint32_t* type,
                        std::uint8_t* data, std::uint32_t* size) override;
  long RegSetValueExA(registry::HKey key, const std::string& name, std::uint32_t reserved,
                      std::uint32_t type, const std::uint8_t* data, std::uint32_t size) override;
  long RegDeleteValueA(registry::HKey key, const std::string& name) override;
  long RegEnumKeyA(registry::HKey key, std::uint32_t index, char* name, std::uint32_t capacity) override;
  long RegDeleteKeyA(registry::HKey key, const std::string& subkey) override;
  long RegCloseKey(registry::HKey key) override;

  bool CreateKey(registry::HKey root, const std::string& path) override;
  bool DeleteTree(registry::HKey root, const std::string& path) override;
  bool SetValue(registry::HKey root, const std::string& path, const registry::RegValue& value) override;
  bool DeleteValue(registry::HKey root, const std::string& path, const std::string& name) override;
  std::optional<std::vector<registry::RegValue>> ListValues(registry::HKey root,
                                                            const std::string& path) override;
};

std::unique_ptr<Source> OpenLiveSource();

}  // namespace torvane::cli
