// The seven registry operations over the machine's own registry (advapi32).
//
// Handles, paths, masks and codes go through unchanged: a key handle is the
// HKEY itself, so the two roots are the predefined HKEYs. Deleting a key
// never follows a registry link, unlike advapi32's RegDeleteKeyA.
#pragma once

#include <windows.h>

#include "registry/registry.h"

namespace torvane::registry {

// The HKEY behind a handle. The predefined roots are sign-extended on 64-bit
// Windows and the store's constants are not, so the roots are mapped.
HKEY ToNativeKey(HKey key);

// The one owner of an HKEY: closes the key it holds.
class OwnedKey {
 public:
  OwnedKey() = default;
  OwnedKey(const OwnedKey&) = delete;
  OwnedKey& operator=(const OwnedKey&) = delete;
  ~OwnedKey() {
    if (key_ != nullptr) ::RegCloseKey(key_);
  }
  HKEY* out() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

class Win32Store : public RegistryStore {
 public:
  long RegOpenKeyExA(HKey root, const std::string& path, std::uint32_t options,
                     std::uint32_t access, HKey* result) override;
  long RegQueryValueExA(HKey key, const std::string& name, std::uint32_t* type,
                        std::uint8_t* data, std::uint32_t* size) override;
  long RegSetValueExA(HKey key, const std::string& name, std::uint32_t reserved,
                      std::uint32_t type, const std::uint8_t* data,
                      std::uint32_t size) override;
  long RegDeleteValueA(HKey key, const std::string& name) override;
  long RegEnumKeyA(HKey key, std::uint32_t index, char* name,
                   std::uint32_t capacity) override;
  long RegDeleteKeyA(HKey key, const std::string& subkey) override;
  long RegCloseKey(HKey key) override;
  long RegQueryKeyIsLink(HKey key, bool* is_link) override;
};

}  // namespace torvane::registry
