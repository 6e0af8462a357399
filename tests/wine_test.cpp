// Against Wine's own registry tools and registry: our .reg files import with
// `reg import` to the same values, what `reg export` writes loads into our
// store to the same values, and the Windows build of torvane reads, repairs
// and restores a damaged live registry.
//
// Then the same build on a Windows volume, as from a rescue stick: a drive
// letter of the prefix leads to a folder holding a volume the test made, and
// what the Windows build reports and writes there is what the Linux build
// reports and writes on the same folder.
//
// One scratch prefix serves the whole suite (booting it takes seconds).
// Where 32-bit Wine is installed, `wine reg` runs as a 32-bit program, whose
// HKLM\SOFTWARE is the 32-bit view: every reg call names the 64-bit view.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <algorithm>

#include "registry/codepage.h"
#include "registry/demo.h"
#include "registry/little_endian.h"
#include "registry/reg_file.h"
#include "registry/utf.h"
#include "support/cli_run.h"
#include "support/hive_builder.h"
#include "support/immutable.h"
#include "support/text.h"

namespace torvane::registry {
namespace {

namespace fs = std::filesystem;
using torvane::testing::Gbk;
using torvane::testing::ReadFile;
using torvane::testing::WriteFile;

struct Output {
  int code;
  std::string text;
};

Output Shell(const std::string& command) {
  Output output{-1, ""};
  std::FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.text.append(buffer, n);
  const int status = ::pclose(pipe);
  output.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return output;
}

std::string Quote(const std::string& text) { return "'" + text + "'"; }

// Wine sees the Unix root as drive Z:.
std::string WinePath(const std::string& unix_path) {
  std::string path = "Z:" + unix_path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

// Debian's `wine` starts the 32-bit loader whenever 32-bit Wine is installed,
// even where the kernel cannot run it: the suite's 64-bit programs go to the
// 64-bit loader directly (TORVANE_WINE names another).
std::string WineLoader() {
  if (const char* loader = std::getenv("TORVANE_WINE"); loader != nullptr && *loader != '\0') return loader;
  if (::access("/usr/lib/wine/wine64", X_OK) == 0) return "/usr/lib/wine/wine64";
  return "wine";
}

std::string Wine() { return Quote(WineLoader()) + " "; }

bool WineRequired() {
  const char* required = std::getenv("TORVANE_REQUIRE_WINE");
  return required != nullptr && std::string(required) == "1";
}

class WineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (Shell("command -v " + Quote(WineLoader())).code != 0) return;
    dir_ = new std::string(torvane::testing::ScratchDirectory("wine"));
    setenv("WINEPREFIX", (*dir_ + "/prefix").c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("LANG", "zh_CN.UTF-8", 1);
    setenv("LC_ALL", "zh_CN.UTF-8", 1);
    booted_ = Shell(Wine() + "wineboot -i && wineserver -w").code == 0;
  }
  static void TearDownTestSuite() {
    if (dir_ == nullptr) return;
    Shell("wineserver -k");
    fs::remove_all(*dir_);
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (dir_ == nullptr || !booted_) {
      if (WineRequired()) FAIL() << "wine is required (TORVANE_REQUIRE_WINE=1) but could not be started";
      GTEST_SKIP() << "wine is not installed: the tests against Wine's reg.exe and registry do not run";
    }
  }

  static std::string Path(const std::string& name) { return *dir_ + "/" + name; }

  // `reg export` of one key into our store.
  static MemoryStore Export(const std::string& key) {
    const std::string file = Path("export.reg");
    fs::remove(file);
    EXPECT_EQ(Shell(Wine() + "reg export " + Quote(key) + " " + Quote(WinePath(file)) + " /y /reg:64").code, 0);
    MemoryStore store;
    MemoryTarget target(store);
    ApplyRegFile(ReadRegFile(file), target);
    return store;
  }

  static std::string* dir_;
  static bool booted_;
};

std::string* WineTest::dir_ = nullptr;
bool WineTest::booted_ = false;

std::vector<std::uint8_t> Bytes(const std::string& text) { return std::vector<std::uint8_t>(text.begin(), text.end()); }

TEST_F(WineTest, WhatRegExportWritesLoadsToTheSameValues) {
  const std::string key = "HKCU\\Software\\TorvaneAdded";
  const std::string add = Wine() + "reg add " + Quote(key);
  ASSERT_EQ(Shell(add + " /v Text /t REG_SZ /d " + Quote("病毒 \"C:\\x\"") + " /f /reg:64").code, 0);
  ASSERT_EQ(Shell(add + " /ve /t REG_SZ /d " + Quote("默认") + " /f /reg:64").code, 0);
  ASSERT_EQ(Shell(add + " /v Number /t REG_DWORD /d 305419896 /f /reg:64").code, 0);
  ASSERT_EQ(Shell(add + " /v Blob /t REG_BINARY /d " + std::string(80, 'a') + " /f /reg:64").code, 0);
  ASSERT_EQ(Shell(add + " /v Path /t REG_EXPAND_SZ /d " + Quote("%SystemRoot%\\系统") + " /f /reg:64").code, 0);
  ASSERT_EQ(Shell(add + " /v List /t REG_MULTI_SZ /d " + Quote("a\\0中") + " /f /reg:64").code, 0);
  ASSERT_EQ(Shell(Wine() + "reg add " + Quote(key + "\\Sub\\子键") + " /v N /t REG_DWORD /d 1 /f /reg:64").code, 0);

  MemoryStore expected;
  const std::string path = "Software\\TorvaneAdded";
  expected.PutString(kCurrentUser, path, "Text", Gbk("病毒 \"C:\\x\""));
  expected.PutString(kCurrentUser, path, "", Gbk("默认"));
  expected.PutDword(kCurrentUser, path, "Number", 0x12345678);
  expected.PutValue(kCurrentUser, path, "Blob", kRegBinary, std::vector<std::uint8_t>(40, 0xAA));
  auto expand = Bytes(Gbk("%SystemRoot%\\系统"));
  expand.push_back(0);
  expected.PutValue(kCurrentUser, path, "Path", kRegExpandSz, expand);
  auto list = Bytes(Gbk("a"));
  list.push_back(0);
  for (auto b : Bytes(Gbk("中"))) list.push_back(b);
  list.push_back(0);
  list.push_back(0);
  expected.PutValue(kCurrentUser, path, "List", kRegMultiSz, list);
  expected.PutDword(kCurrentUser, path + Gbk("\\Sub\\子键"), "N", 1);

  EXPECT_EQ(Export(key).Dump(), expected.Dump());
}

TEST_F(WineTest, WhatWeExportImportsWithRegImportToTheSameValues) {
  for (RegFormat format : {RegFormat::kVersion5, RegFormat::kRegedit4}) {
    const std::string name = format == RegFormat::kVersion5 ? "Torvane5" : "Torvane4";
    const std::string path = "Software\\" + name;
    MemoryStore original;
    original.PutString(kCurrentUser, path, "Text", Gbk("标题 \"quoted\" C:\\表\\"));
    original.PutString(kCurrentUser, path, "", Gbk("默认"));
    original.PutDword(kCurrentUser, path, "Number", 0xDEADBEEF);
    original.PutValue(kCurrentUser, path, "Blob", kRegBinary, std::vector<std::uint8_t>(200, 0x5C));
    original.PutValue(kCurrentUser, path, "Lines", kRegSz, Bytes(std::string("a\r\nb", 5)));
    auto expand = Bytes(Gbk("%TEMP%\\中"));
    expand.push_back(0);
    original.PutValue(kCurrentUser, path, "Expand", kRegExpandSz, expand);
    original.PutValue(kCurrentUser, path, "Multi", kRegMultiSz, {'x', 0, 'y', 0, 0});
    original.PutValue(kCurrentUser, path, "Q", kRegQword, {1, 2, 3, 4, 5, 6, 7, 8});
    original.PutDword(kCurrentUser, path + Gbk("\\子\\Deeper"), "N", 7);

    const std::string file = Path(name + ".reg");
    WriteFile(file, FormatRegFile(RegFile{format, EntriesOf(original)}));
    ASSERT_EQ(Shell(Wine() + "reg import " + Quote(WinePath(file)) + " /reg:64").code, 0) << name;
    EXPECT_EQ(Export("HKCU\\" + path).Dump(), original.Dump()) << name;
  }
}

class WineLiveTest : public WineTest {
 protected:
  static Output Torvane(const std::string& args) { return Shell(Wine() + "" + Quote(TORVANE_WINDOWS_CLI) + " " + args); }
  void SetUp() override {
    WineTest::SetUp();
    if (IsSkipped() || HasFailure()) return;
    if (!fs::exists(TORVANE_WINDOWS_CLI)) {
      if (WineRequired()) FAIL() << TORVANE_WINDOWS_CLI << " is missing: build the windows preset first";
      GTEST_SKIP() << TORVANE_WINDOWS_CLI << " is not built";
    }
  }
};

std::string ItemState(const std::string& json, int index) {
  const std::string marker = "{\"index\": " + std::to_string(index) + ", ";
  const auto at = json.find(marker);
  if (at == std::string::npos) return "missing";
  const auto state = json.find("\"state\": \"", at);
  return json.substr(state + 10, json.find('"', state + 10) - state - 10);
}

TEST_F(WineLiveTest, TheWindowsBuildScansRepairsAndRestoresALiveRegistry) {
  const std::string policy = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
  const std::string hijack =
      "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options\\IceSword.exe";
  const Output clean = Torvane("scan --live --json");
  ASSERT_NE(clean.code, 2) << clean.text;
  EXPECT_EQ(clean.text.rfind("{\"source\": \"--live\", \"profiles\": [{\"profile\": null, \"sid\": null, \"items\": [", 0), 0u);
  EXPECT_EQ(ItemState(clean.text, 0), "healthy");
  EXPECT_EQ(ItemState(clean.text, 3), "healthy");

  ASSERT_EQ(Shell(Wine() + "reg add " + Quote(policy) + " /v DisableTaskMgr /t REG_DWORD /d 1 /f /reg:64").code, 0);
  ASSERT_EQ(Shell(Wine() + "reg add " + Quote(hijack) + " /v Debugger /t REG_SZ /d svch0st.exe /f /reg:64").code, 0);
  const Output damaged = Torvane("scan --live --json");
  EXPECT_EQ(damaged.code, 1);
  EXPECT_EQ(ItemState(damaged.text, 0), "damaged");
  EXPECT_EQ(ItemState(damaged.text, 3), "damaged");
  EXPECT_NE(damaged.text.find("\"name\": \"任务管理器(TaskMgr)\""), std::string::npos) << "UTF-8 names";

  const std::string backup = Path("live-backup.reg");
  const Output repaired = Torvane("repair 0 3 --backup " + Quote(WinePath(backup)) + " --json");
  EXPECT_EQ(repaired.code, 0) << repaired.text;
  EXPECT_NE(repaired.text.find("\"repaired\": [{\"profile\": null, \"index\": 0, "), std::string::npos);
  const Output after = Torvane("scan --json");
  EXPECT_EQ(ItemState(after.text, 0), "healthy");
  EXPECT_EQ(ItemState(after.text, 3), "healthy");

  const Output restored = Torvane("restore " + Quote(WinePath(backup)));
  EXPECT_EQ(restored.code, 0) << restored.text;
  const Output again = Torvane("scan --live --json");
  EXPECT_EQ(ItemState(again.text, 0), "damaged");
  EXPECT_EQ(ItemState(again.text, 3), "damaged");
  EXPECT_EQ(Shell(Wine() + "reg query " + Quote(hijack) + " /v Debugger /reg:64").code, 0) << "the hijack key came back whole";
}

// Stored bytes and names outside GBK through the wide entry points: what
// `reg export` shows after a repair and a restore is what it showed before.
TEST_F(WineLiveTest, ABackupOfTheLiveRegistryGivesBackTheStoredBytesAndNames) {
  const std::string policies = "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies";
  const std::string ifeo =
      "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options";
  const std::string seed =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[" + policies + "\\System]\r\n"
      // An odd-length REG_SZ, Korean text, and Korean in a list and an expandable text.
      "\"DisableRegistryTools\"=hex(1):00,ac,00,ad,61\r\n"
      "[" + policies + "\\Explorer]\r\n"
      "\"NoRun\"=hex(7):00,ac,00,00,3d,d8,00,de,00,00,00,00\r\n"
      "\"NoClose\"=hex(2):00,ac,25,00,00,00\r\n"
      // Subkey names outside GBK are beyond the repair's ANSI walk of a live
      // registry; the offline tests cover them.
      "[" + ifeo + "\\OllyDBG.exe\\深度\\更 深]\r\n"
      "\"값\"=\"데이터 😀\"\r\n"
      "\"Q\"=hex(b):01,02,03,04,05,06,07,08\r\n";
  const std::string file = Path("seed-exact.reg");
  WriteFile(file, "\xFF\xFE" + Utf8ToUtf16le(seed));
  // `reg import` drops the odd byte of a REG_SZ; a restore keeps it (these
  // are all statements a backup may hold).
  const Output seeded = Torvane("restore " + Quote(WinePath(file)));
  ASSERT_EQ(seeded.code, 0) << seeded.text;

  // Every value below the two keys, as `reg export` writes them, sorted.
  auto exported = [&] {
    std::vector<std::string> lines;
    for (const std::string& key : {std::string("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies"),
                                  std::string("HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File "
                                              "Execution Options\\OllyDBG.exe")}) {
      const std::string out = Path("exact-export.reg");
      fs::remove(out);
      if (Shell(Wine() + "reg export " + Quote(key) + " " + Quote(WinePath(out)) + " /y").code != 0) {
        lines.push_back("(no " + key + ")");
        continue;
      }
      for (const RegEntry& entry : ReadRegFile(out).entries) {
        lines.push_back(FormatRegStatement(RegEntry{RegEntry::Kind::kKey, entry.root, entry.path, {}, 0, ""},
                                           RegFormat::kVersion5) +
                        FormatRegStatement(entry, RegFormat::kVersion5));
      }
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  };
  const auto before = exported();
  std::string joined;
  for (const auto& line : before) joined += line;
  ASSERT_NE(joined.find("\"값\"=\"데이터 😀\""), std::string::npos) << joined;

  const std::string backup = Path("exact-backup.reg");
  const Output repaired = Torvane("repair 1 3 4 6 --backup " + Quote(WinePath(backup)));
  EXPECT_EQ(repaired.code, 0) << repaired.text;
  EXPECT_NE(exported(), before);
  // `reg export` shows an odd-length text without its last byte; the backup
  // holds it.
  const std::string first = ReadFile(backup);
  EXPECT_NE(first.find(Utf8ToUtf16le("\"DisableRegistryTools\"=hex(1):00,ac,00,ad,61\r\n")), std::string::npos);
  EXPECT_NE(first.find(Utf8ToUtf16le("[" + ifeo + "\\OllyDBG.exe\\深度\\更 深]")), std::string::npos);
  const Output restored = Torvane("restore " + Quote(WinePath(backup)));
  EXPECT_EQ(restored.code, 0) << restored.text;
  EXPECT_EQ(exported(), before);
  // What a second backup reads is what the first one read: the same bytes.
  const std::string again = Path("exact-backup-2.reg");
  EXPECT_EQ(Torvane("repair 1 3 4 6 --backup " + Quote(WinePath(again))).code, 0);
  EXPECT_EQ(ReadFile(again), first);
}

// A restore that reaches outside the repairs' places changes nothing.
TEST_F(WineLiveTest, ARestoreOutsideThePlacesIsRefusedWhole) {
  const std::string file = Path("evil.reg");
  Shell(Wine() + "reg delete " + Quote("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer") +
        " /v NoLogOff /f");
  WriteFile(file,
            "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer]\r\n"
            "\"NoLogOff\"=dword:00000001\r\n\r\n[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run]\r\n"
            "\"evil\"=\"C:\\\\evil.exe\"\r\n");
  const Output restored = Torvane("restore " + Quote(WinePath(file)));
  EXPECT_EQ(restored.code, 2);
  EXPECT_NE(Shell(Wine() + "reg query " + Quote("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run") + " /v evil").code, 0);
  EXPECT_NE(Shell(Wine() + "reg query " +
                  Quote("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer") + " /v NoLogOff")
                .code,
            0)
      << "not even the statement inside the places";
}


// A Windows volume at T: (a folder of the test's, the drive a link in the
// prefix's dosdevices): the demo's damaged SOFTWARE, profiles with a task
// manager policy (one named outside ASCII), and a dirty profile hive whose
// newest state is in its transaction logs.
// Both builds: the 64-bit one, and the 32-bit one (older rescue sticks are
// 32-bit) where this machine runs 32-bit programs.
class WineVolumeTest : public WineLiveTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    WineLiveTest::SetUp();
    if (IsSkipped() || HasFailure()) return;
    exe_ = GetParam();
    if (exe_ != TORVANE_WINDOWS_CLI) {
      // Run through the 64-bit loader, which hands it to 32-bit Wine: where
      // that cannot run (no i386, no wine32, TORVANE_NO_I386), skipped as
      // the 32-bit Wine suites are.
      const char* no_i386 = std::getenv("TORVANE_NO_I386");
      if (!fs::exists(exe_) && WineRequired()) FAIL() << exe_ << " is missing: build the windows32 preset first";
      if (!fs::exists(exe_) || (no_i386 != nullptr && std::string(no_i386) == "1") ||
          Shell(Wine() + Quote(exe_) + " --version").code != 0) {
        GTEST_SKIP() << exe_ << ": the 32-bit build is not built or 32-bit programs cannot run here";
      }
    }
    volume_ = Path("volume");
    fs::remove_all(volume_);
    MakeVolume(volume_);
    drive_ = std::string(std::getenv("WINEPREFIX")) + "/dosdevices/t:";
    fs::remove(drive_);
    fs::create_symlink(volume_, drive_);
  }
  void TearDown() override {
    if (!drive_.empty()) fs::remove(drive_);
  }

  static void MakeVolume(const std::string& root) {
    const std::string config = root + "/Windows/System32/config";
    fs::create_directories(config);
    MemoryStore machine;
    LoadDemoRegistry(machine);
    torvane::testing::WriteHive(config + "/SOFTWARE", *machine.FindKey(kLocalMachine, "SOFTWARE"));
    for (const std::string profile : {"alice", "张三"}) {
      fs::create_directories(root + "/Users/" + profile);
      MemoryStore user;
      user.PutDword(kCurrentUser, "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System", "DisableTaskMgr", 1);
      torvane::testing::WriteHive(root + "/Users/" + profile + "/NTUSER.DAT", user.Root(kCurrentUser));
    }
    const std::string dirty = root + "/Users/dirty";
    fs::create_directories(dirty);
    for (const char* name : {"NTUSER.DAT", "NTUSER.DAT.LOG1", "NTUSER.DAT.LOG2"}) {
      ASSERT_EQ(Shell("xz -dc " + Quote(std::string(TORVANE_TEST_DATA) + "/dirty-hives/win10-ntuser/" + name + ".xz") +
                      " > " + Quote(dirty + "/" + name))
                    .code,
                0);
    }
  }

  // Runs the Windows build; its stderr apart.
  Output TorvaneOn(const std::string& args, std::string* err) {
    const std::string err_file = Path("stderr.txt");
    Output out = Shell("{ " + Wine() + Quote(exe_) + " " + args + " 2>" + Quote(err_file) + "; }");
    *err = Unix(ReadFile(err_file));
    out.text = Unix(out.text);
    return out;
  }

  // Its lines end as Windows ends them, in CR LF.
  static std::string Unix(std::string text) {
    std::erase(text, '\r');
    return text;
  }

  // The JSON from its list of profiles on: the source is named apart.
  static std::string Items(const std::string& json) {
    const auto at = json.find("\"profiles\"");
    return at == std::string::npos ? "no profiles in: " + json : json.substr(at);
  }

  // What reglookup lists of a hive: each key and value with its type and
  // data (the times of the keys a run wrote left out).
  static std::string Listing(const std::string& hive) {
    return Shell("{ reglookup -H " + Quote(hive) + " | cut -d, -f1-3 | sort; }").text;
  }

  std::string exe_, volume_, drive_;
};

INSTANTIATE_TEST_SUITE_P(Builds, WineVolumeTest, ::testing::Values(TORVANE_WINDOWS_CLI, TORVANE_WINDOWS32_CLI),
                         [](const auto& build) {
                           return std::string(build.param == std::string(TORVANE_WINDOWS_CLI) ? "Win64" : "Win32");
                         });

TEST_P(WineVolumeTest, AScanOfTheVolumeReportsItemByItemWhatTheLinuxBuildReports) {
  const auto linux_scan = torvane::testing::Cli({"scan", "--windows", volume_, "--json"});
  std::string err;
  const Output scan = TorvaneOn("scan --windows 'T:\\' --json", &err);
  EXPECT_EQ(scan.code, linux_scan.code) << err;
  EXPECT_EQ(scan.code, 1);
  EXPECT_EQ(scan.text.rfind("{\"source\": \"--windows T:\\\\\", ", 0), 0u) << scan.text;
  EXPECT_EQ(Items(scan.text), Items(linux_scan.out));
  EXPECT_NE(scan.text.find("\"profile\": \"张三\""), std::string::npos);
  // The dirty profile is read with its logs replayed, and says so.
  EXPECT_NE(err.find("T:\\Users\\dirty\\NTUSER.DAT: the hive is dirty; read with its transaction logs replayed "
                     "(NTUSER.DAT.LOG1, NTUSER.DAT.LOG2)"),
            std::string::npos)
      << err;
  // The text report too, bar the paths.
  EXPECT_EQ(TorvaneOn("scan --windows 'T:\\'", &err).text, torvane::testing::Cli({"scan", "--windows", volume_}).out);
  // A header announcing 4 GB of bins is counted as that in either build,
  // never wrapped to a small size by the 32-bit one.
  std::string hive = ReadFile(volume_ + "/Users/alice/NTUSER.DAT");
  PutLe32(hive, 0x28, 0xFFFFF000u);
  torvane::testing::FixChecksum(hive);
  fs::create_directories(volume_ + "/Users/huge");
  WriteFile(volume_ + "/Users/huge/NTUSER.DAT", hive);
  const Output huge = TorvaneOn("scan --windows 'T:\\' --json", &err);
  EXPECT_NE(huge.text.find("truncated: the header announces 4294967296 bytes"), std::string::npos) << huge.text << err;
}

TEST_P(WineVolumeTest, ARepairChangesTheFilesAsTheLinuxBuildDoesAndItsBackupRestoresThem) {
  const std::string twin = Path("twin");
  fs::remove_all(twin);
  MakeVolume(twin);
  const std::vector<std::string> hives = {"/Windows/System32/config/SOFTWARE", "/Users/alice/NTUSER.DAT",
                                          "/Users/张三/NTUSER.DAT", "/Users/dirty/NTUSER.DAT"};
  std::vector<std::string> before;
  for (const std::string& hive : hives) before.push_back(Listing(volume_ + hive));
  const std::string dirty = ReadFile(volume_ + hives[3]);

  const std::string linux_backup = Path("linux-backup.reg"), windows_backup = Path("windows-backup.reg");
  fs::remove(linux_backup);
  fs::remove(windows_backup);
  const auto linux_repair =
      torvane::testing::Cli({"repair", "--windows", twin, "--all", "--backup", linux_backup, "--json"});
  std::string err;
  const Output repair =
      TorvaneOn("repair --windows 'T:\\' --all --backup " + Quote(WinePath(windows_backup)) + " --json", &err);
  EXPECT_EQ(repair.code, linux_repair.code) << err;
  EXPECT_EQ(repair.code, 0) << err;
  EXPECT_EQ(Items(repair.text), Items(linux_repair.out));
  EXPECT_EQ(ReadFile(windows_backup), ReadFile(linux_backup)) << "the same undo, byte for byte";
  for (std::size_t i = 0; i < hives.size(); ++i) {
    EXPECT_EQ(Listing(volume_ + hives[i]), Listing(twin + hives[i])) << hives[i];
    if (i < 3) {
      EXPECT_NE(Listing(volume_ + hives[i]), before[i]) << hives[i] << " was repaired";
    }
  }
  EXPECT_EQ(ReadFile(volume_ + hives[3]), dirty) << "a dirty hive the run does not change is not written";
  // Nothing is left beside the hives: no private folder, no copy.
  for (const auto& entry : fs::recursive_directory_iterator(volume_)) {
    EXPECT_EQ(entry.path().filename().string().find(".torvane-"), std::string::npos) << entry.path();
  }
  const Output healthy = TorvaneOn("scan --windows 'T:\\' --json", &err);
  EXPECT_EQ(healthy.code, 0) << healthy.text << err;

  const Output restore = TorvaneOn("restore " + Quote(WinePath(windows_backup)) + " --windows 'T:\\'", &err);
  EXPECT_EQ(restore.code, 0) << restore.text << err;
  EXPECT_EQ(torvane::testing::Cli({"restore", linux_backup, "--windows", twin}).code, 0);
  for (std::size_t i = 0; i < hives.size(); ++i) {
    EXPECT_EQ(Listing(volume_ + hives[i]), Listing(twin + hives[i])) << hives[i];
  }
  EXPECT_EQ(Items(TorvaneOn("scan --windows 'T:\\' --json", &err).text),
            Items(torvane::testing::Cli({"scan", "--windows", volume_, "--json"}).out));
  EXPECT_EQ(Listing(volume_ + hives[0]), before[0]) << "the machine's values are back";
}

// A link (to Windows a reparse point) anywhere on the way is never followed:
// in the path named, or inside the volume.
TEST_P(WineVolumeTest, LinksOnTheWayAreRefusedAndNothingIsWritten) {
  const std::string outside = Path("outside");
  fs::remove_all(outside);
  fs::create_directories(outside);
  fs::create_directory_symlink(volume_, outside + "/linked");
  fs::remove(drive_);
  fs::create_symlink(outside, drive_);
  std::string err;
  const Output named = TorvaneOn("repair --windows 'T:\\linked' --all", &err);
  EXPECT_EQ(named.code, 2) << named.text;
  EXPECT_NE(err.find("T:\\linked: is a symbolic link; refusing to follow it on the volume"), std::string::npos) << err;

  fs::remove(drive_);
  fs::create_symlink(volume_, drive_);
  const std::string config = volume_ + "/Windows/System32/config";
  const std::string software = ReadFile(config + "/SOFTWARE");
  fs::rename(config, outside + "/config");
  fs::create_directory_symlink(outside + "/config", config);
  const Output inside = TorvaneOn("repair --windows 'T:\\' --all", &err);
  EXPECT_EQ(inside.code, 2) << inside.text;
  EXPECT_NE(err.find("T:\\Windows\\System32\\config: is a symbolic link; refusing to follow it on the volume"),
            std::string::npos)
      << err;
  EXPECT_EQ(ReadFile(outside + "/config/SOFTWARE"), software);

  // Nor in the path of a backup: the file would be made where the link leads.
  fs::remove(config);
  fs::rename(outside + "/config", config);
  fs::create_directory_symlink(outside, volume_ + "/bk");
  const Output backup = TorvaneOn("repair --windows 'T:\\' --all --backup 'T:\\bk\\b.reg'", &err);
  EXPECT_EQ(backup.code, 2) << backup.text;
  EXPECT_NE(err.find("T:\\bk: is a symbolic link; refusing to follow it on the volume"), std::string::npos) << err;
  EXPECT_FALSE(fs::exists(outside + "/b.reg"));
  EXPECT_EQ(ReadFile(config + "/SOFTWARE"), software) << "nothing changed";
}

// A profile the Windows build cannot open by its listed name is
// undetermined with the reason, never passed over.
TEST_P(WineVolumeTest, AProfileThatCannotBeOpenedByItsNameIsUndeterminedNeverPassedOver) {
  const std::string users = volume_ + "/Users/";
  for (const std::string name : {"ali\\ce", "al*ice", "ali\nce"}) {
    fs::copy(users + "alice", users + name, fs::copy_options::recursive);
  }
  std::string err;
  const Output scan = TorvaneOn("scan --windows 'T:\\' --json", &err);
  EXPECT_EQ(scan.code, 1) << err;
  for (const std::string name : {"ali\\\\ce", "al*ice", "ali\\u000ace"}) {
    EXPECT_NE(scan.text.find("{\"profile\": \"" + name + "\", \"sid\": null, \"problem\": \"T:\\\\Users\\\\" + name +
                             ": a name Windows cannot open as it stands\""),
              std::string::npos)
        << name;
  }
}

// The hives of a run change together or not at all: the last one cannot be
// replaced (immutable), so those already moved in get their originals back.
TEST_P(WineVolumeTest, AHiveThatCannotBeReplacedLeavesEveryHiveAsItWas) {
  const std::vector<std::string> hives = {"/Windows/System32/config/SOFTWARE", "/Users/alice/NTUSER.DAT",
                                          "/Users/张三/NTUSER.DAT"};
  std::vector<std::string> before;
  for (const std::string& hive : hives) before.push_back(ReadFile(volume_ + hive));
  const std::string last = volume_ + hives.back();
  // One is read-only too (no write permission: Wine's read-only attribute),
  // which its new version takes; it goes back all the same. (Wine, unlike
  // Windows, lets a move replace a read-only file.)
  fs::permissions(volume_ + hives[1], fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  if (!torvane::testing::SetImmutable(last, true)) GTEST_SKIP() << "chattr +i is not allowed here";
  std::string err;
  const Output repair = TorvaneOn("repair --windows 'T:\\' --all", &err);
  torvane::testing::SetImmutable(last, false);
  EXPECT_EQ(repair.code, 2) << repair.text;
  EXPECT_NE(err.find("T:\\Users\\张三\\NTUSER.DAT: cannot replace it: "), std::string::npos) << err;
  EXPECT_NE(err.find("; every file was left as it was"), std::string::npos) << err;
  for (std::size_t i = 0; i < hives.size(); ++i) EXPECT_EQ(ReadFile(volume_ + hives[i]), before[i]) << hives[i];
  for (const auto& entry : fs::recursive_directory_iterator(volume_)) {
    EXPECT_EQ(entry.path().filename().string().find(".torvane-"), std::string::npos) << entry.path();
  }
}

// A volume with no room left: nothing changes, nothing is left behind, and
// the backup of changes never made goes again.
TEST_P(WineVolumeTest, AFullVolumeChangesNothingAndSaysSo) {
  const std::string small = Path("small");
  fs::create_directories(small);
  if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=8m") != 0) GTEST_SKIP() << "mounting a tmpfs is not permitted";
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{small};
  MakeVolume(small);
  fs::remove(drive_);
  fs::create_symlink(small, drive_);
  const std::string software = ReadFile(small + "/Windows/System32/config/SOFTWARE");
  struct statvfs space {};
  ASSERT_EQ(::statvfs(small.c_str(), &space), 0);
  WriteFile(small + "/filler", std::string(std::uint64_t{space.f_bavail} * space.f_frsize, 'f'));
  const std::string backup = Path("full-backup.reg");
  fs::remove(backup);
  std::string err;
  const Output repair = TorvaneOn("repair --windows 'T:\\' --all --backup " + Quote(WinePath(backup)), &err);
  EXPECT_EQ(repair.code, 2) << repair.text;
  EXPECT_NE(err.find("T:\\Windows\\System32\\config\\SOFTWARE: cannot write the changed hive: No space left on "
                     "device; nothing was changed"),
            std::string::npos)
      << err;
  EXPECT_FALSE(fs::exists(backup)) << "no backup of changes never made";
  EXPECT_EQ(ReadFile(small + "/Windows/System32/config/SOFTWARE"), software);
  for (const auto& entry : fs::recursive_directory_iterator(small)) {
    EXPECT_EQ(entry.path().filename().string().find(".torvane-"), std::string::npos) << entry.path();
  }
}

TEST_P(WineVolumeTest, TheRunningWindowsIsRefusedForItsHivesAreInUse) {
  for (const std::string& named : {std::string("C:\\"), std::string("c:\\windows")}) {
    std::string err;
    const Output scan = TorvaneOn("scan --windows " + Quote(named), &err);
    EXPECT_EQ(scan.code, 2) << named;
    EXPECT_NE(err.find(named + ": holds the running Windows (C:\\windows), whose hives are in use; use --live"),
              std::string::npos)
        << err;
  }
}

}  // namespace
}  // namespace torvane::registry
