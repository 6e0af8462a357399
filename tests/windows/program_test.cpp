// The real TorvaneSafe.exe under Wine, driven from this process as a user
// drives it; the registry is Wine's own, under the test prefix.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <set>
#include <string>

#include "registry/demo.h"
#include "registry/memory_store.h"
#include "repair/catalogue.h"
#include "repair/engine.h"
#include "repair/run.h"
#include "support/driver.h"
#include "support/registry_seed.h"

namespace torvane::wintest {
namespace {

using repair::Item;
using repair::kItemCount;

constexpr int kRescan = 1001, kRepair = 1002, kDescription = 1003, kSelectAll = 1005;
constexpr const char* kAboutCaption = "关于 TorvaneSafe";

std::string SystemDirectory() {
  char directory[MAX_PATH] = {};
  GetSystemDirectoryA(directory, MAX_PATH);
  return directory;
}

// Node positions: the system group, its 15 leaves, the IE group, its 8.
int NodeOfLeaf(int index) { return index < repair::kFirstIeItem ? index + 1 : index + 2; }
constexpr int kSystemNode = 0, kIeNode = 16;

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override { MakeAllHealthy(); }

  void LoadDemo() {
    registry::LoadDemoRegistry(demo_);
    CopyToRegistry(demo_);
  }

  // The damage the core finds in the demo registry on this system.
  std::set<int> DemoDamage() {
    repair::RepairEngine engine(demo_, SystemDirectory());
    repair::ItemBytes healthy{};
    healthy.fill(1);
    engine.ScanItems(healthy);
    std::set<int> damaged;
    for (int i = 0; i < kItemCount; ++i) {
      if (!healthy[i]) damaged.insert(i);
    }
    return damaged;
  }

  void Start() {
    program_ = std::make_unique<Program>();
    ASSERT_TRUE(program_->started()) << "no dialog appeared";
    nodes_ = tree().Nodes();
    ASSERT_EQ(nodes_.size(), 25u);
  }

  RemoteTree& tree() { return program_->tree(); }
  HTREEITEM Leaf(int index) { return nodes_[NodeOfLeaf(index)]; }

  // Whether the leaf shows red pixels once scrolled into view; waits for
  // `red` to be what the screen shows.
  bool LeafShows(int index, bool red) {
    tree().EnsureVisible(Leaf(index));
    return WaitUntil([&] {
      const PixelCount count = CountPixels(tree().LabelOnScreen(Leaf(index)));
      return red ? count.red > 10 : (count.red == 0 && count.dark > 10);
    });
  }

  // A click on the description pane, which takes the focus and nothing else;
  // waits for it, so that the next click is no double click.
  bool ClickAway() {
    HWND pane = GetDlgItem(program_->dialog(), kDescription);
    RECT rect{};
    GetWindowRect(pane, &rect);
    if (!ClickAt(POINT{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2})) return false;
    const DWORD thread = GetWindowThreadProcessId(program_->dialog(), nullptr);
    return WaitUntil([&] {
      GUITHREADINFO info{};
      info.cbSize = sizeof info;
      return GetGUIThreadInfo(thread, &info) && info.hwndFocus == pane;
    });
  }

  bool AllLeavesTicked(int first, int end, int check) {
    for (int i = first; i < end; ++i) {
      if (tree().Check(Leaf(i)) != check) return false;
    }
    return true;
  }

  registry::MemoryStore demo_;
  std::unique_ptr<Program> program_;
  std::vector<HTREEITEM> nodes_;
};

// ---------------------------------------------------------------- first display

TEST_F(ProgramTest, FirstDisplayShowsBothGroupsExpandedWithTheLeavesInOrderAndNothingTicked) {
  LoadDemo();
  Start();
  EXPECT_EQ(tree().Text(nodes_[kSystemNode]), repair::Group(repair::kSystemGroup).label);
  EXPECT_EQ(tree().Data(nodes_[kSystemNode]), 100);
  EXPECT_EQ(tree().Text(nodes_[kIeNode]), repair::Group(repair::kIeGroup).label);
  EXPECT_EQ(tree().Data(nodes_[kIeNode]), 101);
  for (int i = 0; i < kItemCount; ++i) {
    EXPECT_EQ(tree().Text(Leaf(i)), Item(i).name) << "leaf " << i;
    EXPECT_EQ(tree().Data(Leaf(i)), i);
  }
  EXPECT_TRUE(tree().State(nodes_[kSystemNode], TVIS_EXPANDED));
  EXPECT_TRUE(tree().State(nodes_[kIeNode], TVIS_EXPANDED));
  for (HTREEITEM node : nodes_) EXPECT_EQ(tree().Check(node), 0);
  EXPECT_EQ(program_->ControlText(kDescription), "");
  EXPECT_EQ(tree().FirstVisible(), nodes_[kSystemNode]) << "the tree starts at its top";
}

TEST_F(ProgramTest, DamagedLeavesAreRedAndHealthyLeavesBlackAndASelectedLeafIsNotOverdrawn) {
  LoadDemo();
  const std::set<int> damaged = DemoDamage();
  ASSERT_FALSE(damaged.empty());
  Start();
  for (int i = 0; i < kItemCount; ++i) {
    EXPECT_TRUE(LeafShows(i, damaged.count(i) > 0)) << "leaf " << i << " damaged " << damaged.count(i);
  }
  const int first_damaged = *damaged.begin();
  tree().Select(Leaf(first_damaged));
  tree().EnsureVisible(Leaf(first_damaged));
  EXPECT_TRUE(WaitUntil([&] { return CountPixels(tree().LabelOnScreen(Leaf(first_damaged))).red == 0; }));
  tree().Select(nodes_[kSystemNode]);
  EXPECT_TRUE(LeafShows(first_damaged, true));
}

TEST_F(ProgramTest, RescanPicksUpARepairMadeWhileTheProgramRuns) {
  PutDword(HKEY_CURRENT_USER, kSystemPolicy, "DisableTaskMgr", 1);
  Start();
  ASSERT_TRUE(LeafShows(0, true));
  DeleteTree(HKEY_CURRENT_USER, kSystemPolicy);
  EXPECT_TRUE(LeafShows(0, true)) << "changed colour without a rescan";
  program_->PostClick(kRescan);
  EXPECT_TRUE(LeafShows(0, false));
}

TEST_F(ProgramTest, SystemCommand16WithAnyLowBitsOpensTheAboutBoxAnd32DoesNot) {
  Start();
  for (WPARAM command : {16, 17, 31}) {
    PostMessageA(program_->dialog(), WM_SYSCOMMAND, command, 0);
    HWND about = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (about = program_->FindOwned(kAboutCaption)) != nullptr; }))
        << "command " << command;
    EXPECT_FALSE(IsWindowEnabled(program_->dialog()));
    PostMessageA(about, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(about) && IsWindowEnabled(program_->dialog()); }));
  }
  DWORD_PTR ignored = 0;
  ASSERT_TRUE(SendMessageTimeoutA(program_->dialog(), WM_SYSCOMMAND, 32, 0, SMTO_NORMAL, 10000, &ignored));
  EXPECT_TRUE(program_->OwnedWindows().empty());
}

TEST_F(ProgramTest, EscapeEndsTheProcess) {
  Start();
  PostMessageA(GetDlgItem(program_->dialog(), kRescan), WM_KEYDOWN, VK_ESCAPE, 0);
  ASSERT_TRUE(program_->WaitForExit());
  DWORD code = 1;
  GetExitCodeProcess(program_->process(), &code);
  EXPECT_EQ(code, 0u);
}

// ---------------------------------------------------------------- tree interaction

TEST_F(ProgramTest, AClickOnAGroupCheckBoxTicksOrClearsItsLeavesOnly) {
  Start();
  tree().SetCheck(Leaf(3), true);
  tree().EnsureVisible(nodes_[kSystemNode]);
  const POINT system_box = tree().CheckBoxOnScreen(nodes_[kSystemNode]);
  ASSERT_GE(system_box.x, 0);
  ASSERT_TRUE(ClickAt(system_box));
  EXPECT_TRUE(WaitUntil([&] { return tree().Check(nodes_[kSystemNode]) == 1 && AllLeavesTicked(0, 15, 1); }));
  EXPECT_TRUE(AllLeavesTicked(15, kItemCount, 0));
  tree().SetCheck(Leaf(7), false);
  ASSERT_TRUE(ClickAway());  // two clicks on one spot would make a double click
  ASSERT_TRUE(ClickAt(system_box));
  EXPECT_TRUE(WaitUntil([&] { return tree().Check(nodes_[kSystemNode]) == 0 && AllLeavesTicked(0, 15, 0); }));

  tree().EnsureVisible(nodes_[kIeNode]);
  const POINT ie_box = tree().CheckBoxOnScreen(nodes_[kIeNode]);
  ASSERT_GE(ie_box.x, 0);
  ASSERT_TRUE(ClickAway());
  ASSERT_TRUE(ClickAt(ie_box));
  EXPECT_TRUE(WaitUntil([&] { return tree().Check(nodes_[kIeNode]) == 1 && AllLeavesTicked(15, kItemCount, 1); }));
  EXPECT_TRUE(AllLeavesTicked(0, 15, 0));
  EXPECT_EQ(SendMessageA(GetDlgItem(program_->dialog(), kSelectAll), BM_GETCHECK, 0, 0), BST_UNCHECKED);
}

TEST_F(ProgramTest, AClickOnAGroupLabelTicksNothingAndShowsTheGroupDescription) {
  Start();
  tree().EnsureVisible(nodes_[kSystemNode]);
  const RECT label = tree().LabelOnScreen(nodes_[kSystemNode]);
  ASSERT_TRUE(ClickAt(POINT{(label.left + label.right) / 2, (label.top + label.bottom) / 2}));
  EXPECT_TRUE(WaitUntil(
      [&] { return program_->ControlText(kDescription) == repair::Group(repair::kSystemGroup).description; }));
  for (HTREEITEM node : nodes_) EXPECT_EQ(tree().Check(node), 0);

  // Selecting a leaf replaces the whole text with the leaf's description.
  const RECT leaf = tree().LabelOnScreen(Leaf(2));
  ASSERT_TRUE(ClickAt(POINT{(leaf.left + leaf.right) / 2, (leaf.top + leaf.bottom) / 2}));
  EXPECT_TRUE(WaitUntil([&] { return program_->ControlText(kDescription) == Item(2).description; }));
}

TEST_F(ProgramTest, TheSpaceBarOnAGroupTogglesOnlyTheGroup) {
  Start();
  tree().EnsureVisible(nodes_[kSystemNode]);
  const RECT label = tree().LabelOnScreen(nodes_[kSystemNode]);
  ASSERT_TRUE(ClickAt(POINT{(label.left + label.right) / 2, (label.top + label.bottom) / 2}));
  ASSERT_TRUE(WaitUntil([&] { return tree().Selected() == nodes_[kSystemNode]; }));
  ASSERT_TRUE(PressKey("space"));
  EXPECT_TRUE(WaitUntil([&] { return tree().Check(nodes_[kSystemNode]) == 1; }));
  EXPECT_TRUE(AllLeavesTicked(0, kItemCount, 0));
}

TEST_F(ProgramTest, SelectAllTicksAndClearsAllTwentyFiveNodes) {
  Start();
  tree().SetCheck(Leaf(4), true);
  HWND select_all = GetDlgItem(program_->dialog(), kSelectAll);
  SendMessageA(select_all, BM_CLICK, 0, 0);
  EXPECT_TRUE(WaitUntil([&] {
    for (HTREEITEM node : nodes_) {
      if (tree().Check(node) != 1) return false;
    }
    return true;
  }));
  tree().SetCheck(Leaf(9), false);
  SendMessageA(select_all, BM_CLICK, 0, 0);
  EXPECT_TRUE(WaitUntil([&] {
    for (HTREEITEM node : nodes_) {
      if (tree().Check(node) != 0) return false;
    }
    return true;
  }));
}

// ---------------------------------------------------------------- repair run

TEST_F(ProgramTest, WithNothingTickedTheBoxAsksForASelectionAndTheTreeIsRescannedAfter) {
  Start();
  tree().SetCheck(nodes_[kSystemNode], true);  // group nodes do not count
  ASSERT_TRUE(LeafShows(0, false));
  program_->PostClick(kRepair);
  HWND box = nullptr;
  ASSERT_TRUE(WaitUntil([&] { return (box = program_->FindOwned("提示")) != nullptr; }));
  PutDword(HKEY_CURRENT_USER, kSystemPolicy, "DisableTaskMgr", 1);
  const MessageBoxSeen seen = ReadAndCloseMessageBox(*program_);
  EXPECT_EQ(seen.text, repair::kSelectItemText);
  EXPECT_EQ(seen.boxes, 1);
  EXPECT_TRUE(seen.has_icon);
  EXPECT_TRUE(LeafShows(0, true));
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, kSystemPolicy, "DisableTaskMgr"), std::string("\1\0\0\0", 4));
}

TEST_F(ProgramTest, ARunRepairsTheTickedItemsReportsThemInIndexOrderAndASecondRunFindsNothing) {
  PutDword(HKEY_CURRENT_USER, kSystemPolicy, "DisableTaskMgr", 1);
  PutDword(HKEY_CURRENT_USER, kSystemPolicy, "DisableRegistryTools", 1);
  PutDword(HKEY_CURRENT_USER, kExplorerPolicy, "NoRun", 1);
  PutDword(HKEY_CURRENT_USER, kExplorerPolicy, "NoFolderOptions", 1);
  PutDword(HKEY_LOCAL_MACHINE, kExplorerPolicy, "NoViewContextMenu", 1);
  PutString(HKEY_LOCAL_MACHINE, std::string(kIfeo) + "\\IceSword.exe", "Debugger", "svch0st.exe");
  PutDword(HKEY_LOCAL_MACHINE, std::string(kIfeo) + "\\winword.exe", "DisableHeapLookaside", 1);
  PutString(HKEY_LOCAL_MACHINE, kWinlogon, "Shell", "Explorer.exe svch0st.exe");
  PutString(HKEY_LOCAL_MACHINE, kPrefixes, "www", "http://hijack.example/?u=");
  PutDword(HKEY_LOCAL_MACHINE, kShowAll, "CheckedValue", 0);
  Start();

  const int ticked[] = {0, 1, 3, 4, 5, 9, 12, 16, 22};
  for (int i : ticked) {
    ASSERT_TRUE(LeafShows(i, true)) << "leaf " << i;
    tree().SetCheck(Leaf(i), true);
  }
  tree().SetCheck(Leaf(2), true);  // healthy: nothing to do, not listed
  std::string expected = repair::kReportHeader;
  for (int i : ticked) expected += std::string(Item(i).name) + "\r\n";

  program_->PostClick(kRepair);
  MessageBoxSeen seen = ReadAndCloseMessageBox(*program_);
  ASSERT_TRUE(seen.shown);
  EXPECT_EQ(seen.text, expected);
  EXPECT_EQ(seen.boxes, 1);

  EXPECT_FALSE(ReadValue(HKEY_CURRENT_USER, kSystemPolicy, "DisableTaskMgr"));
  EXPECT_FALSE(ReadValue(HKEY_CURRENT_USER, kSystemPolicy, "DisableRegistryTools"));
  EXPECT_FALSE(ReadValue(HKEY_CURRENT_USER, kExplorerPolicy, "NoRun"));
  EXPECT_FALSE(ReadValue(HKEY_CURRENT_USER, kExplorerPolicy, "NoFolderOptions"));
  EXPECT_FALSE(ReadValue(HKEY_LOCAL_MACHINE, kExplorerPolicy, "NoViewContextMenu"));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::string(kIfeo) + "\\IceSword.exe"));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, std::string(kIfeo) + "\\winword.exe"));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kIfeo));
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kWinlogon, "Shell"), std::string("Explorer.exe", 13));
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kPrefixes, "www"), std::string("http://", 8));
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kShowAll, "CheckedValue"), std::string("\1\0\0\0", 4));

  for (int i = 0; i < kItemCount; ++i) EXPECT_TRUE(LeafShows(i, false)) << "leaf " << i;
  for (int i : ticked) EXPECT_EQ(tree().Check(Leaf(i)), 1) << "ticks stay as they were";

  program_->PostClick(kRepair);
  seen = ReadAndCloseMessageBox(*program_);
  EXPECT_EQ(seen.text, repair::kNothingRepaired);
}

TEST_F(ProgramTest, AChangeTheRegistryRefusesIsReportedAsFailedAndItsLeafStaysRed) {
  PutString(HKEY_LOCAL_MACHINE, kDefaultPrefix, "", "http://hijack.example/?u=");
  ValueWritesDenied denied(HKEY_LOCAL_MACHINE, kDefaultPrefix);
  ASSERT_TRUE(denied.applied()) << "this Wine cannot refuse a registry change";
  PutDword(HKEY_CURRENT_USER, kSystemPolicy, "DisableTaskMgr", 1);
  Start();
  ASSERT_TRUE(LeafShows(21, true));
  tree().SetCheck(Leaf(0), true);
  tree().SetCheck(Leaf(21), true);

  program_->PostClick(kRepair);
  const MessageBoxSeen seen = ReadAndCloseMessageBox(*program_);
  EXPECT_EQ(seen.text, std::string(repair::kReportHeader) + Item(0).name + "\r\n" + repair::kFailedHeader +
                           Item(21).name + "\r\n");
  EXPECT_TRUE(LeafShows(21, true));
  EXPECT_TRUE(LeafShows(0, false));
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kDefaultPrefix, ""), std::string("http://hijack.example/?u=", 26));
}

}  // namespace
}  // namespace torvane::wintest
