// The health rule of every item, each against a stock system with one change.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "repair/engine.h"
#include "support/fixtures.h"
#include "support/text.h"

namespace torvane::testing {
namespace {

using registry::kCurrentUser;
using registry::kLocalMachine;
using registry::kRegBinary;
using registry::MemoryStore;

class ScanTest : public ::testing::Test {
 protected:
  void SetUp() override { PutHealthySystem(store); }
  std::string Damaged() {
    const std::string damaged = DamagedItems(Scan(store));
    EXPECT_EQ(store.open_handles(), 0u) << "a scan left a key open";
    return damaged;
  }
  void PutBytes(registry::HKey root, const std::string& key, const std::string& name,
                std::vector<std::uint8_t> data, std::uint32_t type = kRegBinary) {
    store.PutValue(root, key, name, type, std::move(data));
  }
  MemoryStore store;
};

TEST_F(ScanTest, AStockSystemIsHealthy) { EXPECT_EQ(Damaged(), ""); }

TEST_F(ScanTest, EmptyRegistryDamagesOnlyTheItemsThatNeedAText) {
  MemoryStore empty;
  // Items 9, 10, 12, 21, 22 need a value that is not there; item 3 is clean:
  // a key that does not exist holds no hijack.
  EXPECT_EQ(DamagedItems(Scan(empty)), "9,10,12,21,22");
}

TEST_F(ScanTest, TaskManagerPolicyIsDamageOnlyWhenItsFirstByteIsOne) {
  store.PutDword(kCurrentUser, kSystem, "DisableTaskMgr", 1);
  EXPECT_EQ(Damaged(), "0");
  store.PutDword(kCurrentUser, kSystem, "DisableTaskMgr", 0);
  EXPECT_EQ(Damaged(), "");
  store.PutDword(kCurrentUser, kSystem, "DisableTaskMgr", 0x101);
  EXPECT_EQ(Damaged(), "0");
  store.PutDword(kCurrentUser, kSystem, "DisableTaskMgr", 0x100);
  EXPECT_EQ(Damaged(), "");
  store.PutString(kCurrentUser, kSystem, "DisableTaskMgr", "1");
  EXPECT_EQ(Damaged(), "") << "REG_SZ \"1\" has first byte 0x31";
}

TEST_F(ScanTest, PresenceAloneDecidesThePolicyItems) {
  const struct {
    registry::HKey root;
    std::string key, value, damaged;
  } cases[] = {
      {kCurrentUser, kSystem, "DisableRegistryTools", "1"},
      {kCurrentUser, kCmd, "DisableCMD", "2"},
      {kCurrentUser, kExplorer, "NoRun", "4"},
      {kCurrentUser, kExplorer, "NoViewContextMenu", "5"},
      {kLocalMachine, kExplorer, "NoViewContextMenu", "5"},
      {kCurrentUser, kExplorer, "NoClose", "6"},
      {kCurrentUser, kExplorer, "NoLogOff", "7"},
      {kLocalMachine, kSystem, "NoAutoUpdate", "8"},
      {kCurrentUser, kExplorer, "RestrictRun", "11"},
      {kCurrentUser, kExplorer, "NoFolderOptions", "14,16"},
      {kCurrentUser, kRestrictions, "NoBrowserOptions", "15"},
      {kCurrentUser, kRestrictions, "NoBrowserContextMenu", "17"},
      {kCurrentUser, kRestrictions, "NoViewSource", "18"},
      {kCurrentUser, kIeMain, "Window title", "20"},
  };
  for (const auto& c : cases) {
    store.PutDword(c.root, c.key, c.value, 0);  // the data does not matter
    EXPECT_EQ(Damaged(), c.damaged) << c.value;
    store.RemoveValue(c.root, c.key, c.value);
    EXPECT_EQ(Damaged(), "") << c.value;
  }
}

TEST_F(ScanTest, AutoUpdatePolicyIsReadWhereTheCheckLooksNotWhereTheRowsKeyIs) {
  store.PutDword(kLocalMachine, kAutoUpdate, "NoAutoUpdate", 1);
  EXPECT_EQ(Damaged(), "");
}

// Where Windows itself reads the policy: updates switched off (first byte 1)
// is damage; switched on is not.
TEST_F(ScanTest, AutoUpdateIsAlsoReadWhereWindowsReadsIt) {
  const std::string windows_update = "SOFTWARE\\Policies\\Microsoft\\Windows\\WindowsUpdate\\AU";
  store.PutDword(kLocalMachine, windows_update, "NoAutoUpdate", 1);
  EXPECT_EQ(Damaged(), "8");
  store.PutDword(kLocalMachine, windows_update, "NoAutoUpdate", 0);
  EXPECT_EQ(Damaged(), "");
  store.PutString(kLocalMachine, windows_update, "NoAutoUpdate", "1");
  EXPECT_EQ(Damaged(), "") << "REG_SZ \"1\" has first byte 0x31";
}

TEST_F(ScanTest, HomePageLockIsDamageOnlyWithFirstByteOne) {
  store.PutDword(kCurrentUser, kControlPanel, "HomePage", 1);
  EXPECT_EQ(Damaged(), "19");
  store.PutDword(kCurrentUser, kControlPanel, "HomePage", 0);
  EXPECT_EQ(Damaged(), "");
}

TEST_F(ScanTest, HiddenFilesNeedCheckedValueOne) {
  store.PutDword(kLocalMachine, kShowAll, "CheckedValue", 0);
  EXPECT_EQ(Damaged(), "9");
  store.PutString(kLocalMachine, kShowAll, "CheckedValue", "1");
  EXPECT_EQ(Damaged(), "9") << "REG_SZ \"1\" has first byte 0x31";
  store.RemoveValue(kLocalMachine, kShowAll, "CheckedValue");
  EXPECT_EQ(Damaged(), "9") << "an unreadable CheckedValue is damage";
  store.PutDword(kLocalMachine, kShowAll, "CheckedValue", 0x201);
  EXPECT_EQ(Damaged(), "") << "only the first byte is looked at";
}

TEST_F(ScanTest, UserinitMustBeTheSystemsTextInAnyLetterCase) {
  store.PutString(kLocalMachine, kWinlogon, "Userinit", "C:\\WINDOWS\\system32\\userinit.exe");
  EXPECT_EQ(Damaged(), "10") << "without the trailing comma";
  store.PutString(kLocalMachine, kWinlogon, "Userinit", "c:\\windows\\system32\\userinit.exe,");
  EXPECT_EQ(Damaged(), "") << "Windows finds the file whatever the letter case";
  store.PutString(kLocalMachine, kWinlogon, "Userinit", "c:\\windows\\system32\\userinit.exe, ");
  EXPECT_EQ(Damaged(), "10") << "blanks are not case";
  store.PutString(kLocalMachine, kWinlogon, "Userinit", kHealthyUserinit + "C:\\x\\svch0st.exe,");
  EXPECT_EQ(Damaged(), "10");
  store.RemoveValue(kLocalMachine, kWinlogon, "Userinit");
  EXPECT_EQ(Damaged(), "10");
}

TEST_F(ScanTest, UserinitFollowsTheSystemDirectory) {
  store.PutString(kLocalMachine, kWinlogon, "Userinit", "D:\\WINNT\\system32\\userinit.exe,");
  EXPECT_EQ(DamagedItems(Scan(store, "D:\\WINNT\\system32")), "");
  EXPECT_EQ(DamagedItems(Scan(store)), "10");
}

TEST_F(ScanTest, ShellIsExplorerInAnyLetterCase) {
  store.PutString(kLocalMachine, kWinlogon, "Shell", "explorer.exe");
  EXPECT_EQ(Damaged(), "") << "the default of current Windows and of Wine";
  store.PutString(kLocalMachine, kWinlogon, "Shell", "EXPLORER.EXE");
  EXPECT_EQ(Damaged(), "");
  store.PutString(kLocalMachine, kWinlogon, "Shell", "Explorer.exe ");
  EXPECT_EQ(Damaged(), "12");
  store.PutString(kLocalMachine, kWinlogon, "Shell", "explorer.exe,evil.exe");
  EXPECT_EQ(Damaged(), "12");
}

TEST_F(ScanTest, AppInitDllsIsDamageWhenItHoldsAnyText) {
  store.PutString(kLocalMachine, kWindows, "AppInit_DLLs", "C:\\x\\hook.dll");
  EXPECT_EQ(Damaged(), "13");
  store.PutString(kLocalMachine, kWindows, "AppInit_DLLs", "C:\\" + std::string(200, 'a') + ".dll");
  EXPECT_EQ(Damaged(), "13") << "a long text is damage too, however long";
  store.RemoveValue(kLocalMachine, kWindows, "AppInit_DLLs");
  EXPECT_EQ(Damaged(), "");
  PutBytes(kLocalMachine, kWindows, "AppInit_DLLs", {0, 'x', 0});
  EXPECT_EQ(Damaged(), "") << "the text ends at the first NUL";
}

TEST_F(ScanTest, LongPolicyValuesArePresent) {
  PutBytes(kCurrentUser, kExplorer, "RestrictRun", std::vector<std::uint8_t>(4000, 1));
  EXPECT_EQ(Damaged(), "11");
  PutBytes(kCurrentUser, kSystem, "DisableTaskMgr", std::vector<std::uint8_t>(500, 1));
  EXPECT_EQ(Damaged(), "0,11");
}

TEST_F(ScanTest, UrlPrefixes) {
  store.PutString(kLocalMachine, kDefaultPrefix, "", "https://");
  EXPECT_EQ(Damaged(), "21");
  store.PutString(kLocalMachine, kDefaultPrefix, "", "http://");
  store.PutString(kLocalMachine, kPrefixes, "www", "https://");
  EXPECT_EQ(Damaged(), "22");
  store.PutString(kLocalMachine, kPrefixes, "www", "http://");
  store.RemoveValue(kLocalMachine, kPrefixes, "ftp");
  EXPECT_EQ(Damaged(), "22");
  store.PutString(kLocalMachine, kPrefixes, "ftp", "ftp://");
  store.PutString(kLocalMachine, kPrefixes, "", "anything");
  EXPECT_EQ(Damaged(), "") << "the default value takes no part";
}

TEST_F(ScanTest, WithoutAdministrativeRightsTheChecksLookWithReadAccess) {
  store.PutDword(kLocalMachine, kSystem, "NoAutoUpdate", 1);
  store.PutDword(kLocalMachine, kExplorer, "NoViewContextMenu", 1);
  store.PutString(kLocalMachine, kWindows, "AppInit_DLLs", "evil.dll");
  store.CreateKey(kLocalMachine, kIfeo + "\\IceSword.exe");
  store.SetAdministrator(false);
  repair::ItemBytes healthy;
  healthy.fill(1);
  repair::RepairEngine(store).ScanItems(healthy);
  // Full access to HKLM is refused; reading shows the damage as it is, and
  // the healthy places (9, 10, 12, 21, 22) as healthy.
  EXPECT_EQ(DamagedItems(healthy), "3,5,8,13");
  EXPECT_EQ(store.open_handles(), 0u);
}

TEST_F(ScanTest, AValueItemWhoseKeyIsLockedShowsWhatReadingSees) {
  // Malware denies write and delete on its own keys.
  for (const auto& [root, key, value] : std::vector<std::tuple<registry::HKey, std::string, std::string>>{
           {kCurrentUser, kSystem, "DisableTaskMgr"},
           {kCurrentUser, kSystem, "DisableRegistryTools"},
           {kCurrentUser, kExplorer, "NoRun"},
           {kCurrentUser, kExplorer, "NoClose"},
           {kLocalMachine, kSystem, "NoAutoUpdate"},
           {kCurrentUser, kExplorer, "NoFolderOptions"},
           {kCurrentUser, kRestrictions, "NoBrowserOptions"},
           {kCurrentUser, kControlPanel, "HomePage"},
           {kCurrentUser, kIeMain, "Window title"}}) {
    store.PutDword(root, key, value, 1);
    store.DenyFullAccess(root, key);
  }
  EXPECT_EQ(Damaged(), "0,1,4,6,8,14,15,16,19,20");
  store.PutString(kLocalMachine, kWinlogon, "Shell", "explorer.exe");
  store.DenyFullAccess(kLocalMachine, kWinlogon);
  EXPECT_EQ(Damaged(), "0,1,4,6,8,14,15,16,19,20") << "a locked healthy place is healthy";
  store.DenyAccess(kCurrentUser, kExplorer);
  EXPECT_EQ(Damaged(), "0,1,4,5,6,7,8,11,14,15,16,19,20") << "a key no one may read is never called healthy";
}

TEST_F(ScanTest, RescanningAnUnchangedRegistryGivesTheSameAnswer) {
  store.PutDword(kCurrentUser, kExplorer, "NoRun", 1);
  store.CreateKey(kLocalMachine, kIfeo + "\\avp.exe");
  EXPECT_EQ(Damaged(), "3,4");
  EXPECT_EQ(Damaged(), "3,4");
}

}  // namespace
}  // namespace torvane::testing
