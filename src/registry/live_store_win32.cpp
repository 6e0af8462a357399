#include "registry/live_store_win32.h"

#include <windows.h>

namespace torvane::registry {

namespace {

constexpr int kMaxDepth = 512;

bool DeleteTreeBelow(HKEY parent, const std::string& name, int depth) {
  if (depth > kMaxDepth) return false;
  {
    OwnedKey key;
    const LONG rc = ::RegOpenKeyExA(parent, name.c_str(), 0, KEY_ALL_ACCESS, key.out());
    if (rc == ERROR_FILE_NOT_FOUND) return true;
    if (rc != ERROR_SUCCESS) return false;
    char child[1024];
    // Always the first subkey: each one is gone before the next read.
    while (::RegEnumKeyA(key.get(), 0, child, sizeof child) == ERROR_SUCCESS) {
      if (!DeleteTreeBelow(key.get(), child, depth + 1)) return false;
    }
  }
  return ::RegDeleteKeyA(parent, name.c_str()) == ERROR_SUCCESS;
}

}  // namespace

bool LiveStore::CreateKey(HKey root, const std::string& path) {
  OwnedKey key;
  return ::RegCreateKeyExA(ToNativeKey(root), path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.out(),
                           nullptr) == ERROR_SUCCESS;
}

bool LiveStore::DeleteTree(HKey root, const std::string& path) {
  if (path.empty()) return false;
  const auto slash = path.rfind('\\');
  OwnedKey parent;
  const std::string parent_path = slash == std::string::npos ? "" : path.substr(0, slash);
  const LONG rc = ::RegOpenKeyExA(ToNativeKey(root), parent_path.c_str(), 0, KEY_ALL_ACCESS, parent.out());
  if (rc == ERROR_FILE_NOT_FOUND) return true;
  if (rc != ERROR_SUCCESS) return false;
  return DeleteTreeBelow(parent.get(), slash == std::string::npos ? path : path.substr(slash + 1), 0);
}

bool LiveStore::SetValue(HKey root, const std::string& path, const RegValue& value) {
  OwnedKey key;
  if (::RegCreateKeyExA(ToNativeKey(root), path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.out(),
                        nullptr) != ERROR_SUCCESS) {
    return false;
  }
  return ::RegSetValueExA(key.get(), value.name.c_str(), 0, value.type, value.data.data(),
                          static_cast<DWORD>(value.data.size())) == ERROR_SUCCESS;
}

bool LiveStore::DeleteValue(HKey root, const std::string& path, const std::string& name) {
  OwnedKey key;
  const LONG rc = ::RegOpenKeyExA(ToNativeKey(root), path.c_str(), 0, KEY_ALL_ACCESS, key.out());
  if (rc == ERROR_FILE_NOT_FOUND) return true;
  if (rc != ERROR_SUCCESS) return false;
  const LONG deleted = ::RegDeleteValueA(key.get(), name.c_str());
  return deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND;
}

std::optional<std::vector<RegValue>> LiveStore::ListValues(HKey root, const std::string& path) {
  OwnedKey key;
  if (::RegOpenKeyExA(ToNativeKey(root), path.c_str(), 0, KEY_READ, key.out()) != ERROR_SUCCESS) return std::nullopt;
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
