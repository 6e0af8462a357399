// The real TorvaneSafe.exe started on Windows PE: the system is marked as
// PE by the MiniNT key, and drive T: (mapped by pe_drive.sh to a folder of
// this run) holds an installed Windows whose hives the test makes with our
// own hive writer. The program is driven from this process.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"
#include "registry/demo.h"
#include "registry/hive_store.h"
#include "registry/memory_store.h"
#include "repair/catalogue.h"
#include "repair/engine.h"
#include "repair/run.h"
#include "repair/value_read.h"
#include "registry/windows_volume.h"
#include "support/driver.h"
#include "support/hive_builder.h"

namespace torvane::wintest {
namespace {

namespace fs = std::filesystem;
using registry::HiveFile;
using registry::HiveStore;
using registry::kCurrentUser;
using registry::kLocalMachine;
using registry::MemoryStore;

constexpr char kChooserCaption[] = "选择要修复的Windows";
constexpr char kMiniNt[] = "SYSTEM\\CurrentControlSet\\Control\\MiniNT";
constexpr int kWindowsList = 1010, kProfileList = 1011, kRepair = 1002;

// Copies every key and value of `key` (at `path` below `root`) into `target`.
void CopyKey(const MemoryStore::Key& key, registry::HKey root, const std::string& path, registry::RegTarget& target) {
  if (!path.empty()) ASSERT_TRUE(target.CreateKey(root, path)) << path;
  for (const auto& value : key.values) ASSERT_TRUE(target.SetValue(root, path, value)) << path << " " << value.name;
  for (const auto& [folded, child] : key.children) {
    if (child->deleted) continue;
    CopyKey(*child, root, path.empty() ? child->name : path + "\\" + child->name, target);
  }
}

// The items the scan finds damaged in the hives, read by our own reader.
std::set<int> DamageIn(const std::string& software, const std::string& user) {
  auto machine = HiveFile::Open(software, false);
  auto profile = HiveFile::Open(user, false);
  HiveStore store(machine, profile);
  // As the program finds it: the drive letter that Windows' SystemRoot names.
  repair::RepairEngine engine(store, registry::SystemDirectoryOnVolume(repair::SystemDirectoryOf(store), "Windows"));
  repair::ItemBytes healthy{};
  engine.ScanItems(healthy);
  std::set<int> damaged;
  for (int i = 0; i < repair::kItemCount; ++i) {
    if (!healthy[i]) damaged.insert(i);
  }
  return damaged;
}

// A list box's items (ANSI), asked for in UTF-16: a list box of another
// process answers LB_GETTEXT in UTF-16 under Wine whichever form asks.
std::vector<std::string> ListItems(HWND list) {
  std::vector<std::string> items;
  const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
  for (LRESULT k = 0; k < count; ++k) {
    std::wstring text(static_cast<std::size_t>(SendMessageW(list, LB_GETTEXTLEN, k, 0)) + 1, L'\0');
    const LRESULT length = SendMessageW(list, LB_GETTEXT, k, reinterpret_cast<LPARAM>(text.data()));
    text.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    std::string ansi(text.size() * 2, '\0');
    ansi.resize(static_cast<std::size_t>(WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                                             ansi.data(), static_cast<int>(ansi.size()), nullptr,
                                                             nullptr)));
    items.push_back(ansi);
  }
  return items;
}

class PeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* unix_folder = std::getenv("TORVANE_PE_VOLUME");
    ASSERT_NE(unix_folder, nullptr) << "run through pe_drive.sh, which maps T: to a folder";
    ASSERT_EQ(GetDriveTypeA("T:\\"), static_cast<UINT>(DRIVE_FIXED));
    fs::remove_all("T:\\Windows");
    fs::remove_all("T:\\Users");
    fs::remove_all("T:\\ProgramData");
    fs::create_directories("T:\\Windows\\System32\\config");
    for (const char* profile : {"alice", "bob"}) fs::create_directories(std::string("T:\\Users\\") + profile);
    for (const std::string& hive : {software_, alice_, bob_}) {
      std::ofstream(hive, std::ios::binary) << torvane::testing::EmptyHive();
    }
    // The demo's machine damage, and a different user damage per profile.
    MemoryStore demo;
    registry::LoadDemoRegistry(demo);
    MemoryStore alice, bob;
    alice.PutDword(kCurrentUser, "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System", "DisableTaskMgr", 1);
    bob.PutDword(kCurrentUser, "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System", "DisableRegistryTools",
                 1);
    {
      auto software = HiveFile::Open(software_, true);
      auto user = HiveFile::Open(alice_, true);
      HiveStore store(software, user);
      CopyKey(*demo.FindKey(kLocalMachine, "SOFTWARE"), kLocalMachine, "SOFTWARE", store);
      CopyKey(alice.Root(kCurrentUser), kCurrentUser, "", store);
      registry::CommitHives({software.get(), user.get()});
    }
    {
      auto software = HiveFile::Open(software_, true);
      auto user = HiveFile::Open(bob_, true);
      HiveStore store(software, user);
      CopyKey(bob.Root(kCurrentUser), kCurrentUser, "", store);
      registry::CommitHives({software.get(), user.get()});
    }
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kMiniNt, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  void TearDown() override {
    // Other programs of the prefix see a normal Windows again.
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kMiniNt);
  }

  std::vector<std::string> Backups() const {
    std::vector<std::string> found;
    if (!fs::exists("T:\\ProgramData\\TorvaneSafe\\backups")) return found;
    for (const auto& entry : fs::directory_iterator("T:\\ProgramData\\TorvaneSafe\\backups")) {
      found.push_back(entry.path().string());
    }
    return found;
  }

  const std::string software_ = "T:\\Windows\\System32\\config\\SOFTWARE";
  const std::string alice_ = "T:\\Users\\alice\\NTUSER.DAT";
  const std::string bob_ = "T:\\Users\\bob\\NTUSER.DAT";
};

TEST_F(PeTest, TheChosenWindowsAndProfileAreRepairedInTheirFilesAndTheBackupRestoresThem) {
  const std::set<int> before = DamageIn(software_, alice_);
  const std::set<int> bob_before = DamageIn(software_, bob_);
  ASSERT_TRUE(before.count(0) == 1 && before.count(1) == 0) << "alice's hive sets TaskMgr only";
  ASSERT_TRUE(bob_before.count(1) == 1 && bob_before.count(0) == 0);
  // A machine item the demo damages, repaired with alice's TaskMgr.
  int machine_item = -1;
  for (int item : before) {
    if (item != 0 && item != 3) {
      machine_item = item;
      break;
    }
  }
  ASSERT_GE(machine_item, 0);

  std::vector<std::string> windows, alice_profiles, bob_profiles;
  Launch launch;
  launch.before_caption = kChooserCaption;
  launch.title = "Torvane系统修复助手V1.0 - T:\\Windows (alice)";
  launch.before = [&](HWND chooser) {
    const HWND list = GetDlgItem(chooser, kWindowsList), profiles = GetDlgItem(chooser, kProfileList);
    windows = ListItems(list);
    const auto at = std::find(windows.begin(), windows.end(), "T:\\Windows");
    if (at == windows.end()) return false;
    // Chosen as a click chooses: the selection, then the owner told.
    const WPARAM index = static_cast<WPARAM>(at - windows.begin());
    SendMessageA(list, LB_SETCURSEL, index, 0);
    SendMessageA(chooser, WM_COMMAND, MAKEWPARAM(kWindowsList, LBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
    alice_profiles = ListItems(profiles);
    const auto alice = std::find(alice_profiles.begin(), alice_profiles.end(), "alice");
    if (alice == alice_profiles.end()) return false;
    SendMessageA(profiles, LB_SETCURSEL, static_cast<WPARAM>(alice - alice_profiles.begin()), 0);
    PostMessageA(chooser, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(chooser, IDOK)));
    return true;
  };
  Program program(launch);
  EXPECT_EQ(windows, std::vector<std::string>{"T:\\Windows"}) << "C:, the system's own drive, is left out";
  EXPECT_EQ(alice_profiles, (std::vector<std::string>{"alice", "bob"}));
  ASSERT_TRUE(program.started()) << "no main dialog captioned for T:\\Windows (alice)";

  // The tree shows alice's view of that Windows: her red leaves, not bob's.
  const std::vector<HTREEITEM> nodes = program.tree().Nodes();
  std::map<LPARAM, HTREEITEM> leaves;
  for (HTREEITEM node : nodes) leaves[program.tree().Data(node)] = node;
  for (int item = 0; item < repair::kItemCount; ++item) {
    program.tree().EnsureVisible(leaves[item]);
    const bool red = before.count(item) == 1;
    EXPECT_TRUE(WaitUntil([&] {
      const PixelCount count = CountPixels(program.tree().LabelOnScreen(leaves[item]));
      return red ? count.red > 10 : (count.red == 0 && count.dark > 10);
    })) << "item " << item << " should be " << (red ? "red" : "black");
  }

  program.tree().SetCheck(leaves[0], true);
  program.tree().SetCheck(leaves[machine_item], true);
  program.PostClick(kRepair);
  const MessageBoxSeen report = ReadAndCloseMessageBox(program);
  ASSERT_TRUE(report.shown);
  EXPECT_EQ(report.text, std::string(repair::kReportHeader) + repair::Item(0).name + "\r\n" +
                             repair::Item(machine_item).name + "\r\n");
  const std::vector<std::string> first_backups = Backups();
  ASSERT_EQ(first_backups.size(), 1u);

  // A second repair in the same run is written too: the files stay held.
  int second_item = -1;
  for (int item : before) {
    if (item != 0 && item != 3 && item != machine_item) second_item = item;
  }
  ASSERT_GE(second_item, 0);
  program.tree().SetCheck(leaves[0], false);
  program.tree().SetCheck(leaves[machine_item], false);
  program.tree().SetCheck(leaves[second_item], true);
  program.PostClick(kRepair);
  EXPECT_EQ(ReadAndCloseMessageBox(program).text,
            std::string(repair::kReportHeader) + repair::Item(second_item).name + "\r\n");
  PostMessageA(program.dialog(), WM_CLOSE, 0, 0);
  ASSERT_TRUE(program.WaitForExit());

  // Exactly the ticked items changed, in the files; bob sees the machine
  // part's repairs and keeps his own damage.
  std::set<int> expected = before;
  for (int item : {0, machine_item, second_item}) expected.erase(item);
  EXPECT_EQ(DamageIn(software_, alice_), expected);
  std::set<int> bob_expected = bob_before;
  for (int item : {machine_item, second_item}) bob_expected.erase(item);
  EXPECT_EQ(DamageIn(software_, bob_), bob_expected);

  // Each undo is a new file on that volume, which the command line restores,
  // the last one first.
  std::vector<std::string> backups = Backups();
  ASSERT_EQ(backups.size(), 2u);
  std::erase(backups, first_backups[0]);
  ASSERT_EQ(backups.size(), 1u);
  for (const std::string& backup : {backups[0], first_backups[0]}) {
    cli::Streams streams{std::tmpfile(), std::tmpfile()};
    EXPECT_EQ(cli::Run(cli::ParseArguments({"restore", backup, "--windows", "T:\\"}), streams), cli::kExitOk)
        << backup;
    std::fclose(streams.out);
    std::fclose(streams.err);
  }
  EXPECT_EQ(DamageIn(software_, alice_), before);
  EXPECT_EQ(DamageIn(software_, bob_), bob_before);
}

TEST_F(PeTest, CancelInTheChooserEndsTheProgramAndChangesNothing) {
  const std::string software = [&] {
    std::ifstream in(software_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }();
  Launch launch;
  launch.before_caption = kChooserCaption;
  HANDLE process = nullptr;
  launch.before = [&](HWND chooser) {
    PostMessageA(chooser, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(chooser, IDCANCEL)));
    return false;
  };
  Program program(launch);
  (void)process;
  EXPECT_FALSE(program.started());
  EXPECT_TRUE(program.WaitForExit());
  std::ifstream in(software_, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), software);
  EXPECT_TRUE(Backups().empty());
}

TEST_F(PeTest, WithoutAnInstalledWindowsTheProgramSaysSoAndEnds) {
  fs::remove_all("T:\\Windows");
  Launch launch;
  launch.before_caption = "提示";
  std::string text;
  launch.before = [&](HWND box) {
    char shown[256] = {};
    GetDlgItemTextA(box, 0xFFFF, shown, sizeof shown);
    text = shown;
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return false;
  };
  Program program(launch);
  EXPECT_EQ(text, "没有找到可修复的Windows");
  EXPECT_TRUE(program.WaitForExit());
}

}  // namespace
}  // namespace torvane::wintest
