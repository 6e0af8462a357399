// The repair run: ticked items in index order, one message, its texts byte
// for byte, and failures never listed as repaired.
#include <gtest/gtest.h>

#include <initializer_list>

#include "registry/reg_file.h"
#include "repair/repair_run.h"
#include "repair/run.h"
#include "support/fixtures.h"
#include "support/text.h"

namespace torvane::testing {
namespace {

using registry::kCurrentUser;
using registry::kLocalMachine;
using repair::RunFlags;
using repair::RunMessage;
using repair::RunTexts;
using repair::TickState;

TickState Ticks(std::initializer_list<int> indices) {
  TickState ticked{};
  for (int i : indices) ticked[i] = true;
  return ticked;
}

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override { PutHealthySystem(store); }
  RunMessage Run(const TickState& ticked) {
    RunMessage message = repair::RunRepairs(engine, flags, texts, ticked);
    EXPECT_EQ(store.open_handles(), 0u);
    return message;
  }
  registry::MemoryStore store;
  repair::RepairEngine engine{store};
  RunFlags flags;
  RunTexts texts;
};

TEST(RunTexts, AreTheProgramsGbkBytes) {
  EXPECT_EQ(repair::kCaption, Gbk("提示"));
  EXPECT_EQ(repair::kSelectItemText, Gbk("请选择一个修复项"));
  EXPECT_EQ(repair::kReportHeader, Gbk("以下项被修复\r\n"));
  EXPECT_EQ(repair::kFailedHeader, Gbk("以下项修复失败\r\n"));
  EXPECT_EQ(repair::kNothingRepaired, Gbk("没有需要修复的项"));
}

TEST_F(RunTest, NothingTickedAsksForASelectionAndRepairsNothing) {
  store.PutDword(kCurrentUser, kSystem, "DisableTaskMgr", 1);
  const RunMessage message = Run(Ticks({}));
  EXPECT_TRUE(message.nothing_ticked);
  EXPECT_EQ(message.text, Gbk("请选择一个修复项"));
  EXPECT_TRUE(store.GetValue(kCurrentUser, kSystem, "DisableTaskMgr"));
}

TEST_F(RunTest, ReportListsRepairedItemsInIndexOrder) {
  store.PutDword(kCurrentUser, kSystem, "DisableTaskMgr", 1);
  store.PutString(kLocalMachine, kPrefixes, "www", "https://");
  store.CreateKey(kLocalMachine, kIfeo + "\\IceSword.exe");
  const RunMessage message = Run(Ticks({22, 0, 19, 3}));
  EXPECT_FALSE(message.nothing_ticked);
  EXPECT_EQ(message.text,
            Gbk("以下项被修复\r\n任务管理器(TaskMgr)\r\n映像劫持检测\r\nIE 网络协议前缀\r\n"));
  EXPECT_EQ(flags.m_ticked[19], 1);
  EXPECT_EQ(flags.m_repaired[19], 0);
  EXPECT_EQ(DamagedItems(Scan(store)), "");
}

TEST_F(RunTest, TickedButHealthySaysNothingNeededRepair) {
  const RunMessage message = Run(Ticks({0, 1, 2, 12}));
  EXPECT_EQ(message.text, Gbk("没有需要修复的项"));
}

// Items 14 and 16 share one value: the first deletes it, and the second,
// damaged before the run and healthy after it, is listed repaired as well.
TEST_F(RunTest, FolderOptionsTickedTwiceListsBothItemsTheOneChangeMended) {
  store.PutDword(kCurrentUser, kExplorer, "NoFolderOptions", 1);
  EXPECT_EQ(Run(Ticks({14, 16})).text, Gbk("以下项被修复\r\n文件夹选项菜单\r\n文件夹选项被隐藏\r\n"));
  EXPECT_EQ(flags.m_repaired[16], 1);
  store.PutDword(kCurrentUser, kExplorer, "NoFolderOptions", 1);
  EXPECT_EQ(Run(Ticks({16})).text, Gbk("以下项被修复\r\n文件夹选项被隐藏\r\n"));
  EXPECT_EQ(Run(Ticks({14, 16})).text, Gbk("没有需要修复的项")) << "healthy before: nothing to list";
  store.PutDword(kCurrentUser, kExplorer, "NoFolderOptions", 1);
  store.RefuseChanges(kCurrentUser, kExplorer);
  EXPECT_EQ(Run(Ticks({14, 16})).text, Gbk("以下项修复失败\r\n文件夹选项菜单\r\n文件夹选项被隐藏\r\n"))
      << "a refused change mends neither";
}

TEST_F(RunTest, RefusedChangesAreReportedAsFailedAfterTheRepairedOnes) {
  store.PutDword(kCurrentUser, kSystem, "DisableTaskMgr", 1);
  store.PutDword(kCurrentUser, kExplorer, "NoRun", 1);
  store.RefuseChanges(kCurrentUser, kExplorer);
  store.PutString(kLocalMachine, kWinlogon, "Shell", "evil.exe");
  store.RefuseChanges(kLocalMachine, kWinlogon);
  const RunMessage message = Run(Ticks({0, 4, 12}));
  EXPECT_EQ(message.text, Gbk("以下项被修复\r\n任务管理器(TaskMgr)\r\n"
                              "以下项修复失败\r\n运行菜单\r\nShell启动项\r\n"));
  EXPECT_EQ(flags.m_repaired[4], 0);
  EXPECT_EQ(flags.m_failed[4], 1);
}

TEST_F(RunTest, OnlyFailuresLeaveOutTheRepairedHeader) {
  store.PutDword(kCurrentUser, kExplorer, "NoRun", 1);
  store.RefuseChanges(kCurrentUser, kExplorer);
  EXPECT_EQ(Run(Ticks({4})).text, Gbk("以下项修复失败\r\n运行菜单\r\n"));
  EXPECT_EQ(Run(Ticks({4})).text, Gbk("以下项修复失败\r\n运行菜单\r\n")) << "and again the next time";
}

TEST_F(RunTest, ASecondRunWithTheSameTicksFindsNothing) {
  store.PutDword(kCurrentUser, kSystem, "DisableTaskMgr", 1);
  store.PutString(kLocalMachine, kWinlogon, "Shell", "evil.exe");
  Run(Ticks({0, 12}));
  EXPECT_EQ(Run(Ticks({0, 12})).text, Gbk("没有需要修复的项"));
}

TEST_F(RunTest, TheRunResetsEveryFlagBeforeRepairing) {
  store.PutDword(kCurrentUser, kSystem, "DisableTaskMgr", 1);
  Run(Ticks({0}));
  EXPECT_EQ(flags.m_repaired[0], 1);
  flags.m_healthy.fill(0);
  Run(Ticks({1}));
  EXPECT_EQ(flags.m_repaired[0], 0);
  EXPECT_EQ(flags.m_ticked[0], 0);
  for (auto byte : flags.m_healthy) EXPECT_EQ(byte, 1);
}

TEST_F(RunTest, AnUndeterminedHijackCheckPaintsItemThreeRedAndItsRepairFails) {
  store.CreateKey(kLocalMachine, kIfeo + "\\IceSword.exe");
  store.DenyAccess(kLocalMachine, kIfeo);
  store.DenyAccess(kLocalMachine, kCurrentVersion);
  RunFlags fresh;  // before any scan
  engine.ScanItems(fresh.m_healthy);
  EXPECT_EQ(fresh.m_healthy[3], 0) << "a place that cannot be read is never painted healthy";
  EXPECT_EQ(Run(Ticks({3})).text, Gbk("以下项修复失败\r\n") + repair::Item(3).name + "\r\n");
  engine.ScanItems(flags.m_healthy);
  EXPECT_EQ(flags.m_healthy[3], 0);
}


// Says every change took and makes none of them: what a registry that
// another process writes back at once looks like to the one who wrote.
class ForgetfulTarget final : public registry::RegTarget {
 public:
  explicit ForgetfulTarget(registry::MemoryStore& store) : reads_(store) {}
  bool CreateKey(registry::HKey, const std::string&) override { return true; }
  bool DeleteTree(registry::HKey, const std::string&) override { return true; }
  bool SetValue(registry::HKey, const std::string&, const registry::RegValue&) override { return true; }
  bool DeleteValue(registry::HKey, const std::string&, const std::string&) override { return true; }
  std::optional<std::vector<registry::RegValue>> ListValues(registry::HKey root, const std::string& path) override {
    return reads_.ListValues(root, path);
  }
  std::optional<std::vector<std::string>> ListSubkeys(registry::HKey root, const std::string& path) override {
    return reads_.ListSubkeys(root, path);
  }

 private:
  registry::MemoryTarget reads_;
};

class RepairRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PutHealthySystem(store);
    store.PutDword(kCurrentUser, kSystem, "DisableTaskMgr", 1);
    store.PutDword(kCurrentUser, kExplorer, "NoRun", 1);
    store.PutString(kLocalMachine, kWinlogon, "Shell", "evil.exe");
  }
  registry::MemoryStore store;
  registry::MemoryTarget target{store};
};

TEST_F(RepairRunTest, ReportsRepairedOnlyWhatTheRegistryShowsHealthyAfterwards) {
  ForgetfulTarget forgetful(store);
  repair::RepairRun run({{&store, &forgetful, repair::kDefaultSystemDirectory}}, {0, 4, 12}, false);
  EXPECT_EQ(run.profiles()[0].repaired, (std::vector<int>{0, 4, 12})) << "the plan repairs all three";
  run.CarryOut();
  run.ReadBack();
  const repair::ProfileRun& result = run.profiles()[0];
  EXPECT_TRUE(result.repaired.empty());
  EXPECT_EQ(result.failed, (std::vector<int>{0, 4, 12}));
  EXPECT_EQ(result.still_damaged, (std::vector<int>{0, 4, 12}));
  EXPECT_EQ(result.message, Gbk("以下项修复失败\r\n任务管理器(TaskMgr)\r\n运行菜单\r\nShell启动项\r\n"));
}

TEST_F(RepairRunTest, PlansWithoutChangingAndCarriesOutWhatItPlanned) {
  repair::RepairRun dry({{&store, &target, repair::kDefaultSystemDirectory}}, {0, 12}, true);
  dry.CarryOut();
  dry.ReadBack();
  EXPECT_TRUE(store.GetValue(kCurrentUser, kSystem, "DisableTaskMgr").has_value()) << "a dry run changes nothing";
  EXPECT_EQ(dry.profiles()[0].repaired, (std::vector<int>{0, 12}));
  EXPECT_EQ(dry.profiles()[0].changes.size(), 2u);
  EXPECT_EQ(dry.profiles()[0].after.states[0], repair::ItemState::kHealthy) << "read over the plan";

  repair::RepairRun real({{&store, &target, repair::kDefaultSystemDirectory}}, {0, 12}, false);
  EXPECT_TRUE(store.GetValue(kCurrentUser, kSystem, "DisableTaskMgr").has_value()) << "planning changes nothing";
  real.CarryOut();
  real.ReadBack();
  EXPECT_EQ(real.profiles()[0].repaired, (std::vector<int>{0, 12}));
  EXPECT_TRUE(real.profiles()[0].still_damaged.empty());
  EXPECT_FALSE(store.GetValue(kCurrentUser, kSystem, "DisableTaskMgr").has_value());
  EXPECT_TRUE(store.GetValue(kCurrentUser, kExplorer, "NoRun").has_value()) << "not requested";
}

// Both faces' run: every requested item damaged before and healthy after is
// listed, whichever item's change mended it, in the dry run and the real one.
TEST_F(RepairRunTest, ListsEveryRequestedItemTheRunMendedInBothRuns) {
  store.PutDword(kCurrentUser, kExplorer, "NoFolderOptions", 1);
  for (const bool dry_run : {true, false}) {
    SCOPED_TRACE(dry_run ? "dry run" : "real run");
    repair::RepairRun run({{&store, &target, repair::kDefaultSystemDirectory}}, {14, 16}, dry_run);
    run.CarryOut();
    run.ReadBack();
    EXPECT_EQ(run.profiles()[0].repaired, (std::vector<int>{14, 16}));
    EXPECT_TRUE(run.profiles()[0].still_damaged.empty());
    EXPECT_EQ(run.profiles()[0].message, Gbk("以下项被修复\r\n文件夹选项菜单\r\n文件夹选项被隐藏\r\n"));
  }
  EXPECT_FALSE(store.GetValue(kCurrentUser, kExplorer, "NoFolderOptions").has_value());
}

TEST_F(RepairRunTest, MachineItemsRunWithTheFirstProfileAndAMissingHiveDecidesNothing) {
  registry::MemoryStore other;
  PutHealthySystem(other);
  other.PutDword(kCurrentUser, kSystem, "DisableTaskMgr", 1);
  registry::MemoryTarget other_target(other);
  repair::RunProfile without_user{&store, &target, repair::kDefaultSystemDirectory, true, false};
  repair::RepairRun run({without_user, {&other, &other_target, repair::kDefaultSystemDirectory}}, {0, 12}, false);
  EXPECT_FALSE(run.profiles()[0].ticked[0]) << "no user hive: item 0 is not decided";
  EXPECT_TRUE(run.profiles()[0].ticked[12]);
  EXPECT_FALSE(run.profiles()[1].ticked[12]) << "the machine part runs once";
  run.CarryOut();
  run.ReadBack();
  EXPECT_EQ(run.profiles()[0].after.states[0], repair::ItemState::kUndetermined);
  EXPECT_EQ(run.profiles()[1].repaired, (std::vector<int>{0}));
  EXPECT_TRUE(store.GetValue(kCurrentUser, kSystem, "DisableTaskMgr").has_value()) << "the first profile's user part is not there";
}

}  // namespace
}  // namespace torvane::testing
