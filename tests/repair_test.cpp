// The repair action of every item: what it changes, what it leaves alone,
// and that a refused change is a failure, never a success.
#include <gtest/gtest.h>

#include "repair/engine.h"
#include "support/fixtures.h"

namespace torvane::testing {
namespace {

using registry::kCurrentUser;
using registry::kLocalMachine;
using registry::kRegDword;
using registry::kRegSz;
using registry::MemoryStore;
using registry::RegValue;
using repair::RepairOutcome;

class RepairTest : public ::testing::Test {
 protected:
  void SetUp() override { PutHealthySystem(store); }
  RepairOutcome Repair(int index) {
    const RepairOutcome outcome = engine.ApplyRepair(index);
    EXPECT_EQ(store.open_handles(), 0u) << "item " << index << " left a key open";
    return outcome;
  }
  std::optional<RegValue> Value(registry::HKey root, const std::string& key, const std::string& name) {
    return store.GetValue(root, key, name);
  }
  std::string Text(const std::string& key, const std::string& name) {
    auto value = Value(kLocalMachine, key, name);
    if (!value) return "<absent>";
    EXPECT_EQ(value->type, kRegSz);
    return std::string(value->data.begin(), value->data.end());  // NUL included
  }

  MemoryStore store;
  repair::RepairEngine engine{store};
};

TEST_F(RepairTest, RemoveValueActionsDeleteWhateverTheDataIs) {
  const struct {
    int index;
    std::string key, value;
  } cases[] = {
      {0, kSystem, "DisableTaskMgr"},      {1, kSystem, "DisableRegistryTools"},
      {2, kCmd, "DisableCMD"},             {4, kExplorer, "NoRun"},
      {6, kExplorer, "NoClose"},           {7, kExplorer, "NoLogOff"},
      {11, kExplorer, "RestrictRun"},      {14, kExplorer, "NoFolderOptions"},
      {15, kRestrictions, "NoBrowserOptions"}, {16, kExplorer, "NoFolderOptions"},
      {17, kRestrictions, "NoBrowserContextMenu"}, {18, kRestrictions, "NoViewSource"},
      {19, kControlPanel, "HomePage"},     {20, kIeMain, "Window title"},
  };
  for (const auto& c : cases) {
    // Items 0 and 19 are damaged only by a first byte of 1.
    store.PutDword(kCurrentUser, c.key, c.value, c.index == 0 || c.index == 19 ? 1 : 0);
    store.PutDword(kCurrentUser, c.key, "Neighbour", 7);
    EXPECT_EQ(Repair(c.index), RepairOutcome::kRepaired) << c.index;
    EXPECT_FALSE(Value(kCurrentUser, c.key, c.value)) << c.index;
    EXPECT_TRUE(Value(kCurrentUser, c.key, "Neighbour")) << "item " << c.index << " touched a neighbour";
    EXPECT_EQ(Repair(c.index), RepairOutcome::kNothingToDo) << c.index;
  }
}

TEST_F(RepairTest, LongPolicyValuesAreRemovedToo) {
  store.PutValue(kCurrentUser, kExplorer, "RestrictRun", registry::kRegBinary, std::vector<std::uint8_t>(40, 1));
  EXPECT_EQ(Repair(11), RepairOutcome::kRepaired);
  EXPECT_FALSE(Value(kCurrentUser, kExplorer, "RestrictRun"));
}

TEST_F(RepairTest, MissingKeyMeansNothingToRemove) {
  store.RemoveTree(kCurrentUser, kRestrictions);
  EXPECT_EQ(Repair(15), RepairOutcome::kNothingToDo);
  EXPECT_EQ(store.FindKey(kCurrentUser, kRestrictions), nullptr) << "no key is ever created";
}

TEST_F(RepairTest, ContextMenuPolicyIsRemovedUnderEitherRoot) {
  store.PutDword(kLocalMachine, kExplorer, "NoViewContextMenu", 1);
  store.PutDword(kCurrentUser, kExplorer, "Other", 1);
  EXPECT_EQ(Repair(5), RepairOutcome::kRepaired);
  EXPECT_FALSE(Value(kLocalMachine, kExplorer, "NoViewContextMenu"));
  EXPECT_TRUE(Value(kCurrentUser, kExplorer, "Other"));
  store.PutDword(kCurrentUser, kExplorer, "NoViewContextMenu", 1);
  store.PutDword(kLocalMachine, kExplorer, "NoViewContextMenu", 1);
  EXPECT_EQ(Repair(5), RepairOutcome::kRepaired);
  EXPECT_EQ(DamagedItems(Scan(store)), "");
}

TEST_F(RepairTest, AnItemItsCheckCallsHealthyIsNeverChanged) {
  store.PutString(kCurrentUser, kSystem, "DisableTaskMgr", "1");  // first byte 0x31
  store.PutDword(kCurrentUser, kControlPanel, "HomePage", 0x100);
  store.PutString(kLocalMachine, kWinlogon, "Shell", "explorer.exe");
  store.PutString(kLocalMachine, kWinlogon, "Userinit", "c:\\windows\\system32\\USERINIT.EXE,");
  store.PutDword(kLocalMachine, kAutoUpdate, "NoAutoUpdate", 1);  // not the place item 8's check reads
  const std::string before = store.Dump();
  for (int index = 0; index < repair::kItemCount; ++index) {
    EXPECT_EQ(Repair(index), RepairOutcome::kNothingToDo) << index;
  }
  EXPECT_EQ(store.Dump(), before);
}

TEST_F(RepairTest, ALockedDamagedItemFailsAndStaysAsItWas) {
  store.PutDword(kCurrentUser, kExplorer, "NoRun", 1);
  store.PutString(kLocalMachine, kWinlogon, "Shell", "evil.exe");
  store.DenyFullAccess(kCurrentUser, kExplorer);
  store.DenyFullAccess(kLocalMachine, kWinlogon);
  EXPECT_EQ(Repair(4), RepairOutcome::kFailed);
  EXPECT_EQ(Repair(12), RepairOutcome::kFailed);
  EXPECT_EQ(Repair(6), RepairOutcome::kNothingToDo) << "nothing to see under the lock";
  EXPECT_TRUE(Value(kCurrentUser, kExplorer, "NoRun"));
  EXPECT_EQ(Text(kWinlogon, "Shell"), std::string("evil.exe", 9));
}

TEST_F(RepairTest, AutoUpdateRepairRemovesBothPolicyPlaces) {
  store.PutDword(kLocalMachine, kSystem, "NoAutoUpdate", 1);
  store.PutDword(kLocalMachine, kAutoUpdate, "NoAutoUpdate", 1);
  EXPECT_EQ(DamagedItems(Scan(store)), "8");
  EXPECT_EQ(Repair(8), RepairOutcome::kRepaired);
  EXPECT_FALSE(Value(kLocalMachine, kSystem, "NoAutoUpdate"));
  EXPECT_FALSE(Value(kLocalMachine, kAutoUpdate, "NoAutoUpdate"));
  EXPECT_EQ(DamagedItems(Scan(store)), "") << "the item does not stay red for ever";
  store.PutDword(kLocalMachine, kAutoUpdate, "NoAutoUpdate", 1);
  EXPECT_EQ(Repair(8), RepairOutcome::kNothingToDo) << "the row's own key alone: the check sees no damage";

  // Where Windows reads it: removed when it switches updates off, kept when
  // it switches them on, whichever place made the item damaged.
  const std::string windows_update = "SOFTWARE\\Policies\\Microsoft\\Windows\\WindowsUpdate\\AU";
  store.PutDword(kLocalMachine, windows_update, "NoAutoUpdate", 1);
  EXPECT_EQ(Repair(8), RepairOutcome::kRepaired);
  EXPECT_FALSE(Value(kLocalMachine, windows_update, "NoAutoUpdate"));
  EXPECT_FALSE(Value(kLocalMachine, kAutoUpdate, "NoAutoUpdate"));
  store.PutDword(kLocalMachine, windows_update, "NoAutoUpdate", 0);
  store.PutDword(kLocalMachine, kSystem, "NoAutoUpdate", 1);
  EXPECT_EQ(Repair(8), RepairOutcome::kRepaired);
  EXPECT_TRUE(Value(kLocalMachine, windows_update, "NoAutoUpdate")) << "updates switched on stay so";
  EXPECT_EQ(DamagedItems(Scan(store)), "");
}

TEST_F(RepairTest, HiddenFilesNumberIsWrittenAsDwordOne) {
  const auto expect_written = [&](const char* why) {
    EXPECT_EQ(Repair(9), RepairOutcome::kRepaired) << why;
    auto value = Value(kLocalMachine, kShowAll, "CheckedValue");
    ASSERT_TRUE(value) << why;
    EXPECT_EQ(value->type, kRegDword) << why;
    EXPECT_EQ(value->data, (std::vector<std::uint8_t>{1, 0, 0, 0})) << why;
  };
  store.RemoveValue(kLocalMachine, kShowAll, "CheckedValue");
  expect_written("missing");
  store.PutDword(kLocalMachine, kShowAll, "CheckedValue", 0);
  expect_written("zero");
  store.PutString(kLocalMachine, kShowAll, "CheckedValue", "1");
  expect_written("the digit one as text");
  EXPECT_EQ(Repair(9), RepairOutcome::kNothingToDo);
}

TEST_F(RepairTest, TextsAreRestoredByteForByte) {
  store.PutString(kLocalMachine, kWinlogon, "Shell", "explorer.exe ");
  EXPECT_EQ(Repair(12), RepairOutcome::kRepaired);
  EXPECT_EQ(Text(kWinlogon, "Shell"), std::string("Explorer.exe", 13));

  store.RemoveValue(kLocalMachine, kWinlogon, "Userinit");
  EXPECT_EQ(Repair(10), RepairOutcome::kRepaired);
  EXPECT_EQ(Text(kWinlogon, "Userinit"), std::string("C:\\WINDOWS\\system32\\userinit.exe,", 34));
  EXPECT_EQ(Repair(10), RepairOutcome::kNothingToDo);

  store.PutString(kLocalMachine, kWindows, "AppInit_DLLs", "C:\\x\\hook.dll");
  EXPECT_EQ(Repair(13), RepairOutcome::kRepaired);
  EXPECT_EQ(Text(kWindows, "AppInit_DLLs"), std::string(1, '\0'));
  EXPECT_EQ(Repair(13), RepairOutcome::kNothingToDo);
  store.RemoveValue(kLocalMachine, kWindows, "AppInit_DLLs");
  EXPECT_EQ(Repair(13), RepairOutcome::kNothingToDo);
  EXPECT_EQ(Text(kWindows, "AppInit_DLLs"), "<absent>");

  store.PutString(kLocalMachine, kDefaultPrefix, "", "hxxp://");
  EXPECT_EQ(Repair(21), RepairOutcome::kRepaired);
  EXPECT_EQ(Text(kDefaultPrefix, ""), std::string("http://", 8));
}

TEST_F(RepairTest, UserinitIsRestoredForTheSystemsOwnDirectory) {
  repair::RepairEngine other_drive(store, "E:\\Windows\\system32");
  EXPECT_EQ(other_drive.ApplyRepair(10), RepairOutcome::kRepaired);
  EXPECT_EQ(Text(kWinlogon, "Userinit"), std::string("E:\\Windows\\system32\\userinit.exe,", 34));
  EXPECT_EQ(other_drive.ApplyRepair(10), RepairOutcome::kNothingToDo);
}

TEST_F(RepairTest, OnlyTheDifferingUrlPrefixesAreWritten) {
  store.PutString(kLocalMachine, kPrefixes, "www", "http://www.nav-hijack.example/?u=");
  store.PutValue(kLocalMachine, kPrefixes, "ftp", registry::kRegExpandSz,
                 std::vector<std::uint8_t>{'f', 't', 'p', ':', '/', '/', 0});
  EXPECT_EQ(Repair(22), RepairOutcome::kRepaired);
  EXPECT_EQ(Text(kPrefixes, "www"), std::string("http://", 8));
  EXPECT_EQ(store.GetValue(kLocalMachine, kPrefixes, "ftp")->type, registry::kRegExpandSz)
      << "a prefix that already holds its text is not rewritten";
  EXPECT_EQ(Repair(22), RepairOutcome::kNothingToDo);
}

TEST_F(RepairTest, ARefusedChangeIsAFailure) {
  store.PutDword(kCurrentUser, kExplorer, "NoRun", 1);
  store.RefuseChanges(kCurrentUser, kExplorer);
  EXPECT_EQ(Repair(4), RepairOutcome::kFailed);
  EXPECT_TRUE(Value(kCurrentUser, kExplorer, "NoRun"));

  store.PutString(kLocalMachine, kWinlogon, "Shell", "evil.exe");
  store.RefuseChanges(kLocalMachine, kWinlogon);
  EXPECT_EQ(Repair(12), RepairOutcome::kFailed);
  EXPECT_EQ(Repair(10), RepairOutcome::kNothingToDo) << "Userinit is still healthy";
}

TEST_F(RepairTest, OneRefusedHalfFailsTheContextMenuItem) {
  store.PutDword(kCurrentUser, kExplorer, "NoViewContextMenu", 1);
  store.PutDword(kLocalMachine, kExplorer, "NoViewContextMenu", 1);
  store.RefuseChanges(kLocalMachine, kExplorer);
  EXPECT_EQ(Repair(5), RepairOutcome::kFailed);
  EXPECT_FALSE(Value(kCurrentUser, kExplorer, "NoViewContextMenu")) << "the other half still goes";
}

TEST_F(RepairTest, WithoutAdministrativeRightsRestoresFailInsteadOfClaimingSuccess) {
  store.PutString(kLocalMachine, kWinlogon, "Shell", "evil.exe");
  store.PutString(kLocalMachine, kWindows, "AppInit_DLLs", "evil.dll");
  store.PutDword(kLocalMachine, kAutoUpdate, "NoAutoUpdate", 1);
  store.PutDword(kLocalMachine, kExplorer, "NoViewContextMenu", 1);
  store.SetAdministrator(false);
  // What reading shows damaged fails; what it shows healthy is left alone.
  for (int index : {5, 12, 13}) {
    EXPECT_EQ(Repair(index), RepairOutcome::kFailed) << index;
  }
  for (int index : {8, 9, 10, 21, 22}) {
    EXPECT_EQ(Repair(index), RepairOutcome::kNothingToDo) << index;
  }
  EXPECT_EQ(Text(kWinlogon, "Shell"), std::string("evil.exe", 9));
}

// Item 13 checks with read access: without the right to change HKLM a
// healthy AppInit_DLLs is nothing to do, not a failed repair.
TEST_F(RepairTest, WithoutAdministrativeRightsAHealthyAppInitIsNothingToDo) {
  store.SetAdministrator(false);
  store.PutString(kLocalMachine, kWindows, "AppInit_DLLs", "");
  EXPECT_EQ(Repair(13), RepairOutcome::kNothingToDo);
  store.RemoveValue(kLocalMachine, kWindows, "AppInit_DLLs");
  EXPECT_EQ(Repair(13), RepairOutcome::kNothingToDo);
  store.PutString(kLocalMachine, kWindows, "AppInit_DLLs", "evil.dll");
  EXPECT_EQ(Repair(13), RepairOutcome::kFailed) << "damage the read shows and the repair cannot reach";
  EXPECT_EQ(store.open_handles(), 0u);
}

// The SHOWALL key gone (malware's way to keep hidden files hidden): it is
// made again with what Windows keeps in it. Only that key is made: a missing
// parent, or another item's missing key, still fails and creates nothing.
TEST_F(RepairTest, OnlyTheShowAllKeyIsMadeAgainWithWindowsOwnValues) {
  const std::string hidden = kShowAll.substr(0, kShowAll.rfind('\\'));
  store.RemoveTree(kLocalMachine, kShowAll);
  store.PutString(kLocalMachine, hidden + "\\NOHIDDEN", "Type", "radio");
  EXPECT_EQ(Repair(9), RepairOutcome::kRepaired);
  const auto* made = store.FindKey(kLocalMachine, kShowAll);
  ASSERT_NE(made, nullptr);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"RegPath", "1:Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced"},
      {"Text", "1:@shell32.dll,-30500"},
      {"Type", "1:radio"},
      {"CheckedValue", "4:1"},
      {"ValueName", "1:Hidden"},
      {"DefaultValue", "4:2"},
      {"HKeyRoot", "4:2147483649"},
      {"HelpID", "1:shell.hlp#51105"}};
  ASSERT_EQ(made->values.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const RegValue& value = made->values[i];
    std::string shown = std::to_string(value.type) + ":";
    if (value.type == kRegDword) {
      ASSERT_EQ(value.data.size(), 4u) << value.name;
      shown += std::to_string(value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                              static_cast<std::uint32_t>(value.data[3]) << 24);
    } else {
      ASSERT_FALSE(value.data.empty()) << value.name;
      EXPECT_EQ(value.data.back(), 0) << value.name << " ends with its NUL";
      shown.append(value.data.begin(), value.data.end() - 1);
    }
    EXPECT_EQ(value.name, expected[i].first);
    EXPECT_EQ(shown, expected[i].second) << value.name;
  }
  EXPECT_TRUE(engine.CheckItem(9));
  EXPECT_NE(store.FindKey(kLocalMachine, hidden + "\\NOHIDDEN"), nullptr) << "its sibling untouched";

  store.RemoveTree(kLocalMachine, hidden);
  EXPECT_EQ(Repair(9), RepairOutcome::kFailed) << "no Folder\\Hidden key: beyond the item";
  EXPECT_EQ(store.FindKey(kLocalMachine, hidden), nullptr);
  store.RemoveTree(kLocalMachine, kPrefixes);
  EXPECT_EQ(Repair(22), RepairOutcome::kFailed);
  EXPECT_EQ(store.FindKey(kLocalMachine, kPrefixes), nullptr);
  store.RemoveTree(kLocalMachine, kWindows);
  EXPECT_EQ(Repair(13), RepairOutcome::kNothingToDo) << "no key, no AppInit_DLLs: healthy";
}

// Without the rights to make a key under HKLM, the key stays missing and the
// item failed.
TEST_F(RepairTest, AShowAllKeyThatCannotBeMadeFailsTheItem) {
  store.RemoveTree(kLocalMachine, kShowAll);
  store.RefuseChanges(kLocalMachine, kShowAll.substr(0, kShowAll.rfind('\\')));
  EXPECT_EQ(Repair(9), RepairOutcome::kFailed);
  EXPECT_EQ(store.FindKey(kLocalMachine, kShowAll), nullptr);
}

// Malware that watches its policy and writes it back as soon as it is gone.
class RewritingStore final : public registry::RegistryStore {
 public:
  explicit RewritingStore(MemoryStore& inner) : inner_(inner) {}
  long RegOpenKeyExA(registry::HKey r, const std::string& p, std::uint32_t o, std::uint32_t a,
                     registry::HKey* k) override { return inner_.RegOpenKeyExA(r, p, o, a, k); }
  long RegQueryValueExA(registry::HKey k, const std::string& n, std::uint32_t* t, std::uint8_t* d,
                        std::uint32_t* s) override { return inner_.RegQueryValueExA(k, n, t, d, s); }
  long RegSetValueExA(registry::HKey k, const std::string& n, std::uint32_t r, std::uint32_t t,
                      const std::uint8_t* d, std::uint32_t s) override { return inner_.RegSetValueExA(k, n, r, t, d, s); }
  long RegDeleteValueA(registry::HKey k, const std::string& n) override {
    const long rc = inner_.RegDeleteValueA(k, n);
    inner_.PutDword(kCurrentUser, kExplorer, "NoRun", 1);
    return rc;
  }
  long RegEnumValueA(registry::HKey k, std::uint32_t i, char* n, std::uint32_t c) override {
    return inner_.RegEnumValueA(k, i, n, c);
  }
  long RegEnumKeyA(registry::HKey k, std::uint32_t i, char* n, std::uint32_t c) override {
    return inner_.RegEnumKeyA(k, i, n, c);
  }
  long RegDeleteKeyA(registry::HKey k, const std::string& s) override { return inner_.RegDeleteKeyA(k, s); }
  long RegCloseKey(registry::HKey k) override { return inner_.RegCloseKey(k); }
  long RegQueryKeyIsLink(registry::HKey k, bool* link) override { return inner_.RegQueryKeyIsLink(k, link); }

 private:
  MemoryStore& inner_;
};

TEST_F(RepairTest, ADamageWrittenBackAtOnceIsAFailureNotARepair) {
  store.PutDword(kCurrentUser, kExplorer, "NoRun", 1);
  RewritingStore watched(store);
  EXPECT_EQ(repair::RepairEngine(watched).ApplyRepair(4), RepairOutcome::kFailed);
  EXPECT_EQ(store.open_handles(), 0u);
}

}  // namespace
}  // namespace torvane::testing
