// Registries for the tests: a healthy stock system and its places.
#pragma once

#include <string>

#include "registry/memory_store.h"
#include "repair/engine.h"

namespace torvane::testing {

inline const std::string kExplorer = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
inline const std::string kSystem = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
inline const std::string kCmd = "Software\\Policies\\Microsoft\\Windows\\system";
inline const std::string kRestrictions = "Software\\Policies\\Microsoft\\Internet Explorer\\restrictions";
inline const std::string kControlPanel = "Software\\Policies\\Microsoft\\Internet Explorer\\Control Panel";
inline const std::string kIeMain = "Software\\Microsoft\\Internet Explorer\\Main";
inline const std::string kAutoUpdate = "SOFTWARE\\Policies\\Microsoft\\Windows\\WindowsUpData\\AU";
inline const std::string kShowAll =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\\SHOWALL";
inline const std::string kCurrentVersion = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
inline const std::string kWinlogon = kCurrentVersion + "\\Winlogon";
inline const std::string kWindows = kCurrentVersion + "\\Windows";
inline const std::string kIfeo = kCurrentVersion + "\\Image File Execution Options";
inline const std::string kDefaultPrefix = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\URL\\DefaultPrefix";
inline const std::string kPrefixes = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\URL\\Prefixes";
inline const std::string kHealthyUserinit = "C:\\WINDOWS\\system32\\userinit.exe,";

// The places of a stock system in their healthy form: every key the items
// read exists, no policy value is set.
void PutHealthySystem(registry::MemoryStore& store);

// Scans `store` and returns the health bytes.
repair::ItemBytes Scan(registry::MemoryStore& store,
                       const std::string& system_directory = repair::kDefaultSystemDirectory);

// The indices whose byte is 0.
std::string DamagedItems(const repair::ItemBytes& healthy);

}  // namespace torvane::testing
