// Both registry views of a 64-bit Windows: every machine item is damaged in
// the 32-bit view only, in the 64-bit view only and in both, and is found,
// mended in exactly the damaged views and reported once, on the memory store
// and on an offline SOFTWARE hive with a Wow6432Node branch.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "registry/change_stores.h"
#include "registry/hive_store.h"
#include "registry/reg_file.h"
#include "registry/view_path.h"
#include "repair/engine.h"
#include "repair/run.h"
#include "repair/value_read.h"
#include "support/fixtures.h"
#include "support/hive_builder.h"

namespace torvane {
namespace {

using registry::HiveFile;
using registry::HiveStore;
using registry::HKey;
using registry::kCurrentUser;
using registry::kLocalMachine;
using registry::MemoryStore;
using registry::RegistryStore;
using registry::RegTarget;
using registry::kView32;
using repair::ItemViews;
using repair::RepairEngine;
using repair::RepairOutcome;
using repair::ViewState;
using namespace torvane::testing;

const std::string kWindowsUpdate = "SOFTWARE\\Policies\\Microsoft\\Windows\\WindowsUpdate\\AU";

constexpr ViewState kH = ViewState::kHealthy;
constexpr ViewState kD = ViewState::kDamaged;

// Where `path` of HKLM lies in the given view.
std::string In(bool view32, const std::string& path) {
  return view32 ? registry::ViewPath(kLocalMachine, path, kView32) : path;
}

// The damage malware leaves at an item's machine place, in one view.
void Damage(MemoryStore& store, int index, bool view32) {
  switch (index) {
    case 3:
      store.PutString(kLocalMachine, In(view32, kIfeo + "\\avp.exe"), "Debugger", "svch0st.exe");
      break;
    case 5:
      store.PutDword(kLocalMachine, In(view32, kExplorer), "NoViewContextMenu", 1);
      break;
    case 8:
      store.PutDword(kLocalMachine, In(view32, kSystem), "NoAutoUpdate", 1);
      // and where Windows reads the policy
      store.PutDword(kLocalMachine, In(view32, kWindowsUpdate), "NoAutoUpdate", 1);
      break;
    case 9:
      store.PutDword(kLocalMachine, In(view32, kShowAll), "CheckedValue", 0);
      break;
    case 10:
      store.PutString(kLocalMachine, In(view32, kWinlogon), "Userinit", "C:\\WINDOWS\\system32\\userinit.exe,evil.exe");
      break;
    case 12:
      store.PutString(kLocalMachine, In(view32, kWinlogon), "Shell", "Explorer.exe evil.exe");
      break;
    case 13:
      store.PutString(kLocalMachine, In(view32, kWindows), "AppInit_DLLs", "C:\\evil.dll");
      break;
    case 21:
      store.PutString(kLocalMachine, In(view32, kDefaultPrefix), "", "http://evil.example/?");
      break;
    case 22:
      store.PutString(kLocalMachine, In(view32, kPrefixes), "www", "http://evil.example/?");
      break;
    default:
      FAIL() << "item " << index << " has no machine place";
  }
}

constexpr int kMachineItems[] = {3, 5, 8, 9, 10, 12, 13, 21, 22};

// A stock 64-bit system: the 64-bit places and a healthy copy of them in the
// 32-bit view.
void PutHealthyBothViews(MemoryStore& store) {
  PutHealthySystem(store);
  MemoryStore copy;
  PutHealthySystem(copy);
  for (const char* branch : {"SOFTWARE\\Microsoft", "SOFTWARE\\Policies"}) {
    if (const auto* key = copy.FindKey(kLocalMachine, branch)) CopyTree(*key, store, kLocalMachine, In(true, branch));
  }
  // Where Windows reads the update policy: present, and empty.
  for (bool view32 : {false, true}) store.CreateKey(kLocalMachine, In(view32, kWindowsUpdate));
}

// Every key and value below a root, as text, through the operations and the
// value list a restore target gives.
void DumpKey(RegistryStore& store, RegTarget& target, HKey root, const std::string& path, std::string& out) {
  out += path + "\n";
  if (auto values = target.ListValues(root, path)) {
    for (const auto& value : *values) {
      out += "  " + value.name + " " + std::to_string(value.type) + " " +
             std::string(value.data.begin(), value.data.end()) + "\n";
    }
  }
  registry::ScopedKey key(store);
  if (key.Open(root, path, registry::kKeyRead) != registry::kSuccess) return;
  char name[600];
  std::vector<std::string> children;
  for (std::uint32_t i = 0; store.RegEnumKeyA(key.get(), i, name, sizeof name) == registry::kSuccess; ++i) {
    children.emplace_back(name);
  }
  for (const auto& child : children) DumpKey(store, target, root, path + "\\" + child, out);
}

std::string DumpSoftware(RegistryStore& store, RegTarget& target) {
  std::string out;
  DumpKey(store, target, kLocalMachine, "SOFTWARE", out);
  return out;
}

// One registry with the damage placed, over the memory store or a hive.
struct Registry {
  virtual ~Registry() = default;
  virtual RegistryStore& store() = 0;
  virtual RegTarget& target() = 0;
};

struct MemoryRegistry : Registry {
  explicit MemoryRegistry(const MemoryStore& source) : memory(), as_target(memory) {
    CopyTree(*source.FindKey(kLocalMachine, "SOFTWARE"), memory, kLocalMachine, "SOFTWARE");
    CopyTree(source.Root(kCurrentUser), memory, kCurrentUser, "");
  }
  RegistryStore& store() override { return memory; }
  RegTarget& target() override { return as_target; }
  MemoryStore memory;
  registry::MemoryTarget as_target;
};

struct HiveRegistry : Registry {
  HiveRegistry(const MemoryStore& source, const std::string& dir)
      : software_path(dir + "/SOFTWARE"), user_path(dir + "/NTUSER.DAT") {
    WriteHive(software_path, *source.FindKey(kLocalMachine, "SOFTWARE"));
    WriteHive(user_path, source.Root(kCurrentUser));
    hives = std::make_unique<HiveStore>(HiveFile::Open(software_path, true), HiveFile::Open(user_path, true));
  }
  RegistryStore& store() override { return *hives; }
  RegTarget& target() override { return *hives; }
  std::string software_path, user_path;
  std::unique_ptr<HiveStore> hives;
};

class ViewTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { dir = ScratchDirectory("views"); }
  void TearDown() override { std::filesystem::remove_all(dir); }

  std::unique_ptr<Registry> Make(const MemoryStore& source) {
    if (GetParam()) {
      const std::string where = dir + "/" + std::to_string(++made);
      std::filesystem::create_directory(where);
      return std::make_unique<HiveRegistry>(source, where);
    }
    return std::make_unique<MemoryRegistry>(source);
  }

  std::string dir;
  int made = 0;
};

std::string ViewsText(const ItemViews& views) {
  const auto letter = [](ViewState state) {
    return state == kH ? 'h' : state == kD ? 'd' : state == ViewState::kUndetermined ? 'u' : '-';
  };
  return std::string{letter(views[0]), letter(views[1])};
}

TEST_P(ViewTest, EachMachineItemDamagedInEitherOrBothViewsIsFoundMendedThereAndListedOnce) {
  MemoryStore healthy;
  PutHealthyBothViews(healthy);
  const std::string healthy_dump = [&] {
    auto clean = Make(healthy);
    return DumpSoftware(clean->store(), clean->target());
  }();
  struct Case {
    bool in64, in32;
  };
  for (int index : kMachineItems) {
    for (const Case damage : {Case{false, true}, Case{true, false}, Case{true, true}}) {
      const std::string where = "item " + std::to_string(index) + (damage.in64 ? " 64" : "") + (damage.in32 ? " 32" : "");
      MemoryStore source;
      PutHealthyBothViews(source);
      if (damage.in64) Damage(source, index, false);
      if (damage.in32) Damage(source, index, true);
      auto registry = Make(source);
      RepairEngine engine(registry->store());

      EXPECT_FALSE(engine.CheckItem(index)) << where;
      const ItemViews expected{damage.in64 ? kD : kH, damage.in32 ? kD : kH};
      EXPECT_EQ(ViewsText(engine.CheckViews(index)), ViewsText(expected)) << where;
      repair::ItemBytes scanned;
      scanned.fill(1);
      engine.ScanItems(scanned);
      EXPECT_EQ(DamagedItems(scanned), std::to_string(index)) << where;

      repair::TickState ticked{};
      ticked[index] = true;
      repair::RunFlags flags;
      repair::RunTexts texts;
      const auto message = repair::RunRepairs(engine, flags, texts, ticked);
      EXPECT_EQ(message.text, std::string(repair::kReportHeader) + repair::Item(index).name + "\r\n") << where;

      EXPECT_TRUE(engine.CheckItem(index)) << where;
      EXPECT_EQ(ViewsText(engine.CheckViews(index)), "hh") << where;
      // Each damaged view is mended, the other left as it was: the whole
      // registry is the healthy one again, byte for byte.
      EXPECT_EQ(DumpSoftware(registry->store(), registry->target()), healthy_dump) << where;
    }
  }
}

TEST_P(ViewTest, AnAbsentThirtyTwoBitBranchIsHealthyAndNeverCreated) {
  MemoryStore source;
  PutHealthySystem(source);
  auto registry = Make(source);
  RepairEngine engine(registry->store());
  for (int index : kMachineItems) {
    EXPECT_EQ(ViewsText(engine.CheckViews(index)), "hh") << index;
  }
  repair::TickState all;
  all.fill(true);
  repair::RunFlags flags;
  repair::RunTexts texts;
  EXPECT_EQ(repair::RunRepairs(engine, flags, texts, all).text, repair::kNothingRepaired);
  registry::ScopedKey branch(registry->store());
  EXPECT_EQ(branch.Open(kLocalMachine, "SOFTWARE\\Wow6432Node", registry::kKeyRead), registry::kFileNotFound);
}

TEST_P(ViewTest, AValueTheThirtyTwoBitViewLacksIsNoDamageButAWrongOneIs) {
  // A 32-bit branch with keys and no values: Windows reads the 64-bit ones.
  MemoryStore source;
  PutHealthySystem(source);
  for (const auto& key : {kWinlogon, kShowAll, kDefaultPrefix, kPrefixes, kIfeo}) source.CreateKey(kLocalMachine, In(true, key));
  source.PutString(kLocalMachine, In(true, kPrefixes), "ftp", "ftp://evil.example/");
  auto registry = Make(source);
  RepairEngine engine(registry->store());
  for (int index : {9, 10, 12, 21}) EXPECT_EQ(ViewsText(engine.CheckViews(index)), "hh") << index;
  EXPECT_EQ(ViewsText(engine.CheckViews(22)), "hd");
  EXPECT_EQ(engine.ApplyRepair(22), RepairOutcome::kRepaired);
  // Only the wrong value was written; the absent ones stay absent.
  auto values = registry->target().ListValues(kLocalMachine, In(true, kPrefixes));
  ASSERT_TRUE(values.has_value());
  ASSERT_EQ(values->size(), 1u);
  EXPECT_EQ(values->front().name, "ftp");
  registry::ScopedKey prefixes(registry->store());
  ASSERT_EQ(prefixes.Open(kLocalMachine, kPrefixes, registry::kKeyRead | kView32), registry::kSuccess);
  EXPECT_EQ(repair::TextOf(repair::ReadValue(registry->store(), prefixes.get(), "ftp", 16)), "ftp://");
}

INSTANTIATE_TEST_SUITE_P(Stores, ViewTest, ::testing::Values(false, true),
                         [](const auto& param_info) { return param_info.param ? "Hive" : "Memory"; });

// A change refused in one view: the item is listed once, as failed, even
// though the other view was mended.
TEST(ViewFailureTest, AChangeRefusedInOneViewListsTheItemOnceAsFailed) {
  for (bool refused_in_32 : {true, false}) {
    MemoryStore store;
    PutHealthyBothViews(store);
    Damage(store, 13, false);
    Damage(store, 13, true);
    store.RefuseChanges(kLocalMachine, In(refused_in_32, kWindows));
    RepairEngine engine(store);
    repair::TickState ticked{};
    ticked[13] = true;
    repair::RunFlags flags;
    repair::RunTexts texts;
    EXPECT_EQ(repair::RunRepairs(engine, flags, texts, ticked).text,
              std::string(repair::kFailedHeader) + repair::Item(13).name + "\r\n");
    // The view that took the change is mended all the same.
    EXPECT_EQ(ViewsText(engine.CheckViews(13)), refused_in_32 ? "hd" : "dh");
  }
}

// An absent 32-bit place is healthy; one that refuses to be read is not
// taken for absent: it is undetermined, and its repair fails.
TEST(ViewFailureTest, AThirtyTwoBitKeyThatRefusesReadingIsNotTakenForAnAbsentOne) {
  MemoryStore store;
  PutHealthySystem(store);
  store.PutString(kLocalMachine, In(true, kWinlogon), "Shell", "evil.exe");
  store.DenyAccess(kLocalMachine, In(true, kWinlogon));
  RepairEngine engine(store);
  EXPECT_EQ(ViewsText(engine.CheckViews(12)), "hu");
  EXPECT_EQ(engine.ApplyRepair(12), RepairOutcome::kFailed);
  EXPECT_EQ(ViewsText(engine.CheckViews(9)), "hh") << "the 32-bit Explorer branch is simply absent";
}

// A key both views share (Windows links some into both): checked twice,
// mended once, and the link stays.
TEST(ViewSharedKeyTest, ALinkedThirtyTwoBitKeyIsMendedOnceAndKeptAsALink) {
  MemoryStore store;
  PutHealthySystem(store);
  store.CreateLink(kLocalMachine, In(true, kIfeo), kLocalMachine, kIfeo);
  Damage(store, 3, false);
  RepairEngine engine(store);
  EXPECT_EQ(ViewsText(engine.CheckViews(3)), "dd");
  EXPECT_EQ(engine.ApplyRepair(3), RepairOutcome::kRepaired);
  EXPECT_EQ(ViewsText(engine.CheckViews(3)), "hh");
  const auto* link = store.FindKey(kLocalMachine, In(true, kIfeo));
  ASSERT_NE(link, nullptr);
  EXPECT_TRUE(link->link.has_value()) << "the shared key is still a link";
  EXPECT_NE(store.FindKey(kLocalMachine, kIfeo + "\\Your Image File Name Here without a path"), nullptr);
}

// The dry run holds its changes by key path: a key both views share through a
// link must be one key to it, or the 32-bit view would still show what the
// 64-bit pass removed.
TEST(ViewSharedKeyTest, TheDryRunSeesTheSharedKeyMendedInBothViews) {
  MemoryStore store;
  PutHealthySystem(store);
  store.CreateLink(kLocalMachine, In(true, kIfeo), kLocalMachine, kIfeo);
  std::vector<std::uint8_t> target;
  for (char c : "\\REGISTRY\\MACHINE\\" + kIfeo) target.insert(target.end(), {static_cast<std::uint8_t>(c), 0});
  store.PutValue(kLocalMachine, In(true, kIfeo), "SymbolicLinkValue", registry::kRegLink, target);
  Damage(store, 3, false);
  const std::string before = store.Dump();
  registry::OverlayStore overlay(store, std::make_shared<registry::OverlayState>());
  RepairEngine engine(overlay);
  EXPECT_EQ(ViewsText(engine.CheckViews(3)), "dd");
  EXPECT_EQ(engine.ApplyRepair(3), RepairOutcome::kRepaired);
  EXPECT_EQ(ViewsText(engine.CheckViews(3)), "hh");
  EXPECT_EQ(store.Dump(), before) << "a dry run changes nothing";
  EXPECT_EQ(registry::StoredViewPath(store, kLocalMachine, kIfeo + "\\avp.exe", kView32), kIfeo + "\\avp.exe");
  EXPECT_EQ(registry::StoredViewPath(store, kLocalMachine, kWinlogon, kView32), In(true, kWinlogon));
}

// The backup of a change in the 32-bit view names the key where it lies, so
// that a restore gives back that key and not its 64-bit namesake.
TEST(ViewBackupTest, ChangesInTheThirtyTwoBitViewAreNotedAtTheirWow6432NodePath) {
  MemoryStore store;
  PutHealthyBothViews(store);
  Damage(store, 12, true);
  std::vector<registry::Change> changes;
  registry::MemoryTarget target(store);
  registry::RecordingStore recorder(store, &target, [&](const registry::Change& change) { changes.push_back(change); });
  RepairEngine engine(recorder);
  EXPECT_EQ(engine.ApplyRepair(12), RepairOutcome::kRepaired);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].path, "SOFTWARE\\Wow6432Node\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon");
  ASSERT_TRUE(changes[0].old_value.has_value());
  EXPECT_EQ(std::string(changes[0].old_value->data.begin(), changes[0].old_value->data.end()),
            std::string("Explorer.exe evil.exe", 22));
}

TEST(ViewPathTest, OnlyThe32BitViewOfMachineSoftwareMovesBelowWow6432Node) {
  using registry::kView64;
  using registry::ViewPath;
  EXPECT_EQ(ViewPath(kLocalMachine, "SOFTWARE\\Microsoft", kView32), "SOFTWARE\\Wow6432Node\\Microsoft");
  EXPECT_EQ(ViewPath(kLocalMachine, "Software\\Policies", registry::kKeyRead | kView32),
            "Software\\Wow6432Node\\Policies");
  EXPECT_EQ(ViewPath(kLocalMachine, "software", kView32), "software\\Wow6432Node");
  EXPECT_EQ(ViewPath(kLocalMachine, "SOFTWARE\\wow6432node\\X", kView32), "SOFTWARE\\wow6432node\\X");
  EXPECT_EQ(ViewPath(kLocalMachine, "SOFTWARE\\Microsoft", kView64), "SOFTWARE\\Microsoft");
  EXPECT_EQ(ViewPath(kLocalMachine, "SOFTWAREX\\Microsoft", kView32), "SOFTWAREX\\Microsoft");
  EXPECT_EQ(ViewPath(kLocalMachine, "SYSTEM\\CurrentControlSet", kView32), "SYSTEM\\CurrentControlSet");
  EXPECT_EQ(ViewPath(kCurrentUser, "Software\\Microsoft", kView32), "Software\\Microsoft");
  EXPECT_EQ(ViewPath(0x1000, "Microsoft", kView32), "Microsoft") << "below an opened key the path stays";
}

}  // namespace
}  // namespace torvane
