#include "registry/win32_store.h"

#include <windows.h>

namespace torvane::registry {

HKEY ToNativeKey(HKey key) {
  if (key == kCurrentUser) return HKEY_CURRENT_USER;
  if (key == kLocalMachine) return HKEY_LOCAL_MACHINE;
  return reinterpret_cast<HKEY>(key);
}

long Win32Store::RegOpenKeyExA(HKey root, const std::string& path, std::uint32_t options,
                               std::uint32_t access, HKey* result) {
  HKEY opened = nullptr;
  const LONG rc = ::RegOpenKeyExA(ToNativeKey(root), path.c_str(), options, access, &opened);
  *result = rc == ERROR_SUCCESS ? reinterpret_cast<HKey>(opened) : kNullKey;
  return rc;
}

long Win32Store::RegQueryValueExA(HKey key, const std::string& name, std::uint32_t* type,
                                  std::uint8_t* data, std::uint32_t* size) {
  DWORD value_type = 0;
  DWORD value_size = size ? *size : 0;
  const LONG rc = ::RegQueryValueExA(ToNativeKey(key), name.c_str(), nullptr, &value_type, data,
                                     size ? &value_size : nullptr);
  if (type) *type = value_type;
  if (size) *size = value_size;
  return rc;
}

long Win32Store::RegSetValueExA(HKey key, const std::string& name, std::uint32_t reserved,
                                std::uint32_t type, const std::uint8_t* data, std::uint32_t size) {
  return ::RegSetValueExA(ToNativeKey(key), name.c_str(), reserved, type, data, size);
}

long Win32Store::RegDeleteValueA(HKey key, const std::string& name) {
  return ::RegDeleteValueA(ToNativeKey(key), name.c_str());
}

long Win32Store::RegEnumKeyA(HKey key, std::uint32_t index, char* name, std::uint32_t capacity) {
  return ::RegEnumKeyA(ToNativeKey(key), index, name, capacity);
}

long Win32Store::RegDeleteKeyA(HKey key, const std::string& subkey) {
  return ::RegDeleteKeyA(ToNativeKey(key), subkey.c_str());
}

long Win32Store::RegCloseKey(HKey key) {
  if (key == kCurrentUser || key == kLocalMachine) return ERROR_SUCCESS;
  return ::RegCloseKey(ToNativeKey(key));
}

}  // namespace torvane::registry
