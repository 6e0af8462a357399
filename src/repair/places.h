// The registry places the items watch and restore.
#pragma once

#include <cstdint>
#include <iterator>

#include "registry/registry.h"

namespace torvane::repair::places {

inline constexpr const char* kExplorerPolicy =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
inline constexpr const char* kSystemPolicy =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
inline constexpr const char* kIeRestrictions =
    "Software\\Policies\\Microsoft\\Internet Explorer\\restrictions";
inline constexpr const char* kCmdPolicy = "Software\\Policies\\Microsoft\\Windows\\system";
inline constexpr const char* kIeControlPanel =
    "Software\\Policies\\Microsoft\\Internet Explorer\\Control Panel";
inline constexpr const char* kIeMain = "Software\\Microsoft\\Internet Explorer\\Main";
inline constexpr const char* kAutoUpdatePolicy =
    "SOFTWARE\\Policies\\Microsoft\\Windows\\WindowsUpData\\AU";
// Where Windows reads the automatic-update policy: NoAutoUpdate with first
// byte 1 there switches updates off.
inline constexpr const char* kWindowsUpdatePolicy =
    "SOFTWARE\\Policies\\Microsoft\\Windows\\WindowsUpdate\\AU";
inline constexpr const char* kShowAll =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\\SHOWALL";
inline constexpr const char* kWinlogon = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
inline constexpr const char* kWindows = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
inline constexpr const char* kDefaultPrefix =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\URL\\DefaultPrefix";
inline constexpr const char* kPrefixes = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\URL\\Prefixes";
inline constexpr const char* kCurrentVersion = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
inline constexpr const char* kHijackKeyName = "Image File Execution Options";
inline constexpr const char* kHijackKey =
    "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options";

// A value a repair writes into a key it makes again.
struct DefaultValue {
  const char* name;
  std::uint32_t type;  // kRegSz (text) or kRegDword (number)
  const char* text;
  std::uint32_t number;
};

// What Windows itself keeps in the SHOWALL key: the "Show hidden files and
// folders" radio button of Folder Options (View, Advanced settings), bound
// to HKEY_CURRENT_USER's Explorer\Advanced "Hidden" (1 shows hidden files,
// 2 does not). Each value means what it means in every Advanced-settings
// key (D. A. Karp, "Windows Vista Annoyances", O'Reilly 2008, chapter 3,
// table 3-3, "Registry-related properties of Folder Options items": Type,
// Text, HelpID, HKeyRoot, RegPath, ValueName, CheckedValue, DefaultValue).
// The data are a stock Windows XP's, in the order regedit exports them;
// independent published exports of the key (restore scripts for what
// malware did to it) agree value for value.
inline constexpr DefaultValue kShowAllDefaults[] = {
    {"RegPath", registry::kRegSz, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced", 0},
    {"Text", registry::kRegSz, "@shell32.dll,-30500", 0},
    {"Type", registry::kRegSz, "radio", 0},
    {"CheckedValue", registry::kRegDword, nullptr, 1},
    {"ValueName", registry::kRegSz, "Hidden", 0},
    {"DefaultValue", registry::kRegDword, nullptr, 2},
    {"HKeyRoot", registry::kRegDword, nullptr, 0x80000001u},  // HKEY_CURRENT_USER
    {"HelpID", registry::kRegSz, "shell.hlp#51105", 0},
};

// A key a repair makes again when it is missing, with its values.
struct KeyDefaults {
  const DefaultValue* values = nullptr;
  int count = 0;
};
inline constexpr KeyDefaults kShowAllKey = {kShowAllDefaults, static_cast<int>(std::size(kShowAllDefaults))};

inline constexpr const char* kShell = "Explorer.exe";
inline constexpr const char* kHttpPrefix = "http://";

struct Prefix {
  const char* value;
  const char* healthy;
};
// In the order they are read and restored.
inline constexpr Prefix kUrlPrefixes[5] = {
    {"ftp", "ftp://"}, {"gopher", "gopher://"}, {"home", "http://"},
    {"mosaic", "http://"}, {"www", "http://"}};

}  // namespace torvane::repair::places
