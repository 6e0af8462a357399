// The real TorvaneSafe.exe under Wine, driven from this process as a user
// drives it; the registry is Wine's own, under the test prefix.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"
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

constexpr char kBackups[] = "C:\\ProgramData\\TorvaneSafe\\backups";

// The undo files the dialog has left, by name.
std::set<std::string> Backups() {
  std::set<std::string> names;
  WIN32_FIND_DATAA found{};
  const HANDLE search = FindFirstFileA((std::string(kBackups) + "\\*.reg").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    names.insert(found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return names;
}

constexpr int kRescan = 1001, kRepair = 1002, kDescription = 1003, kSelectAll = 1005;
constexpr const char* kAboutCaption = "关于 TorvaneSafe";

std::string SystemDirectory() {
  char directory[MAX_PATH] = {};
  GetSystemDirectoryA(directory, MAX_PATH);
  return directory;
}

// The leaves the tree must show under `group`, top to bottom: the items whose
// catalogue row names that group, in index order (never a range of numbers:
// a new item takes the next number whatever its group).
std::vector<int> LeavesOf(int group) {
  std::vector<int> leaves;
  for (int i = 0; i < kItemCount; ++i) {
    if (Item(i).group == group) leaves.push_back(i);
  }
  return leaves;
}

// Node positions from the top: each group's node, then its leaves.
int NodeOfGroup(int group) {
  int node = 0;
  for (int g = 0; g < group; ++g) node += 1 + static_cast<int>(LeavesOf(g).size());
  return node;
}
int NodeOfLeaf(int index) {
  const std::vector<int> leaves = LeavesOf(Item(index).group);
  return NodeOfGroup(Item(index).group) + 1 +
         static_cast<int>(std::find(leaves.begin(), leaves.end(), index) - leaves.begin());
}
const int kSystemNode = NodeOfGroup(repair::kSystemGroup), kIeNode = NodeOfGroup(repair::kIeGroup);

// Every label and description as the user must see it, written here from
// the product's text tables and not taken from the program's own constants.
struct ShownTexts {
  const char* label;
  const char* description;
};

constexpr ShownTexts kShownGroups[2] = {
    {"系统修复项", "\r\n\r\n名称:\r\n系统修复项\r\n\r\n描述:\r\n系统关键位置检测及修复"},
    {"IE修复项目", "\r\n\r\n名称:\r\nIE修复项\r\n\r\n描述:\r\nIE关键项检测及修复"},
};

constexpr ShownTexts kShownItems[kItemCount] = {
    {"任务管理器(TaskMgr)",
     "\r\n\r\n名称:\r\n任务管理器(TaskMgr)\r\n\r\n描述:\r\n控制是否在系统中启用任务管理器，如果被禁用则无法打开任务管理器"},
    {"注册表(Regedit)",
     "\r\n\r\n名称:\r\n注册表编辑器(Regedit)\r\n\r\n描述:\r\n控制是否启用注册表编辑器，如果该项被禁用，则无法打开注册表编辑器"},
    {"命令提示符",
     "\r\n\r\n名称:\r\n命令提示符\r\n\r\n描述:\r\n通过在运行中输入“cmd”或者直接在菜单中打开命令提示符，以便运行某些命令行程序，例如运行常见的BAT批处理命令等。如果被破坏则无法进行命令行操作，无法运行BAT文件等。"},
    {"映像劫持检测",
     "\r\n\r\n名称:\r\n映像劫持检测\r\n\r\n描述:\r\n某些恶意程序会通过此项来劫持可执行程序使其无法启动或者利用映像劫持来启动自身，例如劫持杀毒软件的进程，使杀毒软件无法启动等。"},
    {"运行菜单",
     "\r\n\r\n名称:\r\n运行菜单\r\n\r\n描述:\r\n控制是否在开始菜单中显示“运行”菜单，某些恶意程序会修改此项达到屏蔽运行菜单的目的。"},
    {"桌面右键菜单",
     "\r\n\r\n名称:\r\n桌面右键菜单\r\n\r\n描述:\r\n控制桌面右键菜单是否可用。该项损坏则在桌面上点击右键没有响应。"},
    {"关闭系统按纽",
     "\r\n\r\n名称:\r\n关闭系统按钮\r\n\r\n描述:控制是否在开始菜单中显示“关闭”按钮，该项损坏则系统中可能存在恶意程序或病毒。"},
    {"注销按纽",
     "\r\n\r\n名称:\r\n注销按钮\r\n\r\n描述:\r\n控制是否在开始菜单中显示“注销”按钮，该项损坏则系统中可能存在恶意程序或病毒。"},
    {"WINDOWS自动更新",
     "\r\n\r\n名称:\r\nWindows自动更新\r\n\r\n描述:\r\nWindows自动更新可以降低计算机由于没有安装系统安全补丁造成的威胁，默认情况下此项可选，某些利用了系统漏洞的恶意程序会利用此项，使用户无法进行设置。"},
    {"隐藏文件的显示",
     "\r\n\r\n名称:\r\n文件夹选项中的文字显示\r\n\r\n描述:\r\n文件夹选项中的文字显示，如“显示隐藏文件”等选项，某些恶意程序会篡改该项，使用户无法正确设置。"},
    {"UserInit",
     "\r\n\r\n名称:\r\nUserInit\r\n描述:\r\n\r\n系统启动时执行的关键程序，该项损坏则系统可能无法正常启动。"},
    {"组策略",
     "\r\n\r\n名称:\r\n组策略\r\n描述:\r\n\r\n组策略的可用性检测，计算机管理员可以通过制订一系列的组策略来加强计算机的安全性，但是某些病毒可能会破坏此项使组策略不可用。"},
    {"Shell启动项",
     "\r\n\r\n名称:\r\nShell启动项\r\n描述:\r\n\r\n控制在系统启动时随Explorer.exe加载的程序。某些恶意软件通过该项来达到开机自启动的目的。"},
    {"AppInit_DLLs",
     "\r\n\r\n名称:\r\nAppInit_DLLs\r\n描述:\r\n\r\n控制在系统启动时加载的DLL。某些恶意软件通过该项来达到开机自启动的目的。"},
    {"文件夹选项菜单",
     "\r\n\r\n名称:\r\n文件夹选项菜单\r\n描述:\r\n\r\n控制文件夹选项菜单是否可用，该项损坏则无法打开文件夹选项，或者无法显示隐藏文件。"},
    {"Internet选项被禁用",
     "\r\n\r\n名称:\r\nInternet选项被禁用\r\n描述\r\n\r\n:控制是否启用Internet选项，该项损坏则无法打开Internet选项。"},
    {"文件夹选项被隐藏",
     "\r\n\r\n名称:\r\n文件夹选项被隐藏\r\n描述\r\n\r\n:控制是否隐藏文件夹选项，该项损坏则无法显示文件夹选项。"},
    {"IE右键菜单",
     "\r\n\r\n名称:\r\nIE右键菜单\r\n描述:\r\n\r\n控制IE右键菜单是否可用。该项损坏则在IE中点击右键没有响应."},
    {"IE查看源文件",
     "\r\n\r\n名称:\r\nIE查看源文件\r\n描述:\r\n\r\n控制是否启用IE的“查看源文件”功能。该项损坏则无法打开IE查看源文件菜单。"},
    {"IE主页被锁定",
     "\r\n\r\n名称:\r\nIE主页锁定\r\n描述:\r\n\r\n控制IE主页是否可以被修改，如果被锁定，则可能是恶意软件修改了IE主页，并造成主页无法被修改。"},
    {"IE标题栏",
     "\r\n\r\n名称:\r\nIE标题栏\r\n描述:\r\n\r\n控制IE标题栏的文字显示。某些恶作剧程序会破坏此项。"},
    {"IE URL缺省前缀",
     "\r\n\r\n名称:\r\nIE URL缺省前缀\r\n描述:\r\n\r\nURL缺省前缀为“http：//”，一般情况下不能被破坏。"},
    {"IE 网络协议前缀",
     "\r\n\r\n名称:\r\nIE网络协议前缀\r\n描述:\r\n\r\nIE网络协议前缀，某些恶意程序利用该功能使IE上网时链接恶意网站。该项损坏则系统中可能存在恶意程序。"},
};

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
    ASSERT_EQ(nodes_.size(), static_cast<std::size_t>(kItemCount + repair::kGroupCount));
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

  // Moves the focus the way the dialog manager does (WM_NEXTDLGCTL), so
  // that a push button given the focus becomes the default one.
  bool Focus(HWND control) {
    PostMessageA(program_->dialog(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
    const DWORD thread = GetWindowThreadProcessId(program_->dialog(), nullptr);
    return WaitUntil([&] {
      GUITHREADINFO info{};
      info.cbSize = sizeof info;
      return GetGUIThreadInfo(thread, &info) && info.hwndFocus == control;
    });
  }

  // What the user sees of the dialog's state: every tick, the selection, the
  // description and the select-all box.
  struct Seen {
    std::vector<int> checks;
    HTREEITEM selected;
    std::string description;
    LRESULT select_all;
    bool operator==(const Seen&) const = default;
  };
  Seen Look() {
    Seen seen{{}, tree().Selected(), program_->ControlText(kDescription),
              SendMessageA(GetDlgItem(program_->dialog(), kSelectAll), BM_GETCHECK, 0, 0)};
    for (HTREEITEM node : nodes_) seen.checks.push_back(tree().Check(node));
    return seen;
  }

  // Whether every leaf of `group` (every leaf, for -1) shows `check`.
  bool AllLeavesTicked(int group, int check) {
    for (int i = 0; i < kItemCount; ++i) {
      if ((group == -1 || Item(i).group == group) && tree().Check(Leaf(i)) != check) return false;
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
  // Each group node's children are the items its rows name, in index order.
  for (int g = 0; g < repair::kGroupCount; ++g) {
    std::vector<int> children;
    for (HTREEITEM child : tree().Children(nodes_[NodeOfGroup(g)])) {
      children.push_back(static_cast<int>(tree().Data(child)));
    }
    EXPECT_EQ(children, LeavesOf(g)) << "group " << g;
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

TEST_F(ProgramTest, DamageInEitherRegistryViewShowsTheSameRedLeavesInBothBuilds) {
  // The same damage and the same red leaves whichever build runs: AppInit_DLLs
  // in the 32-bit view only, the shell in the 64-bit view only, an image
  // hijack placed through the 32-bit view (which Wine links to the 64-bit key).
  PutString(HKEY_LOCAL_MACHINE, kWindows, "AppInit_DLLs", "C:\\evil.dll", kView32);
  PutString(HKEY_LOCAL_MACHINE, kWinlogon, "Shell", "Explorer.exe evil.exe", kView64);
  PutString(HKEY_LOCAL_MACHINE, std::string(kIfeo) + "\\avp.exe", "Debugger", "svch0st.exe", kView32);
  const std::set<int> damaged = {3, 12, 13};
  Start();
  for (int i = 0; i < kItemCount; ++i) {
    EXPECT_TRUE(LeafShows(i, damaged.count(i) > 0)) << "leaf " << i;
  }
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

TEST_F(ProgramTest, EscapeAndTheCaptionsCloseButtonCloseTheAboutBoxBackToTheDialogUnchanged) {
  PutDword(HKEY_CURRENT_USER, kSystemPolicy, "DisableTaskMgr", 1);
  Start();
  tree().SetCheck(Leaf(3), true);
  tree().SetCheck(nodes_[kIeNode], true);
  tree().Select(Leaf(5));
  ASSERT_TRUE(WaitUntil([&] { return program_->ControlText(kDescription) == Item(5).description; }));
  const Seen before = Look();
  // A registry change the dialog must not notice: nothing rescans.
  DeleteTree(HKEY_CURRENT_USER, kSystemPolicy);

  for (const char* how : {"Esc", "close button"}) {
    PostMessageA(program_->dialog(), WM_SYSCOMMAND, 16, 0);
    HWND about = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (about = program_->FindOwned(kAboutCaption)) != nullptr; })) << how;
    if (std::string(how) == "Esc") {
      PostMessageA(GetDlgItem(about, IDOK), WM_KEYDOWN, VK_ESCAPE, 0);
    } else {
      const POINT close = NonClientPoint(about, HTCLOSE);
      ASSERT_GE(close.x, 0) << "no close button on the About box's caption";
      ASSERT_TRUE(ClickAt(close));
    }
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(about) && IsWindowEnabled(program_->dialog()); })) << how;
    EXPECT_TRUE(program_->OwnedWindows().empty()) << how;
    EXPECT_FALSE(program_->WaitForExit(0)) << how;
    EXPECT_TRUE(Look() == before) << how;
    EXPECT_TRUE(LeafShows(0, true)) << how;
  }
}

TEST_F(ProgramTest, EscapeEndsTheProcess) {
  Start();
  PostMessageA(GetDlgItem(program_->dialog(), kRescan), WM_KEYDOWN, VK_ESCAPE, 0);
  ASSERT_TRUE(program_->WaitForExit());
  DWORD code = 1;
  GetExitCodeProcess(program_->process(), &code);
  EXPECT_EQ(code, 0u);
}

TEST_F(ProgramTest, EnterWithTheTreeFocusedEndsTheProcess) {
  Start();
  ASSERT_TRUE(Focus(tree().hwnd()));
  PostMessageA(tree().hwnd(), WM_KEYDOWN, VK_RETURN, 0);
  ASSERT_TRUE(program_->WaitForExit());
  DWORD code = 1;
  GetExitCodeProcess(program_->process(), &code);
  EXPECT_EQ(code, 0u);
}

TEST_F(ProgramTest, TheCaptionsCloseButtonEndsTheProcess) {
  Start();
  const POINT close = NonClientPoint(program_->dialog(), HTCLOSE);
  ASSERT_GE(close.x, 0) << "no close button on the caption";
  ASSERT_TRUE(ClickAt(close));
  ASSERT_TRUE(program_->WaitForExit());
  DWORD code = 1;
  GetExitCodeProcess(program_->process(), &code);
  EXPECT_EQ(code, 0u);
}

TEST_F(ProgramTest, EnterWithAPushButtonFocusedClicksThatButtonOnly) {
  PutDword(HKEY_CURRENT_USER, kSystemPolicy, "DisableTaskMgr", 1);
  Start();
  ASSERT_TRUE(LeafShows(0, true));
  // The first tab stop, "重新扫描", has the focus at start.
  HWND rescan = GetDlgItem(program_->dialog(), kRescan);
  ASSERT_TRUE(Focus(rescan));
  DeleteTree(HKEY_CURRENT_USER, kSystemPolicy);
  PostMessageA(rescan, WM_KEYDOWN, VK_RETURN, 0);
  EXPECT_TRUE(LeafShows(0, false)) << "Enter did not rescan";
  EXPECT_FALSE(program_->WaitForExit(0));

  HWND repair = GetDlgItem(program_->dialog(), kRepair);
  ASSERT_TRUE(Focus(repair));
  PostMessageA(repair, WM_KEYDOWN, VK_RETURN, 0);
  const MessageBoxSeen seen = ReadAndCloseMessageBox(*program_);
  EXPECT_EQ(seen.text, "请选择一个修复项");
  EXPECT_FALSE(program_->WaitForExit(0));
}

// ---------------------------------------------------------------- tree interaction

TEST_F(ProgramTest, AClickOnAGroupCheckBoxTicksOrClearsItsLeavesOnly) {
  Start();
  tree().SetCheck(Leaf(3), true);
  tree().EnsureVisible(nodes_[kSystemNode]);
  const POINT system_box = tree().CheckBoxOnScreen(nodes_[kSystemNode]);
  ASSERT_GE(system_box.x, 0);
  ASSERT_TRUE(ClickAt(system_box));
  EXPECT_TRUE(WaitUntil(
      [&] { return tree().Check(nodes_[kSystemNode]) == 1 && AllLeavesTicked(repair::kSystemGroup, 1); }));
  EXPECT_TRUE(AllLeavesTicked(repair::kIeGroup, 0));
  tree().SetCheck(Leaf(7), false);
  ASSERT_TRUE(ClickAway());  // two clicks on one spot would make a double click
  ASSERT_TRUE(ClickAt(system_box));
  EXPECT_TRUE(WaitUntil(
      [&] { return tree().Check(nodes_[kSystemNode]) == 0 && AllLeavesTicked(repair::kSystemGroup, 0); }));

  tree().EnsureVisible(nodes_[kIeNode]);
  const POINT ie_box = tree().CheckBoxOnScreen(nodes_[kIeNode]);
  ASSERT_GE(ie_box.x, 0);
  ASSERT_TRUE(ClickAway());
  ASSERT_TRUE(ClickAt(ie_box));
  EXPECT_TRUE(WaitUntil([&] { return tree().Check(nodes_[kIeNode]) == 1 && AllLeavesTicked(repair::kIeGroup, 1); }));
  EXPECT_TRUE(AllLeavesTicked(repair::kSystemGroup, 0));
  EXPECT_EQ(SendMessageA(GetDlgItem(program_->dialog(), kSelectAll), BM_GETCHECK, 0, 0), BST_UNCHECKED);
}

TEST_F(ProgramTest, AClickOnALeafsCheckBoxChangesThatLeafOnly) {
  Start();
  HWND select_all = GetDlgItem(program_->dialog(), kSelectAll);
  for (const bool group_ticked : {false, true}) {
    tree().SetCheck(nodes_[kSystemNode], group_ticked);
    SendMessageA(select_all, BM_SETCHECK, group_ticked ? BST_CHECKED : BST_UNCHECKED, 0);
    for (int i = 0; i < kItemCount; ++i) tree().SetCheck(Leaf(i), i == 9);
    const Seen before = Look();

    tree().EnsureVisible(Leaf(4));
    const POINT box = tree().CheckBoxOnScreen(Leaf(4));
    ASSERT_GE(box.x, 0);
    ASSERT_TRUE(ClickAway());
    ASSERT_TRUE(ClickAt(box));
    ASSERT_TRUE(WaitUntil([&] { return tree().Check(Leaf(4)) == 1; })) << "group ticked " << group_ticked;
    Seen expected = before;
    expected.checks[NodeOfLeaf(4)] = 1;
    Seen after = Look();
    after.selected = before.selected;  // a click on a box may move the selection; that is no tick
    after.description = before.description;
    EXPECT_TRUE(after.checks == expected.checks) << "group ticked " << group_ticked;
    EXPECT_EQ(after.select_all, before.select_all);

    ASSERT_TRUE(ClickAway());
    ASSERT_TRUE(ClickAt(box));
    ASSERT_TRUE(WaitUntil([&] { return tree().Check(Leaf(4)) == 0; }));
    after = Look();
    EXPECT_TRUE(after.checks == before.checks) << "group ticked " << group_ticked;
    EXPECT_EQ(after.select_all, before.select_all);
  }
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

TEST_F(ProgramTest, EveryNodeShowsItsOwnLabelAndDescriptionByteForByte) {
  Start();
  for (int g = 0; g < 2; ++g) {
    const HTREEITEM group = nodes_[NodeOfGroup(g)];
    EXPECT_EQ(tree().Text(group), kShownGroups[g].label) << "group " << g;
    tree().Select(group);
    EXPECT_TRUE(WaitUntil([&] { return program_->ControlText(kDescription) == kShownGroups[g].description; }))
        << "group " << g << " shows: " << program_->ControlText(kDescription);
  }
  for (int i = 0; i < kItemCount; ++i) {
    EXPECT_EQ(tree().Text(Leaf(i)), kShownItems[i].label) << "leaf " << i;
    tree().Select(Leaf(i));
    EXPECT_TRUE(WaitUntil([&] { return program_->ControlText(kDescription) == kShownItems[i].description; }))
        << "leaf " << i << " shows: " << program_->ControlText(kDescription);
  }
}

TEST_F(ProgramTest, TheSpaceBarOnAGroupTogglesOnlyTheGroup) {
  Start();
  tree().EnsureVisible(nodes_[kSystemNode]);
  const RECT label = tree().LabelOnScreen(nodes_[kSystemNode]);
  ASSERT_TRUE(ClickAt(POINT{(label.left + label.right) / 2, (label.top + label.bottom) / 2}));
  ASSERT_TRUE(WaitUntil([&] { return tree().Selected() == nodes_[kSystemNode]; }));
  ASSERT_TRUE(PressKey("space"));
  EXPECT_TRUE(WaitUntil([&] { return tree().Check(nodes_[kSystemNode]) == 1; }));
  EXPECT_TRUE(AllLeavesTicked(-1, 0));
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
  const std::set<std::string> backups_before = Backups();

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

  // The run kept its undo before changing anything, one new file (the
  // second run changed nothing and kept none), which the command line
  // restores.
  std::set<std::string> added = Backups();
  for (const std::string& name : backups_before) added.erase(name);
  ASSERT_EQ(added.size(), 1u);
  cli::Streams streams{std::tmpfile(), std::tmpfile()};
  EXPECT_EQ(cli::Run(cli::ParseArguments({"restore", std::string(kBackups) + "\\" + *added.begin(), "--live"}), streams),
            cli::kExitOk);
  std::fclose(streams.out);
  std::fclose(streams.err);
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, kSystemPolicy, "DisableTaskMgr"), std::string("\1\0\0\0", 4));
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, std::string(kIfeo) + "\\IceSword.exe", "Debugger"),
            std::string("svch0st.exe", 12));
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kWinlogon, "Shell"), std::string("Explorer.exe svch0st.exe", 25));
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kShowAll, "CheckedValue"), std::string("\0\0\0\0", 4));
}

// The dialog's run is the command line's: a missing SHOWALL key is made
// again with Windows' own values, and items 14 and 16, one value between
// them, are both listed repaired.
TEST_F(ProgramTest, TheShowAllKeyIsMadeAgainAndEveryItemTheRunMendedIsListed) {
  DeleteTree(HKEY_LOCAL_MACHINE, kShowAll);
  PutDword(HKEY_CURRENT_USER, kExplorerPolicy, "NoFolderOptions", 1);
  Start();
  for (int i : {9, 14, 16}) {
    ASSERT_TRUE(LeafShows(i, true)) << "leaf " << i;
    tree().SetCheck(Leaf(i), true);
  }
  program_->PostClick(kRepair);
  const MessageBoxSeen seen = ReadAndCloseMessageBox(*program_);
  EXPECT_EQ(seen.text, std::string(repair::kReportHeader) + Item(9).name + "\r\n" + Item(14).name + "\r\n" +
                           Item(16).name + "\r\n");
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kShowAll, "CheckedValue"), std::string("\1\0\0\0", 4));
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kShowAll, "HKeyRoot"), std::string("\1\0\0\x80", 4));
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kShowAll, "HelpID"), std::string("shell.hlp#51105", 16));
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kShowAll, "Text"), std::string("@shell32.dll,-30500", 20));
  for (int i : {9, 14, 16}) EXPECT_TRUE(LeafShows(i, false)) << "leaf " << i << " after the run";
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

// The dialog reports what the registry shows after the run, as the command
// line does: a value another process writes back at once failed.
TEST_F(ProgramTest, AValueWrittenBackAtOnceIsReportedFailedNotRepaired) {
  PutDword(HKEY_CURRENT_USER, kSystemPolicy, "DisableTaskMgr", 1);
  MessageBoxSeen seen;
  {
    RewrittenAtOnce malware(kExplorerPolicy, "NoRun");
    Start();
    ASSERT_TRUE(LeafShows(4, true));
    tree().SetCheck(Leaf(0), true);
    tree().SetCheck(Leaf(4), true);
    ASSERT_TRUE(malware.Watch());
    program_->PostClick(kRepair);
    seen = ReadAndCloseMessageBox(*program_);
    // The rescan after the box, while the value is still kept.
    EXPECT_TRUE(LeafShows(4, true));
    EXPECT_TRUE(LeafShows(0, false));
  }
  EXPECT_EQ(seen.text, std::string(repair::kReportHeader) + Item(0).name + "\r\n" + repair::kFailedHeader +
                           Item(4).name + "\r\n");
}

TEST_F(ProgramTest, ALeafWhosePlaceRefusesReadingIsRedAndItsRepairIsReportedFailed) {
  PutDword(HKEY_CURRENT_USER, kSystemPolicy, "DisableTaskMgr", 1);
  PutString(HKEY_LOCAL_MACHINE, kWindows, "AppInit_DLLs", "C:\\evil.dll");
  PutString(HKEY_LOCAL_MACHINE, std::string(kIfeo) + "\\IceSword.exe", "Debugger", "svch0st.exe");
  const DWORD unreadable = KEY_READ;
  ValueWritesDenied user(HKEY_CURRENT_USER, kSystemPolicy, unreadable);
  ValueWritesDenied machine(HKEY_LOCAL_MACHINE, kWindows, unreadable);
  ValueWritesDenied hijack(HKEY_LOCAL_MACHINE, kIfeo, unreadable);
  ASSERT_TRUE(user.applied() && machine.applied() && hijack.applied());
  Start();
  for (int index : {0, 3, 13}) EXPECT_TRUE(LeafShows(index, true)) << "leaf " << index;
  tree().SetCheck(Leaf(0), true);
  tree().SetCheck(Leaf(3), true);
  program_->PostClick(kRepair);
  const MessageBoxSeen seen = ReadAndCloseMessageBox(*program_);
  EXPECT_EQ(seen.text, std::string(repair::kFailedHeader) + Item(0).name + "\r\n" + Item(3).name + "\r\n");
  for (int index : {0, 3, 13}) EXPECT_TRUE(LeafShows(index, true)) << "leaf " << index << " after the run";
}

}  // namespace
}  // namespace torvane::wintest
