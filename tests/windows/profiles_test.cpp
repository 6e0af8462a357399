// Every profile of a live machine under Wine: users made under HKEY_USERS
// and in ProfileList, signed-out users whose hives were saved to files, and
// the command line run in this process with --all-users and --user.
//
// Wine never writes changes made to a mounted hive back to its file (flush
// and unload drop them), so a signed-out profile's repair is checked through
// the registry while it is mounted, through the report and the backup;
// Windows writes the hive back at unload.
#include <gtest/gtest.h>
#include <windows.h>

#include <sddl.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/live_source_win32.h"
#include "registry/live_policy_win32.h"
#include "cli/options.h"
#include "cli/sources.h"
#include "registry/hive_mount_win32.h"
#include "registry/preg.h"
#include "registry/win32_store.h"
#include "repair/engine.h"
#include "support/registry_seed.h"

namespace torvane::wintest {
namespace {

using registry::EnabledPrivileges;

const std::string kProfileList = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
const std::string kSidA = "S-1-5-21-7-7-7-1101";  // signed in, item 0 damaged
const std::string kSidB = "S-1-5-21-7-7-7-1102";  // signed in, item 4 damaged
const std::string kSidC = "S-1-5-21-7-7-7-1103";  // signed out, item 1 damaged
const std::string kSidD = "S-1-5-21-7-7-7-1104";  // listed, its hive file missing
const std::string kUsers = "C:\\users\\";

struct Result {
  int code = -1;
  std::string out, err;
};

std::string Slurp(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  std::fclose(file);
  return text;
}

Result Cli(const std::vector<std::string>& args) {
  cli::Streams streams;
  streams.out = std::tmpfile();
  streams.err = std::tmpfile();
  Result result;
  try {
    result.code = cli::Run(cli::ParseArguments(args), streams);
  } catch (const cli::UsageError& error) {
    result.code = cli::kExitError;
    std::fputs(error.what(), streams.err);
  }
  result.out = Slurp(streams.out);
  result.err = Slurp(streams.err);
  return result;
}

// The names under HKEY_USERS that a run mounted.
std::vector<std::string> Mounts() {
  std::vector<std::string> mounts;
  wchar_t name[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = 256;
    if (RegEnumKeyExW(HKEY_USERS, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    std::uint32_t pid = 0;
    std::uint64_t start = 0;
    if (registry::ParseMountName(std::wstring(name, length), &pid, &start)) {
      mounts.emplace_back(name, name + length);
    }
  }
  return mounts;
}

// The JSON entry of one profile, from its "sid" to the end of its items.
std::string EntryOf(const std::string& json, const std::string& sid) {
  const auto at = json.find("\"sid\": \"" + sid + "\"");
  if (at == std::string::npos) return {};
  return json.substr(at, json.find("]}", at) - at);
}

std::string ItemState(const std::string& entry, int index) {
  const auto at = entry.find("{\"index\": " + std::to_string(index) + ", ");
  if (at == std::string::npos) return "missing";
  const auto state = entry.find("\"state\": \"", at);
  return entry.substr(state + 10, entry.find('"', state + 10) - state - 10);
}

int Count(const std::string& text, const std::string& part) {
  int count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void List(const std::string& sid, const std::string* image_path) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (kProfileList + "\\" + sid).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  if (image_path != nullptr) {
    RegSetValueExA(key, "ProfileImagePath", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(image_path->c_str()),
                   static_cast<DWORD>(image_path->size() + 1));
  }
  RegCloseKey(key);
}

void ListFolder(const std::string& sid, const std::string& folder) {
  const std::string path = "%SystemDrive%\\users\\" + folder;
  List(sid, &path);
}

// A hive file of one user whose `damage` policy value is 1.
void SaveHive(const std::string& file, const char* policy, const char* damage) {
  ASSERT_TRUE(SaveUserHive(file, [&](const std::string& seed) {
    PutDword(HKEY_USERS, seed + "\\" + policy, damage, 1);
    PutString(HKEY_USERS, seed + "\\Software\\TorvaneKeep", "Note", "keep me");
  }));
}

void SignOut(const std::string& sid, const std::string& folder, const char* policy, const char* damage) {
  CreateDirectoryA((kUsers + folder).c_str(), nullptr);
  SaveHive(kUsers + folder + "\\NTUSER.DAT", policy, damage);
  ListFolder(sid, folder);
}

// A process that has ended, as a run killed while it had a hive mounted.
std::pair<DWORD, std::uint64_t> EndedProcess() {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::string command = "cmd.exe /c exit 0";
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                      &process)) {
    return {0, 0};
  }
  WaitForSingleObject(process.hProcess, 15000);
  FILETIME created{}, exited{}, kernel{}, user{};
  GetProcessTimes(process.hProcess, &created, &exited, &kernel, &user);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return {process.dwProcessId, static_cast<std::uint64_t>(created.dwHighDateTime) << 32 | created.dwLowDateTime};
}

// HKEY_USERS\`name` made a volatile registry link to `target` (a native
// path); false when Wine refused it.
bool LinkUnderUsers(const std::wstring& name, const std::wstring& target) {
  HKEY link = nullptr;
  if (RegCreateKeyExW(HKEY_USERS, name.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK | REG_OPTION_VOLATILE,
                      KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, &link, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const LONG rc = RegSetValueExW(link, L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(target.data()),
                                 static_cast<DWORD>(target.size() * sizeof(wchar_t)));
  RegCloseKey(link);
  return rc == ERROR_SUCCESS;
}

class ProfilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Clean();
    MakeAllHealthy();
    PutDword(HKEY_USERS, kSidA + "\\" + kSystemPolicy, "DisableTaskMgr", 1);
    PutString(HKEY_USERS, kSidA + "\\Software\\TorvaneKeep", "Note", "keep me");
    PutDword(HKEY_USERS, kSidB + "\\" + kExplorerPolicy, "NoRun", 1);
    ListFolder(kSidA, "alice");
    ListFolder(kSidB, "bob");
    SignOut(kSidC, "carol", kSystemPolicy, "DisableRegistryTools");
  }
  void TearDown() override { Clean(); }

  static void Clean() {
    {
      EnabledPrivileges privileges;
      for (const std::string& mount : Mounts()) RegUnLoadKeyA(HKEY_USERS, mount.c_str());
    }
    for (const std::string& sid : {kSidA, kSidB, kSidC, kSidD}) {
      DeleteTree(HKEY_USERS, sid);
      DeleteTree(HKEY_LOCAL_MACHINE, kProfileList + "\\" + sid);
    }
    for (const char* folder : {"carol", "dave", "erin"}) {
      DeleteFileA((kUsers + folder + "\\NTUSER.DAT").c_str());
      RemoveDirectoryA((kUsers + folder).c_str());
    }
    DeleteFileA((kUsers + "profiles-backup.reg").c_str());
  }
};

TEST_F(ProfilesTest, EveryProfileIsScannedWithItsOwnDamage) {
  const Result scan = Cli({"scan", "--live", "--all-users", "--json"});
  EXPECT_EQ(scan.code, cli::kExitDamage) << scan.err;
  const std::string a = EntryOf(scan.out, kSidA), b = EntryOf(scan.out, kSidB), c = EntryOf(scan.out, kSidC);
  EXPECT_NE(scan.out.find("{\"profile\": \"alice\", \"sid\": \"" + kSidA + "\""), std::string::npos) << scan.out;
  EXPECT_NE(scan.out.find("{\"profile\": \"carol\", \"sid\": \"" + kSidC + "\""), std::string::npos) << scan.out;
  EXPECT_EQ(ItemState(a, 0), "damaged");
  EXPECT_EQ(ItemState(a, 4), "healthy");
  EXPECT_EQ(ItemState(b, 0), "healthy");
  EXPECT_EQ(ItemState(b, 4), "damaged");
  EXPECT_EQ(ItemState(c, 1), "damaged") << "the signed-out profile's own hive was read";
  EXPECT_EQ(ItemState(c, 0), "healthy");
  EXPECT_EQ(ItemState(a, 10), "healthy") << "machine items: one machine";
  EXPECT_TRUE(Mounts().empty()) << "the signed-out hive was unloaded";
  EXPECT_EQ(Count(scan.out, "\"sid\": \"" + kSidA + "\""), 1) << "loaded and listed, examined once";

  const Result one = Cli({"scan", "--user", "BOB", "--json"});
  EXPECT_EQ(one.code, cli::kExitDamage);
  EXPECT_EQ(Count(one.out, "\"sid\": "), 1) << one.out;
  EXPECT_EQ(ItemState(EntryOf(one.out, kSidB), 4), "damaged");
  const Result by_sid = Cli({"scan", "--user", kSidC, "--json"});
  EXPECT_EQ(Count(by_sid.out, "\"sid\": "), 1) << by_sid.out;
  EXPECT_EQ(ItemState(EntryOf(by_sid.out, kSidC), 1), "damaged");
  const Result nobody = Cli({"scan", "--user", "nobody"});
  EXPECT_EQ(nobody.code, cli::kExitError);
  EXPECT_NE(nobody.err.find("--user nobody: no profile of that name or SID"), std::string::npos) << nobody.err;
}

TEST_F(ProfilesTest, RepairMendsEachProfileAndNoOther) {
  const Result only_a = Cli({"repair", "--user", "alice", "--all", "--json"});
  EXPECT_EQ(only_a.code, cli::kExitOk) << only_a.err;
  EXPECT_FALSE(ReadValue(HKEY_USERS, kSidA + "\\" + kSystemPolicy, "DisableTaskMgr"));
  EXPECT_TRUE(ReadValue(HKEY_USERS, kSidB + "\\" + kExplorerPolicy, "NoRun")) << "--user leaves the others alone";

  PutDword(HKEY_USERS, kSidA + "\\" + kSystemPolicy, "DisableTaskMgr", 1);
  // Each profile's keys are named where they are, never as HKEY_CURRENT_USER.
  const Result dry = Cli({"repair", "--all-users", "--all", "--dry-run"});
  EXPECT_EQ(dry.code, cli::kExitOk) << dry.err;
  EXPECT_NE(dry.out.find("delete HKEY_USERS\\" + kSidA + "\\" + kSystemPolicy + " \"DisableTaskMgr\""),
            std::string::npos) << dry.out;
  EXPECT_EQ(dry.out.find("HKEY_CURRENT_USER"), std::string::npos) << dry.out;
  const Result all = Cli({"repair", "--all-users", "--all", "--json"});
  EXPECT_EQ(all.code, cli::kExitOk) << all.err;
  EXPECT_FALSE(ReadValue(HKEY_USERS, kSidA + "\\" + kSystemPolicy, "DisableTaskMgr"));
  EXPECT_FALSE(ReadValue(HKEY_USERS, kSidB + "\\" + kExplorerPolicy, "NoRun"));
  EXPECT_FALSE(KeyExists(HKEY_USERS, kSidA + "\\" + kExplorerPolicy)) << "nothing made in a profile without damage";
  EXPECT_FALSE(ReadValue(HKEY_USERS, kSidB + "\\" + kSystemPolicy, "DisableTaskMgr"));
  EXPECT_EQ(ReadValue(HKEY_USERS, kSidA + "\\Software\\TorvaneKeep", "Note"), std::string("keep me", 8));
  EXPECT_NE(all.out.find("\"repaired\": [{\"profile\": \"alice\", \"index\": 0, "), std::string::npos) << all.out;
  EXPECT_NE(all.out.find("{\"profile\": \"bob\", \"index\": 4, "), std::string::npos) << all.out;
  EXPECT_NE(all.out.find("{\"profile\": \"carol\", \"index\": 1, "), std::string::npos) << all.out;
  EXPECT_TRUE(Mounts().empty());
}

// Through the source the commands use, while the hive is mounted.
TEST_F(ProfilesTest, ASignedOutHiveIsMountedUnderTheProcessNameRepairedThereAndUnloaded) {
  cli::Options options = cli::ParseArguments({"repair", "--user", "carol", "--all"});
  auto source = cli::OpenSource(options, true);
  ASSERT_EQ(source->profiles().size(), 1u);
  cli::Profile& carol = source->profiles()[0];
  ASSERT_TRUE(carol.has_user) << carol.user_problem;
  const std::vector<std::string> mounts = Mounts();
  ASSERT_EQ(mounts.size(), 1u);
  const std::wstring expected = registry::MountName(registry::OwnProcessId(), registry::OwnProcessStart(),
                                                    std::wstring(kSidC.begin(), kSidC.end()));
  EXPECT_EQ(mounts[0], std::string(expected.begin(), expected.end()));
  EXPECT_EQ(mounts[0].rfind("torvane.exe pid=" + std::to_string(GetCurrentProcessId()) + " start=", 0), 0u);
  ASSERT_TRUE(ReadValue(HKEY_USERS, mounts[0] + "\\" + kSystemPolicy, "DisableRegistryTools"));

  repair::RepairEngine engine(*carol.store, carol.system_directory);
  EXPECT_EQ(engine.ApplyRepair(1), repair::RepairOutcome::kRepaired);
  EXPECT_FALSE(ReadValue(HKEY_USERS, mounts[0] + "\\" + kSystemPolicy, "DisableRegistryTools"));
  EXPECT_EQ(ReadValue(HKEY_USERS, mounts[0] + "\\Software\\TorvaneKeep", "Note"), std::string("keep me", 8));
  EXPECT_FALSE(ReadValue(HKEY_CURRENT_USER, kSystemPolicy, "DisableRegistryTools"));
  source.reset();
  EXPECT_TRUE(Mounts().empty());
}

TEST_F(ProfilesTest, AFailedRunUnloadsWhatItMounted) {
  // The backup cannot be written: the run stops after mounting.
  const Result refused = Cli({"repair", "--all-users", "--all", "--backup", "C:\\no\\such\\folder\\b.reg"});
  EXPECT_EQ(refused.code, cli::kExitError);
  EXPECT_NE(refused.err.find("backup"), std::string::npos) << refused.err;
  EXPECT_TRUE(Mounts().empty());
  EXPECT_TRUE(ReadValue(HKEY_USERS, kSidA + "\\" + kSystemPolicy, "DisableTaskMgr")) << "nothing was changed";

  // An exception in the middle of the work.
  try {
    auto source = cli::OpenSource(cli::ParseArguments({"scan", "--all-users"}), true);
    ASSERT_FALSE(Mounts().empty());
    throw std::runtime_error("injected");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(Mounts().empty());
}

TEST_F(ProfilesTest, AMountLeftByAKilledRunGoesAtTheNextStartAndARunningCopysStays) {
  EnabledPrivileges privileges;
  ASSERT_TRUE(privileges.enabled()) << privileges.problem();
  const auto [pid, start] = EndedProcess();
  ASSERT_NE(pid, 0u);
  const std::wstring wide_c(kSidC.begin(), kSidC.end());
  const std::wstring stale = registry::MountName(pid, start, wide_c);
  ASSERT_EQ(RegLoadKeyW(HKEY_USERS, stale.c_str(), L"C:\\users\\carol\\NTUSER.DAT"), ERROR_SUCCESS);
  ASSERT_TRUE(registry::NoteMount(stale, L"C:\\users\\carol\\NTUSER.DAT")) << "as the killed run did";
  // A copy still running: this process, with another user's hive.
  CreateDirectoryA((kUsers + "erin").c_str(), nullptr);
  SaveHive(kUsers + "erin\\NTUSER.DAT", kSystemPolicy, "DisableCMD");
  const std::wstring running = registry::MountName(registry::OwnProcessId(), registry::OwnProcessStart(), L"S-1-5-21-7-7-7-1199");
  ASSERT_EQ(RegLoadKeyW(HKEY_USERS, running.c_str(), L"C:\\users\\erin\\NTUSER.DAT"), ERROR_SUCCESS);

  const Result scan = Cli({"scan", "--all-users", "--json"});
  EXPECT_EQ(ItemState(EntryOf(scan.out, kSidC), 1), "damaged") << "carol's hive was free to mount again: " << scan.err;
  const std::vector<std::string> left = Mounts();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0], std::string(running.begin(), running.end()));
  EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, running.c_str()), ERROR_SUCCESS);
}

TEST_F(ProfilesTest, TheSweepNeverFollowsALinkNamedLikeAStaleMountNorDeletesWhatItPointsAt) {
  EnabledPrivileges privileges;
  ASSERT_TRUE(privileges.enabled()) << privileges.problem();
  const auto [pid, start] = EndedProcess();
  ASSERT_NE(pid, 0u);
  const std::string victim = "SOFTWARE\\TorvaneSweepVictim";
  PutString(HKEY_LOCAL_MACHINE, victim + "\\Child", "Data", "keep me");
  const std::wstring crafted = registry::MountName(pid, start, L"S-1-5-21-7-7-7-1300");
  ASSERT_TRUE(LinkUnderUsers(crafted, L"\\Registry\\Machine\\SOFTWARE\\TorvaneSweepVictim"));

  const Result scan = Cli({"scan", "--all-users", "--json"});
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, victim + "\\Child", "Data"), std::string("keep me", 8)) << scan.err;

  // The sweep skipped the link; it goes here, as a link.
  HKEY crafted_key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, crafted.c_str(), REG_OPTION_OPEN_LINK, DELETE, &crafted_key), ERROR_SUCCESS)
      << "the sweep removed the link";
  EXPECT_EQ(registry::DeleteKeyByHandle(crafted_key), ERROR_SUCCESS);
  RegCloseKey(crafted_key);
  DeleteTree(HKEY_LOCAL_MACHINE, victim);

  // A plain tree merely named like a mount: Wine would unload it by deleting
  // it. No run of this tool noted it, so it stays whole.
  const std::wstring plain = registry::MountName(pid, start, L"S-1-5-21-7-7-7-1301");
  const std::string plain_name(plain.begin(), plain.end());
  PutString(HKEY_USERS, plain_name + "\\Child", "Data", "keep me");
  const Result again = Cli({"scan", "--all-users", "--json"});
  EXPECT_EQ(ReadValue(HKEY_USERS, plain_name + "\\Child", "Data"), std::string("keep me", 8)) << again.err;
  DeleteTree(HKEY_USERS, plain_name);
}

// Only a policy file no one but the system, the administrators and
// TrustedInstaller could have written is evidence of policy.
TEST(PolicyFileOwnerTest, OnlyAFileNoStandardUserCouldWriteIsEvidence) {
  struct Case {
    const wchar_t* sddl;
    const char* forgeable_by;  // what the reason names; empty: evidence
    // As a folder of backups: what the reason names; null: as for a file.
    const char* folder_forgeable_by = nullptr;
  };
  const Case kCases[] = {
      // The backup folder as the dialog makes it, whoever the system made
      // its owner: OWNER RIGHTS takes the owner's right to open it to others.
      {L"O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;OW)", "owned by S-1-5-21-1-2-3-1001", ""},
      {L"O:S-1-5-21-1-2-3-1001D:P(A;;FA;;;SY)(A;;FA;;;OW)", "owned by", "let S-1-3-4 change it"},
      {L"O:SYD:P(A;;FA;;;SY)(A;;0x40;;;BU)", "", "let S-1-5-32-545 change it"},  // may delete what it holds
      {L"O:SYD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)", ""},
      {L"O:BAD:P(A;;FA;;;BA)(A;;0x1200a9;;;WD)", ""},
      {L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464D:P(A;;FA;;;SY)", ""},
      {L"O:SYD:P(A;OIIO;FA;;;BU)(A;;FR;;;BU)", ""},  // inherit-only: not this file's
      {L"O:S-1-5-21-1-2-3-1001D:P(A;;FA;;;SY)", "owned by S-1-5-21-1-2-3-1001"},
      {L"O:BUD:P(A;;FA;;;SY)", "owned by S-1-5-32-545"},
      {L"O:SYD:P(A;;FA;;;SY)(A;;FW;;;BU)", "let S-1-5-32-545 change it"},
      {L"O:SYD:P(A;;FA;;;SY)(A;;GW;;;AU)", "let S-1-5-11 change it"},
      {L"O:SYD:P(A;;FA;;;SY)(A;;SD;;;S-1-5-21-1-2-3-1001)", "let S-1-5-21-1-2-3-1001 change it"},
      {L"O:SYD:P(A;;FA;;;SY)(A;;WD;;;WD)", "let S-1-1-0 change it"},
  };
  for (const Case& c : kCases) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl, SDDL_REVISION_1, &descriptor, nullptr));
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    const std::string why = registry::ForgeableBy(owner, dacl);
    const std::string folder_why = registry::ForgeableFolder(owner, dacl);
    const std::string shown(c.sddl, c.sddl + wcslen(c.sddl));
    for (const auto& [got, want] : {std::pair{why, c.forgeable_by},
                                    std::pair{folder_why, c.folder_forgeable_by ? c.folder_forgeable_by : c.forgeable_by}}) {
      if (*want == '\0') {
        EXPECT_EQ(got, "") << shown;
      } else {
        EXPECT_NE(got.find(want), std::string::npos) << shown << ": " << got;
      }
    }
    LocalFree(descriptor);
  }
  EXPECT_NE(registry::ForgeableBy(nullptr, nullptr), "") << "no owner, no permissions: anyone";
}

// A policy file a user wrote (under Wine every file is the user's) is no
// evidence: the damage it names stays damage, and stderr says why.
TEST_F(ProfilesTest, APolicyFileAUserCouldHaveWrittenMakesNothingManaged) {
  const std::string folder = "C:\\windows\\system32\\GroupPolicy\\User";
  CreateDirectoryA("C:\\windows\\system32\\GroupPolicy", nullptr);
  CreateDirectoryA(folder.c_str(), nullptr);
  const std::string bytes = registry::FormatPreg(
      {{registry::PregText(kExplorerPolicy), registry::PregText("NoRun"), REG_DWORD, {1, 0, 0, 0}}});
  std::ofstream(folder + "\\Registry.pol", std::ios::binary) << bytes;
  // A domain's policy in the history: the merged results are read too.
  const std::string history =
      "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Group Policy\\History\\{35378EAC-683F-11D2-A89A-00C04FBBCFA2}\\0";
  PutString(HKEY_LOCAL_MACHINE, history, "GPOName", "{31B2F340-016D-11D2-945F-00C04FB984F9}");
  PutString(HKEY_LOCAL_MACHINE, history, "DisplayName", "Default Domain Policy");
  std::ofstream("C:\\ProgramData\\ntuser.pol", std::ios::binary) << bytes;
  const Result scan = Cli({"scan", "--all-users", "--json"});
  DeleteFileA("C:\\ProgramData\\ntuser.pol");
  DeleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Group Policy");
  DeleteFileA((folder + "\\Registry.pol").c_str());
  RemoveDirectoryA(folder.c_str());
  RemoveDirectoryA("C:\\windows\\system32\\GroupPolicy");
  EXPECT_EQ(scan.code, cli::kExitDamage) << scan.err;
  EXPECT_EQ(ItemState(EntryOf(scan.out, kSidB), 4), "damaged") << scan.out;
  EXPECT_EQ(scan.out.find("\"managed\""), std::string::npos) << scan.out;
  EXPECT_NE(scan.err.find("Registry.pol: not evidence of policy: it is owned by S-1-5-21-"), std::string::npos)
      << scan.err;
  EXPECT_NE(scan.err.find("ProgramData\\ntuser.pol: not evidence of policy: it is owned by S-1-5-21-"),
            std::string::npos)
      << scan.err;
}

// A user's own policy key made a link into the machine's: a run over every
// profile reads nothing through it, writes nothing through it, and names the
// key where it lies.
TEST_F(ProfilesTest, AUsersPolicyKeyLinkedIntoTheMachineIsNeitherReadNorWrittenThrough) {
  const std::string victim = "SOFTWARE\\TorvaneProfileVictim";
  for (const char* name : {"NoRun", "NoClose", "RestrictRun"}) PutDword(HKEY_LOCAL_MACHINE, victim, name, 1);
  DeleteTree(HKEY_USERS, kSidB + "\\" + kExplorerPolicy);
  const std::string link = kSidB + "\\" + kExplorerPolicy;
  ASSERT_TRUE(LinkUnderUsers(std::wstring(link.begin(), link.end()), L"\\Registry\\Machine\\" +
                                                                      std::wstring(victim.begin(), victim.end())));

  const Result scan = Cli({"scan", "--all-users", "--json"});
  EXPECT_EQ(scan.code, cli::kExitDamage) << scan.err;
  const std::string bob = EntryOf(scan.out, kSidB);
  for (int item : {4, 6, 11}) EXPECT_EQ(ItemState(bob, item), "undetermined") << item << ": " << bob;
  const std::string named = "\"unread\": \"HKEY_USERS\\\\" + kSidB +
                            "\\\\Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Policies\\\\Explorer is a "
                            "registry link to \\\\Registry\\\\Machine\\\\SOFTWARE\\\\TorvaneProfileVictim, not followed";
  EXPECT_NE(bob.find(named), std::string::npos) << bob;
  EXPECT_EQ(bob.find("HKEY_CURRENT_USER"), std::string::npos) << bob;

  const Result repair = Cli({"repair", "--all-users", "--all"});
  EXPECT_EQ(repair.code, cli::kExitDamage) << repair.out << repair.err;
  for (const char* name : {"NoRun", "NoClose", "RestrictRun"}) {
    EXPECT_TRUE(ReadValue(HKEY_LOCAL_MACHINE, victim, name)) << name << " deleted through the link";
  }
  EXPECT_FALSE(ReadValue(HKEY_USERS, kSidA + "\\" + kSystemPolicy, "DisableTaskMgr")) << "the others are repaired";

  HKEY own = nullptr;
  const std::wstring wide(link.begin(), link.end());
  ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, wide.c_str(), REG_OPTION_OPEN_LINK, DELETE, &own), ERROR_SUCCESS);
  EXPECT_EQ(registry::DeleteKeyByHandle(own), ERROR_SUCCESS);
  RegCloseKey(own);
  DeleteTree(HKEY_LOCAL_MACHINE, victim);
}

// A signed-in profile's key that is itself a link: its writes would land in
// what it points at.
TEST_F(ProfilesTest, AProfileWhoseKeyIsALinkIsUndeterminedAndWhatItPointsAtIsUntouched) {
  const std::string sid = "S-1-5-21-7-7-7-1105";
  const std::string victim = "SOFTWARE\\TorvaneProfileVictim";
  PutDword(HKEY_LOCAL_MACHINE, victim + "\\" + kExplorerPolicy, "NoRun", 1);
  ListFolder(sid, "frank");
  const std::wstring wide_sid(sid.begin(), sid.end());
  ASSERT_TRUE(LinkUnderUsers(wide_sid, L"\\Registry\\Machine\\SOFTWARE\\TorvaneProfileVictim"));

  const Result repair = Cli({"repair", "--all-users", "--all", "--json"});
  EXPECT_EQ(repair.code, cli::kExitDamage) << repair.err;
  EXPECT_NE(repair.err.find("HKEY_USERS\\" + sid + " is a registry link to"), std::string::npos) << repair.err;
  EXPECT_EQ(ItemState(EntryOf(repair.out, sid), 4), "undetermined") << repair.out;
  EXPECT_TRUE(ReadValue(HKEY_LOCAL_MACHINE, victim + "\\" + kExplorerPolicy, "NoRun")) << "written through the link";
  EXPECT_FALSE(ReadValue(HKEY_USERS, kSidB + "\\" + kExplorerPolicy, "NoRun")) << "the others are still repaired";

  HKEY own = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, wide_sid.c_str(), REG_OPTION_OPEN_LINK, DELETE, &own), ERROR_SUCCESS);
  EXPECT_EQ(registry::DeleteKeyByHandle(own), ERROR_SUCCESS);
  RegCloseKey(own);
  DeleteTree(HKEY_LOCAL_MACHINE, victim);
  DeleteTree(HKEY_LOCAL_MACHINE, kProfileList + "\\" + sid);
}

TEST_F(ProfilesTest, AProfileThatCannotBeLoadedIsUndeterminedAndTheOthersAreRepaired) {
  ListFolder(kSidD, "dave");  // no such folder, no hive
  const Result repair = Cli({"repair", "--all-users", "--all", "--json"});
  EXPECT_EQ(repair.code, cli::kExitDamage) << repair.err;
  EXPECT_NE(repair.err.find("torvane: dave (" + kSidD + "): user items undetermined: C:\\users\\dave\\NTUSER.DAT: no such file\n"),
            std::string::npos)
      << repair.err;
  const std::string d = EntryOf(repair.out, kSidD);
  EXPECT_EQ(ItemState(d, 0), "undetermined");
  EXPECT_EQ(ItemState(d, 10), "healthy") << "the machine part was still examined";
  EXPECT_FALSE(ReadValue(HKEY_USERS, kSidA + "\\" + kSystemPolicy, "DisableTaskMgr"));
  EXPECT_FALSE(ReadValue(HKEY_USERS, kSidB + "\\" + kExplorerPolicy, "NoRun"));

  const Result scan = Cli({"scan", "--all-users"});
  EXPECT_EQ(scan.code, cli::kExitDamage) << "a profile nobody could look at is no all-clear";
}

TEST_F(ProfilesTest, BadProfileListEntriesAreNamedAndLoseNothing) {
  const std::string empty;
  List(kSidD, nullptr);  // no ProfileImagePath at all
  List("S-1-5-21-7-7-7-1105", &empty);
  CreateDirectoryA((kUsers + "erin").c_str(), nullptr);
  const std::string not_a_hive = "REGEDIT4\r\n\r\nnot a hive\r\n";
  std::ofstream(kUsers + "erin\\NTUSER.DAT", std::ios::binary) << not_a_hive;
  ListFolder("S-1-5-21-7-7-7-1106", "erin");
  // A SID both loaded and listed is used as loaded, once.
  ListFolder("S-1-5-21-7-7-7-1101", "alice");

  const Result repair = Cli({"repair", "--all-users", "--all", "--json"});
  EXPECT_EQ(repair.code, cli::kExitDamage);
  EXPECT_NE(repair.err.find("torvane: " + kSidD + ": user items undetermined: its ProfileList entry has no ProfileImagePath\n"),
            std::string::npos)
      << repair.err;
  EXPECT_NE(repair.err.find("torvane: S-1-5-21-7-7-7-1105: user items undetermined: its ProfileList entry has an empty "
                            "ProfileImagePath\n"),
            std::string::npos);
  EXPECT_NE(repair.err.find("erin (S-1-5-21-7-7-7-1106): user items undetermined: C:\\users\\erin\\NTUSER.DAT: cannot be loaded ("),
            std::string::npos);
  EXPECT_EQ(ReadText(kUsers + "erin\\NTUSER.DAT"), not_a_hive) << "the file that is no hive is as it was";
  EXPECT_EQ(Count(repair.out, "\"sid\": \"" + kSidA + "\""), 1);
  EXPECT_FALSE(ReadValue(HKEY_USERS, kSidA + "\\" + kSystemPolicy, "DisableTaskMgr"));
  EXPECT_TRUE(Mounts().empty()) << "not even the empty key Wine leaves of a load that failed";
  DeleteTree(HKEY_LOCAL_MACHINE, kProfileList + "\\S-1-5-21-7-7-7-1105");
  DeleteTree(HKEY_LOCAL_MACHINE, kProfileList + "\\S-1-5-21-7-7-7-1106");
}

// Under Wine the signed-out hive keeps its damage in the file whatever the
// run did (Wine drops what was written to a mounted hive), so the restore into
// it is seen through its report and the mount's going; the signed-in user's
// restore through the registry.
TEST_F(ProfilesTest, ABackupOfTwoProfilesOneSignedOutGoesBackIntoEach) {
  const std::string backup = kUsers + "profiles-backup.reg";
  const Result repair = Cli({"repair", "--all-users", "--all", "--backup", backup});
  ASSERT_EQ(repair.code, cli::kExitOk) << repair.err;
  const std::string text = ReadText(backup);
  std::wstring wide(text.size() / 2, L'\0');
  std::memcpy(wide.data(), text.data() + 2, text.size() - 2);  // UTF-16LE after its BOM
  const std::string undo(wide.begin(), wide.end());
  EXPECT_NE(undo.find("[HKEY_USERS\\" + kSidA + "\\" + kSystemPolicy + "]\r\n\"DisableTaskMgr\"=dword:00000001"),
            std::string::npos)
      << undo;
  EXPECT_NE(undo.find("[HKEY_USERS\\" + kSidC + "\\" + kSystemPolicy + "]\r\n\"DisableRegistryTools\"=dword:00000001"),
            std::string::npos)
      << undo;
  EXPECT_EQ(undo.find("HKEY_CURRENT_USER"), std::string::npos) << "every user's keys named by SID";
  EXPECT_EQ(undo.find("torvane.exe pid="), std::string::npos) << "never the mount's name";
  ASSERT_FALSE(ReadValue(HKEY_USERS, kSidA + "\\" + kSystemPolicy, "DisableTaskMgr"));

  const Result restore = Cli({"restore", backup, "--live"});
  EXPECT_EQ(restore.code, cli::kExitOk) << restore.err;
  EXPECT_NE(restore.out.find("Restored "), std::string::npos) << restore.out;
  EXPECT_EQ(ReadValue(HKEY_USERS, kSidA + "\\" + kSystemPolicy, "DisableTaskMgr"), std::string("\1\0\0\0", 4));
  EXPECT_TRUE(Mounts().empty()) << "carol's hive was loaded for the restore and unloaded";

  // Carol signs in: her part goes into her loaded hive.
  EnabledPrivileges privileges;
  ASSERT_EQ(RegLoadKeyA(HKEY_USERS, kSidC.c_str(), (kUsers + "carol\\NTUSER.DAT").c_str()), ERROR_SUCCESS);
  DeleteTree(HKEY_USERS, kSidC + "\\" + kSystemPolicy);
  const Result signed_in = Cli({"restore", backup, "--live"});
  EXPECT_EQ(signed_in.code, cli::kExitOk) << signed_in.err;
  EXPECT_EQ(ReadValue(HKEY_USERS, kSidC + "\\" + kSystemPolicy, "DisableRegistryTools"), std::string("\1\0\0\0", 4));
  EXPECT_TRUE(Mounts().empty());
  EXPECT_EQ(RegUnLoadKeyA(HKEY_USERS, kSidC.c_str()), ERROR_SUCCESS);

  // A profile that cannot be reached is refused, and nothing is written
  // anywhere else in its stead.
  DeleteFileA((kUsers + "carol\\NTUSER.DAT").c_str());
  DeleteTree(HKEY_USERS, kSidA + "\\" + kSystemPolicy);
  const Result unreachable = Cli({"restore", backup, "--live"});
  EXPECT_EQ(unreachable.code, cli::kExitError);
  EXPECT_NE(unreachable.err.find("the profile of " + kSidC + " cannot be reached: "), std::string::npos)
      << unreachable.err;
  EXPECT_FALSE(ReadValue(HKEY_USERS, kSidA + "\\" + kSystemPolicy, "DisableTaskMgr")) << "nothing was changed";
  EXPECT_FALSE(ReadValue(HKEY_CURRENT_USER, kSystemPolicy, "DisableRegistryTools"));
}

}  // namespace
}  // namespace torvane::wintest
