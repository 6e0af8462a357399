// A store whose HKEY_CURRENT_USER is another key: one profile's hive seen
// as the current user's, as HKEY_USERS\<SID> or a hive mounted for the run.
// Everything else passes through to the store below unchanged.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "registry/reg_target.h"
#include "registry/registry.h"

namespace torvane::registry {

class UserRootStore final : public RegistryStore, public RegTarget {
 public:
  // `user_root`: a key opened in `store`, which the caller keeps open for as
  // long as this store is used; `user_root_name`: what messages call it
  // (HKEY_USERS\<SID>), empty for HKEY_CURRENT_USER.
  UserRootStore(RegistryStore& store, RegTarget& target, HKey user_root, std::string user_root_name = {})
      : store_(store), target_(target), user_root_(user_root), user_root_name_(std::move(user_root_name)) {}

  long RegOpenKeyExA(HKey root, const std::string& path, std::uint32_t options, std::uint32_t access,
                     HKey* result) override;
  long RegQueryValueExA(HKey key, const std::string& name, std::uint32_t* type, std::uint8_t* data,
                        std::uint32_t* size) override;
  long RegSetValueExA(HKey key, const std::string& name, std::uint32_t reserved, std::uint32_t type,
                      const std::uint8_t* data, std::uint32_t size) override;
  long RegDeleteValueA(HKey key, const std::string& name) override;
  long RegEnumKeyA(HKey key, std::uint32_t index, char* name, std::uint32_t capacity) override;
  long RegEnumValueA(HKey key, std::uint32_t index, char* name, std::uint32_t capacity) override {
    return store_.RegEnumValueA(Map(key), index, name, capacity);
  }
  long RegDeleteKeyA(HKey key, const std::string& subkey) override;
  long RegCloseKey(HKey key) override;
  long RegQueryKeyIsLink(HKey key, bool* is_link) override;
  bool KeyRemovable(HKey key) override { return store_.KeyRemovable(Map(key)); }
  bool HasView32() const override { return store_.HasView32(); }
  // The store below names a key under the user root as HKEY_CURRENT_USER's.
  std::string RefusedLink() const override {
    std::string link = store_.RefusedLink();
    const std::string current = "HKEY_CURRENT_USER";
    if (!user_root_name_.empty() && link.compare(0, current.size(), current) == 0) {
      link.replace(0, current.size(), user_root_name_);
    }
    return link;
  }
  std::string RootName(HKey root) const override {
    return root == kCurrentUser && !user_root_name_.empty() ? user_root_name_ : store_.RootName(root);
  }

  bool CreateKey(HKey root, const std::string& path) override;
  bool DeleteTree(HKey root, const std::string& path) override;
  bool SetValue(HKey root, const std::string& path, const RegValue& value) override;
  bool DeleteValue(HKey root, const std::string& path, const std::string& name) override;
  std::optional<std::vector<RegValue>> ListValues(HKey root, const std::string& path) override;
  std::optional<std::vector<std::string>> ListSubkeys(HKey root, const std::string& path) override;
  std::optional<RegTree> ReadTree(HKey root, const std::string& path) override;

 private:
  HKey Map(HKey key) const { return key == kCurrentUser ? user_root_ : key; }

  RegistryStore& store_;
  RegTarget& target_;
  HKey user_root_;
  std::string user_root_name_;
};

}  // namespace torvane::registry
