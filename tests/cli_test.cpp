// The `torvane` command line end to end, in process: every command and
// source, the exit codes, the JSON, the errors, the backups.
#include <gtest/gtest.h>

#include <cstring>

#include <filesystem>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <tuple>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/report.h"
#include "cli/undo_file.h"
#include "registry/change_stores.h"
#include "registry/codepage.h"
#include "registry/demo.h"
#include "registry/hive_log.h"
#include "registry/hive_store.h"
#include "registry/little_endian.h"
#include "registry/preg.h"
#include "registry/reg_file.h"
#include "registry/utf.h"
#include "repair/catalogue.h"
#include "repair/engine.h"
#include "support/cli_run.h"
#include "support/fixtures.h"
#include "support/hive_builder.h"
#include "support/hive_log_writer.h"
#include "support/text.h"

namespace torvane::cli {
namespace {

namespace fs = std::filesystem;
using registry::kCurrentUser;
using registry::kLocalMachine;
using registry::MemoryStore;
using torvane::testing::Gbk;
using torvane::testing::ReadFile;
using torvane::testing::WriteFile;
using torvane::testing::WriteHive;

constexpr const char* kSystemPolicy = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
constexpr const char* kExplorerPolicy = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";

using Result = torvane::testing::CliResult;
using torvane::testing::Cli;

int Lines(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }

// The JSON "items" array the command line writes for `states` ("h", "d", "u").
const char* StateWord(char state) {
  return state == 'h' ? "healthy" : state == 'd' ? "damaged" : "undetermined";
}

// The items of a profile: `states` one letter an item (healthy, damaged,
// undetermined); machine items carry their views, the 64-bit one as
// `views64` (default: as `states`) and the 32-bit one as `views32` (default:
// healthy). An item undetermined for want of its hive has no views.
std::string ItemsJson(const std::string& states, std::string views64 = "",
                      const std::string& views32 = std::string(repair::kItemCount, 'h')) {
  if (views64.empty()) views64 = states;
  std::string json = "[";
  for (int i = 0; i < repair::kItemCount; ++i) {
    const char* group = repair::Item(i).group == repair::kSystemGroup ? "system" : "ie";
    json += std::string(i ? ", " : "") + "{\"index\": " + std::to_string(i) + ", \"group\": \"" + group +
            "\", \"name\": " + "\"" + registry::GbkToUtf8(repair::Item(i).name) + "\"" +
            ", \"state\": \"" + StateWord(states[i]) + "\"";
    if (repair::HivesTouched(i) & repair::kTouchesLocalMachine) {
      json += states[i] == 'u' ? std::string(", \"views\": {}")
                               : std::string(", \"views\": {\"64\": \"") + StateWord(views64[i]) + "\", \"32\": \"" +
                                     StateWord(views32[i]) + "\"}";
    }
    json += "}";
  }
  return json + "]";
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override { dir = torvane::testing::ScratchDirectory("cli"); }
  void TearDown() override { fs::remove_all(dir); }

  std::string Path(const std::string& name) const { return dir + "/" + name; }

  // Writes SOFTWARE and NTUSER.DAT hives from a memory store.
  void WriteHives(const MemoryStore& store, const std::string& software, const std::string& user) {
    if (!software.empty()) WriteHive(software, *store.FindKey(kLocalMachine, "SOFTWARE"));
    if (!user.empty()) WriteHive(user, store.Root(kCurrentUser));
  }

  // Everything a hive store holds below its roots, as text.
  static std::string DumpHives(const std::string& software, const std::string& user) {
    MemoryStore copy;
    registry::HiveStore store(software.empty() ? nullptr : registry::HiveFile::Open(software, false),
                              user.empty() ? nullptr : registry::HiveFile::Open(user, false));
    std::function<void(registry::HKey, const std::string&)> walk = [&](registry::HKey root, const std::string& path) {
      copy.CreateKey(root, path);
      const auto values = store.ListValues(root, path);
      if (!values) {
        ADD_FAILURE() << "cannot list the values of " << path;
        return;
      }
      for (const auto& value : *values) copy.PutValue(root, path, value.name, value.type, value.data);
      registry::ScopedKey key(store);
      key.Open(root, path, registry::kKeyRead);
      char name[1024];
      for (std::uint32_t i = 0; store.RegEnumKeyA(key.get(), i, name, sizeof name) == registry::kSuccess; ++i) {
        walk(root, path.empty() ? name : path + "\\" + name);
      }
    };
    if (!software.empty()) walk(kLocalMachine, "SOFTWARE");
    if (!user.empty()) walk(kCurrentUser, "");
    return copy.Dump();
  }

  std::string dir;
};

const std::string kDemoStates = "ddhddhhhhhhhdhdhdhhhdhd";

// The state the JSON of a single-profile run gives item `index`.
std::string StateIn(const std::string& json, int index) {
  const std::size_t item = json.find("{\"index\": " + std::to_string(index) + ", ");
  if (item == std::string::npos) return "missing";
  const std::size_t state = json.find("\"state\": \"", item);
  if (state == std::string::npos) return "missing";
  const std::size_t from = state + 10;
  return json.substr(from, json.find('"', from) - from);
}

TEST_F(CliTest, ListShowsTheCatalogue) {
  const Result result = Cli({"list"});
  EXPECT_EQ(result.code, kExitOk);
  for (int i = 0; i < repair::kItemCount; ++i) {
    EXPECT_NE(result.out.find(registry::GbkToUtf8(repair::Item(i).name)), std::string::npos) << i;
  }
  EXPECT_NE(result.out.find("22  ie      IE 网络协议前缀\n"), std::string::npos);
}

TEST_F(CliTest, VersionPrintsTheReleaseVersionAndTakesNothingElse) {
  const Result result = Cli({"--version"});
  EXPECT_EQ(result.code, kExitOk);
  EXPECT_EQ(result.out, "torvane 1.0.0.1\n");
  EXPECT_EQ(result.err, "");
  const Result extra = Cli({"--version", "--demo"});
  EXPECT_EQ(extra.code, kExitError);
  EXPECT_EQ(extra.out, "");
  EXPECT_NE(extra.err.find("\"--demo\" for --version"), std::string::npos) << extra.err;
}

TEST_F(CliTest, ScanOfTheDemoGivesTheDialogsGroupsAndExitOne) {
  const Result text = Cli({"scan", "--demo"});
  EXPECT_EQ(text.code, kExitDamage);
  EXPECT_EQ(text.out.rfind("系统修复项\n   0 DAMAGED      任务管理器(TaskMgr)\n", 0), 0u) << text.out;
  EXPECT_NE(text.out.find("IE修复项目\n  15 ok           Internet选项被禁用\n"), std::string::npos);
  EXPECT_EQ(Lines(text.out), repair::kItemCount + repair::kGroupCount);
  EXPECT_EQ(text.out.find("\033["), std::string::npos) << "no colour off a terminal";

  const Result json = Cli({"scan", "--demo", "--json"});
  EXPECT_EQ(json.code, kExitDamage);
  EXPECT_EQ(json.out, "{\"source\": \"--demo\", \"profiles\": [{\"profile\": null, \"sid\": null, \"items\": " +
                          ItemsJson(kDemoStates) + "}], \"repaired\": [], \"failed\": []}\n");
}

// Items an organisation sets some other way: reported as ignored, never
// repaired, never counted as damage.
TEST_F(CliTest, IgnoredItemsAreReportedAsSuchNeverRepairedAndNeverDamage) {
  std::string damaged;
  for (int i = 0; i < repair::kItemCount; ++i) {
    if (kDemoStates[i] == 'd') damaged += (damaged.empty() ? "" : ",") + std::to_string(i);
  }
  const Result scan = Cli({"scan", "--demo", "--ignore", damaged});
  EXPECT_EQ(scan.code, kExitOk) << scan.out;
  EXPECT_EQ(scan.out.rfind("系统修复项\n   0 ignored      任务管理器(TaskMgr)\n", 0), 0u) << scan.out;
  const Result json = Cli({"scan", "--demo", "--ignore", "3", "--json"});
  EXPECT_NE(json.out.find("{\"index\": 3, \"group\": \"system\", \"name\": \"映像劫持检测\", \"state\": \"ignored\", "
                          "\"views\": {}}"),
            std::string::npos)
      << json.out;

  const std::string file = Path("machine.reg");
  MemoryStore demo;
  registry::LoadDemoRegistry(demo);
  WriteFile(file, registry::FormatRegFile({registry::RegFormat::kVersion5, registry::EntriesOf(demo)}));
  const Result repair = Cli({"repair", "--reg", file, "--all", "--ignore", "0,3", "--json"});
  EXPECT_EQ(repair.code, kExitOk) << repair.err;
  EXPECT_EQ(repair.out.find("\"index\": 0, \"name\""), std::string::npos) << repair.out;
  EXPECT_EQ(repair.out.find("\"index\": 3, \"name\""), std::string::npos) << repair.out;
  EXPECT_NE(repair.out.find("\"repaired\": [{\"profile\": null, \"index\": 1, "), std::string::npos) << repair.out;
  const Result after = Cli({"scan", "--reg", file, "--json"});
  EXPECT_NE(after.out.find("\"name\": \"任务管理器(TaskMgr)\", \"state\": \"damaged\""), std::string::npos);
  EXPECT_NE(after.out.find("\"name\": \"映像劫持检测\", \"state\": \"damaged\""), std::string::npos);

  EXPECT_EQ(Cli({"repair", "--demo", "3", "--ignore", "3"}).code, kExitError);
  const Result bad = Cli({"scan", "--demo", "--ignore", "1,,2"});
  EXPECT_EQ(bad.code, kExitError);
  EXPECT_NE(bad.err.find("unknown item index \"\""), std::string::npos) << bad.err;
  EXPECT_EQ(Cli({"scan", "--demo", "--ignore", std::to_string(repair::kItemCount)}).code, kExitError);
}

// Fleet scripts name items by number (--ignore 15): each published number
// names the same item, in the same group, in the list, the scan and the
// JSON, whatever items are added after it.
TEST_F(CliTest, AnItemNumberKeepsNamingTheSameItemInEveryOutput) {
  const std::tuple<int, const char*, const char*> published[] = {
      {0, "system", "任务管理器(TaskMgr)"}, {3, "system", "映像劫持检测"},   {14, "system", "文件夹选项菜单"},
      {15, "ie", "Internet选项被禁用"},     {16, "ie", "文件夹选项被隐藏"}, {22, "ie", "IE 网络协议前缀"}};
  const Result list = Cli({"list"});
  for (const auto& [index, group, name] : published) {
    char line[128];
    std::snprintf(line, sizeof line, "%2d  %-6s  %s\n", index, group, name);
    EXPECT_NE(list.out.find(line), std::string::npos) << line;

    const Result json = Cli({"scan", "--demo", "--ignore", std::to_string(index), "--json"});
    EXPECT_NE(json.out.find("{\"index\": " + std::to_string(index) + ", \"group\": \"" + group +
                            "\", \"name\": \"" + name + "\", \"state\": \"ignored\""),
              std::string::npos)
        << json.out;
    std::size_t ignored = 0;
    for (std::size_t at = json.out.find("\"ignored\""); at != std::string::npos;
         at = json.out.find("\"ignored\"", at + 1)) {
      ++ignored;
    }
    EXPECT_EQ(ignored, 1u) << index;
  }
}

// The scan's text shows each group's heading, then the items whose rows name
// that group, in index order (the tree's layout), never a range of numbers.
TEST_F(CliTest, TheScanListsUnderEachGroupTheItemsItsRowsName) {
  const Result text = Cli({"scan", "--demo"});
  std::vector<std::vector<int>> shown;
  std::istringstream lines(text.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("  ", 0) != 0) {
      ASSERT_LT(shown.size(), static_cast<std::size_t>(repair::kGroupCount)) << line;
      EXPECT_EQ(line, registry::GbkToUtf8(repair::Group(static_cast<int>(shown.size())).label));
      shown.emplace_back();
    } else {
      ASSERT_FALSE(shown.empty()) << line;
      shown.back().push_back(std::stoi(line.substr(2, 2)));
    }
  }
  ASSERT_EQ(shown.size(), static_cast<std::size_t>(repair::kGroupCount)) << text.out;
  for (int g = 0; g < repair::kGroupCount; ++g) {
    std::vector<int> expected;
    for (int i = 0; i < repair::kItemCount; ++i) {
      if (repair::Item(i).group == g) expected.push_back(i);
    }
    EXPECT_EQ(shown[g], expected) << "group " << g;
  }
}

TEST_F(CliTest, AnErrorOfARunThatAskedForJsonIsJsonToo) {
  const Result missing = Cli({"scan", "--reg", Path("missing.reg"), "--json"});
  EXPECT_EQ(missing.code, kExitError);
  EXPECT_EQ(missing.out.rfind("{\"error\": \"" + Path("missing.reg"), 0), 0u) << missing.out;
  EXPECT_EQ(missing.out.back(), '\n');
  EXPECT_EQ(Cli({"scan", "--reg", Path("missing.reg")}).out, "") << "text runs say it on stderr only";
}

TEST_F(CliTest, RepairOfARegFileRewritesItAndReportsAsTheDialog) {
  MemoryStore demo;
  registry::LoadDemoRegistry(demo);
  const std::string file = Path("machine.reg");
  WriteFile(file, registry::FormatRegFile({registry::RegFormat::kRegedit4, registry::EntriesOf(demo)}));

  const Result repaired = Cli({"repair", "--reg", file, "0", "14", "16", "3"});
  EXPECT_EQ(repaired.code, kExitOk) << repaired.err;
  EXPECT_EQ(repaired.out, "以下项被修复\n任务管理器(TaskMgr)\n映像劫持检测\n文件夹选项菜单\n文件夹选项被隐藏\n")
      << "16, damaged before, was mended by 14's change";
  EXPECT_EQ(ReadFile(file).rfind("REGEDIT4\r\n", 0), 0u) << "the file keeps its format";

  const Result json = Cli({"scan", "--reg", file, "--json"});
  EXPECT_EQ(json.code, kExitDamage);
  EXPECT_NE(json.out.find(ItemsJson("hdhhdhhhhhhhdhhhhhhhdhd")), std::string::npos) << json.out;

  const Result rest = Cli({"repair", "--all", "--reg", file, "--json"});
  EXPECT_EQ(rest.code, kExitOk);
  EXPECT_NE(rest.out.find("\"repaired\": [{\"profile\": null, \"index\": 1, \"name\": \"注册表(Regedit)\"}, "),
            std::string::npos)
      << rest.out;
  EXPECT_EQ(Cli({"scan", "--reg", file}).code, kExitOk);
  const Result again = Cli({"repair", "--all", "--reg", file});
  EXPECT_EQ(again.out, "没有需要修复的项\n");
  EXPECT_EQ(again.code, kExitOk);
}

// A listed tool's exploit-protection settings stay in a hive and in a .reg
// file alike; what else its subkey held goes, into the backup, and comes
// back with the restore.
TEST_F(CliTest, ProtectionSettingsOfAListedToolStayInEveryStoreAndTheRestIsBackedUp) {
  const std::string tool = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options\\avp.exe";
  MemoryStore store;
  torvane::testing::PutHealthySystem(store);
  store.PutDword(kLocalMachine, tool, "MitigationOptions", 0x100);
  store.PutString(kLocalMachine, tool, "Debugger", "svch0st.exe");
  store.PutString(kLocalMachine, tool, "caf\xA8\xA6", "x");  // "café": not ASCII, yet spelt in code page 936
  const std::string hive = Path("SOFTWARE"), reg = Path("machine.reg"), backup = Path("undo.reg");
  WriteHives(store, hive, "");
  WriteFile(reg, registry::FormatRegFile({registry::RegFormat::kVersion5, registry::EntriesOf(store)}));
  for (const std::vector<std::string>& source : {std::vector<std::string>{"--software", hive},
                                                 std::vector<std::string>{"--reg", reg}}) {
    std::vector<std::string> args = {"repair", "3", "--backup", backup};
    args.insert(args.end(), source.begin(), source.end());
    const Result repair = Cli(args);
    EXPECT_EQ(repair.code, kExitOk) << source[0] << ": " << repair.err;
    const std::string undo = registry::Utf16leToUtf8(ReadFile(backup).substr(2));  // a version-5 file: UTF-16LE
    EXPECT_NE(undo.find("\"Debugger\"=\"svch0st.exe\""), std::string::npos) << source[0] << ": " << undo;
    EXPECT_NE(undo.find("\"caf\xC3\xA9\"=\"x\""), std::string::npos) << source[0] << ": " << undo;
    EXPECT_EQ(undo.find("MitigationOptions"), std::string::npos) << source[0] << ": nothing else was changed";
    std::vector<std::string> scan = {"scan", "--json"};
    scan.insert(scan.end(), source.begin(), source.end());
    const Result after = Cli(scan);
    EXPECT_NE(after.out.find("\"index\": 3, \"group\": \"system\", \"name\": \"" +
                             registry::GbkToUtf8(repair::Item(3).name) + "\", \"state\": \"healthy\""),
              std::string::npos)
        << source[0] << ": " << after.out;
    std::vector<std::string> restore = {"restore", backup};
    restore.insert(restore.end(), source.begin(), source.end());
    const Result restored = Cli(restore);
    EXPECT_EQ(restored.code, kExitOk) << source[0] << ": " << restored.err;
    EXPECT_EQ(Cli(scan).code, kExitDamage) << source[0] << ": the debugger is back";
    fs::remove(backup);
  }
  const std::string kept = registry::Utf16leToUtf8(ReadFile(reg).substr(2));
  EXPECT_NE(kept.find("\"MitigationOptions\"=dword:00000100"), std::string::npos) << kept;
}

TEST_F(CliTest, DryRunListsTheChangesAndTouchesNothing) {
  MemoryStore demo;
  registry::LoadDemoRegistry(demo);
  const std::string file = Path("machine.reg");
  WriteFile(file, registry::FormatRegFile({registry::RegFormat::kVersion5, registry::EntriesOf(demo)}));
  const std::string before = ReadFile(file);

  const Result dry = Cli({"repair", "--reg", file, "--all", "--dry-run"});
  EXPECT_EQ(ReadFile(file), before);
  EXPECT_EQ(dry.code, kExitOk);
  EXPECT_NE(dry.out.find("Would change:\n  delete HKEY_CURRENT_USER\\" + std::string(kSystemPolicy) +
                         " \"DisableTaskMgr\"\n"),
            std::string::npos)
      << dry.out;
  EXPECT_NE(dry.out.find("  delete key HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File "
                         "Execution Options\\IceSword.exe\n"),
            std::string::npos);
  EXPECT_NE(dry.out.find("  set    HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon "
                         "\"Shell\" = \"Explorer.exe\" (was \"Explorer.exe C:\\\\WINDOWS\\\\system32\\\\svch0st.exe\")\n"),
            std::string::npos);

  // In JSON the run says it was a dry run, and what it would change.
  const Result json = Cli({"repair", "--reg", file, "0", "3", "--dry-run", "--json"});
  EXPECT_EQ(json.out.rfind("{\"source\": \"--reg " + file + "\", \"dry_run\": true, \"profiles\": [", 0), 0u)
      << json.out;
  EXPECT_NE(json.out.find("\"would_change\": [{\"change\": \"delete value\", \"key\": " +
                          JsonString(std::string("HKEY_CURRENT_USER\\") + kSystemPolicy) +
                          ", \"name\": \"DisableTaskMgr\"}, {\"change\": \"delete key\", \"key\": " +
                          JsonString("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image "
                                     "File Execution Options\\360Safe.exe") +
                          "}, "),
            std::string::npos)
      << json.out;
  EXPECT_EQ(Cli({"scan", "--reg", file, "--json"}).out.find("dry_run"), std::string::npos);

  // The report of the dry run is the report of the real run.
  const auto report = [](const std::string& out) { return out.substr(out.find("以下项被修复")); };
  const Result real = Cli({"repair", "--reg", file, "--all"});
  EXPECT_EQ(report(dry.out), report(real.out));
  EXPECT_NE(ReadFile(file), before);
}

// regedit writes a link as a key holding "SymbolicLinkValue" of type
// REG_LINK; read back from a .reg file that key is taken for a link.
TEST_F(CliTest, AKeyOfARegFileHoldingALinkTargetIsRemovedAsALink) {
  const std::string ifeo = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options";
  const std::string file = Path("link.reg");
  WriteFile(file,
            "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\" + ifeo +
                "\\icesword.exe]\r\n\"SymbolicLinkValue\"=hex(6):5c,00,52,00\r\n\r\n[HKEY_LOCAL_MACHINE\\" + ifeo +
                "\\notepad.exe]\r\n\r\n");
  const Result dry = Cli({"repair", "3", "--reg", file, "--dry-run"});
  EXPECT_EQ(dry.code, kExitOk) << dry.out << dry.err;
  EXPECT_NE(dry.out.find("  delete link HKEY_LOCAL_MACHINE\\" + ifeo + "\\icesword.exe (what it points at stays)\n"),
            std::string::npos)
      << dry.out;
  EXPECT_EQ(dry.out.find("notepad"), std::string::npos) << dry.out;
}

// A listed tool's subkey goes whole, as one tree of the file: no name below
// it, whatever the code page makes of it, keeps the hijack, and the dry run
// says the same as the run.
TEST_F(CliTest, NoNameBelowAListedToolsSubkeyKeepsItsHijackInAHive) {
  const std::string ifeo = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options";
  // With exploit-protection settings beside the hijack, the subkeys would
  // go one by one by name and the settings stay: names that cannot be
  // named make it go whole all the same.
  for (const bool settings : {false, true}) {
    SCOPED_TRACE(settings ? "with MitigationOptions" : "hijack only");
    MemoryStore store;
    store.PutString(kLocalMachine, ifeo + "\\IceSword.exe", "Debugger", "svch0st.exe");
    if (settings) store.PutDword(kLocalMachine, ifeo + "\\IceSword.exe", "MitigationOptions", 0x100);
    for (const char* name : {"Qa01", "Qb01", "Qc01", "yubC", "Qe01\\Deep"}) {
      store.PutDword(kLocalMachine, ifeo + "\\IceSword.exe\\" + name, "v", 1);
    }
    store.PutDword(kLocalMachine, ifeo + "\\winword.exe", "DisableHeapLookaside", 1);
    const std::string software = Path("SOFTWARE");
    WriteHives(store, software, "");
    std::string bytes = ReadFile(software);
    // Stored names the code page cannot spell, or spells as another's.
    const auto rename = [&](const std::string& name, const std::string& stored, bool utf16) {
      const std::size_t at = bytes.find(name);
      ASSERT_NE(at, std::string::npos) << name;
      const std::size_t nk = at - 0x50;
      ASSERT_EQ(bytes.compare(nk + 4, 2, "nk"), 0) << name;
      ASSERT_EQ(stored.size(), name.size());
      bytes.replace(at, stored.size(), stored);
      if (utf16) bytes[nk + 6] = static_cast<char>(bytes[nk + 6] & ~0x20);
    };
    rename("Qa01", std::string("\x00\xD8x\x00", 4), true);   // a lone surrogate, then "x"
    rename("Qb01", std::string("\x3D\xD8\x00\xDE", 4), true);  // an emoji, outside the BMP
    rename("Qc01", "\xFFubC", false);                           // "ÿubC", best fit "yubC" beside the real one
    rename("Qe01", std::string("a\x00b\x00", 4), true);        // "ab", then a key below it
    WriteFile(software, bytes);

    const Result scan = Cli({"scan", "--software", software, "--json"});
    EXPECT_EQ(StateIn(scan.out, 3), "damaged") << scan.out << scan.err;
    const Result dry = Cli({"repair", "3", "--software", software, "--dry-run"});
    EXPECT_EQ(dry.code, kExitOk) << dry.out << dry.err;
    EXPECT_NE(dry.out.find("  delete key HKEY_LOCAL_MACHINE\\" + ifeo + "\\IceSword.exe\n"), std::string::npos)
        << dry.out;
    EXPECT_EQ(ReadFile(software), bytes) << "a dry run writes nothing";
    const Result repaired = Cli({"repair", "3", "--software", software});
    EXPECT_EQ(repaired.code, kExitOk) << repaired.out << repaired.err;
    const std::string after = DumpHives(software, "");
    // The dump names keys in capitals.
    EXPECT_EQ(after.find("ICESWORD"), std::string::npos) << after;
    EXPECT_NE(after.find("WINWORD.EXE]\nDISABLEHEAPLOOKASIDE"), std::string::npos) << "an unlisted subkey stays: " << after;
    EXPECT_EQ(StateIn(Cli({"scan", "--software", software, "--json"}).out, 3), "healthy");
  }
}

// What a restore would put back differently is never backed up: a name
// holding a backslash (it would come back as two keys), two subkeys or two
// values whose names differ only in letter case (they would come back as
// one, one value's data over the other's). The run is refused whole; without
// --backup it goes ahead.
// A listed tool's subkey the hive cannot show whole is undetermined for the
// true reason: nothing offline denies access.
TEST_F(CliTest, AnImageOptionsPlaceTheHiveCannotShowNamesWhyNotAccessDenied) {
  const std::string ifeo = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options";
  struct Case {
    const char* what;
    const char* renamed;  // a stored name, and what it becomes (empty: none)
    const char* to;
    bool damage_values;   // the tool's subkey claims more values than its list holds
    const char* reason;
  };
  const Case kCases[] = {
      {"two subkeys of one name", "ICESWORX.EXE", "ICESWORD.EXE", false, "there twice"},
      {"a value list the hive cannot read", "", "", true, "cannot be read"},
  };
  for (const Case& c : kCases) {
    MemoryStore store;
    store.PutDword(kLocalMachine, ifeo + "\\IceSword.exe", "MitigationOptions", 1);
    store.PutDword(kLocalMachine, ifeo + "\\ICESWORX.EXE", "MitigationOptions", 1);
    const std::string software = Path("SOFTWARE");
    WriteHives(store, software, "");
    std::string bytes = ReadFile(software);
    if (*c.renamed) {
      const std::size_t at = bytes.find(c.renamed);
      ASSERT_NE(at, std::string::npos) << c.what;
      bytes.replace(at, std::strlen(c.to), c.to);
    }
    if (c.damage_values) {
      const std::size_t at = bytes.find("IceSword.exe");
      ASSERT_NE(at, std::string::npos);
      const std::size_t nk = at - 0x50;
      ASSERT_EQ(bytes.compare(nk + 4, 2, "nk"), 0);
      bytes[nk + 0x28] = 40;
    }
    WriteFile(software, bytes);
    const Result scan = Cli({"scan", "--software", software});
    EXPECT_EQ(scan.code, kExitDamage) << c.what << ": " << scan.out << scan.err;
    EXPECT_NE(scan.out.find(c.reason), std::string::npos) << c.what << ": " << scan.out;
    EXPECT_EQ(scan.out.find("access denied"), std::string::npos) << c.what << ": " << scan.out;
    EXPECT_EQ(scan.err.find("access denied"), std::string::npos) << c.what << ": " << scan.err;
  }
}

TEST_F(CliTest, ABackupRefusesWhatItsRestoreWouldPutBackDifferently) {
  const std::string ifeo = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options";
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> renames;  // stored name: what it becomes
    bool keeps_protection;  // the listed key keeps MitigationOptions: only its values go
  };
  const Case kCases[] = {
      {"a backslash in a subkey's name", {{"backQslash", "back\\slash"}}, false},
      {"two subkeys of one name", {{"Gsub", "fsub"}}, false},
      {"two values of one name, in a key that goes whole", {{"DEBUGGEX", "DEBUGGER"}}, false},
      {"two values of one name, one of them taken out", {{"DEBUGGEX", "DEBUGGER"}}, true},
  };
  for (const Case& c : kCases) {
    MemoryStore store;
    const std::string tool = ifeo + "\\IceSword.exe";
    store.PutString(kLocalMachine, tool, "Debugger", "e");
    store.PutString(kLocalMachine, tool, "DEBUGGEX", "e2");
    if (c.keeps_protection) store.PutDword(kLocalMachine, tool, "MitigationOptions", 1);
    store.PutString(kLocalMachine, tool + "\\backQslash", "v", "bs");
    store.PutString(kLocalMachine, tool + "\\fsub", "a", "first");
    store.PutString(kLocalMachine, tool + "\\Gsub", "b", "second");
    const std::string software = Path("SOFTWARE"), backup = Path("undo.reg");
    fs::remove(backup);
    WriteHives(store, software, "");
    std::string bytes = ReadFile(software);
    for (const auto& [from, to] : c.renames) {
      const std::size_t at = bytes.find(from);
      ASSERT_NE(at, std::string::npos) << c.what;
      bytes.replace(at, to.size(), to);
    }
    WriteFile(software, bytes);
    const Result refused = Cli({"repair", "3", "--software", software, "--backup", backup});
    EXPECT_EQ(refused.code, kExitError) << c.what << ": " << refused.out << refused.err;
    EXPECT_NE(refused.err.find("which a backup cannot"), std::string::npos) << c.what << ": " << refused.err;
    EXPECT_EQ(ReadFile(software), bytes) << c.what << ": nothing changed";
    EXPECT_FALSE(fs::exists(backup)) << c.what;
    const Result plain = Cli({"repair", "3", "--software", software});
    EXPECT_NE(plain.code, kExitError) << c.what << ": " << plain.err;
    EXPECT_NE(ReadFile(software), bytes) << c.what << ": without --backup the repair goes ahead";
  }
}

TEST_F(CliTest, BackupAndRestoreGiveBackTheRegistryValueForValue) {
  MemoryStore demo;
  registry::LoadDemoRegistry(demo);
  demo.PutValue(kLocalMachine, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options\\IceSword.exe\\Deep",
                "Blob", registry::kRegBinary, {1, 2, 3});
  const std::string software = Path("SOFTWARE"), user = Path("NTUSER.DAT"), backup = Path("backup.reg");
  WriteHives(demo, software, user);
  const std::string original = DumpHives(software, user);
  const std::vector<std::string> source = {"--software", software, "--ntuser", user};

  std::vector<std::string> repair = {"repair", "--all", "--backup", backup};
  repair.insert(repair.end(), source.begin(), source.end());
  const Result repaired = Cli(repair);
  ASSERT_EQ(repaired.code, kExitOk) << repaired.err;
  EXPECT_NE(DumpHives(software, user), original);
  const std::string backup_text = ReadFile(backup);
  EXPECT_EQ(backup_text.substr(0, 2), "\xFF\xFE") << "a version-5 file";
  const auto entries = registry::ReadRegFile(backup).entries;
  EXPECT_GT(entries.size(), 10u);

  std::vector<std::string> restore = {"restore", backup};
  restore.insert(restore.end(), source.begin(), source.end());
  const Result restored = Cli(restore);
  EXPECT_EQ(restored.code, kExitOk) << restored.err;
  EXPECT_EQ(DumpHives(software, user), original);
  std::vector<std::string> scan = {"scan"};
  scan.insert(scan.end(), source.begin(), source.end());
  EXPECT_EQ(Cli(scan).code, kExitDamage);
}

TEST_F(CliTest, ABackupOfRepairsInTheThirtyTwoBitViewRestoresThereValueForValue) {
  MemoryStore demo;
  registry::LoadDemoRegistry(demo);
  const std::string wow = "SOFTWARE\\Wow6432Node\\Microsoft\\Windows NT\\CurrentVersion";
  demo.PutString(kLocalMachine, wow + "\\Winlogon", "Shell", "Explorer.exe evil.exe");
  demo.PutString(kLocalMachine, wow + "\\Windows", "AppInit_DLLs", "C:\\evil.dll");
  demo.PutString(kLocalMachine, wow + "\\Image File Execution Options\\avp.exe", "Debugger", "svch0st.exe");
  const std::string software = Path("SOFTWARE"), user = Path("NTUSER.DAT"), backup = Path("backup.reg");
  WriteHives(demo, software, user);
  const std::string original = DumpHives(software, user);
  const std::vector<std::string> source = {"--software", software, "--ntuser", user};

  std::vector<std::string> scan = {"scan", "--json"};
  scan.insert(scan.end(), source.begin(), source.end());
  const Result before = Cli(scan);
  EXPECT_NE(before.out.find("\"name\": \"AppInit_DLLs\", \"state\": \"damaged\", \"views\": {\"64\": \"healthy\", "
                            "\"32\": \"damaged\"}"),
            std::string::npos)
      << before.out;

  std::vector<std::string> repair = {"repair", "3", "12", "13", "--backup", backup};
  repair.insert(repair.end(), source.begin(), source.end());
  const Result repaired = Cli(repair);
  ASSERT_EQ(repaired.code, kExitOk) << repaired.out << repaired.err;
  const std::string after = Cli(scan).out;
  for (const char* healthy : {"\"views\": {\"64\": \"healthy\", \"32\": \"damaged\"}"}) {
    EXPECT_EQ(after.find(healthy), std::string::npos) << after;
  }

  std::vector<std::string> restore = {"restore", backup};
  restore.insert(restore.end(), source.begin(), source.end());
  const Result restored = Cli(restore);
  EXPECT_EQ(restored.code, kExitOk) << restored.out << restored.err;
  EXPECT_EQ(DumpHives(software, user), original) << "the 32-bit view's keys and values came back";
}

// The SHOWALL key deleted: the repair of item 9 makes it again with
// Windows' own values in a hive and in a .reg file alike, the dry run lists
// the same, and the backup's restore deletes the key again.
TEST_F(CliTest, AMissingShowAllKeyIsMadeAgainInEveryStoreAndItsRestoreDeletesIt) {
  MemoryStore store;
  torvane::testing::PutHealthySystem(store);
  store.RemoveTree(kLocalMachine, torvane::testing::kShowAll);
  const std::string hive = Path("SOFTWARE"), reg = Path("machine.reg"), backup = Path("undo.reg");
  WriteHives(store, hive, "");
  WriteFile(reg, registry::FormatRegFile({registry::RegFormat::kVersion5, registry::EntriesOf(store)}));
  const std::string key = "HKEY_LOCAL_MACHINE\\" + torvane::testing::kShowAll;
  const std::string report = "以下项被修复\n" + registry::GbkToUtf8(repair::Item(9).name) + "\n";
  for (const std::vector<std::string>& source : {std::vector<std::string>{"--software", hive},
                                                 std::vector<std::string>{"--reg", reg}}) {
    SCOPED_TRACE(source[0]);
    const std::string before = ReadFile(source[1]);
    const auto with = [&](std::vector<std::string> args) {
      args.insert(args.end(), source.begin(), source.end());
      return Cli(args);
    };
    EXPECT_EQ(StateIn(with({"scan", "--json"}).out, 9), "damaged");
    const Result dry = with({"repair", "9", "--dry-run"});
    EXPECT_EQ(dry.code, kExitOk) << dry.err;
    EXPECT_NE(dry.out.find("Would change:\n  create key " + key + "\n  set    " + key + " \"RegPath\" = "),
              std::string::npos)
        << dry.out;
    EXPECT_NE(dry.out.find("  set    " + key + " \"HelpID\" = \"shell.hlp#51105\" (was absent)\n"), std::string::npos)
        << dry.out;
    EXPECT_EQ(dry.out.substr(dry.out.find("以下项被修复")), report);
    const Result json = with({"repair", "9", "--dry-run", "--json"});
    EXPECT_NE(json.out.find("\"would_change\": [{\"change\": \"create key\", \"key\": " + JsonString(key) + "}, "),
              std::string::npos)
        << json.out;
    EXPECT_EQ(ReadFile(source[1]), before) << "the dry run changed nothing";

    const Result real = with({"repair", "9", "--backup", backup});
    EXPECT_EQ(real.code, kExitOk) << real.err;
    EXPECT_EQ(real.out, report + "Backup: " + backup + "\n");
    EXPECT_EQ(StateIn(with({"scan", "--json"}).out, 9), "healthy");
    const auto undo = registry::ReadRegFile(backup).entries;
    ASSERT_EQ(undo.size(), 1u) << "the key's deletion holds every value written into it";
    EXPECT_EQ(undo[0].kind, registry::RegEntry::Kind::kDeleteKey);
    EXPECT_EQ(undo[0].path, torvane::testing::kShowAll);

    const Result restored = with({"restore", backup});
    EXPECT_EQ(restored.code, kExitOk) << restored.err;
    EXPECT_EQ(StateIn(with({"scan", "--json"}).out, 9), "damaged") << "the key is gone again";
    if (source[0] == "--software") {
      registry::HiveStore restored_hive(registry::HiveFile::Open(hive, false), nullptr);
      EXPECT_FALSE(restored_hive.ListValues(kLocalMachine, torvane::testing::kShowAll)) << "no key at all";
      EXPECT_TRUE(restored_hive.ListValues(kLocalMachine, torvane::testing::kShowAll.substr(
                      0, torvane::testing::kShowAll.rfind('\\'))));
    } else {
      const std::string text = registry::Utf16leToUtf8(ReadFile(reg).substr(2));  // a version-5 file: UTF-16LE
      EXPECT_NE(text.find("\\Folder\\Hidden]"), std::string::npos) << text;
      EXPECT_EQ(text.find("SHOWALL"), std::string::npos) << text;
    }
    fs::remove(backup);
  }
}

TEST_F(CliTest, AnEmptyBackupIsWrittenEvenWhenNothingChanges) {
  MemoryStore healthy;
  healthy.PutString(kLocalMachine, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", "Shell", "Explorer.exe");
  const std::string file = Path("m.reg");
  WriteFile(file, registry::FormatRegFile({registry::RegFormat::kVersion5, registry::EntriesOf(healthy)}));
  const Result result = Cli({"repair", "12", "--reg", file, "--backup", Path("b.reg")});
  EXPECT_EQ(result.code, kExitOk);
  EXPECT_TRUE(registry::ReadRegFile(Path("b.reg")).entries.empty());
}

// A Group Policy file holding `entries` (key, value name, REG_DWORD data),
// written to `path`.
void WritePolicyFile(const fs::path& path, const std::vector<std::tuple<std::string, std::string, std::uint32_t>>& entries) {
  std::vector<registry::PregEntry> written;
  for (const auto& [key, name, number] : entries) {
    std::vector<std::uint8_t> data(4);
    for (int b = 0; b < 4; ++b) data[b] = static_cast<std::uint8_t>(number >> (8 * b));
    const bool instruction = name.rfind("**", 0) == 0;
    written.push_back({registry::PregText(key), registry::PregText(name), instruction ? 1u : 4u,
                       instruction ? std::vector<std::uint8_t>{0, 0} : data});
  }
  fs::create_directories(path.parent_path());
  WriteFile(path.string(), registry::FormatPreg(written));
}

// Group Policy on a mounted volume: the local policy object's files are
// evidence, the merged results in ntuser.pol (which a standard user can
// write) never are, and only the very value the policy sets is managed.
TEST_F(CliTest, GroupPolicyOnAVolumeIsManagedOnlyWhereAStandardUserCannotForgeIt) {
  const std::string kExplorer = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
  const std::string kAu = "Software\\Policies\\Microsoft\\Windows\\WindowsUpdate\\AU";
  using Entries = std::vector<std::tuple<std::string, std::string, std::uint32_t>>;
  struct Case {
    const char* what;
    std::uint32_t no_run;  // alice's NoRun
    Entries local_user, own_ntuser_pol;
    const char* state;     // item 4's
  };
  const Case kCases[] = {
      {"the local policy sets what the registry holds", 1, {{kExplorer, "NoRun", 1}}, {}, "managed"},
      {"the local policy sets other data", 2, {{kExplorer, "NoRun", 1}}, {}, "damaged"},
      {"a later **del. takes it back", 1, {{kExplorer, "NoRun", 1}, {kExplorer, "**del.NoRun", 0}}, {}, "damaged"},
      {"only the user's own ntuser.pol says so", 1, {}, {{kExplorer, "NoRun", 1}}, "damaged"},
      {"no policy at all", 1, {}, {}, "damaged"},
  };
  int n = 0;
  for (const Case& c : kCases) {
    const fs::path root = Path("vol" + std::to_string(n++));
    fs::create_directories(root / "Windows" / "System32" / "config");
    fs::create_directories(root / "Users" / "alice");
    MemoryStore machine;
    torvane::testing::PutHealthySystem(machine);
    machine.PutDword(kLocalMachine, "SOFTWARE\\Policies\\Microsoft\\Windows\\WindowsUpdate\\AU", "NoAutoUpdate", 1);
    WriteHive((root / "Windows" / "System32" / "config" / "SOFTWARE").string(), *machine.FindKey(kLocalMachine, "SOFTWARE"));
    MemoryStore alice;
    torvane::testing::PutHealthySystem(alice);
    alice.PutDword(kCurrentUser, kExplorer, "NoRun", c.no_run);
    WriteHive((root / "Users" / "alice" / "NTUSER.DAT").string(), alice.Root(kCurrentUser));
    // The machine's update policy is the organisation's.
    WritePolicyFile(root / "Windows" / "System32" / "GroupPolicy" / "Machine" / "Registry.pol",
                    {{kAu, "NoAutoUpdate", 1}});
    if (!c.local_user.empty()) {
      WritePolicyFile(root / "Windows" / "System32" / "GroupPolicy" / "User" / "Registry.pol", c.local_user);
    }
    if (!c.own_ntuser_pol.empty()) WritePolicyFile(root / "Users" / "alice" / "ntuser.pol", c.own_ntuser_pol);
    const fs::path gpt = root / "Windows" / "System32" / "GroupPolicy" / "gpt.ini";
    WriteFile(gpt.string(), "[General]\r\nVersion=65537\r\n");

    const Result scan = Cli({"scan", "--windows", root.string(), "--json"});
    const std::string managed_update =
        "\"state\": \"managed\", \"views\": {\"64\": \"damaged\", \"32\": \"healthy\"}, \"policy\": {\"scope\": "
        "\"local\", \"name\": \"Local Group Policy\", \"file\": \"" +
        (root / "Windows" / "System32" / "GroupPolicy" / "Machine" / "Registry.pol").string() +
        "\", \"owner_checked\": false}";
    EXPECT_NE(scan.out.find(managed_update), std::string::npos) << c.what << ": " << scan.out;
    EXPECT_NE(scan.out.find("\"index\": 4, \"group\": \"system\", \"name\": \"" +
                            registry::GbkToUtf8(repair::Item(4).name) + "\", \"state\": \"" + c.state + "\""),
              std::string::npos)
        << c.what << ": " << scan.out;
    const bool managed = std::string(c.state) == "managed";
    EXPECT_EQ(scan.code, managed ? kExitOk : kExitDamage) << c.what << ": policy alone is no damage";

    const Result repair = Cli({"repair", "--windows", root.string(), "--all", "--json"});
    EXPECT_EQ(repair.code, kExitOk) << c.what << ": " << repair.out << repair.err;
    EXPECT_NE(repair.out.find("\"left_alone\": [{\"profile\": \"alice\", \"index\": " + std::string(managed ? "4" : "8")),
              std::string::npos)
        << c.what << ": " << repair.out;
    const Result again = Cli({"scan", "--windows", root.string(), "--json"});
    EXPECT_NE(again.out.find(managed_update), std::string::npos) << c.what << ": the organisation's value stays";
    EXPECT_EQ(again.out.find("\"state\": \"damaged\""), std::string::npos) << c.what << ": " << again.out;
    if (!managed) continue;

    // Named and included, a local policy's value goes from the registry and
    // from the policy file, whose version goes up so the next refresh reads
    // it again; a backup could not carry the file, so it is refused first.
    const fs::path pol = root / "Windows" / "System32" / "GroupPolicy" / "User" / "Registry.pol";
    const std::string policy_before = ReadFile(pol.string());
    const Result backed = Cli({"repair", "--windows", root.string(), "4", "--include-managed", "--backup",
                               Path("policy-backup.reg")});
    EXPECT_EQ(backed.code, kExitError) << backed.err;
    EXPECT_NE(backed.err.find("Nothing was changed."), std::string::npos) << backed.err;
    EXPECT_EQ(ReadFile(pol.string()), policy_before);
    EXPECT_FALSE(fs::exists(Path("policy-backup.reg")));
    const Result named = Cli({"repair", "--windows", root.string(), "4", "--json"});
    EXPECT_EQ(named.code, kExitOk) << named.err;
    EXPECT_NE(named.out.find("\"left_alone\": [{\"profile\": \"alice\", \"index\": 4"), std::string::npos) << named.out;
    const Result dry = Cli({"repair", "--windows", root.string(), "4", "--include-managed", "--dry-run"});
    EXPECT_NE(dry.out.find("take the values out of the local policy " + pol.string()), std::string::npos) << dry.out;
    EXPECT_EQ(ReadFile(pol.string()), policy_before) << "a dry run changes nothing";
    const Result included = Cli({"repair", "--windows", root.string(), "4", "--include-managed", "--json"});
    EXPECT_EQ(included.code, kExitOk) << included.out << included.err;
    EXPECT_NE(included.out.find("\"policy_files_changed\": [\"" + pol.string() + "\"]"), std::string::npos)
        << included.out;
    const std::string policy_after = ReadFile(pol.string());
    const auto entries = registry::ParsePreg({reinterpret_cast<const std::uint8_t*>(policy_after.data()),
                                              policy_after.size()});
    EXPECT_TRUE(entries.empty()) << "the policy's NoRun is taken out";
    EXPECT_EQ(ReadFile(gpt.string()), "[General]\r\nVersion=131073\r\n") << "the user part's version went up";
    const Result after = Cli({"scan", "--windows", root.string(), "--json"});
    EXPECT_NE(after.out.find("\"index\": 4, \"group\": \"system\", \"name\": \"" +
                             registry::GbkToUtf8(repair::Item(4).name) + "\", \"state\": \"healthy\""),
              std::string::npos)
        << after.out;
  }
}

// --include-managed on a volume whose policy object's version cannot be
// raised (its gpt.ini missing, a link, no regular file, unreadable, or its
// part at the top): the real run refuses and changes nothing, and the dry
// run refuses alike, with the same exit status and words.
TEST_F(CliTest, TheDryRunRefusesAPolicyVersionTheRealRunCannotRaise) {
  const std::string kExplorer = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
  enum class Gpt { kMissing, kLink, kFolder, kFifo, kUnreadable, kAtTop, kSound };
  struct Case {
    const char* what;
    Gpt gpt;
    const char* says;
  };
  const Case kCases[] = {
      {"missing", Gpt::kMissing, "gpt.ini: missing: the policy object's version cannot be raised"},
      {"a link", Gpt::kLink, "gpt.ini"},
      {"a folder", Gpt::kFolder, "gpt.ini"},
      {"a pipe", Gpt::kFifo, "gpt.ini"},
      {"unreadable", Gpt::kUnreadable, "gpt.ini"},
      {"the user part at its top", Gpt::kAtTop,
       "gpt.ini: the version of its user part is at its top (65535) and cannot be raised. Nothing was changed."},
      {"sound", Gpt::kSound, ""},
  };
  int n = 0;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    // Root reads a file whatever its mode.
    if (c.gpt == Gpt::kUnreadable && ::geteuid() == 0) continue;
    const fs::path root = Path("gpt" + std::to_string(n++));
    const fs::path group_policy = root / "Windows" / "System32" / "GroupPolicy";
    fs::create_directories(root / "Windows" / "System32" / "config");
    fs::create_directories(root / "Users" / "alice");
    MemoryStore machine;
    torvane::testing::PutHealthySystem(machine);
    WriteHive((root / "Windows" / "System32" / "config" / "SOFTWARE").string(), *machine.FindKey(kLocalMachine, "SOFTWARE"));
    MemoryStore alice;
    torvane::testing::PutHealthySystem(alice);
    alice.PutDword(kCurrentUser, kExplorer, "NoRun", 1);
    const fs::path hive = root / "Users" / "alice" / "NTUSER.DAT";
    WriteHive(hive.string(), alice.Root(kCurrentUser));
    const fs::path pol = group_policy / "User" / "Registry.pol";
    WritePolicyFile(pol, {{kExplorer, "NoRun", 1}});
    const fs::path gpt = group_policy / "gpt.ini";
    switch (c.gpt) {
      case Gpt::kMissing:
        break;
      case Gpt::kLink:
        WriteFile(Path("elsewhere.ini"), "[General]\r\nVersion=65537\r\n");
        fs::create_symlink(Path("elsewhere.ini"), gpt);
        break;
      case Gpt::kFolder:
        fs::create_directories(gpt);
        break;
      case Gpt::kFifo:
        fs::create_directories(group_policy);
        ASSERT_EQ(::mkfifo(gpt.c_str(), 0600), 0);
        break;
      case Gpt::kUnreadable:
        WriteFile(gpt.string(), "[General]\r\nVersion=65537\r\n");
        fs::permissions(gpt, fs::perms::none);
        break;
      case Gpt::kAtTop:
        WriteFile(gpt.string(), "[General]\r\nVersion=4294901760\r\n");
        break;
      case Gpt::kSound:
        WriteFile(gpt.string(), "[General]\r\nVersion=65537\r\n");
        break;
    }
    const std::string policy_before = ReadFile(pol.string()), hive_before = ReadFile(hive.string());
    const Result dry = Cli({"repair", "--windows", root.string(), "4", "--include-managed", "--dry-run"});
    EXPECT_EQ(ReadFile(pol.string()), policy_before);
    EXPECT_EQ(ReadFile(hive.string()), hive_before);
    const Result real = Cli({"repair", "--windows", root.string(), "4", "--include-managed"});
    EXPECT_EQ(dry.code, real.code) << dry.out << dry.err;
    EXPECT_EQ(dry.err, real.err);
    if (c.gpt == Gpt::kSound) {
      EXPECT_EQ(real.code, kExitOk) << real.out << real.err;
      EXPECT_NE(dry.out.find("take the values out of the local policy " + pol.string()), std::string::npos) << dry.out;
      EXPECT_EQ(ReadFile(gpt.string()), "[General]\r\nVersion=131073\r\n");
      continue;
    }
    EXPECT_EQ(real.code, kExitError) << real.out << real.err;
    EXPECT_NE(real.err.find(c.says), std::string::npos) << real.err;
    EXPECT_NE(real.err.find("othing was changed"), std::string::npos) << real.err;
    EXPECT_EQ(dry.out.find("Would change"), std::string::npos) << dry.out;
    EXPECT_EQ(ReadFile(pol.string()), policy_before) << "the real run changed nothing either";
    EXPECT_EQ(ReadFile(hive.string()), hive_before);
    if (c.gpt == Gpt::kAtTop) {
      EXPECT_EQ(ReadFile(gpt.string()), "[General]\r\nVersion=4294901760\r\n");
    }
    if (c.gpt == Gpt::kUnreadable) fs::permissions(gpt, fs::perms::owner_all);
  }
}

TEST_F(CliTest, EveryProfileOfAMountedWindowsIsScannedAndRepaired) {
  // A mounted volume with names in other letter cases, two users, the
  // template profile and a junction that leads to one of them.
  const fs::path root = Path("mnt");
  fs::create_directories(root / "WINDOWS" / "system32" / "CONFIG");
  fs::create_directories(root / "Users" / "alice");
  fs::create_directories(root / "Users" / "Bob");
  fs::create_directories(root / "Documents and Settings" / "Old");
  fs::create_symlink(root / "Users" / "alice", root / "Users" / "Alias");

  MemoryStore machine;
  registry::LoadDemoRegistry(machine);
  machine.PutDword(kLocalMachine, "SOFTWARE\\" + std::string(kExplorerPolicy).substr(9), "NoViewContextMenu", 1);
  machine.PutString(kLocalMachine, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "SystemRoot", "D:\\windows");
  machine.PutString(kLocalMachine, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", "Userinit",
                    "D:\\windows\\system32\\userinit.exe,");
  WriteHive((root / "WINDOWS" / "system32" / "CONFIG" / "software").string(), *machine.FindKey(kLocalMachine, "SOFTWARE"));
  MemoryStore alice, bob, old;
  alice.PutDword(kCurrentUser, kSystemPolicy, "DisableTaskMgr", 1);
  alice.PutDword(kCurrentUser, kExplorerPolicy, "NoViewContextMenu", 1);
  bob.CreateKey(kCurrentUser, kExplorerPolicy);
  old.PutDword(kCurrentUser, kExplorerPolicy, "NoRun", 1);
  WriteHive((root / "Users" / "alice" / "ntuser.dat").string(), alice.Root(kCurrentUser));
  WriteHive((root / "Users" / "Bob" / "NTUSER.DAT").string(), bob.Root(kCurrentUser));
  WriteHive((root / "Documents and Settings" / "Old" / "NTUSER.DAT").string(), old.Root(kCurrentUser));

  const Result scan = Cli({"scan", "--windows", root.string(), "--json"});
  EXPECT_EQ(scan.code, kExitDamage) << scan.err;
  // Userinit follows the volume's SystemRoot; item 5 is damaged through HKLM for everyone.
  EXPECT_EQ(scan.out, "{\"source\": \"--windows " + root.string() + "\", \"profiles\": [" +
                          "{\"profile\": \"alice\", \"sid\": null, \"items\": " + ItemsJson("dhhdhdhhhhhhdhhhhhhhhhd") + "}, " +
                          "{\"profile\": \"Bob\", \"sid\": null, \"items\": " + ItemsJson("hhhdhdhhhhhhdhhhhhhhhhd") + "}, " +
                          "{\"profile\": \"Old\", \"sid\": null, \"items\": " + ItemsJson("hhhdddhhhhhhdhhhhhhhhhd") + "}" +
                          "], \"repaired\": [], \"failed\": []}\n");
  const Result text = Cli({"scan", "--windows", root.string()});
  EXPECT_NE(text.out.find("== alice ==\n系统修复项\n"), std::string::npos);
  EXPECT_NE(text.out.find("== Bob ==\n"), std::string::npos);

  const Result repair = Cli({"repair", "--windows", root.string(), "--all", "--json"});
  EXPECT_EQ(repair.code, kExitOk) << repair.err;
  EXPECT_NE(repair.out.find("\"repaired\": [{\"profile\": \"alice\", \"index\": 0, \"name\": \"任务管理器(TaskMgr)\"}, "
                            "{\"profile\": \"alice\", \"index\": 3, "),
            std::string::npos)
      << repair.out;
  EXPECT_NE(repair.out.find("{\"profile\": \"Old\", \"index\": 4, \"name\": \"运行菜单\"}"), std::string::npos);
  EXPECT_EQ(repair.out.find("{\"profile\": \"Bob\", \"index\": 5"), std::string::npos)
      << "the machine's value went with the first profile";
  EXPECT_EQ(Cli({"scan", "--windows", root.string()}).code, kExitOk);

  // SystemRoot is held to the volume: one naming a folder of malware's own,
  // with Userinit in it, does not make that Userinit healthy.
  machine.PutString(kLocalMachine, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "SystemRoot", "D:\\Evil");
  machine.PutString(kLocalMachine, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", "Userinit",
                    "D:\\Evil\\system32\\userinit.exe,");
  WriteHive((root / "WINDOWS" / "system32" / "CONFIG" / "software").string(), *machine.FindKey(kLocalMachine, "SOFTWARE"));
  const Result evil = Cli({"scan", "--windows", root.string(), "--json"});
  EXPECT_NE(evil.out.find("{\"index\": 10, \"group\": \"system\", \"name\": \"UserInit\", \"state\": \"damaged\""),
            std::string::npos)
      << evil.out;
  EXPECT_EQ(Cli({"repair", "--windows", root.string(), "10"}).code, kExitOk);
  registry::HiveStore mended(registry::HiveFile::Open((root / "WINDOWS" / "system32" / "CONFIG" / "software").string(), false),
                             nullptr);
  const auto values = mended.ListValues(kLocalMachine, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon");
  ASSERT_TRUE(values);
  const auto userinit = std::find_if(values->begin(), values->end(), [](const auto& v) { return v.name == "Userinit"; });
  ASSERT_NE(userinit, values->end());
  EXPECT_EQ(std::string(userinit->data.begin(), userinit->data.end()),
            registry::Utf8ToUtf16le("D:\\WINDOWS\\system32\\userinit.exe,") + std::string(2, '\0'));
}

TEST_F(CliTest, ItemsOfAMissingHiveAreUndeterminedAndNeverRepaired) {
  MemoryStore demo;
  registry::LoadDemoRegistry(demo);
  const std::string software = Path("SOFTWARE");
  WriteHives(demo, software, "");
  const Result scan = Cli({"scan", "--software", software, "--json"});
  EXPECT_NE(scan.out.find(ItemsJson("uuuduuuuhhhudhuuuuuuuhd")), std::string::npos) << scan.out;
  EXPECT_EQ(scan.code, kExitDamage);

  const Result refused = Cli({"repair", "0", "--software", software});
  EXPECT_EQ(refused.code, kExitError);
  EXPECT_EQ(refused.err, "torvane: item 0 needs a user hive (--ntuser), which --software " + software +
                             " does not give\n");
  const Result all = Cli({"repair", "--all", "--software", software});
  EXPECT_EQ(all.code, kExitOk) << all.out;
  EXPECT_EQ(all.out, "以下项被修复\n映像劫持检测\nShell启动项\nIE 网络协议前缀\n");

  // Every machine item healthy now, the user's never looked at: no all-clear.
  const Result healed = Cli({"scan", "--software", software, "--json"});
  EXPECT_EQ(healed.out.find("\"state\": \"damaged\""), std::string::npos) << healed.out;
  EXPECT_EQ(healed.code, kExitDamage);
}

TEST_F(CliTest, BadFilesGiveOneLineExitTwoAndChangeNothing) {
  MemoryStore demo;
  registry::LoadDemoRegistry(demo);
  const std::string software = Path("SOFTWARE"), user = Path("NTUSER.DAT");
  WriteHives(demo, software, user);
  const std::string good_user = ReadFile(user);
  const std::string bytes = ReadFile(software);
  WriteFile(software, bytes.substr(0, 8192));
  const Result truncated = Cli({"repair", "--all", "--software", software, "--ntuser", user});
  EXPECT_EQ(truncated.code, kExitError);
  EXPECT_EQ(truncated.err, "torvane: " + software + ": truncated: the header announces " +
                               std::to_string(bytes.size()) + " bytes, the file holds 8192\n");
  EXPECT_EQ(ReadFile(user), good_user);
  EXPECT_EQ(ReadFile(software), bytes.substr(0, 8192));

  WriteFile(software, "MZ\x90 garbage");
  const Result garbage = Cli({"scan", "--software", software});
  EXPECT_EQ(garbage.code, kExitError);
  EXPECT_EQ(garbage.err, "torvane: " + software + ": not a registry hive (no \"regf\" signature)\n");

  const std::string reg = Path("bad.reg");
  WriteFile(reg, "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software]\r\n\"A\"=dword:1\r\n\"B\"=hex:zz\r\n");
  const Result bad_reg = Cli({"repair", "--all", "--reg", reg});
  EXPECT_EQ(bad_reg.code, kExitError);
  EXPECT_EQ(bad_reg.err, "torvane: " + reg + ":5: bad byte \"zz\" in hex data\n");
  const Result missing = Cli({"scan", "--windows", Path("")});
  EXPECT_EQ(missing.code, kExitError);
  EXPECT_NE(missing.err.find("no Windows/System32/config/SOFTWARE hive"), std::string::npos);
  EXPECT_EQ(Cli({"repair", "--demo", std::to_string(repair::kItemCount)}).code, kExitError);
  EXPECT_EQ(Cli({"repair", "--demo"}).code, kExitError);
  EXPECT_EQ(Cli({"scan", "--demo", "--reg", reg}).code, kExitError);
  EXPECT_EQ(Cli({"frobnicate"}).code, kExitError);
}

// A dirty hive is read as Windows loads it, with its logs replayed: damage
// that sits only in a log is found, and the repair writes the recovered
// state back as one clean hive that keeps every other logged change.
TEST_F(CliTest, ADirtyHiveIsReadWithItsLogsReplayedAndRepairedClean) {
  MemoryStore demo;
  registry::LoadDemoRegistry(demo);
  const std::string software = Path("SOFTWARE"), user = Path("NTUSER.DAT");
  WriteHives(demo, software, user);
  // The state the primary holds: item 0 healthy.
  {
    auto hive = registry::HiveFile::Open(user, true);
    registry::HiveStore store(nullptr, hive);
    ASSERT_TRUE(store.DeleteValue(kCurrentUser, kSystemPolicy, "DisableTaskMgr"));
    hive->Commit();
  }
  const std::string before = ReadFile(user);
  // What Windows had written to the log only: item 0's damage and a value
  // of no item's.
  {
    auto hive = registry::HiveFile::Open(user, true);
    registry::HiveStore store(nullptr, hive);
    ASSERT_TRUE(store.SetValue(kCurrentUser, kSystemPolicy, registry::RegValue{"DisableTaskMgr", registry::kRegDword, {1, 0, 0, 0}}));
    ASSERT_TRUE(store.CreateKey(kCurrentUser, "Software\\Logged"));
    ASSERT_TRUE(store.SetValue(kCurrentUser, "Software\\Logged",
                               registry::RegValue{"Kept", registry::kRegSz, {'o', 0, 'k', 0, 0, 0}, true}));
    hive->Commit();
  }
  const std::string logged = ReadFile(user);
  std::string dirty = before;
  torvane::testing::MakeDirty(dirty, 40);
  // Windows 8.1 and later log as LOG1 and LOG2, older Windows in one .LOG.
  for (const bool old_format : {false, true}) {
    SCOPED_TRACE(old_format ? "old format" : "new format");
    WriteFile(user, dirty);
    for (const char* name : {"ntuser.dat.log1", "NTUSER.DAT.LOG2", "NTUSER.DAT.LOG"}) fs::remove(Path(name));
    const std::string log = old_format ? "NTUSER.DAT.LOG" : "ntuser.dat.log1";
    WriteFile(Path(log), old_format ? torvane::testing::OldFormatLog(before, logged)
                                    : torvane::testing::NewFormatLog(before, {logged}, 40));
    if (!old_format) WriteFile(Path("NTUSER.DAT.LOG2"), "");
    const std::string undo = Path(old_format ? "undo-old.reg" : "undo-new.reg");

    const Result scan = Cli({"scan", "--software", software, "--ntuser", user, "--json"});
    EXPECT_EQ(scan.code, kExitDamage);
    EXPECT_EQ(StateIn(scan.out, 0), "damaged") << scan.out;
    EXPECT_EQ(scan.err, "torvane: " + user + ": the hive is dirty; read with its transaction logs replayed (" + log + ")\n");

    // The dry run and the backup see the recovered state.
    const Result dry = Cli({"repair", "0", "--software", software, "--ntuser", user, "--dry-run"});
    EXPECT_EQ(dry.code, kExitOk) << dry.err;
    EXPECT_NE(dry.out.find("delete HKEY_CURRENT_USER\\" + std::string(kSystemPolicy) + " \"DisableTaskMgr\""),
              std::string::npos)
        << dry.out;
    EXPECT_EQ(ReadFile(user), dirty);
    const Result repair = Cli({"repair", "0", "--software", software, "--ntuser", user, "--backup", undo});
    EXPECT_EQ(repair.code, kExitOk) << repair.err;
    const std::string backup = registry::Utf16leToUtf8(ReadFile(undo).substr(2));
    EXPECT_NE(backup.find("\"DisableTaskMgr\"=dword:00000001"), std::string::npos) << backup;

    // One clean hive: equal sequence numbers past every one the log names,
    // so that Windows replays nothing over it; the logged value kept.
    const std::string written = ReadFile(user);
    const auto* header = reinterpret_cast<const unsigned char*>(written.data());
    EXPECT_EQ(registry::Le32(header + 4), registry::Le32(header + 8));
    EXPECT_GT(registry::Le32(header + 4), 40u);
    EXPECT_EQ(registry::BaseBlockChecksum(header), registry::Le32(header + 0x1FC));
    const std::string dump = DumpHives("", user);
    // Names are shown folded.
    EXPECT_EQ(dump.find("DISABLETASKMGR"), std::string::npos) << dump;
    EXPECT_NE(dump.find("KEPT=1:6f0000006b000000"), std::string::npos) << dump;
    // Three other readers see the repair and the logged value alike.
    const std::pair<std::string, std::string> readers[] = {
        {"regfexport", "Type: string (REG_SZ)"}, {"hivexml", "<value "}, {"reglookup", ",SZ,"}};
    for (const auto& [reader, shows_values] : readers) {
      const auto listing = torvane::testing::CommandOutput(reader + " '" + user + "'");
      ASSERT_TRUE(listing) << reader << " cannot read the repaired hive";
      EXPECT_NE(listing->find(shows_values), std::string::npos) << reader << ": " << *listing;
      EXPECT_NE(listing->find("Kept"), std::string::npos) << reader;
      EXPECT_EQ(listing->find("DisableTaskMgr"), std::string::npos) << reader;
    }
    const Result again = Cli({"scan", "--software", software, "--ntuser", user, "--json"});
    EXPECT_EQ(again.err, "");
    EXPECT_EQ(StateIn(again.out, 0), "healthy") << again.out;

    // The restore puts back the value as the logs held it.
    EXPECT_EQ(Cli({"restore", undo, "--software", software, "--ntuser", user}).code, kExitOk);
    EXPECT_NE(DumpHives("", user).find("DISABLETASKMGR=4:01000000"), std::string::npos);
  }
}

// A dirty hive whose logs cannot be replayed is never called healthy: its
// items are undetermined (exit 1), the file is left as it is, and the items
// of the other hive are still repaired.
TEST_F(CliTest, ADirtyHiveWithoutItsLogsHasItsItemsUndetermined) {
  MemoryStore demo;
  registry::LoadDemoRegistry(demo);
  const std::string software = Path("SOFTWARE"), user = Path("NTUSER.DAT");
  WriteHives(demo, software, user);
  for (const std::string& dirty : {user, software}) {
    const std::string other = dirty == user ? software : user;
    WriteHives(demo, software, user);
    torvane::testing::SetSecondarySequence(dirty, 7);
    const std::string before = ReadFile(dirty);
    const std::string reason = dirty + ": the hive is dirty and its transaction logs cannot be replayed "
                                       "(there are none beside it)";
    const Result scan = Cli({"scan", "--software", software, "--ntuser", user, "--json"});
    EXPECT_EQ(scan.code, kExitDamage);
    EXPECT_NE(scan.err.find(reason), std::string::npos) << scan.err;
    const int in_dirty = dirty == user ? 0 : 12, in_other = dirty == user ? 12 : 0;
    EXPECT_EQ(StateIn(scan.out, in_dirty), "undetermined") << scan.out;
    EXPECT_EQ(StateIn(scan.out, in_other), "damaged") << scan.out;
    EXPECT_EQ(Cli({"scan", dirty == user ? "--ntuser" : "--software", dirty, "--json"}).code, kExitDamage);
    // Item 0 lies in the user hive, item 12 in SOFTWARE.
    const Result repair =
        Cli({"repair", std::to_string(in_dirty), std::to_string(in_other), "--software", software, "--ntuser", user});
    EXPECT_EQ(repair.code, kExitDamage) << repair.err;
    EXPECT_EQ(ReadFile(dirty), before);
    const Result fixed = Cli({"scan", "--software", software, "--ntuser", user, "--json"});
    EXPECT_EQ(StateIn(fixed.out, in_other), "healthy") << fixed.out;
    EXPECT_EQ(StateIn(fixed.out, in_dirty), "undetermined") << fixed.out;
  }
}

// A hive of version 1.5 keeps data over 16,344 bytes in segments: a key
// that holds such a value is rewritten with the value whole, its segments
// written anew.
TEST_F(CliTest, AKeyWithAValueKeptInSegmentsIsRepairedAndKeepsIt) {
  MemoryStore store;
  store.PutDword(kCurrentUser, kSystemPolicy, "DisableTaskMgr", 1);
  std::vector<std::uint8_t> large(20000);
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  store.PutValue(kCurrentUser, kSystemPolicy, "Large", registry::kRegBinary, large);
  const std::string user = Path("NTUSER.DAT");
  WriteHive(user, store.Root(kCurrentUser));
  const std::string held = torvane::testing::SplitIntoSegments(user, "Large");
  const Result result = Cli({"repair", "0", "--ntuser", user, "--json", "--backup", Path("undo.reg")});
  EXPECT_EQ(result.code, kExitOk) << result.out << result.err;
  EXPECT_NE(result.out.find("\"repaired\": [{\"profile\": null, \"index\": 0, "), std::string::npos) << result.out;
  registry::HiveStore reread(nullptr, registry::HiveFile::Open(user, false));
  const auto values = reread.ListValues(kCurrentUser, kSystemPolicy);
  ASSERT_TRUE(values);
  ASSERT_EQ(values->size(), 1u);
  EXPECT_EQ(std::string(values->front().data.begin(), values->front().data.end()), held);
  // The restore puts DisableTaskMgr back beside it.
  EXPECT_EQ(Cli({"restore", Path("undo.reg"), "--ntuser", user}).code, kExitOk);
  EXPECT_EQ(Cli({"scan", "--ntuser", user}).code, kExitDamage);
}

}  // namespace
}  // namespace torvane::cli

namespace torvane::cli {
namespace {

using registry::OverlayState;
using registry::OverlayStore;
using registry::Plan;
using registry::RecordingStore;

const std::string kIfeoPath = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options";

// The dry run over a registry where a listed subkey is a link to a tree the
// tool must not touch: the change list names the link, and only it.
TEST(DryRunTest, ALinkIsListedAsALinkAndNothingBehindIt) {
  MemoryStore store;
  torvane::testing::PutHealthySystem(store);
  store.PutString(kLocalMachine, "SOFTWARE\\VictimTree\\Child", "Data", "keep");
  store.CreateLink(kLocalMachine, kIfeoPath + "\\IceSword.exe", kLocalMachine, "SOFTWARE\\VictimTree");
  const std::string before = store.Dump();
  auto machine = std::make_shared<OverlayState>();
  OverlayStore overlay(store, machine);
  std::vector<Change> changes;
  RecordingStore recorder(overlay, nullptr, [&](const Change& change) { changes.push_back(change); });
  repair::RepairEngine engine(recorder);
  EXPECT_EQ(engine.ApplyRepair(3), repair::RepairOutcome::kRepaired);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].kind, Change::Kind::kDeleteKey);
  EXPECT_TRUE(changes[0].link);
  EXPECT_EQ(changes[0].path, kIfeoPath + "\\IceSword.exe");
  EXPECT_EQ(store.Dump(), before) << "a dry run changes nothing";
  const Plan plan = PlanOf(*machine, kLocalMachine);
  ASSERT_EQ(plan.deleted_keys.size(), 1u);
  EXPECT_TRUE(plan.deleted_keys[0].link);
  registry::MemoryTarget target(store);
  EXPECT_TRUE(repair::UndoOf(plan, target, "").empty()) << "no ordinary key takes the link's place on restore";

  RunReport report;
  report.repair = report.dry_run = true;
  ProfileReport profile;
  profile.changes = changes;
  report.profiles.push_back(profile);
  const std::string path = torvane::testing::ScratchDirectory("dryrun") + "/out.txt";
  std::FILE* out = std::fopen(path.c_str(), "w");
  ASSERT_NE(out, nullptr);
  PrintText(report, false, out);
  std::fclose(out);
  EXPECT_NE(ReadFile(path).find("delete link HKEY_LOCAL_MACHINE\\" + kIfeoPath + "\\IceSword.exe"), std::string::npos)
      << ReadFile(path);
}

TEST(RefusalTest, TheKeyThatRefusedAndTheAccessAreNoted) {
  MemoryStore store;
  torvane::testing::PutHealthySystem(store);
  store.CreateKey(kLocalMachine, kIfeoPath + "\\IceSword.exe");
  store.DenyFullAccess(kLocalMachine, kIfeoPath);
  RecordingStore recorder(store, nullptr, [](const Change&) {});
  repair::RepairEngine engine(recorder);
  EXPECT_EQ(engine.ApplyRepair(3), repair::RepairOutcome::kFailed);
  ASSERT_FALSE(recorder.refusals().empty());
  EXPECT_EQ(recorder.refusals()[0].root, kLocalMachine);
  EXPECT_EQ(recorder.refusals()[0].path, kIfeoPath);
  EXPECT_EQ(recorder.refusals()[0].access, "KEY_ALL_ACCESS");
  const auto count = recorder.refusals().size();
  engine.ApplyRepair(3);
  EXPECT_EQ(recorder.refusals().size(), count) << "each refusal once";
}

}  // namespace
}  // namespace torvane::cli
