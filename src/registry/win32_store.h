// The seven registry operations over the machine's own registry (advapi32).
//
// Handles, paths, masks and codes go through unchanged: a key handle is the
// HKEY itself, so the two roots are the predefined HKEYs. Deleting a key
// never follows a registry link, unlike advapi32's RegDeleteKeyA.
//
// Views: every open names one. An open that asks for none gets the 64-bit
// view (a 32-bit build on 64-bit Windows asks for it explicitly, so that it
// sees what the 64-bit build sees), or, below an opened key, that key's view.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "registry/registry.h"

namespace torvane::registry {

// The HKEY behind a handle. The predefined roots are sign-extended on 64-bit
// Windows and the store's constants are not, so the roots are mapped.
HKEY ToNativeKey(HKey key);

// Whether this process runs on 64-bit Windows, where HKLM\SOFTWARE has two
// views.
bool OnWindows64();

// The WOW64 bits an open of the 64-bit view passes: KEY_WOW64_64KEY in a
// 32-bit process on 64-bit Windows, none elsewhere.
REGSAM NativeViewBits();

// A UTF-16 text in UTF-8.
std::string WideToUtf8(const std::wstring& text);

// UTF-8 (WTF-8 for lone surrogates) as UTF-16, unit for unit: the names and
// paths the program carries, as the wide entry points take them.
std::wstring Utf8ToWide(const std::string& utf8);

// The target of the link `key` (its "SymbolicLinkValue" of type REG_LINK);
// nullopt when it is no link or `*rc` says it could not be asked.
std::optional<std::wstring> LinkTargetOf(HKEY key, LONG* rc);

// Deletes the key `key` holds (a link as a link), not a name that may have
// come to mean another key (ntdll's NtDeleteKey).
long DeleteKeyByHandle(HKEY key);

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

// The keys on the way to places already walked from a predefined root: each
// opened as itself, proved no link, and kept with the native name it had. A
// kept key is walked from again only while its name still says it is that
// key, so one deleted, re-created or renamed since is walked to afresh.
class ResolvedKeys {
 public:
  ResolvedKeys() = default;
  ResolvedKeys(const ResolvedKeys&) = delete;
  ResolvedKeys& operator=(const ResolvedKeys&) = delete;
  ~ResolvedKeys() { Clear(); }

  // How many of the first `most` parts of `parts` below `root` the deepest
  // kept key covers (0: none), with that key in `*key`.
  std::size_t Deepest(HKEY root, const std::vector<std::wstring>& parts, std::size_t most, HKEY* key);
  // Takes `key`, the first `count` parts of `parts` below `root`; false
  // (and `key` still the caller's) when it is not kept.
  bool Keep(HKEY root, const std::vector<std::wstring>& parts, std::size_t count, HKEY key);
  void Clear();

 private:
  struct Kept {
    HKEY key = nullptr;
    std::wstring native;
  };
  std::unordered_map<std::wstring, Kept> keys_;
};

// Opens `path` below `parent` one key at a time, each relative to the one
// before and with REG_OPTION_OPEN_LINK, and asks each whether it is a link.
// A link is not followed (kRefusedLink, `*refused` names it and its target)
// unless it points at the same place in the other view of HKLM\SOFTWARE;
// the last key is handed back as the link itself when `keep_last_link`.
// `parent_path` is the stored HKLM path of `parent`, or nullptr when
// `parent` is not below HKLM. With `create`, missing keys are created.
// `path` is as stored: a 32-bit view key by its Wow6432Node path.
// With `resolved`, a walk from a predefined root starts at the deepest key
// it kept and keeps the keys it opens on the way.
LONG OpenWithoutLinks(HKEY parent, const std::wstring* parent_path, const std::wstring& path, REGSAM access,
                      bool keep_last_link, bool create, HKEY* result, std::wstring* refused,
                      ResolvedKeys* resolved = nullptr);

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
  long RegEnumValueA(HKey key, std::uint32_t index, char* name, std::uint32_t capacity) override;
  long RegDeleteKeyA(HKey key, const std::string& subkey) override;
  long RegCloseKey(HKey key) override;
  long RegQueryKeyIsLink(HKey key, bool* is_link) override;
  // A tree goes key by key through the wide entry points, each key opened by
  // its exact name as itself and deleted by its handle: no name below it
  // needs the code page, and a link in it goes as a link.
  bool TreeRemovable(HKey key) override;
  long RegDeleteTreeA(HKey key, const std::string& subkey) override;
  bool HasView32() const override { return OnWindows64(); }
  std::string RefusedLink() const override { return refused_; }

 protected:
  // Opens `path` (UTF-16) below `root` the way every operation does; see
  // OpenWithoutLinks. Notes a refused link for RefusedLink.
  LONG OpenPlace(HKey root, const std::wstring& path, REGSAM access, bool keep_last_link, bool create,
                 HKEY* result);

 private:
  // What the store knows of a key it opened: its view and, below HKLM, its
  // stored path.
  struct Opened {
    bool view32 = false;
    bool machine = false;
    std::wstring path;
  };
  bool InView32(HKey parent, std::uint32_t access) const;
  // Walks the tree `key` holds, deepest keys first; with `remove` false it
  // only proves that every key opens for deleting by its listed name.
  LONG WalkTree(HKEY key, int depth, bool remove);

  std::unordered_map<HKey, Opened> opened_;
  std::string refused_;
  ResolvedKeys resolved_;
};

}  // namespace torvane::registry
