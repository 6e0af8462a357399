#include "support/fixtures.h"

namespace torvane::testing {

using registry::kCurrentUser;
using registry::kLocalMachine;

void PutHealthySystem(registry::MemoryStore& store) {
  for (const auto& key : {kExplorer, kSystem, kCmd, kRestrictions, kControlPanel, kIeMain}) {
    store.CreateKey(kCurrentUser, key);
  }
  store.CreateKey(kLocalMachine, kExplorer);
  store.CreateKey(kLocalMachine, kSystem);
  store.CreateKey(kLocalMachine, kAutoUpdate);
  store.PutDword(kLocalMachine, kShowAll, "CheckedValue", 1);
  store.PutString(kLocalMachine, kCurrentVersion, "SystemRoot", "C:\\WINDOWS");
  store.PutString(kLocalMachine, kWinlogon, "Userinit", kHealthyUserinit);
  store.PutString(kLocalMachine, kWinlogon, "Shell", "Explorer.exe");
  store.PutString(kLocalMachine, kWindows, "AppInit_DLLs", "");
  store.CreateKey(kLocalMachine, kIfeo + "\\Your Image File Name Here without a path");
  store.PutString(kLocalMachine, kDefaultPrefix, "", "http://");
  store.PutString(kLocalMachine, kPrefixes, "ftp", "ftp://");
  store.PutString(kLocalMachine, kPrefixes, "gopher", "gopher://");
  store.PutString(kLocalMachine, kPrefixes, "home", "http://");
  store.PutString(kLocalMachine, kPrefixes, "mosaic", "http://");
  store.PutString(kLocalMachine, kPrefixes, "www", "http://");
}

repair::ItemBytes Scan(registry::MemoryStore& store, const std::string& system_directory) {
  repair::RepairEngine engine(store, system_directory);
  repair::ItemBytes healthy;
  healthy.fill(1);
  engine.ScanItems(healthy);
  return healthy;
}

std::string DamagedItems(const repair::ItemBytes& healthy) {
  std::string damaged;
  for (int i = 0; i < repair::kItemCount; ++i) {
    if (healthy[i]) continue;
    if (!damaged.empty()) damaged += ',';
    damaged += std::to_string(i);
  }
  return damaged;
}

}  // namespace torvane::testing
