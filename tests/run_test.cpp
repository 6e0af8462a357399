// The repair run: ticked items in index order, one message, its texts byte
// for byte, and failures never listed as repaired.
#include <gtest/gtest.h>

#include <initializer_list>

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

TEST_F(RunTest, FolderOptionsTickedTwiceIsRepairedByTheFirstItemOnly) {
  store.PutDword(kCurrentUser, kExplorer, "NoFolderOptions", 1);
  EXPECT_EQ(Run(Ticks({14, 16})).text, Gbk("以下项被修复\r\n文件夹选项菜单\r\n"));
  store.PutDword(kCurrentUser, kExplorer, "NoFolderOptions", 1);
  EXPECT_EQ(Run(Ticks({16})).text, Gbk("以下项被修复\r\n文件夹选项被隐藏\r\n"));
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

}  // namespace
}  // namespace torvane::testing
