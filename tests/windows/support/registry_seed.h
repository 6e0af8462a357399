// Writes test registries into the machine's own registry (Wine's, under the
// test prefix), and reads it back.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <atomic>
#include <string>
#include <thread>

#include "registry/memory_store.h"

namespace torvane::wintest {

// Every helper names the registry view it works in (`view`: KEY_WOW64_64KEY
// or KEY_WOW64_32KEY), so that the 32-bit test programs seed and read what
// the 64-bit ones do. The default is the 64-bit view.
inline constexpr REGSAM kView64 = KEY_WOW64_64KEY;
inline constexpr REGSAM kView32 = KEY_WOW64_32KEY;

// Copies every key and value of `store` under both roots into the registry.
void CopyToRegistry(const registry::MemoryStore& store);

// Makes every one of the 23 places healthy: removes the policies, image
// hijacks and the IE title, and writes the healthy start-up, hidden-files
// and prefix values, in both views (the keys Wine links into both views are
// cleaned through the 64-bit one).
void MakeAllHealthy();

void PutDword(HKEY root, const std::string& path, const std::string& name, DWORD value, REGSAM view = kView64);
void PutString(HKEY root, const std::string& path, const std::string& name, const std::string& text,
               REGSAM view = kView64);
void DeleteTree(HKEY root, const std::string& path, REGSAM view = kView64);
bool KeyExists(HKEY root, const std::string& path, REGSAM view = kView64);
// The value's data as bytes (a REG_SZ with its NUL), or nothing.
std::optional<std::string> ReadValue(HKEY root, const std::string& path, const std::string& name,
                                     REGSAM view = kView64);

// Writes a user hive file as Windows leaves a signed-out user's NTUSER.DAT:
// the keys `fill` puts below HKEY_USERS\<the name it is given>, saved with
// RegSaveKeyA (the backup privilege enabled) and then removed. False when the
// file could not be written.
bool SaveUserHive(const std::string& file, const std::function<void(const std::string& seed)>& fill);

// Makes `path` refuse value writes (or the rights `denied`) to everyone for
// as long as the object lives, then gives the rights back.
class ValueWritesDenied {
 public:
  ValueWritesDenied(HKEY root, std::string path, DWORD denied = KEY_SET_VALUE, REGSAM view = kView64);
  ValueWritesDenied(const ValueWritesDenied&) = delete;
  ValueWritesDenied& operator=(const ValueWritesDenied&) = delete;
  ~ValueWritesDenied();
  bool applied() const { return applied_; }

 private:
  HKEY root_;
  std::string path_;
  REGSAM view_;
  bool applied_ = false;
};

// Malware that watches a value and writes it back the moment it is deleted:
// HKCU `path` `name` = 1 (a DWORD), set now and, from Watch() on, kept,
// woken by the registry's change notice, until this goes. Alongside, a thousand
// image-options subkeys in each view that a run reads (items 0 to 3) before
// item 4's read-back: the watcher has that long to win.
class RewrittenAtOnce {
 public:
  RewrittenAtOnce(std::string path, std::string name);
  RewrittenAtOnce(const RewrittenAtOnce&) = delete;
  RewrittenAtOnce& operator=(const RewrittenAtOnce&) = delete;
  ~RewrittenAtOnce();
  // Starts the watcher; false when the key cannot be watched.
  bool Watch();

 private:
  std::string path_, name_;
  HKEY watched_ = nullptr;
  HANDLE changed_ = nullptr;
  std::atomic<bool> stop_{false};
  std::thread watcher_;
};

// Key paths the tests use.
inline constexpr const char* kSystemPolicy = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
inline constexpr const char* kExplorerPolicy = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
inline constexpr const char* kIfeo = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options";
inline constexpr const char* kWindows = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
inline constexpr const char* kWinlogon = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
inline constexpr const char* kShowAll =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\\SHOWALL";
inline constexpr const char* kDefaultPrefix = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\URL\\DefaultPrefix";
inline constexpr const char* kPrefixes = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\URL\\Prefixes";

}  // namespace torvane::wintest
