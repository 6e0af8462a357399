#include "registry/user_root_store.h"

namespace torvane::registry {

long UserRootStore::RegOpenKeyExA(HKey root, const std::string& path, std::uint32_t options,
                                  std::uint32_t access, HKey* result) {
  return store_.RegOpenKeyExA(Map(root), path, options, access, result);
}

long UserRootStore::RegQueryValueExA(HKey key, const std::string& name, std::uint32_t* type,
                                     std::uint8_t* data, std::uint32_t* size) {
  return store_.RegQueryValueExA(Map(key), name, type, data, size);
}

long UserRootStore::RegSetValueExA(HKey key, const std::string& name, std::uint32_t reserved,
                                   std::uint32_t type, const std::uint8_t* data, std::uint32_t size) {
  return store_.RegSetValueExA(Map(key), name, reserved, type, data, size);
}

long UserRootStore::RegDeleteValueA(HKey key, const std::string& name) {
  return store_.RegDeleteValueA(Map(key), name);
}

long UserRootStore::RegEnumKeyA(HKey key, std::uint32_t index, char* name, std::uint32_t capacity) {
  return store_.RegEnumKeyA(Map(key), index, name, capacity);
}

long UserRootStore::RegDeleteKeyA(HKey key, const std::string& subkey) {
  return store_.RegDeleteKeyA(Map(key), subkey);
}

// The user root belongs to the caller: closing the predefined root closes nothing.
long UserRootStore::RegCloseKey(HKey key) {
  return key == kCurrentUser ? kSuccess : store_.RegCloseKey(key);
}

long UserRootStore::RegQueryKeyIsLink(HKey key, bool* is_link) {
  return store_.RegQueryKeyIsLink(Map(key), is_link);
}

bool UserRootStore::CreateKey(HKey root, const std::string& path) { return target_.CreateKey(Map(root), path); }

bool UserRootStore::DeleteTree(HKey root, const std::string& path) { return target_.DeleteTree(Map(root), path); }

bool UserRootStore::SetValue(HKey root, const std::string& path, const RegValue& value) {
  return target_.SetValue(Map(root), path, value);
}

bool UserRootStore::DeleteValue(HKey root, const std::string& path, const std::string& name) {
  return target_.DeleteValue(Map(root), path, name);
}

std::optional<std::vector<RegValue>> UserRootStore::ListValues(HKey root, const std::string& path) {
  return target_.ListValues(Map(root), path);
}

std::optional<std::vector<std::string>> UserRootStore::ListSubkeys(HKey root, const std::string& path) {
  return target_.ListSubkeys(Map(root), path);
}

std::optional<RegTree> UserRootStore::ReadTree(HKey root, const std::string& path) {
  return target_.ReadTree(Map(root), path);
}

}  // namespace torvane::registry
