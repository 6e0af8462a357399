// Image hijack detection: the name alone decides, exactly, blanks included;
// the repair removes the listed subkeys only.
#include <gtest/gtest.h>

#include "repair/engine.h"
#include "repair/protected_tools.h"
#include "support/fixtures.h"

namespace torvane::testing {
namespace {

using registry::kLocalMachine;
using registry::MemoryStore;
using repair::HijackOutcome;
using repair::RepairOutcome;

class HijackTest : public ::testing::Test {
 protected:
  void SetUp() override { PutHealthySystem(store); }
  HijackOutcome Check() {
    const HijackOutcome outcome = engine.CheckImageHijack();
    EXPECT_EQ(store.open_handles(), 0u);
    return outcome;
  }
  RepairOutcome Repair() {
    const RepairOutcome outcome = engine.RepairImageHijack();
    EXPECT_EQ(store.open_handles(), 0u);
    return outcome;
  }
  void Add(const std::string& name) { store.CreateKey(kLocalMachine, kIfeo + "\\" + name); }
  bool Has(const std::string& name) { return store.FindKey(kLocalMachine, kIfeo + "\\" + name) != nullptr; }

  MemoryStore store;
  repair::RepairEngine engine{store};
};

TEST(ProtectedTools, TheListHasItsFourTrailingBlanks) {
  std::vector<int> with_blank;
  for (int i = 0; i < repair::kProtectedToolCount; ++i) {
    const std::string name = repair::kProtectedTools[i];
    if (name.back() == ' ') with_blank.push_back(i);
  }
  EXPECT_EQ(with_blank, (std::vector<int>{9, 14, 75, 91}));
  EXPECT_STREQ(repair::kProtectedTools[0], "360Safe.exe");
  EXPECT_STREQ(repair::kProtectedTools[101], "Kestrow.exe");
  EXPECT_STREQ(repair::kProtectedTools[114], "WoptiClean.exe");
}

TEST_F(HijackTest, EveryListedNameIsAHijackAndTheMatchIsExact) {
  for (const char* tool : repair::kProtectedTools) {
    MemoryStore fresh;
    PutHealthySystem(fresh);
    fresh.CreateKey(kLocalMachine, kIfeo + "\\" + tool);
    EXPECT_EQ(repair::RepairEngine(fresh).CheckImageHijack(), HijackOutcome::kHijacked) << tool;
  }
  EXPECT_FALSE(engine.IsProtectedTool("icesword.exe"));
  EXPECT_FALSE(engine.IsProtectedTool("avgrssvc.exe"));
  EXPECT_TRUE(engine.IsProtectedTool("avgrssvc.exe "));
  EXPECT_FALSE(engine.IsProtectedTool("IceSword.exe "));
}

TEST_F(HijackTest, LowerCaseAndBlanklessNamesAreClean) {
  Add("icesword.exe");
  Add("avgrssvc.exe");
  Add("Rsaupd.exe");
  EXPECT_EQ(Check(), HijackOutcome::kClean);
  Add("Rsaupd.exe ");
  EXPECT_EQ(Check(), HijackOutcome::kHijacked);
}

TEST_F(HijackTest, ALongSubkeyNameNeitherMatchesNorStopsTheCheck) {
  Add(std::string(99, 'A'));   // 99 bytes + NUL fills the 100-byte buffer exactly
  Add(std::string(100, 'B'));  // does not fit: passed over
  Add(std::string(250, 'C'));
  EXPECT_EQ(Check(), HijackOutcome::kClean);
  Add("ZZ_after.exe");
  Add("WinDbg.exe");  // sorts after the long names
  EXPECT_EQ(Check(), HijackOutcome::kHijacked);
}

TEST_F(HijackTest, MissingOrClosedKeysDecideTheOutcome) {
  store.RemoveTree(kLocalMachine, kIfeo);
  EXPECT_EQ(Check(), HijackOutcome::kClean) << "no hijack key, parent readable";
  Add("IceSword.exe");
  store.DenyFullAccess(kLocalMachine, kIfeo);
  EXPECT_EQ(Check(), HijackOutcome::kClean) << "hijack key closed, parent open";
  store.SetAdministrator(false);
  EXPECT_EQ(Check(), HijackOutcome::kUndetermined);
  EXPECT_EQ(Repair(), RepairOutcome::kNothingToDo);
  EXPECT_TRUE(Has("IceSword.exe"));
}

TEST_F(HijackTest, UndeterminedLeavesTheHealthByteAsItWas) {
  Add("IceSword.exe");
  store.SetAdministrator(false);
  repair::ItemBytes healthy;
  healthy.fill(0);
  engine.ScanItems(healthy);
  EXPECT_EQ(healthy[3], 0);
  healthy.fill(1);
  engine.ScanItems(healthy);
  EXPECT_EQ(healthy[3], 1);
}

TEST_F(HijackTest, RepairRemovesListedSubkeysWithTheirContentAndKeepsTheRest) {
  Add("IceSword.exe\\Deeper\\Deepest");
  store.PutString(kLocalMachine, kIfeo + "\\IceSword.exe", "Debugger", "svch0st.exe");
  Add("360Safe.exe");  // no values at all: the name alone decides
  for (int i = 0; i < 20; ++i) Add("app" + std::to_string(i) + ".exe");
  store.PutDword(kLocalMachine, kIfeo + "\\winword.exe", "DisableHeapLookaside", 1);
  store.PutString(kLocalMachine, kIfeo, "GlobalFlag", "x");

  EXPECT_EQ(Check(), HijackOutcome::kHijacked);
  EXPECT_EQ(Repair(), RepairOutcome::kRepaired);
  EXPECT_FALSE(Has("IceSword.exe"));
  EXPECT_FALSE(Has("360Safe.exe"));
  EXPECT_TRUE(Has("app0.exe"));
  EXPECT_TRUE(Has("app19.exe"));
  EXPECT_TRUE(store.GetValue(kLocalMachine, kIfeo + "\\winword.exe", "DisableHeapLookaside"));
  EXPECT_TRUE(store.GetValue(kLocalMachine, kIfeo, "GlobalFlag")) << "the key itself stays";
  EXPECT_EQ(Check(), HijackOutcome::kClean);
  EXPECT_EQ(Repair(), RepairOutcome::kNothingToDo);
}

TEST_F(HijackTest, RepairOfOnlyUnlistedSubkeysDeletesNothing) {
  Add("WINWORD.EXE");
  const std::string before = store.Dump();
  EXPECT_EQ(Repair(), RepairOutcome::kNothingToDo);
  EXPECT_EQ(store.Dump(), before);
}

TEST_F(HijackTest, ASubkeyThatCannotBeRemovedFailsTheRepairAndItEnds) {
  Add("avp.exe\\Pinned");
  store.RefuseDeletion(kLocalMachine, kIfeo + "\\avp.exe\\Pinned");
  Add("KAV32.exe");
  Add("kvol.exe\\" + std::string(1100, 'x'));  // a child too long for any name buffer
  EXPECT_EQ(Repair(), RepairOutcome::kFailed);
  EXPECT_TRUE(Has("avp.exe\\Pinned"));
  EXPECT_FALSE(Has("KAV32.exe")) << "the others are still removed";
  EXPECT_TRUE(Has("kvol.exe"));
  EXPECT_EQ(Check(), HijackOutcome::kHijacked);
}

TEST_F(HijackTest, WithoutRightsToDeleteTheRepairFails) {
  Add("SREng.exe");
  store.RefuseDeletion(kLocalMachine, kIfeo + "\\SREng.exe");
  EXPECT_EQ(Repair(), RepairOutcome::kFailed);
  EXPECT_TRUE(Has("SREng.exe"));
}

}  // namespace
}  // namespace torvane::testing
