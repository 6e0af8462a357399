#include "registry/win32_store.h"

#include <windows.h>

namespace torvane::registry {

namespace {

// advapi32 has no call that deletes the key a handle holds; RegDeleteKeyA
// reopens the name and so deletes what a link points at. ntdll's does.
using NtDeleteKeyFn = LONG(WINAPI*)(HANDLE);
using RtlNtStatusToDosErrorFn = ULONG(WINAPI*)(LONG);

template <typename Fn>
Fn NtdllEntry(const char* name) {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");  // in every process
  return ntdll ? reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(ntdll, name))) : nullptr;
}

long DeleteOpenedKey(HKEY key) {
  static const auto nt_delete = NtdllEntry<NtDeleteKeyFn>("NtDeleteKey");
  static const auto to_error = NtdllEntry<RtlNtStatusToDosErrorFn>("RtlNtStatusToDosError");
  if (nt_delete == nullptr || to_error == nullptr) return ERROR_CALL_NOT_IMPLEMENTED;
  const LONG status = nt_delete(key);
  return status == 0 ? ERROR_SUCCESS : static_cast<long>(to_error(status));
}

}  // namespace

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
  if (subkey.empty()) return ERROR_INVALID_PARAMETER;
  OwnedKey victim;
  const LONG rc = ::RegOpenKeyExA(ToNativeKey(key), subkey.c_str(), REG_OPTION_OPEN_LINK, DELETE, victim.out());
  if (rc != ERROR_SUCCESS) return rc;
  return DeleteOpenedKey(victim.get());
}

long Win32Store::RegCloseKey(HKey key) {
  if (key == kCurrentUser || key == kLocalMachine) return ERROR_SUCCESS;
  return ::RegCloseKey(ToNativeKey(key));
}

long Win32Store::RegQueryKeyIsLink(HKey key, bool* is_link) {
  // A link holds its target in "SymbolicLinkValue" of type REG_LINK; a key
  // that carries one is taken for a link, which is never followed.
  DWORD type = REG_NONE;
  const LONG rc = ::RegQueryValueExW(ToNativeKey(key), L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr);
  if (rc == ERROR_FILE_NOT_FOUND) {
    *is_link = false;
    return ERROR_SUCCESS;
  }
  if (rc != ERROR_SUCCESS) return rc;
  *is_link = type == REG_LINK;
  return ERROR_SUCCESS;
}

}  // namespace torvane::registry
