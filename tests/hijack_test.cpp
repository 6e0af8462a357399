// Image hijack detection: the name alone decides, as Windows matches it; the
// repair removes the listed subkeys only, never through a link.
#include <gtest/gtest.h>

#include <functional>

#include "registry/names.h"
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
  std::string Dump(const std::string& path) {
    MemoryStore copy;
    const MemoryStore::Key* key = store.FindKey(kLocalMachine, path);
    if (key == nullptr) return "<missing>";
    registry::CopyTree(*key, copy, kLocalMachine, path);
    return copy.Dump();
  }

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

TEST_F(HijackTest, EveryListedNameIsAHijackInAnyLetterCase) {
  for (const char* tool : repair::kProtectedTools) {
    std::string name = tool;
    while (name.back() == ' ') name.pop_back();
    for (const std::string& spelt : {name, registry::FoldName(name)}) {
      MemoryStore fresh;
      PutHealthySystem(fresh);
      fresh.CreateKey(kLocalMachine, kIfeo + "\\" + spelt);
      repair::RepairEngine fresh_engine(fresh);
      EXPECT_EQ(fresh_engine.CheckImageHijack(), HijackOutcome::kHijacked) << spelt;
      EXPECT_EQ(fresh_engine.RepairImageHijack(), RepairOutcome::kRepaired) << spelt;
      EXPECT_EQ(fresh.FindKey(kLocalMachine, kIfeo + "\\" + spelt), nullptr) << spelt;
    }
  }
  EXPECT_TRUE(engine.IsProtectedTool("icesword.exe"));
  EXPECT_TRUE(engine.IsProtectedTool("ICESWORD.EXE"));
  EXPECT_TRUE(engine.IsProtectedTool("procexp.exe")) << "the list entry's trailing blank is no part of the name";
  EXPECT_TRUE(engine.IsProtectedTool("AVGRSSVC.EXE"));
  EXPECT_TRUE(engine.IsProtectedTool("avgrssvc.exe ")) << "spelt as the list spells it, blank and all";
  EXPECT_FALSE(engine.IsProtectedTool("avgrssvc.exe  ")) << "a blank the list does not have";
  EXPECT_FALSE(engine.IsProtectedTool("IceSword.exe "));
  EXPECT_FALSE(engine.IsProtectedTool("IceSword"));
  EXPECT_FALSE(engine.IsProtectedTool("\xB1\xF9Sword.exe")) << "a double-byte character is no letter";
}

TEST_F(HijackTest, NamesThatDifferInMoreThanCaseAreClean) {
  Add("notepad.exe");
  Add("icesword.exe.bak");
  Add("Rsaupd.exe  x");
  EXPECT_EQ(Check(), HijackOutcome::kClean);
  Add("rsaupd.EXE");
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

TEST_F(HijackTest, MissingOrLockedKeysDecideTheOutcome) {
  store.RemoveTree(kLocalMachine, kIfeo);
  EXPECT_EQ(Check(), HijackOutcome::kClean) << "no hijack key, parent readable";
  store.SetAdministrator(false);
  EXPECT_EQ(Check(), HijackOutcome::kClean) << "no hijack key, parent readable without rights";
  store.SetAdministrator(true);
  Add("IceSword.exe");
  store.DenyFullAccess(kLocalMachine, kIfeo);
  EXPECT_EQ(Check(), HijackOutcome::kHijacked) << "locked against change, not against reading";
  EXPECT_EQ(engine.ApplyRepair(3), RepairOutcome::kFailed);
  EXPECT_EQ(store.open_handles(), 0u);
  EXPECT_TRUE(Has("IceSword.exe"));
  store.SetAdministrator(false);
  EXPECT_EQ(Check(), HijackOutcome::kHijacked) << "without rights";
  EXPECT_EQ(Repair(), RepairOutcome::kFailed);
  store.DenyAccess(kLocalMachine, kIfeo);
  EXPECT_EQ(Check(), HijackOutcome::kUndetermined) << "not even reading";
  EXPECT_EQ(engine.ApplyRepair(3), RepairOutcome::kFailed) << "a place that cannot be read is not repaired";
  EXPECT_TRUE(Has("IceSword.exe"));
}

TEST_F(HijackTest, ALockedListedSubkeyFailsTheRepair) {
  Add("IceSword.exe\\Inner");
  store.DenyAccess(kLocalMachine, kIfeo + "\\IceSword.exe");
  Add("avp.exe");
  EXPECT_EQ(Check(), HijackOutcome::kHijacked);
  EXPECT_EQ(Repair(), RepairOutcome::kFailed);
  EXPECT_TRUE(Has("IceSword.exe\\Inner"));
  EXPECT_FALSE(Has("avp.exe"));
}

TEST_F(HijackTest, AnUndeterminedCheckIsNeverHealthyAndNamesTheKey) {
  Add("IceSword.exe");
  store.DenyAccess(kLocalMachine, kIfeo);
  store.DenyAccess(kLocalMachine, kCurrentVersion);
  repair::ItemBytes healthy, undetermined{};
  healthy.fill(1);
  engine.ScanItems(healthy, &undetermined);
  EXPECT_EQ(healthy[3], 0);
  EXPECT_EQ(undetermined[3], 1);
  EXPECT_EQ(engine.Unread(3), "HKEY_LOCAL_MACHINE\\" + kIfeo + ": access denied");
  EXPECT_EQ(undetermined[0], 0);
  EXPECT_EQ(engine.Unread(0), "");
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

// Exploit-protection settings in a listed tool's subkey protect it: a
// subkey holding only them is no hijack and stays; anything else in it goes,
// and the subkey goes only when nothing is left.
TEST_F(HijackTest, ProtectionSettingsInAListedSubkeyStayAndOnlyTheRestGoes) {
  const std::string tool = kIfeo + "\\IceSword.exe";
  struct Case {
    const char* what;
    std::function<void()> plant;
    HijackOutcome before;
    bool key_stays;
    std::vector<std::string> kept, gone;  // values of the tool's key ("Sub\\Name" for a subkey's)
  };
  const auto dword = [&](const std::string& path, const char* name) { store.PutDword(kLocalMachine, tool + path, name, 1); };
  const auto text = [&](const std::string& path, const char* name, const char* data) {
    store.PutString(kLocalMachine, tool + path, name, data);
  };
  const Case kCases[] = {
      {"mitigation options only", [&] { dword("", "MitigationOptions"); }, HijackOutcome::kClean, true,
       {"MitigationOptions"}, {}},
      {"every protection setting, with filters", [&] {
         dword("", "MitigationAuditOptions");
         text("", "EAFModules", "a.dll");
         dword("", "UseFilter");
         text("\\0", "FilterFullPath", "C:\\Tools\\IceSword.exe");
         dword("\\0", "MitigationOptions");
       }, HijackOutcome::kClean, true, {"MitigationAuditOptions", "EAFModules", "UseFilter", "0\\FilterFullPath"}, {}},
      {"a debugger beside mitigation options", [&] {
         dword("", "MitigationOptions");
         text("", "Debugger", "svch0st.exe");
       }, HijackOutcome::kHijacked, true, {"MitigationOptions"}, {"Debugger"}},
      {"a global flag and a verifier beside them", [&] {
         dword("", "MitigationOptions");
         dword("", "GlobalFlag");
         text("", "VerifierDlls", "evil.dll");
       }, HijackOutcome::kHijacked, true, {"MitigationOptions"}, {"GlobalFlag", "VerifierDlls"}},
      {"a debugger in a filter subkey", [&] {
         dword("", "UseFilter");
         text("\\0", "FilterFullPath", "C:\\IceSword.exe");
         text("\\0", "Debugger", "svch0st.exe");
       }, HijackOutcome::kHijacked, true, {"UseFilter", "0\\FilterFullPath"}, {"0\\Debugger"}},
      {"a subkey of another kind", [&] {
         dword("", "MitigationOptions");
         text("\\Other", "Payload", "x");
       }, HijackOutcome::kHijacked, true, {"MitigationOptions"}, {"Other\\Payload"}},
      {"a value of the longest name Windows allows beside them", [&] {
         dword("", "MitigationOptions");
         store.PutString(kLocalMachine, tool, std::string(16383, 'L'), "x");
       }, HijackOutcome::kHijacked, true, {"MitigationOptions"}, {std::string(16383, 'L')}},
      {"a debugger alone", [&] { text("", "Debugger", "svch0st.exe"); }, HijackOutcome::kHijacked, false, {},
       {"Debugger"}},
      {"an empty subkey", [&] { Add("IceSword.exe"); }, HijackOutcome::kHijacked, false, {}, {}},
  };
  for (const Case& c : kCases) {
    store = MemoryStore();
    PutHealthySystem(store);
    c.plant();
    EXPECT_EQ(Check(), c.before) << c.what;
    EXPECT_EQ(Repair(), c.before == HijackOutcome::kClean ? RepairOutcome::kNothingToDo : RepairOutcome::kRepaired)
        << c.what;
    EXPECT_EQ(Has("IceSword.exe"), c.key_stays) << c.what;
    const auto value = [&](const std::string& name) {
      const std::size_t slash = name.rfind('\\');
      return slash == std::string::npos ? store.GetValue(kLocalMachine, tool, name)
                                        : store.GetValue(kLocalMachine, tool + "\\" + name.substr(0, slash),
                                                         name.substr(slash + 1));
    };
    for (const std::string& name : c.kept) EXPECT_TRUE(value(name)) << c.what << ": " << name;
    for (const std::string& name : c.gone) EXPECT_FALSE(value(name)) << c.what << ": " << name;
    EXPECT_EQ(Check(), HijackOutcome::kClean) << c.what;
  }
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

const std::string kVictim = "SOFTWARE\\VictimTree";

TEST_F(HijackTest, AListedLinkIsRemovedAsALinkAndItsTargetStays) {
  store.PutString(kLocalMachine, kVictim + "\\Child", "Data", "keep me");
  store.CreateLink(kLocalMachine, kIfeo + "\\IceSword.exe", kLocalMachine, kVictim);
  const std::string victim = Dump(kVictim);
  EXPECT_EQ(Check(), HijackOutcome::kHijacked);
  EXPECT_EQ(Repair(), RepairOutcome::kRepaired);
  EXPECT_FALSE(Has("IceSword.exe"));
  EXPECT_EQ(Dump(kVictim), victim);
  EXPECT_EQ(Check(), HijackOutcome::kClean);
}

TEST_F(HijackTest, ALinkBackToTheImageOptionsKeyRemovesNothingElse) {
  Add("notepad.exe");
  store.PutDword(kLocalMachine, kIfeo + "\\winword.exe", "DisableHeapLookaside", 1);
  // A listed subkey whose child leads back, and a listed link that does.
  Add("avp.exe");
  store.CreateLink(kLocalMachine, kIfeo + "\\avp.exe\\Back", kLocalMachine, kIfeo);
  store.CreateLink(kLocalMachine, kIfeo + "\\KAV32.exe", kLocalMachine, kIfeo);
  EXPECT_EQ(Repair(), RepairOutcome::kRepaired);
  EXPECT_FALSE(Has("avp.exe"));
  EXPECT_FALSE(Has("KAV32.exe"));
  EXPECT_TRUE(Has("notepad.exe"));
  EXPECT_TRUE(store.GetValue(kLocalMachine, kIfeo + "\\winword.exe", "DisableHeapLookaside"));
}

TEST_F(HijackTest, AnImageOptionsKeyThatIsALinkIsNotRepairedThrough) {
  store.RemoveTree(kLocalMachine, kIfeo);
  store.CreateKey(kLocalMachine, kVictim + "\\IceSword.exe\\Precious");
  store.CreateKey(kLocalMachine, kVictim + "\\notepad.exe");
  store.CreateLink(kLocalMachine, kIfeo, kLocalMachine, kVictim);
  const std::string before = store.Dump();
  EXPECT_EQ(Check(), HijackOutcome::kHijacked) << "Windows looks programs up through it";
  EXPECT_EQ(Repair(), RepairOutcome::kFailed);
  EXPECT_EQ(store.Dump(), before);
}

TEST_F(HijackTest, LinksThatGoRoundEndTheCheckAndTheRepair) {
  store.CreateLink(kLocalMachine, kIfeo + "\\IceSword.exe", kLocalMachine, kIfeo + "\\IceSword.exe");
  store.CreateLink(kLocalMachine, kIfeo + "\\avp.exe", kLocalMachine, kIfeo + "\\kvol.exe");
  store.CreateLink(kLocalMachine, kIfeo + "\\kvol.exe", kLocalMachine, kIfeo + "\\avp.exe");
  EXPECT_EQ(Check(), HijackOutcome::kHijacked);
  EXPECT_EQ(Repair(), RepairOutcome::kRepaired);
  EXPECT_EQ(Check(), HijackOutcome::kClean);
}

TEST_F(HijackTest, AChildNameTheCodePageCannotSpellStopsTheRepairAndItEnds) {
  // Windows lists a name outside GBK with '?' for what it cannot spell, and
  // that name opens nothing; "a?" itself may even exist.
  Add("IceSword.exe\\a\xE2\x98\x83");
  store.ListAs(kLocalMachine, kIfeo + "\\IceSword.exe\\a\xE2\x98\x83", "a?");
  Add("avp.exe\\b\xE2\x98\x83");
  store.ListAs(kLocalMachine, kIfeo + "\\avp.exe\\b\xE2\x98\x83", "b?");
  Add("avp.exe\\b?");
  EXPECT_EQ(Repair(), RepairOutcome::kFailed);
  EXPECT_TRUE(Has("IceSword.exe\\a\xE2\x98\x83"));
  EXPECT_TRUE(Has("avp.exe\\b\xE2\x98\x83"));
  EXPECT_EQ(Check(), HijackOutcome::kHijacked);
}

}  // namespace
}  // namespace torvane::testing
