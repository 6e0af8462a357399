// Every registry operation of a scan and a repair-all run of a fully damaged
// registry, failed in turn with each code the registry gives: nothing hangs
// or crashes, no key stays open, and no item whose change failed is reported
// repaired.
#include <gtest/gtest.h>

#include "repair/run.h"
#include "support/fault_store.h"
#include "support/fixtures.h"

namespace torvane::testing {
namespace {

using registry::kCurrentUser;
using registry::kLocalMachine;
using registry::MemoryStore;

void PutFullyDamaged(MemoryStore& store) {
  PutHealthySystem(store);
  store.PutDword(kCurrentUser, kSystem, "DisableTaskMgr", 1);
  store.PutDword(kCurrentUser, kSystem, "DisableRegistryTools", 1);
  store.PutDword(kCurrentUser, kCmd, "DisableCMD", 1);
  store.PutString(kLocalMachine, kIfeo + "\\IceSword.exe", "Debugger", "svch0st.exe");
  store.CreateKey(kLocalMachine, kIfeo + "\\avp.exe\\Nested\\Deeper");
  store.CreateKey(kLocalMachine, kIfeo + "\\winword.exe");
  store.PutDword(kCurrentUser, kExplorer, "NoRun", 1);
  store.PutDword(kCurrentUser, kExplorer, "NoViewContextMenu", 1);
  store.PutDword(kLocalMachine, kExplorer, "NoViewContextMenu", 1);
  store.PutDword(kCurrentUser, kExplorer, "NoClose", 1);
  store.PutDword(kCurrentUser, kExplorer, "NoLogOff", 1);
  store.PutDword(kLocalMachine, kSystem, "NoAutoUpdate", 1);
  store.PutDword(kLocalMachine, kAutoUpdate, "NoAutoUpdate", 1);
  store.PutDword(kLocalMachine, kShowAll, "CheckedValue", 0);
  store.PutString(kLocalMachine, kWinlogon, "Userinit", kHealthyUserinit + "evil.exe,");
  store.PutValue(kCurrentUser, kExplorer, "RestrictRun", registry::kRegBinary, std::vector<std::uint8_t>(120, 1));
  store.PutString(kLocalMachine, kWinlogon, "Shell", "Explorer.exe evil.exe");
  store.PutString(kLocalMachine, kWindows, "AppInit_DLLs", "evil.dll");
  store.PutDword(kCurrentUser, kExplorer, "NoFolderOptions", 1);
  store.PutDword(kCurrentUser, kRestrictions, "NoBrowserOptions", 1);
  store.PutDword(kCurrentUser, kRestrictions, "NoBrowserContextMenu", 1);
  store.PutDword(kCurrentUser, kRestrictions, "NoViewSource", 1);
  store.PutDword(kCurrentUser, kControlPanel, "HomePage", 1);
  store.PutString(kCurrentUser, kIeMain, "Window title", "pwned");
  store.PutString(kLocalMachine, kDefaultPrefix, "", "evil://");
  for (const char* name : {"ftp", "gopher", "home", "mosaic", "www"}) {
    store.PutString(kLocalMachine, kPrefixes, name, "evil://");
  }
}

// Scans and repairs everything through a store that fails one operation,
// then checks what the run claimed against the registry as it really is.
void RunWithFault(long n, long code, FaultStore::Target target, long* operations) {
  MemoryStore store;
  PutFullyDamaged(store);
  FaultStore faulty(store);
  faulty.FailAt(n, code, target);
  repair::RepairEngine engine(faulty);
  repair::RunFlags flags;
  engine.ScanItems(flags.m_healthy);
  repair::RunTexts texts;
  repair::TickState all;
  all.fill(true);
  const auto message = repair::RunRepairs(engine, flags, texts, all);
  engine.ScanItems(flags.m_healthy);
  *operations = faulty.operations();

  const std::string where = "operation " + std::to_string(n) + " failing with " + std::to_string(code);
  ASSERT_EQ(store.open_handles(), 0u) << where;
  EXPECT_FALSE(message.text.empty()) << where;
  repair::RepairEngine truth(store);
  for (int i = 0; i < repair::kItemCount; ++i) {
    if (flags.m_repaired[i]) {
      EXPECT_TRUE(truth.CheckItem(i)) << where << ": item " << i << " listed but damaged";
    }
  }
}

TEST(FaultInjection, EveryOperationFailingWithEachCode) {
  long total = 0;
  RunWithFault(0, 0, FaultStore::Target::kAny, &total);
  ASSERT_GT(total, 100);
  for (long code : {registry::kFileNotFound, registry::kAccessDenied, registry::kMoreData,
                    registry::kInvalidHandle, registry::kKeyDeleted}) {
    for (long n = 1; n <= total; ++n) {
      long operations = 0;
      RunWithFault(n, code, FaultStore::Target::kAny, &operations);
      if (HasFatalFailure()) return;
    }
  }
}

TEST(FaultInjection, EveryChangeRefusedInTurnIsReportedAsFailed) {
  int refused = 0;
  for (long n = 1;; ++n) {
    MemoryStore store;
    PutFullyDamaged(store);
    FaultStore faulty(store);
    faulty.FailAt(n, registry::kAccessDenied, FaultStore::Target::kChange);
    repair::RepairEngine engine(faulty);
    bool hit = false;
    for (int i = 0; i < repair::kItemCount; ++i) {
      faulty.ClearInjected();
      const auto outcome = engine.ApplyRepair(i);
      if (!faulty.injected()) continue;
      hit = true;
      EXPECT_EQ(outcome, repair::RepairOutcome::kFailed) << "change " << n << " of item " << i;
    }
    ASSERT_EQ(store.open_handles(), 0u);
    if (!hit) break;  // past the last change
    ++refused;
  }
  EXPECT_GT(refused, 25) << "the fully damaged registry needs more than 25 changes";
}

}  // namespace
}  // namespace torvane::testing
