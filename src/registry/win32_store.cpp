#include "registry/win32_store.h"

#include <windows.h>

namespace torvane::registry {

namespace {

HKEY ToHkey(HKey key) { return reinterpret_cast<HKEY>(key); }

}  // namespace

long Win32Store::RegOpenKeyExA(HKey root, const std::string& path, std::uint32_t options,
                               std::uint32_t access, HKey* result) {
  HKEY opened = nullptr;
  const LONG rc = ::RegOpenKeyExA(ToHkey(root), path.c_str(), options, access, &opened);
  *result = rc == ERROR_SUCCESS ? reinterpret_cast<HKey>(opened) : kNullKey;
  return rc;
}

long Win32Store::RegQueryValueExA(HKey key, const std::string& name, std::uint32_t* type,
                                  std::uint8_t* data, std::uint32_t* size) {
  DWORD value_type = 0;
  DWORD value_size = size ? *size : 0;
  const LONG rc = ::RegQueryValueExA(ToHkey(key), name.c_str(), nullptr, &value_type, data,
                                     size ? &value_size : nullptr);
  if (type) *type = value_type;
  if (size) *size = value_size;
  return rc;
}

long Win32Store::RegSetValueExA(HKey key, const std::string& name, std::uint32_t reserved,
                                std::uint32_t type, const std::uint8_t* data, std::uint32_t size) {
  return ::RegSetValueExA(ToHkey(key), name.c_str(), reserved, type, data, size);
}

long Win32Store::RegDeleteValueA(HKey key, const std::string& name) {
  return ::RegDeleteValueA(ToHkey(key), name.c_str());
}

long Win32Store::RegEnumKeyA(HKey key, std::uint32_t index, char* name, std::uint32_t capacity) {
  return ::RegEnumKeyA(ToHkey(key), index, name, capacity);
}

long Win32Store::RegDeleteKeyA(HKey key, const std::string& subkey) {
  return ::RegDeleteKeyA(ToHkey(key), subkey.c_str());
}

long Win32Store::RegCloseKey(HKey key) { return ::RegCloseKey(ToHkey(key)); }

}  // namespace torvane::registry
