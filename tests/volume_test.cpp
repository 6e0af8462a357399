// `torvane` over a mounted volume that malware prepared: links in the way,
// a full disk, an immutable hive, a broken profile, a second run at the same
// time, names no terminal or JSON reader should get raw, values whose names
// hide a NUL.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <sys/file.h>
#include <thread>

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/report.h"
#include "registry/demo.h"
#include "registry/file_io.h"
#include "registry/hive_store.h"
#include "support/cli_run.h"
#include "support/hive_builder.h"
#include "support/immutable.h"

namespace torvane::cli {
namespace {

namespace fs = std::filesystem;
using registry::kCurrentUser;
using registry::kLocalMachine;
using registry::MemoryStore;
using torvane::testing::ReadFile;
using torvane::testing::SetImmutable;
using torvane::testing::WriteFile;
using torvane::testing::WriteHive;

constexpr const char* kSystemPolicy = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";

using Result = torvane::testing::CliResult;
using torvane::testing::Cli;

bool IsUtf8(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t n = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > text.size()) return false;
    for (std::size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}


// A Windows volume: the demo's damaged SOFTWARE hive and one profile per
// name, each with DisableTaskMgr set.
class VolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = torvane::testing::ScratchDirectory("volume");
    root = dir + "/mnt";
  }
  void TearDown() override {
    if (!frozen.empty()) SetImmutable(frozen, false);
    if (mounted) ::umount2(root.c_str(), MNT_DETACH);
    fs::remove_all(dir);
  }

  std::string Config() const { return root + "/Windows/System32/config"; }
  std::string Software() const { return Config() + "/SOFTWARE"; }
  std::string User(const std::string& profile) const { return root + "/Users/" + profile + "/NTUSER.DAT"; }

  void MakeVolume(const std::vector<std::string>& profiles, int user_padding_keys = 0) {
    if (fs::exists(root)) {
      for (const auto& entry : fs::directory_iterator(root)) fs::remove_all(entry.path());
    }
    fs::create_directories(Config());
    MemoryStore machine;
    registry::LoadDemoRegistry(machine);
    WriteHive(Software(), *machine.FindKey(kLocalMachine, "SOFTWARE"));
    for (const std::string& profile : profiles) {
      fs::create_directories(root + "/Users/" + profile);
      MemoryStore user;
      user.PutDword(kCurrentUser, kSystemPolicy, "DisableTaskMgr", 1);
      for (int i = 0; i < user_padding_keys; ++i) {
        user.PutValue(kCurrentUser, "Padding\\" + std::to_string(i), "Data", registry::kRegBinary,
                      std::vector<std::uint8_t>(16000, static_cast<std::uint8_t>(i)));
      }
      WriteHive(User(profile), user.Root(kCurrentUser));
    }
  }

  // Mounts a small tmpfs where the volume goes; false when not permitted.
  bool MountTmpfs(const std::string& size) {
    fs::create_directories(root);
    mounted = ::mount("tmpfs", root.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
    return mounted;
  }

  std::string dir, root, frozen;
  bool mounted = false;
};

TEST_F(VolumeTest, AHiveThatIsALinkIsRefusedAndNothingOutsideIsWritten) {
  MakeVolume({"alice"});
  const std::string outside = dir + "/outside.hive";
  fs::rename(Software(), outside);
  fs::create_symlink(outside, Software());
  const std::string before = ReadFile(outside);

  const Result repair = Cli({"repair", "--windows", root, "--all"});
  EXPECT_EQ(repair.code, kExitError) << repair.out;
  EXPECT_EQ(repair.err, "torvane: " + Software() +
                            ": is a symbolic link; refusing to write through it (name the file it leads to)\n");
  EXPECT_TRUE(fs::is_symlink(Software()));
  EXPECT_EQ(ReadFile(outside), before);
  // The repair goes to the real file when it is named.
  const Result direct = Cli({"repair", "--software", outside, "--all"});
  EXPECT_EQ(direct.code, kExitOk) << direct.err;
  EXPECT_NE(ReadFile(outside), before);

  // A folder on the way that is a link is not followed either.
  MakeVolume({});
  fs::rename(Config(), dir + "/config");
  fs::create_symlink(dir + "/config", Config());
  const Result linked = Cli({"scan", "--windows", root});
  EXPECT_EQ(linked.code, kExitError);
  EXPECT_EQ(linked.err, "torvane: " + Config() + ": is a symbolic link; refusing to follow it on the volume\n");
}

TEST_F(VolumeTest, LinksPlantedAtTemporaryNamesAreIgnoredAndOwnerAndModeKept) {
  MakeVolume({"alice"});
  const std::string victim = dir + "/victim";
  WriteFile(victim, "precious");
  for (const std::string& hive : {Software(), User("alice")}) {
    for (int pid = ::getpid() - 2; pid <= ::getpid() + 2; ++pid) {
      fs::create_symlink(victim, hive + ".torvane-" + std::to_string(pid) + ".tmp");
    }
    ASSERT_EQ(::chmod(hive.c_str(), 0600), 0);
    ASSERT_EQ(::chown(hive.c_str(), 1000, 1001), 0) << "the test runs as root";
  }
  const Result repair = Cli({"repair", "--windows", root, "--all"});
  EXPECT_EQ(repair.code, kExitOk) << repair.err;
  EXPECT_EQ(ReadFile(victim), "precious");
  for (const std::string& hive : {Software(), User("alice")}) {
    struct stat info {};
    ASSERT_EQ(::lstat(hive.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode)) << hive;
    EXPECT_EQ(info.st_mode & 07777, 0600u) << hive;
    EXPECT_EQ(info.st_uid, 1000u) << hive;
    EXPECT_EQ(info.st_gid, 1001u) << hive;
  }
  EXPECT_EQ(Cli({"scan", "--windows", root}).code, kExitOk);
}

TEST_F(VolumeTest, NoSpaceForTheSecondHiveChangesNothingAndSaysSo) {
  if (!MountTmpfs("8m")) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
  MakeVolume({"alice"}, 60);  // a user hive of about 1 MB
  const std::string software = ReadFile(Software()), user = ReadFile(User("alice"));
  ASSERT_GT(user.size(), software.size() * 4);
  // Room for the new SOFTWARE, not for the new NTUSER.DAT.
  struct statvfs space {};
  ASSERT_EQ(::statvfs(root.c_str(), &space), 0);
  const std::uint64_t free_bytes = std::uint64_t{space.f_bavail} * space.f_frsize;
  const std::uint64_t keep = software.size() * 2 + 64 * 1024;
  ASSERT_GT(free_bytes, keep);
  WriteFile(root + "/filler", std::string(free_bytes - keep, 'f'));

  const Result repair = Cli({"repair", "--windows", root, "--all", "--backup", dir + "/b.reg"});
  EXPECT_EQ(repair.code, kExitError) << repair.out;
  EXPECT_EQ(repair.out, "");
  EXPECT_EQ(repair.err, "torvane: " + User("alice") +
                            ": cannot write the changed hive: No space left on device; nothing was changed\n");
  EXPECT_FALSE(fs::exists(dir + "/b.reg")) << "no backup of changes never made";
  EXPECT_EQ(ReadFile(Software()), software);
  EXPECT_EQ(ReadFile(User("alice")), user);
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    EXPECT_EQ(entry.path().string().find(".torvane-"), std::string::npos) << entry.path();
  }
}

TEST_F(VolumeTest, AnImmutableSecondHiveLeavesTheFirstAsItWas) {
  MakeVolume({"alice"});
  const std::string software = ReadFile(Software()), user = ReadFile(User("alice"));
  if (!SetImmutable(User("alice"), true)) GTEST_SKIP() << "chattr +i is not allowed here";
  frozen = User("alice");
  const Result repair = Cli({"repair", "--windows", root, "--all"});
  EXPECT_EQ(repair.code, kExitError) << repair.out;
  EXPECT_EQ(repair.err, "torvane: " + User("alice") +
                            ": cannot replace it: Operation not permitted; every file was left as it was\n");
  EXPECT_EQ(ReadFile(Software()), software);
  EXPECT_EQ(ReadFile(User("alice")), user);
}

TEST_F(VolumeTest, ABadProfileIsUndeterminedAndTheOthersGoOn) {
  MakeVolume({"alice", "bob", "carol"});
  WriteFile(User("bob"), "");
  const Result scan = Cli({"scan", "--windows", root, "--json"});
  EXPECT_EQ(scan.code, kExitDamage) << scan.err;
  EXPECT_NE(scan.out.find("{\"profile\": \"bob\", \"sid\": null, \"problem\": \"" + User("bob") +
                          ": not a registry hive (no \\\"regf\\\" signature)\", \"items\": [{\"index\": 0, "
                          "\"group\": \"system\", \"name\": \"任务管理器(TaskMgr)\", \"state\": \"undetermined\"}"),
            std::string::npos)
      << scan.out;
  const Result text = Cli({"scan", "--windows", root});
  EXPECT_NE(text.out.find("== bob ==\nundetermined: " + User("bob") + ": not a registry hive (no \"regf\" signature)\n"),
            std::string::npos)
      << text.out;

  // The others are repaired, also when item 0 is asked for by number.
  // Bob's were not: the run is no success.
  const Result repair = Cli({"repair", "--windows", root, "0", "3"});
  EXPECT_EQ(repair.code, kExitDamage) << repair.err;
  EXPECT_NE(repair.err.find("torvane: bob: user items undetermined: " + User("bob") + ": not a registry hive"),
            std::string::npos)
      << repair.err;
  EXPECT_EQ(ReadFile(User("bob")), "");
  const Result after = Cli({"scan", "--windows", root, "--json"});
  for (const char* profile : {"alice", "carol"}) {
    const std::size_t at = after.out.find(std::string("{\"profile\": \"") + profile + "\", \"sid\": null, \"items\": [{\"index\": 0, ");
    ASSERT_NE(at, std::string::npos) << after.out;
    const std::string healthy = "\"state\": \"healthy\"";
    EXPECT_EQ(after.out.compare(after.out.find("\"state\": ", at), healthy.size(), healthy), 0) << profile;
  }
}

// A hive that is no regular file (or that cannot be told from another)
// makes its profile undetermined, named with the reason; a pipe is never
// opened.
TEST_F(VolumeTest, AProfileWhoseHiveIsNoRegularFileIsUndeterminedNeverDropped) {
  struct Case {
    std::string kind;
    std::function<void(const std::string& hive)> make;
    std::string reason;
    std::string where;  // what the reason names; bob's hive when empty
  };
  const std::string link_reason = ": is a symbolic link; refusing to follow it on the volume";
  const std::vector<Case> cases = {
      {"pipe", [](const std::string& hive) { ASSERT_EQ(::mkfifo(hive.c_str(), 0600), 0); }, ": not a regular file (a pipe)", ""},
      {"folder", [](const std::string& hive) { fs::create_directory(hive); }, ": not a regular file (a folder)", ""},
      {"dangling link", [this](const std::string& hive) { fs::create_symlink(dir + "/nowhere", hive); }, link_reason, ""},
      {"link to a device", [](const std::string& hive) { fs::create_symlink("/dev/zero", hive); }, link_reason, ""},
      {"link to a hive", [this](const std::string& hive) { fs::create_symlink(User("alice"), hive); }, link_reason, ""},
      {"two in different letter case",
       [this](const std::string& hive) {
         fs::copy_file(User("alice"), hive);
         fs::copy_file(User("alice"), root + "/Users/bob/ntuser.dat");
       },
       ": there are two, \"NTUSER.DAT\" and \"ntuser.dat\"; refusing to guess which one Windows uses", ""},
      {"hard link to another profile's hive",
       [this](const std::string& hive) { fs::create_hard_link(User("alice"), hive); },
       ": the same file as " + User("alice") + " (a hard link); a hive is one profile's", ""},
      {"profile folder that is a link",
       [this](const std::string&) {
         fs::remove_all(dir + "/bob-elsewhere");
         fs::rename(root + "/Users/bob", dir + "/bob-elsewhere");
         fs::create_directory_symlink(dir + "/bob-elsewhere", root + "/Users/bob");
       },
       link_reason, root + "/Users/bob"},
  };
  for (const Case& c : cases) {
    MakeVolume({"alice", "bob"});
    fs::remove(User("bob"));
    c.make(User("bob"));
    // Opening a pipe for reading would let this writer through.
    std::atomic<bool> opened{false};
    std::thread writer;
    if (c.kind == "pipe") {
      writer = std::thread([&] {
        const int fd = ::open(User("bob").c_str(), O_WRONLY);
        opened = true;
        if (fd >= 0) ::close(fd);
      });
    }
    const std::string problem = (c.where.empty() ? User("bob") : c.where) + c.reason;
    const Result scan = Cli({"scan", "--windows", root});
    EXPECT_EQ(scan.code, kExitDamage) << c.kind << scan.err;
    EXPECT_NE(scan.out.find("== bob ==\nundetermined: " + problem + "\n"), std::string::npos) << c.kind << scan.out;
    const Result repair = Cli({"repair", "--windows", root, "--all"});
    EXPECT_EQ(repair.code, kExitDamage) << c.kind << repair.err;
    EXPECT_NE(repair.err.find("torvane: bob: user items undetermined: " + problem), std::string::npos)
        << c.kind << repair.err;
    EXPECT_NE(Cli({"scan", "--windows", root, "--json"}).out.find("\"profile\": \"alice\", \"sid\": null, \"items\""),
              std::string::npos)
        << "alice was repaired: " << c.kind;
    if (writer.joinable()) {
      EXPECT_FALSE(opened) << "the pipe was opened for reading";
      const int reader = ::open(User("bob").c_str(), O_RDONLY | O_NONBLOCK);  // lets the writer go
      writer.join();
      if (reader >= 0) ::close(reader);
    }
  }
}

// Windows' own junctions among the profile folders lead to folders listed
// already; a Users folder that is a link is followed nowhere and says so.
TEST_F(VolumeTest, WindowsOwnJunctionsArePassedOverAndALinkedUsersFolderIsUndetermined) {
  MakeVolume({"alice"});
  fs::create_directory_symlink(root + "/Users/alice", root + "/Users/All Users");
  fs::create_directory_symlink(root + "/Users/alice", root + "/Users/Default User");
  fs::create_directory_symlink(root + "/Users", root + "/Documents and Settings");
  const Result junctions = Cli({"scan", "--windows", root});
  EXPECT_EQ(junctions.out.find("undetermined"), std::string::npos) << junctions.out;
  EXPECT_EQ(Cli({"scan", "--windows", root, "--json"}).out.find("\"profile\": \"All Users\""), std::string::npos);

  // Documents and Settings leading anywhere but to Users hides a profile.
  fs::create_directories(dir + "/elsewhere/eve");
  fs::copy_file(User("alice"), dir + "/elsewhere/eve/NTUSER.DAT");
  fs::remove(root + "/Documents and Settings");
  fs::create_directory_symlink(dir + "/elsewhere", root + "/Documents and Settings");
  const auto expect_refused = [&](const std::string& folder) {
    const Result scan = Cli({"scan", "--windows", root});
    EXPECT_EQ(scan.code, kExitDamage) << folder;
    EXPECT_NE(scan.out.find("== " + folder + " ==\nundetermined: " + root + "/" + folder +
                            ": is a symbolic link; refusing to follow it on the volume\n"),
              std::string::npos)
        << scan.out;
  };
  expect_refused("Documents and Settings");
  fs::remove(root + "/Documents and Settings");

  fs::rename(root + "/Users", dir + "/users-elsewhere");
  fs::create_directory_symlink(dir + "/users-elsewhere", root + "/Users");
  expect_refused("Users");
  const std::string alice = ReadFile(dir + "/users-elsewhere/alice/NTUSER.DAT");
  const Result repair = Cli({"repair", "--windows", root, "--all"});
  EXPECT_EQ(repair.code, kExitDamage) << repair.err;
  EXPECT_TRUE(fs::is_symlink(root + "/Users"));
  EXPECT_EQ(ReadFile(dir + "/users-elsewhere/alice/NTUSER.DAT"), alice) << "written through the link";
}

// A folder on the way to a hive swapped for a link after the hives were
// opened (here while the run waits for bob's hive, which another run holds)
// redirects nothing: the commit writes where the hive was found.
TEST_F(VolumeTest, AFolderSwappedForALinkDuringTheLockWaitRedirectsNothing) {
  struct Case {
    std::string folder, hive;
  };
  const std::vector<Case> cases = {{"Users/alice", "NTUSER.DAT"}, {"Windows/System32/config", "SOFTWARE"}};
  const long saved = registry::LockWaitMilliseconds();
  registry::SetLockWaitMilliseconds(20000);
  for (const Case& c : cases) {
    MakeVolume({"alice", "bob"});
    const std::string folder = root + "/" + c.folder, moved = folder + ".moved", outside = dir + "/outside";
    fs::remove_all(outside);
    fs::create_directories(outside);
    fs::copy_file(folder + "/" + c.hive, outside + "/" + c.hive);
    const std::string original = ReadFile(folder + "/" + c.hive);

    std::optional<registry::FileLock> other_run(User("bob"));
    Result repair;
    std::thread run([&] { repair = Cli({"repair", "--windows", root, "--all"}); });
    // Alice's hive is locked by the run once it is open: bob's comes after.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    bool alice_open = false;
    while (!alice_open && std::chrono::steady_clock::now() < deadline) {
      const int fd = ::open(User("alice").c_str(), O_RDONLY);
      ASSERT_GE(fd, 0);
      alice_open = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
      ::close(fd);
      if (!alice_open) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(alice_open) << c.folder;
    fs::rename(folder, moved);
    fs::create_directory_symlink(outside, folder);
    other_run.reset();
    run.join();

    EXPECT_EQ(repair.code, kExitOk) << c.folder << repair.err;
    EXPECT_TRUE(ReadFile(outside + "/" + c.hive) == original) << c.folder << ": written through the link";
    EXPECT_FALSE(ReadFile(moved + "/" + c.hive) == original) << c.folder << ": the hive that was read is not repaired";
    for (const auto& entry : fs::directory_iterator(outside)) {
      EXPECT_EQ(entry.path().filename(), c.hive) << c.folder;
    }
    fs::remove(folder);
    fs::rename(moved, folder);
  }
  registry::SetLockWaitMilliseconds(saved);
}

TEST_F(VolumeTest, TwoRunsAtOnceTakeTurnsAndNeitherUpdateIsLost) {
  MakeVolume({});
  // Items 3 and 12 both live in SOFTWARE: without a lock, the run that
  // commits last would undo the other.
  std::vector<pid_t> children;
  for (const char* item : {"3", "12"}) {
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
      const Result result = Cli({"repair", "--software", Software(), item});
      ::_exit(result.code);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), kExitOk);
  }
  const Result scan = Cli({"scan", "--software", Software(), "--json"});
  EXPECT_NE(scan.out.find("{\"index\": 3, \"group\": \"system\", \"name\": \"映像劫持检测\", \"state\": \"healthy\", "
                          "\"views\": {\"64\": \"healthy\", \"32\": \"healthy\"}}"),
            std::string::npos)
      << scan.out;
  EXPECT_NE(scan.out.find("\"index\": 12, \"group\": \"system\", \"name\": \"Shell启动项\", \"state\": \"healthy\""),
            std::string::npos)
      << scan.out;

  // A run that holds the lock past the wait makes the other give up, clearly.
  MakeVolume({});
  const std::string before = ReadFile(Software());
  const long saved = registry::LockWaitMilliseconds();
  registry::SetLockWaitMilliseconds(50);
  Result refused;
  {
    registry::FileLock held(Software());
    refused = Cli({"repair", "--software", Software(), "--all"});
  }
  registry::SetLockWaitMilliseconds(saved);
  EXPECT_EQ(refused.code, kExitError);
  EXPECT_EQ(refused.err, "torvane: " + Software() +
                             ": another run is changing it (it stays locked); try again when it has finished\n");
  EXPECT_EQ(ReadFile(Software()), before);
}

TEST_F(VolumeTest, FolderNamesReachJsonAsUtf8AndTheTerminalEscaped) {
  const std::string broken = "caf\xE9\xFF";           // Latin-1, not UTF-8
  const std::string sneaky = "x\x1b[2J\nFAKE LINE\r";  // clears the screen, forges a line
  MakeVolume({broken, sneaky});
  const Result json = Cli({"scan", "--windows", root, "--json"});
  EXPECT_TRUE(IsUtf8(json.out));
  EXPECT_NE(json.out.find("{\"profile\": \"caf\xEF\xBF\xBD\xEF\xBF\xBD\", \"profile_bytes\": \"636166e9ff\", "),
            std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find("\"profile\": \"x\\u001b[2J\\u000aFAKE LINE\\u000d\""), std::string::npos) << json.out;

  const Result text = Cli({"scan", "--windows", root});
  EXPECT_TRUE(IsUtf8(text.out));
  EXPECT_EQ(text.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(text.out.find('\r'), std::string::npos);
  EXPECT_NE(text.out.find("== caf\\xe9\\xff ==\n"), std::string::npos);
  EXPECT_NE(text.out.find("== x\\x1b[2J\\x0aFAKE LINE\\x0d ==\n"), std::string::npos);
  EXPECT_EQ(text.out.find("\nFAKE LINE"), std::string::npos);

  // Said on stderr too: the profile whose hive cannot be used.
  fs::remove(User(sneaky));
  fs::create_directory(User(sneaky));
  const Result warned = Cli({"scan", "--windows", root});
  EXPECT_EQ(warned.err.find('\x1b'), std::string::npos) << warned.err;
  EXPECT_NE(warned.err.find("torvane: x\\x1b[2J\\x0aFAKE LINE\\x0d: user items undetermined: "), std::string::npos)
      << warned.err;

  EXPECT_EQ(Printable("a\tb\xC2\x85\xE2\x80\xAE"), "a\\x09b\\x85\\u202e");
  EXPECT_EQ(JsonString("\xC0\x80\xED\xA0\x80" "ok"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDok\"")
      << "overlong forms and surrogates are no UTF-8";
}

TEST_F(VolumeTest, RegInputWithoutEndIsRefusedWithExitTwo) {
  std::string deep = "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE";
  for (int i = 0; i < 100000; ++i) deep += "\\k";
  WriteFile(dir + "/deep.reg", deep + "]\r\n");
  const Result nested = Cli({"scan", "--reg", dir + "/deep.reg"});
  EXPECT_EQ(nested.code, kExitError);
  EXPECT_EQ(nested.err, "torvane: " + dir + "/deep.reg:2: key nested deeper than 512 levels\n");

  const Result endless = Cli({"scan", "--reg", "/dev/zero"});
  EXPECT_EQ(endless.code, kExitError);
  EXPECT_EQ(endless.err, "torvane: /dev/zero: larger than 256 MB; refusing to read it\n");
}

}  // namespace
}  // namespace torvane::cli
