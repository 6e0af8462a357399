// Over many generated registry states: a repair whose every change took
// leaves its item healthy, nothing is ever reported both ways, and no scan or
// repair leaves a key open.
#include <gtest/gtest.h>

#include <random>

#include "repair/protected_tools.h"
#include "repair/run.h"
#include "support/fixtures.h"

namespace torvane::testing {
namespace {

using registry::kCurrentUser;
using registry::kLocalMachine;
using registry::MemoryStore;
using repair::RepairOutcome;

// Builds the state of `seed` into `store`: a stock system, then damage to a
// random half of the items in one of its forms, and sometimes refusals.
void Generate(unsigned seed, MemoryStore& store) {
  std::mt19937 random(seed);
  const auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };
  const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  PutHealthySystem(store);
  const std::vector<std::uint8_t> long_data(300, 1);

  if (chance(50)) store.PutDword(kCurrentUser, kSystem, "DisableTaskMgr", pick(2) ? 1 : 0x101);
  if (chance(50)) store.PutDword(kCurrentUser, kSystem, "DisableRegistryTools", 0);
  if (chance(50)) store.PutDword(kCurrentUser, kCmd, "DisableCMD", 2);
  if (chance(50)) {
    const std::string tool = repair::kProtectedTools[pick(repair::kProtectedToolCount)];
    store.PutString(kLocalMachine, kIfeo + "\\" + tool, "Debugger", "svch0st.exe");
    if (chance(50)) store.CreateKey(kLocalMachine, kIfeo + "\\" + tool + "\\Child\\Grandchild");
    if (chance(20)) store.RefuseDeletion(kLocalMachine, kIfeo + "\\" + tool);
  }
  if (chance(50)) store.CreateKey(kLocalMachine, kIfeo + "\\unlisted" + std::to_string(pick(9)) + ".exe");
  if (chance(50)) store.PutDword(kCurrentUser, kExplorer, "NoRun", 1);
  if (chance(50)) {
    const int where = pick(3);
    if (where != 1) store.PutDword(kCurrentUser, kExplorer, "NoViewContextMenu", 1);
    if (where != 0) store.PutDword(kLocalMachine, kExplorer, "NoViewContextMenu", 1);
  }
  if (chance(50)) store.PutDword(kCurrentUser, kExplorer, "NoClose", 1);
  if (chance(50)) store.PutDword(kCurrentUser, kExplorer, "NoLogOff", 1);
  if (chance(50)) store.PutDword(kLocalMachine, kSystem, "NoAutoUpdate", 1);
  if (chance(50)) store.PutDword(kLocalMachine, kAutoUpdate, "NoAutoUpdate", 1);
  if (chance(50)) {
    switch (pick(4)) {
      case 0: store.RemoveValue(kLocalMachine, kShowAll, "CheckedValue"); break;
      case 1: store.PutDword(kLocalMachine, kShowAll, "CheckedValue", 0); break;
      case 2: store.PutString(kLocalMachine, kShowAll, "CheckedValue", "1"); break;
      default: store.PutDword(kLocalMachine, kShowAll, "CheckedValue", 0x301); break;
    }
  }
  if (chance(50)) {
    if (pick(2)) store.RemoveValue(kLocalMachine, kWinlogon, "Userinit");
    else store.PutString(kLocalMachine, kWinlogon, "Userinit", kHealthyUserinit + "x.exe,");
  }
  if (chance(50)) store.PutValue(kCurrentUser, kExplorer, "RestrictRun", registry::kRegBinary, long_data);
  if (chance(50)) store.PutString(kLocalMachine, kWinlogon, "Shell", pick(2) ? "explorer.exe" : "");
  if (chance(50)) store.PutString(kLocalMachine, kWindows, "AppInit_DLLs", std::string(pick(2) ? 200 : 5, 'd'));
  if (chance(50)) store.PutDword(kCurrentUser, kExplorer, "NoFolderOptions", 1);
  if (chance(50)) store.PutDword(kCurrentUser, kRestrictions, "NoBrowserOptions", 1);
  if (chance(50)) store.PutDword(kCurrentUser, kRestrictions, "NoBrowserContextMenu", 1);
  if (chance(50)) store.PutDword(kCurrentUser, kRestrictions, "NoViewSource", 1);
  if (chance(50)) store.PutDword(kCurrentUser, kControlPanel, "HomePage", pick(2));
  if (chance(50)) store.PutString(kCurrentUser, kIeMain, "Window title", "pwned");
  if (chance(50)) store.PutString(kLocalMachine, kDefaultPrefix, "", "www.");
  if (chance(50)) {
    const char* names[] = {"ftp", "gopher", "home", "mosaic", "www"};
    const char* name = names[pick(5)];
    if (pick(2)) store.RemoveValue(kLocalMachine, kPrefixes, name);
    else store.PutString(kLocalMachine, kPrefixes, name, "https://");
  }
  if (chance(10)) store.RemoveTree(kLocalMachine, kShowAll);
  if (chance(10)) store.RemoveTree(kCurrentUser, kRestrictions);

  const std::string refusable[] = {kExplorer, kSystem, kWinlogon, kPrefixes, kShowAll};
  if (chance(20)) store.RefuseChanges(pick(2) ? kCurrentUser : kLocalMachine, refusable[pick(5)]);
  store.SetAdministrator(!chance(15));
}

constexpr unsigned kStates = 400;

TEST(Invariants, ARepairWhoseChangesAllTookLeavesItsItemHealthy) {
  for (unsigned seed = 1; seed <= kStates; ++seed) {
    for (int index = 0; index < repair::kItemCount; ++index) {
      MemoryStore store;
      Generate(seed, store);
      repair::RepairEngine engine(store);
      const bool healthy_before = engine.CheckItem(index);
      const RepairOutcome outcome = engine.ApplyRepair(index);
      ASSERT_EQ(store.open_handles(), 0u) << "seed " << seed << " item " << index;
      const bool healthy_after = engine.CheckItem(index);
      ASSERT_EQ(store.open_handles(), 0u) << "seed " << seed << " item " << index;
      if (outcome == RepairOutcome::kRepaired) {
        EXPECT_TRUE(healthy_after) << "seed " << seed << " item " << index;
      }
      // An item that its check finds damaged is either repaired or reported
      // failed, never passed over in silence.
      if (outcome == RepairOutcome::kNothingToDo) {
        EXPECT_TRUE(healthy_before) << "seed " << seed << " item " << index;
      }
    }
  }
}

TEST(Invariants, AFullRunNeverReportsAnItemBothWaysAndItsRepairsHold) {
  for (unsigned seed = 1; seed <= kStates; ++seed) {
    MemoryStore store;
    Generate(seed, store);
    repair::RepairEngine engine(store);
    repair::RunFlags flags;
    repair::RunTexts texts;
    repair::TickState all;
    all.fill(true);
    repair::RunRepairs(engine, flags, texts, all);
    ASSERT_EQ(store.open_handles(), 0u) << "seed " << seed;
    engine.ScanItems(flags.m_healthy);
    for (int i = 0; i < repair::kItemCount; ++i) {
      EXPECT_FALSE(flags.m_repaired[i] && flags.m_failed[i]) << "seed " << seed << " item " << i;
      if (flags.m_repaired[i]) {
        EXPECT_EQ(flags.m_healthy[i], 1) << "seed " << seed << " item " << i;
      }
    }
  }
}

}  // namespace
}  // namespace torvane::testing
