// The registry places the items watch and restore.
#pragma once

#include <cstdint>

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
