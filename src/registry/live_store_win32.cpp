#include "registry/live_store_win32.h"

#include <windows.h>

#include "registry/key_tree.h"

namespace torvane::registry {


bool LiveStore::CreateKey(HKey root, const std::string& path) {
  OwnedKey key;
  return ::RegCreateKeyExA(ToNativeKey(root), path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | NativeViewBits(), nullptr, key.out(),
                           nullptr) == ERROR_SUCCESS;
}

bool LiveStore::DeleteTree(HKey root, const std::string& path) {
  const auto slash = path.rfind('\\');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty()) return false;
  ScopedKey parent(*this);
  const long opened = parent.Open(root, slash == std::string::npos ? "" : path.substr(0, slash), kKeyAllAccess);
  if (opened == kFileNotFound) return true;
  if (opened != kSuccess) return false;
  const long rc = DeleteKeyTree(*this, parent.get(), name);
  return rc == kSuccess || rc == kFileNotFound;
}

bool LiveStore::SetValue(HKey root, const std::string& path, const RegValue& value) {
  OwnedKey key;
  if (::RegCreateKeyExA(ToNativeKey(root), path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | NativeViewBits(), nullptr, key.out(),
                        nullptr) != ERROR_SUCCESS) {
    return false;
  }
  return ::RegSetValueExA(key.get(), value.name.c_str(), 0, value.type, value.data.data(),
                          static_cast<DWORD>(value.data.size())) == ERROR_SUCCESS;
}

bool LiveStore::DeleteValue(HKey root, const std::string& path, const std::string& name) {
  OwnedKey key;
  const LONG rc = ::RegOpenKeyExA(ToNativeKey(root), path.c_str(), 0, KEY_ALL_ACCESS | NativeViewBits(), key.out());
  if (rc == ERROR_FILE_NOT_FOUND) return true;
  if (rc != ERROR_SUCCESS) return false;
  const LONG deleted = ::RegDeleteValueA(key.get(), name.c_str());
  return deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND;
}

std::optional<std::vector<RegValue>> LiveStore::ListValues(HKey root, const std::string& path) {
  OwnedKey key;
  if (::RegOpenKeyExA(ToNativeKey(root), path.c_str(), 0, KEY_READ | NativeViewBits(), key.out()) != ERROR_SUCCESS) return std::nullopt;
  DWORD count = 0, longest_name = 0, longest_data = 0;
  if (::RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &longest_name,
                         &longest_data, nullptr, nullptr) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  std::vector<RegValue> values;
  // ANSI names can take two bytes a character.
  std::vector<char> name(2 * longest_name + 2);
  std::vector<std::uint8_t> data(2 * longest_data + 2);
  for (DWORD index = 0; index < count; ++index) {
    DWORD name_size = static_cast<DWORD>(name.size()), data_size = static_cast<DWORD>(data.size()), type = 0;
    if (::RegEnumValueA(key.get(), index, name.data(), &name_size, nullptr, &type, data.data(), &data_size) !=
        ERROR_SUCCESS) {
      return std::nullopt;
    }
    values.push_back(RegValue{std::string(name.data(), name_size), type,
                              std::vector<std::uint8_t>(data.begin(), data.begin() + data_size)});
  }
  return values;
}

}  // namespace torvane::registry
