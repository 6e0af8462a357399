// The portable decisions behind the live profile walk: which HKEY_USERS and
// ProfileList names are users, how each profile is reached, what a
// ProfileList entry that is wrong becomes, when --live means every profile,
// and the store that shows one profile's hive as the current user's.
#include <gtest/gtest.h>

#include "cli/options.h"
#include "cli/profile_plan.h"
#include "registry/memory_store.h"
#include "registry/reg_file.h"
#include "registry/user_root_store.h"
#include "repair/engine.h"
#include "support/fixtures.h"

namespace torvane::cli {
namespace {

using registry::kCurrentUser;
using registry::kLocalMachine;

TEST(ProfilePlanTest, OnlyUserAccountsAreProfiles) {
  for (const char* sid : {"S-1-5-21-1004336348-1177238915-682003330-1001", "S-1-12-1-3523421432-1127085402-1", "S-1-5-21-0-0-0-1000"}) {
    EXPECT_TRUE(IsUserSid(sid)) << sid;
  }
  for (const char* name : {".DEFAULT", "S-1-5-18", "S-1-5-19", "S-1-5-20", "S-1-5-21-1-2-3-1001_Classes",
                           "S-1-5-21-1-2-3-1001.bak", "S-1-5-21-", "S-1-5-21--1", "S-1-5-21-1-", "s-1-5-21-1-2",
                           "S-1-5-21-12345678901", "S-1-5-21-1\\..\\x", "torvane.exe pid=12 start=0 S-1-5-21-1-2-3", ""}) {
    EXPECT_FALSE(IsUserSid(name)) << name;
  }
}

TEST(ProfilePlanTest, LoadedHivesAreUsedAndSignedOutOnesMountedEachSidOnce) {
  const std::vector<std::string> loaded = {".DEFAULT", "S-1-5-18", "S-1-5-21-1-2-3-1001", "S-1-5-21-1-2-3-1001_Classes"};
  const std::vector<ListedProfile> listed = {
      {"S-1-5-18", std::string("C:\\Windows\\system32\\config\\systemprofile")},
      {"S-1-5-21-1-2-3-1001", std::string("C:\\Users\\zoe")},  // loaded and listed: used as loaded
      {"S-1-5-21-1-2-3-1002", std::string("C:\\Users\\adam\\")},
      {"S-1-5-21-1-2-3-1002.bak", std::string("C:\\Users\\adam.bak")},
  };
  const auto plan = PlanProfiles(loaded, listed);
  ASSERT_EQ(plan.size(), 2u);
  EXPECT_EQ(plan[0].sid, "S-1-5-21-1-2-3-1002");
  EXPECT_EQ(plan[0].name, "adam");
  EXPECT_FALSE(plan[0].loaded);
  EXPECT_EQ(plan[0].hive, "C:\\Users\\adam\\NTUSER.DAT");
  EXPECT_EQ(plan[1].sid, "S-1-5-21-1-2-3-1001");
  EXPECT_EQ(plan[1].name, "zoe");
  EXPECT_TRUE(plan[1].loaded);
  EXPECT_TRUE(plan[1].hive.empty()) << "a loaded profile's file is never mounted a second time";
  EXPECT_TRUE(plan[1].problem.empty());
}

TEST(ProfilePlanTest, AnEntryThatNamesNoUsableFolderIsAProblemNotAGuess) {
  const std::vector<ListedProfile> listed = {
      {"S-1-5-21-9-9-9-1001", std::nullopt},
      {"S-1-5-21-9-9-9-1002", std::string()},
      {"S-1-5-21-9-9-9-1003", std::string("\\\\attacker\\share\\u")},
      {"S-1-5-21-9-9-9-1004", std::string("Users\\relative")},
  };
  const auto plan = PlanProfiles({}, listed);
  ASSERT_EQ(plan.size(), 4u);
  for (const auto& profile : plan) {
    EXPECT_TRUE(profile.hive.empty()) << profile.sid;
    EXPECT_FALSE(profile.problem.empty()) << profile.sid;
  }
  auto of = [&](const std::string& sid) {
    for (const auto& profile : plan) {
      if (profile.sid == sid) return profile;
    }
    return PlannedProfile{};
  };
  EXPECT_EQ(of("S-1-5-21-9-9-9-1001").problem, "its ProfileList entry has no ProfileImagePath");
  EXPECT_EQ(of("S-1-5-21-9-9-9-1001").name, "S-1-5-21-9-9-9-1001") << "named by its SID when no folder names it";
  EXPECT_EQ(of("S-1-5-21-9-9-9-1002").problem, "its ProfileList entry has an empty ProfileImagePath");
  EXPECT_NE(of("S-1-5-21-9-9-9-1003").problem.find("not a folder on a local drive"), std::string::npos);
  EXPECT_NE(of("S-1-5-21-9-9-9-1004").problem.find("not a folder on a local drive"), std::string::npos);
}

TEST(ProfilePlanTest, OneUserIsChosenBySidOrFolderInAnyCase) {
  const std::vector<ListedProfile> listed = {{"S-1-5-21-1-2-3-1001", std::string("C:\\Users\\Zoe")},
                                             {"S-1-5-21-1-2-3-1002", std::string("C:\\Users\\adam")}};
  auto by_name = PlanProfiles({}, listed, "zoe");
  ASSERT_EQ(by_name.size(), 1u);
  EXPECT_EQ(by_name[0].sid, "S-1-5-21-1-2-3-1001");
  auto by_sid = PlanProfiles({"S-1-5-21-1-2-3-1002"}, listed, "s-1-5-21-1-2-3-1002");
  ASSERT_EQ(by_sid.size(), 1u);
  EXPECT_EQ(by_sid[0].name, "adam");
  EXPECT_TRUE(PlanProfiles({}, listed, "nobody").empty());
}

Options Parsed(std::vector<std::string> args) { return ParseArguments(args); }

TEST(LiveScopeTest, UnderLocalSystemLiveAloneMeansEveryProfile) {
  EXPECT_EQ(LiveScopeOf(Parsed({"scan", "--live"}), true), LiveScope::kAllUsers);
  EXPECT_EQ(LiveScopeOf(Parsed({"scan", "--live"}), false), LiveScope::kOwnUser);
  EXPECT_EQ(LiveScopeOf(Parsed({"scan"}), true), LiveScope::kAllUsers) << "the default source of the Windows build";
  EXPECT_EQ(LiveScopeOf(Parsed({"repair", "--live", "--all-users", "--all"}), false), LiveScope::kAllUsers);
  EXPECT_EQ(LiveScopeOf(Parsed({"repair", "--user", "bob", "0"}), true), LiveScope::kOneUser)
      << "a named profile wins over the LocalSystem default";
  EXPECT_EQ(LiveScopeOf(Parsed({"scan", "--user", "S-1-5-21-1-2-3-1001"}), false), LiveScope::kOneUser);
}

TEST(LiveScopeTest, ProfileChoicesBelongToTheLiveRegistryOnly) {
  const Options implied = Parsed({"scan", "--all-users"});
  EXPECT_EQ(implied.source, SourceKind::kLive);
  EXPECT_EQ(Parsed({"scan", "--user", "bob"}).user, "bob");
  EXPECT_THROW(Parsed({"scan", "--demo", "--all-users"}), UsageError);
  EXPECT_THROW(Parsed({"scan", "--windows", "/mnt", "--user", "bob"}), UsageError);
  EXPECT_THROW(Parsed({"scan", "--all-users", "--user", "bob"}), UsageError);
  EXPECT_THROW(Parsed({"scan", "--user"}), UsageError);
  EXPECT_THROW(Parsed({"scan", "--user", "a", "--user", "b"}), UsageError);
  EXPECT_THROW(Parsed({"restore", "x.reg", "--all-users"}), UsageError);
}

// One memory registry holding two users' hives under HKCU\Users\<sid>: each
// rooted store sees its own damage only, and writes land in its own hive.
TEST(UserRootStoreTest, EachProfileSeesAndRepairsItsOwnHiveOnly) {
  registry::MemoryStore store;
  torvane::testing::PutHealthySystem(store);
  const std::string policy = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
  store.PutDword(kCurrentUser, "Users\\A\\" + policy, "DisableTaskMgr", 1);
  store.PutDword(kCurrentUser, "Users\\B\\" + policy, "DisableRegistryTools", 1);
  registry::MemoryTarget target(store);
  registry::ScopedKey a(store), b(store);
  ASSERT_EQ(a.Open(kCurrentUser, "Users\\A", registry::kKeyAllAccess), registry::kSuccess);
  ASSERT_EQ(b.Open(kCurrentUser, "Users\\B", registry::kKeyAllAccess), registry::kSuccess);
  registry::UserRootStore as_a(store, target, a.get()), as_b(store, target, b.get());

  repair::ItemBytes healthy_a{}, healthy_b{};
  repair::RepairEngine(as_a).ScanItems(healthy_a);
  repair::RepairEngine(as_b).ScanItems(healthy_b);
  EXPECT_EQ(healthy_a[0], 0);
  EXPECT_EQ(healthy_a[1], 1);
  EXPECT_EQ(healthy_b[0], 1);
  EXPECT_EQ(healthy_b[1], 0);
  EXPECT_EQ(healthy_a[10], healthy_b[10]) << "machine items read the one machine hive";

  repair::RepairEngine(as_a).ApplyRepair(0);
  EXPECT_FALSE(store.GetValue(kCurrentUser, "Users\\A\\" + policy, "DisableTaskMgr"));
  EXPECT_TRUE(store.GetValue(kCurrentUser, "Users\\B\\" + policy, "DisableRegistryTools"));
  EXPECT_FALSE(store.GetValue(kCurrentUser, policy, "DisableTaskMgr")) << "nothing written to the real HKCU";
  EXPECT_EQ(as_a.RegCloseKey(kCurrentUser), registry::kSuccess);
  EXPECT_TRUE(store.GetValue(kCurrentUser, "Users\\B\\" + policy, "DisableRegistryTools"))
      << "closing the mapped root leaves the caller's key open";
  registry::ScopedKey still(store);
  EXPECT_EQ(still.Open(a.get(), "Software", registry::kKeyRead), registry::kSuccess);
}

}  // namespace
}  // namespace torvane::cli
