// The undo path end to end: backups that give back the stored bytes, restores
// that reach no further than the repairs and apply all or nothing, backups
// that never overwrite, and .reg files edited in place.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "cli/commands.h"
#include "cli/options.h"
#include "registry/codepage.h"
#include "registry/demo.h"
#include "registry/hive_store.h"
#include "registry/names.h"
#include "registry/reg_file.h"
#include "registry/utf.h"
#include "support/cli_run.h"
#include "support/fixtures.h"
#include "support/hive_builder.h"
#include "support/hive_diff.h"
#include "support/text.h"

namespace torvane::cli {
namespace {

namespace fs = std::filesystem;
using registry::HKey;
using registry::kCurrentUser;
using registry::kLocalMachine;
using registry::MemoryStore;
using registry::RegValue;
using torvane::testing::ReadFile;
using torvane::testing::WriteFile;
using torvane::testing::WriteHive;
using namespace torvane::testing;

using Result = torvane::testing::CliResult;
using torvane::testing::Cli;

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A raw value: `bytes` exactly as the registry stores them.
RegValue Raw(const std::string& name, std::uint32_t type, const std::string& bytes) {
  return RegValue{name, type, std::vector<std::uint8_t>(bytes.begin(), bytes.end()), true};
}

std::string Utf16(const std::string& utf8) { return registry::Utf8ToUtf16le(utf8); }

// Every key and value below `path` with exact names and stored bytes, values
// sorted by name (a restored value may come back in another place of its key).
void ExactDump(registry::RegTarget& target, HKey root, const std::string& path, std::string* out) {
  auto values = target.ListValues(root, path);
  ASSERT_TRUE(values) << path;
  std::sort(values->begin(), values->end(),
            [](const RegValue& a, const RegValue& b) { return registry::FoldUtf8(a.name) < registry::FoldUtf8(b.name); });
  *out += "[" + path + "]\n";
  for (const RegValue& value : *values) {
    *out += value.name + "=" + std::to_string(value.type) + ":" + std::string(value.data.begin(), value.data.end()) +
            "\n";
  }
  auto children = target.ListSubkeys(root, path);
  ASSERT_TRUE(children);
  for (const std::string& child : *children) ExactDump(target, root, path.empty() ? child : path + "\\" + child, out);
}

std::string DumpHives(const std::string& software, const std::string& user) {
  registry::HiveStore store(software.empty() ? nullptr : registry::HiveFile::Open(software, false),
                            user.empty() ? nullptr : registry::HiveFile::Open(user, false));
  std::string out;
  if (!software.empty()) ExactDump(store, kLocalMachine, "SOFTWARE", &out);
  if (!user.empty()) ExactDump(store, kCurrentUser, "", &out);
  return out;
}

class UndoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = ScratchDirectory("undo");
    software = Path("SOFTWARE");
    user = Path("NTUSER.DAT");
  }
  void TearDown() override { fs::remove_all(dir); }
  std::string Path(const std::string& name) const { return dir + "/" + name; }

  // The demo registry as two hives.
  void WriteDemoHives() {
    MemoryStore demo;
    registry::LoadDemoRegistry(demo);
    WriteHive(software, *demo.FindKey(kLocalMachine, "SOFTWARE"));
    WriteHive(user, demo.Root(kCurrentUser));
  }

  // Writes a restore file (version 5) holding `body` after its header.
  std::string RestoreFile(const std::string& body) {
    const std::string file = Path("restore.reg");
    WriteFile(file, "\xFF\xFE" + Utf16("Windows Registry Editor Version 5.00\r\n\r\n" + body));
    return file;
  }

  std::vector<std::string> Hives() const { return {"--software", software, "--ntuser", user}; }

  std::string dir, software, user;
};

// A restore runs as administrator or root over a file anyone may have
// written: nothing outside the repairs' places is ever applied.
TEST_F(UndoTest, RestoreRefusesTheWholeFileAtTheFirstStatementOutsideThePlaces) {
  WriteDemoHives();
  const std::string good =
      "[HKEY_CURRENT_USER\\" + kSystem + "]\r\n\"DisableTaskMgr\"=dword:00000001\r\n";  // lines 3 and 4
  struct Case {
    std::string statement, what;
  };
  const std::vector<Case> cases = {
      {"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\evil]\r\n",
       "the key HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\evil is none of the places the repairs change"},
      {"[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run]\r\n",
       "the key HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run is none of the places the repairs "
       "change"},
      {"[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft]\r\n",
       "deletes the key HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft, which no repair creates"},
      {"[-HKEY_LOCAL_MACHINE\\" + kIfeo + "\\notepad.exe]\r\n",
       "deletes the key HKEY_LOCAL_MACHINE\\" + kIfeo + "\\notepad.exe, which no repair creates"},
      {"[-HKEY_LOCAL_MACHINE\\" + kIfeo + "]\r\n",
       "deletes the key HKEY_LOCAL_MACHINE\\" + kIfeo + ", which no repair creates"},
      // Item 9 makes SHOWALL again, so its undo may delete it, but nothing
      // above or below it.
      {"[-HKEY_LOCAL_MACHINE\\" + kShowAll + "\\Sub]\r\n",
       "deletes the key HKEY_LOCAL_MACHINE\\" + kShowAll + "\\Sub, which no repair creates"},
      {"[-HKEY_LOCAL_MACHINE\\" + kShowAll.substr(0, kShowAll.rfind('\\')) + "]\r\n",
       "deletes the key HKEY_LOCAL_MACHINE\\" + kShowAll.substr(0, kShowAll.rfind('\\')) + ", which no repair creates"},
      {"[HKEY_LOCAL_MACHINE\\" + kWinlogon + "]\r\n\"Taskman\"=\"C:\\\\evil.exe\"\r\n",
       "the value \"Taskman\" of HKEY_LOCAL_MACHINE\\" + kWinlogon + " is none of the values the repairs change"},
      // The message goes on past a NUL in a name.
      {"[HKEY_LOCAL_MACHINE\\" + kWinlogon + "]\r\n\"Shell\\0x\"=\"evil.exe\"\r\n",
       "the value \"Shell\\x00x\" of HKEY_LOCAL_MACHINE\\" + kWinlogon + " is none of the values the repairs change"},
      // In a place the repairs change, the registry would end the name at it.
      {"[HKEY_LOCAL_MACHINE\\" + kIfeo + "\\IceSword.exe]\r\n\"Debug\\0ger\"=\"x\"\r\n",
       "a name in HKEY_LOCAL_MACHINE\\" + kIfeo + "\\IceSword.exe holds a NUL character"},
  };
  const std::string software_before = ReadFile(software), user_before = ReadFile(user);
  for (const Case& c : cases) {
    const std::string file = RestoreFile(good + "\r\n" + c.statement);
    const Result result = Cli(Join({"restore", file}, Hives()));
    EXPECT_EQ(result.code, kExitError) << c.statement;
    const int line = c.statement.find("\"=") != std::string::npos ? 7 : 6;
    EXPECT_EQ(result.err, "torvane: " + file + ":" + std::to_string(line) + ": " + c.what +
                              "; a backup of this tool never holds it. Nothing was changed.\n");
    EXPECT_EQ(ReadFile(software), software_before) << "nothing applied, not even the good statement";
    EXPECT_EQ(ReadFile(user), user_before);
  }
}

TEST_F(UndoTest, RestoreAcceptsTheListedHijackSubkeysWithTheirWholeContent) {
  WriteDemoHives();
  const std::string file =
      RestoreFile("[HKEY_LOCAL_MACHINE\\" + kIfeo + "\\ICESWORD.EXE\\Deep\\Deeper]\r\n\"Debugger\"=\"x.exe\"\r\n" +
                  "[-HKEY_LOCAL_MACHINE\\" + kIfeo + "\\procexp.exe\\Old]\r\n");
  const Result result = Cli(Join({"restore", file}, Hives()));
  EXPECT_EQ(result.code, kExitOk) << result.err;
  EXPECT_NE(DumpHives(software, "").find("IceSword.exe\\Deep\\Deeper]\nDebugger=1:"), std::string::npos);
}

// The undo of a run that made the SHOWALL key again deletes it: a restore
// takes that statement, in the 32-bit view's place too.
TEST_F(UndoTest, RestoreAcceptsTheDeletionOfTheKeyItemNineMakesAgain) {
  WriteDemoHives();
  const std::string wow = "SOFTWARE\\Wow6432Node" + kShowAll.substr(8);
  const std::string file = RestoreFile("[-HKEY_LOCAL_MACHINE\\" + kShowAll + "]\r\n\r\n[-HKEY_LOCAL_MACHINE\\" + wow +
                                       "]\r\n");
  const Result result = Cli(Join({"restore", file}, Hives()));
  EXPECT_EQ(result.code, kExitOk) << result.err;
  EXPECT_EQ(DumpHives(software, "").find("SHOWALL"), std::string::npos);
}

// A statement the hive refuses after one it took: neither reaches the file.
TEST_F(UndoTest, RestoreAppliesNothingWhenTheRegistryRefusesAStatement) {
  WriteDemoHives();
  const std::string before = DumpHives(software, user);
  // A value record holds a name of 32,767 UTF-16 characters at most.
  const std::string long_name(32768, 'N');
  const std::string file = RestoreFile("[HKEY_CURRENT_USER\\" + kSystem + "]\r\n\"DisableTaskMgr\"=dword:00000001\r\n" +
                                       "[HKEY_LOCAL_MACHINE\\" + kIfeo + "\\IceSword.exe]\r\n\"" + long_name + "\"=\"x\"\r\n");
  const Result result = Cli(Join({"restore", file}, Hives()));
  EXPECT_EQ(result.code, kExitError);
  EXPECT_EQ(result.err, "torvane: " + file + ":6: a value name longer than a hive can hold. Nothing was changed.\n");
  EXPECT_EQ(DumpHives(software, user), before);
}

TEST_F(UndoTest, ABackupNeverOverwritesASourceOrAnExistingFile) {
  WriteDemoHives();
  MemoryStore demo;
  registry::LoadDemoRegistry(demo);
  const std::string reg = Path("machine.reg");
  WriteFile(reg, registry::FormatRegFile({registry::RegFormat::kRegedit4, registry::EntriesOf(demo)}));
  const std::string existing = Path("old-backup.reg");
  WriteFile(existing, "keep me");
  fs::create_symlink(software, Path("link-to-hive"));
  fs::create_symlink(Path("nowhere"), Path("dangling"));
  const std::string reg_before = ReadFile(reg), software_before = ReadFile(software);

  const std::vector<std::vector<std::string>> runs = {
      {"repair", "--all", "--reg", reg, "--backup", reg},
      {"repair", "--all", "--reg", reg, "--backup", dir + "/./machine.reg"},
      Join({"repair", "--all", "--backup", software}, Hives()),
      Join({"repair", "--all", "--backup", Path("link-to-hive")}, Hives()),
      Join({"repair", "--all", "--backup", existing}, Hives()),
      Join({"repair", "--all", "--backup", Path("dangling")}, Hives()),
      Join({"repair", "--all", "--backup", Path("no-such-folder/backup.reg")}, Hives()),
      // A hive's own name or its logs' in another letter case: Windows'
      // volume would hold two files of one name.
      Join({"repair", "--all", "--backup", software + ".log1"}, Hives()),
      Join({"repair", "--all", "--backup", Path("NtUser.Dat")}, Hives()),
  };
  for (const auto& run : runs) {
    const Result result = Cli(run);
    EXPECT_EQ(result.code, kExitError) << run[5];
    EXPECT_NE(result.err.find("othing was changed"), std::string::npos) << result.err;
    EXPECT_EQ(ReadFile(reg), reg_before);
    EXPECT_EQ(ReadFile(software), software_before);
    EXPECT_EQ(ReadFile(existing), "keep me");
  }
  EXPECT_FALSE(fs::exists(Path("nowhere")));
  EXPECT_EQ(Cli(Join({"repair", "--all", "--backup", Path("new.reg")}, Hives())).code, kExitOk);
  EXPECT_EQ(fs::status(Path("new.reg")).permissions() & fs::perms::others_read, fs::perms::none);
}

// Every value type, texts outside GBK and of odd length, names outside GBK
// and a listed hijack subkey with a deep subtree: repaired, then restored to
// the same stored bytes.
TEST_F(UndoTest, BackupAndRestoreGiveBackTheStoredBytesOfAHive) {
  WriteDemoHives();
  {
    auto machine = registry::HiveFile::Open(software, true);
    auto profile = registry::HiveFile::Open(user, true);
    registry::HiveStore store(machine, profile);
    const std::string odd = std::string("a\0b", 3);
    ASSERT_TRUE(store.SetValue(kCurrentUser, kSystem, Raw("DisableRegistryTools", registry::kRegSz, Utf16("관리자") + odd)));
    ASSERT_TRUE(store.SetValue(kCurrentUser, kCmd, Raw("DisableCMD", registry::kRegExpandSz, Utf16("%끝%") + std::string(2, '\0'))));
    ASSERT_TRUE(store.SetValue(kCurrentUser, kExplorer, Raw("NoRun", registry::kRegMultiSz, Utf16("가") + std::string(2, '\0') + Utf16("😀") + std::string(4, '\0'))));
    ASSERT_TRUE(store.SetValue(kCurrentUser, kExplorer, Raw("NoClose", registry::kRegNone, std::string("\x01\x02\x03", 3))));
    ASSERT_TRUE(store.SetValue(kCurrentUser, kExplorer, Raw("NoLogOff", 5, std::string("\0\0\0\1", 4))));
    ASSERT_TRUE(store.SetValue(kCurrentUser, kExplorer, Raw("RestrictRun", 11, std::string("\1\2\3\4\5\6\7\x08", 8))));
    ASSERT_TRUE(store.SetValue(kCurrentUser, kRestrictions, Raw("NoViewSource", 0x12345, "odd")));
    ASSERT_TRUE(store.SetValue(kCurrentUser, kIeMain, Raw("Window title", registry::kRegSz, std::string("\x00\xD8", 2) + std::string(2, '\0'))))
        << "a lone surrogate";
    ASSERT_TRUE(store.SetValue(kLocalMachine, kWinlogon, Raw("Userinit", registry::kRegBinary, std::string("\xff\xfe", 2))));
    ASSERT_TRUE(store.SetValue(kLocalMachine, kWindows, Raw("AppInit_DLLs", registry::kRegSz, Utf16("훅.dll") + std::string(2, '\0'))));
    ASSERT_TRUE(store.SetValue(kLocalMachine, kPrefixes, Raw("www", 6, Utf16("링크"))));
    std::string deep = kIfeo + "\\IceSword.exe";
    for (int i = 0; i < 30; ++i) {
      deep += "\\깊이" + std::to_string(i);
      ASSERT_TRUE(store.SetValue(kLocalMachine, deep, Raw("값" + std::to_string(i), registry::kRegSz, Utf16("데이터") + "!")));
    }
    // One ordinary cell in a hive of version 1.3, past the 16,344 bytes a
    // later version would keep in segments.
    ASSERT_TRUE(store.SetValue(kLocalMachine, kIfeo + "\\IceSword.exe", Raw("Big", registry::kRegBinary, std::string(16345, 'Z'))));
    ASSERT_TRUE(store.SetValue(kCurrentUser, kIeMain, Raw("Start Page", registry::kRegSz, Utf16(std::string(9000, 'w')) + std::string(2, '\0'))));
    ASSERT_TRUE(store.CreateKey(kLocalMachine, kIfeo + "\\IceSword.exe\\형제"));
    ASSERT_TRUE(store.CreateKey(kLocalMachine, kIfeo + "\\IceSword.exe\\형제\\😀"));
    // More subkeys than one leaf of a list holds, added out of order.
    for (int i = 0; i < 1100; ++i) {
      ASSERT_TRUE(store.SetValue(kLocalMachine, kIfeo + "\\IceSword.exe\\Many\\k" + std::to_string(i * 7919 % 1100),
                                 Raw("n", registry::kRegDword, std::string("\1\0\0\0", 4))));
    }
    machine->Commit();
    profile->Commit();
  }
  const std::string original = DumpHives(software, user);
  ASSERT_NE(original.find("깊이29]\n값29=1:"), std::string::npos);

  const std::string backup = Path("backup.reg");
  const Result repaired = Cli(Join({"repair", "--all", "--backup", backup}, Hives()));
  ASSERT_EQ(repaired.code, kExitOk) << repaired.err << repaired.out;
  EXPECT_EQ(DumpHives(software, user).find("IceSword"), std::string::npos);
  EXPECT_NE(ReadFile(backup).find(Utf16("\"값29\"=hex(1):")), std::string::npos) << "names outside GBK, exactly";

  const Result restored = Cli(Join({"restore", backup}, Hives()));
  EXPECT_EQ(restored.code, kExitOk) << restored.err;
  EXPECT_EQ(DumpHives(software, user), original);
  // The keys the restore appended keep their lists sorted as the registry
  // compares names, a no-op commit keeps them, libregf reads them, and a
  // second repair deletes them through hivex.
  {
    auto hive = registry::HiveFile::Open(software, false);
    registry::HiveStore store(hive, nullptr);
    HKey key = registry::kNullKey;
    ASSERT_EQ(store.RegOpenKeyExA(kLocalMachine, kIfeo + "\\IceSword.exe\\Many", 0, registry::kKeyRead, &key),
              registry::kSuccess);
    std::vector<std::string> names;
    char name[64];
    for (std::uint32_t i = 0; store.RegEnumKeyA(key, i, name, sizeof name) == registry::kSuccess; ++i) names.push_back(name);
    store.RegCloseKey(key);
    EXPECT_EQ(names.size(), 1100u);
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end(),
                               [](const std::string& a, const std::string& b) { return registry::FoldName(a) < registry::FoldName(b); }));
  }
  EXPECT_EQ(torvane::testing::HiveReadingsDisagree(ReadFile(software), dir), "");
  const Result again = Cli(Join({"repair", "3"}, Hives()));
  EXPECT_EQ(again.code, kExitOk) << again.err << again.out;
  EXPECT_EQ(DumpHives(software, user).find("IceSword"), std::string::npos);
}

// The .reg source keeps its values in memory: a restore into it gives back
// the stored bytes of texts outside GBK and of odd length too.
TEST_F(UndoTest, BackupAndRestoreGiveBackTheStoredBytesOfARegFile) {
  const std::string reg = Path("machine.reg");
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_CURRENT_USER\\" + kSystem + "]\r\n"
      "\"DisableRegistryTools\"=\"관리자 😀\"\r\n"
      "\"DisableTaskMgr\"=hex(1):01,00,62\r\n"
      "[HKEY_LOCAL_MACHINE\\" + kWinlogon + "]\r\n"
      "\"Shell\"=hex(2):3f,d8,00,00\r\n";
  WriteFile(reg, "\xFF\xFE" + Utf16(text));
  auto stored = [&] {
    std::vector<registry::RegEntry> entries;
    for (const auto& entry : registry::ReadRegFile(reg).entries) {
      if (entry.kind == registry::RegEntry::Kind::kValue) entries.push_back(entry);
    }
    return entries;
  };
  const auto before = stored();
  const std::string backup = Path("b.reg");
  const Result repaired = Cli({"repair", "1", "0", "12", "--reg", reg, "--backup", backup});
  ASSERT_EQ(repaired.code, kExitOk) << repaired.err;
  ASSERT_EQ(stored().size(), 1u);
  const Result restored = Cli({"restore", backup, "--reg", reg});
  ASSERT_EQ(restored.code, kExitOk) << restored.err;
  auto after = stored();
  ASSERT_EQ(after.size(), before.size());
  for (const auto& value : before) {
    EXPECT_NE(std::find_if(after.begin(), after.end(), [&](const auto& e) { return e.value == value.value; }), after.end())
        << value.value.name;
  }
}

// Two profiles whose folder names are outside GBK: each gets its own undo.
TEST_F(UndoTest, ABackupNamesEachProfileExactlyAndRestoreFindsIt) {
  const fs::path root = Path("mnt");
  fs::create_directories(root / "Windows" / "System32" / "config");
  MemoryStore machine;
  registry::LoadDemoRegistry(machine);
  WriteHive((root / "Windows" / "System32" / "config" / "SOFTWARE").string(), *machine.FindKey(kLocalMachine, "SOFTWARE"));
  const std::vector<std::string> names = {"철수", "영희"};
  std::vector<std::string> hives;
  for (std::size_t i = 0; i < names.size(); ++i) {
    fs::create_directories(root / "Users" / names[i]);
    MemoryStore profile;
    profile.PutDword(kCurrentUser, kSystem, "DisableTaskMgr", static_cast<std::uint32_t>(0x101 + 0x100 * i));
    hives.push_back((root / "Users" / names[i] / "NTUSER.DAT").string());
    WriteHive(hives.back(), profile.Root(kCurrentUser));
  }
  const std::string before = DumpHives("", hives[0]) + DumpHives("", hives[1]);
  const std::string backup = Path("backup.reg");
  const Result repaired = Cli({"repair", "--windows", root.string(), "0", "--backup", backup});
  ASSERT_EQ(repaired.code, kExitOk) << repaired.err;
  std::vector<std::string> users;
  for (const auto& entry : registry::ReadRegFile(backup).entries) users.push_back(entry.user);
  EXPECT_NE(std::find(users.begin(), users.end(), "철수"), users.end());
  EXPECT_NE(std::find(users.begin(), users.end(), "영희"), users.end());

  const Result restored = Cli({"restore", backup, "--windows", root.string()});
  EXPECT_EQ(restored.code, kExitOk) << restored.err;
  EXPECT_EQ(DumpHives("", hives[0]) + DumpHives("", hives[1]), before);

  const std::string unknown = RestoreFile("[HKEY_USERS\\철수x\\" + kSystem + "]\r\n");
  const Result refused = Cli({"restore", unknown, "--windows", root.string()});
  EXPECT_EQ(refused.code, kExitError);
  EXPECT_EQ(refused.err, "torvane: " + unknown + ":3: no profile named exactly \"철수x\" in --windows " + root.string() + "\n");

  // The same folder name under both profile folders: ambiguous.
  fs::create_directories(root / "Documents and Settings" / "영희");
  WriteHive((root / "Documents and Settings" / "영희" / "NTUSER.DAT").string(), MemoryStore().Root(kCurrentUser));
  const Result ambiguous = Cli({"restore", backup, "--windows", root.string()});
  EXPECT_EQ(ambiguous.code, kExitError);
  EXPECT_NE(ambiguous.err.find("several profiles are named \"영희\""), std::string::npos) << ambiguous.err;
  EXPECT_EQ(Cli({"repair", "--windows", root.string(), "0", "--backup", Path("b2.reg")}).code, kExitError)
      << "a backup could not tell the two apart";
}

// repair --reg changes the lines of what it repairs and nothing else.
TEST_F(UndoTest, RepairOfARegFileEditsOnlyTheLinesItChanges) {
  const std::string reg = Path("machine.reg");
  const std::string head =
      "REGEDIT4\n"
      "; kept: a comment\n"
      "\n"
      "[HKEY_CURRENT_USER\\" + kSystem + "]\n"
      "\"DisableTaskMgr\"=dword:00000001\n"
      "\"Other\"=\"" + Gbk("中文") + "\"\n"
      "\"Gone\"=-\n"
      "\n"
      "[-HKEY_CURRENT_USER\\Software\\Dropped]\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\" + kWinlogon + "]\n"
      "\"Shell\"=\"evil.exe\"\n"
      "\"Userinit\"=\"" + kHealthyUserinit.substr(0, 2) + "\\\\WINDOWS\\\\system32\\\\userinit.exe,\"\n"
      "[HKEY_LOCAL_MACHINE\\" + kIfeo + "\\IceSword.exe]\n"
      "\"Debugger\"=hex(2):41,00,\\\n"
      "  42,00\n"
      "; after the hijack\n"
      "[HKEY_LOCAL_MACHINE\\" + kIfeo + "\\notepad.exe]\n"
      "\"Debugger\"=\"x\"\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Policies\\Microsoft\\Windows\\WindowsUpdate\\AU]\n"
      "\"NoAutoUpdate\"=dword:00000001\n"
      "\"AUOptions\"=dword:00000002";
  WriteFile(reg, head);
  const Result result = Cli({"repair", "0", "3", "8", "12", "--reg", reg});
  EXPECT_EQ(result.code, kExitOk) << result.err << result.out;
  std::string expected = head;
  auto remove = [&](const std::string& line) {
    const auto at = expected.find(line);
    ASSERT_NE(at, std::string::npos) << line;
    expected.erase(at, line.size());
  };
  remove("\"DisableTaskMgr\"=dword:00000001\n");
  expected.replace(expected.find("\"Shell\"=\"evil.exe\""), 18, "\"Shell\"=\"Explorer.exe\"");
  remove("[HKEY_LOCAL_MACHINE\\" + kIfeo + "\\IceSword.exe]\n");
  remove("\"Debugger\"=hex(2):41,00,\\\n  42,00\n");
  remove("\"NoAutoUpdate\"=dword:00000001\n");  // where Windows reads the update policy
  EXPECT_EQ(ReadFile(reg), expected);
}

// A file whose last line has no line end: what is added goes on a line of its own.
TEST_F(UndoTest, RepairOfARegFileWithoutAFinalLineEndAddsWholeLines) {
  const std::string reg = Path("machine.reg");
  const std::string userinit = "\"Userinit\"=\"" + kHealthyUserinit.substr(0, 2) + "\\\\WINDOWS\\\\system32\\\\userinit.exe,\"";
  struct Case {
    std::string header, end, bom;
    bool utf16;
  };
  const std::vector<Case> cases = {
      {"REGEDIT4", "\r\n", "", false},
      {"REGEDIT4", "\n", "", false},
      {"Windows Registry Editor Version 5.00", "\r\n", "\xFF\xFE", true},
  };
  for (const Case& c : cases) {
    const std::string text = c.header + c.end + c.end + "[HKEY_LOCAL_MACHINE\\" + kWinlogon + "]" + c.end + userinit;
    const auto encode = [&](const std::string& utf8) { return c.bom + (c.utf16 ? Utf16(utf8) : utf8); };
    WriteFile(reg, encode(text));
    const Result result = Cli({"repair", "12", "--reg", reg});
    EXPECT_EQ(result.code, kExitOk) << c.header << result.err;
    EXPECT_EQ(ReadFile(reg), encode(text + c.end + "\"Shell\"=\"Explorer.exe\"" + c.end)) << c.header << c.end.size();
    EXPECT_EQ(Cli({"scan", "--reg", reg}).code, kExitDamage) << "the file reads again";
  }
}

// A name that would not read back as it is never reaches a file: the run
// refuses before its first change.
TEST_F(UndoTest, NamesThatWouldNotReadBackAreRefusedBeforeTheFirstChange) {
  struct Case {
    std::string profile, what;
  };
  const std::vector<Case> cases = {
      // Named as the folder, not as a key the name would break.
      {"a\\b", "the profile folder \"a\\b\" has a line break or a backslash in its name"},
      {"a\nb", "the profile folder \"a\\nb\" has a line break or a backslash in its name"},
      {"a\rb", "the profile folder \"a\\rb\" has a line break or a backslash in its name"},
  };
  for (const Case& c : cases) {
    const fs::path root = Path("mnt");
    fs::remove_all(root);
    fs::create_directories(root / "Windows" / "System32" / "config");
    MemoryStore machine;
    registry::LoadDemoRegistry(machine);
    WriteHive((root / "Windows" / "System32" / "config" / "SOFTWARE").string(), *machine.FindKey(kLocalMachine, "SOFTWARE"));
    const fs::path folder = root / "Users";
    fs::create_directories(folder / c.profile);
    MemoryStore profile;
    profile.PutDword(kCurrentUser, kSystem, "DisableTaskMgr", 1);
    const std::string hive = (folder / c.profile / "NTUSER.DAT").string();
    WriteHive(hive, profile.Root(kCurrentUser));
    const std::string before = ReadFile(hive);
    const Result result = Cli({"repair", "--windows", root.string(), "0", "--backup", Path("b.reg")});
    EXPECT_EQ(result.code, kExitError) << c.profile << result.out;
    EXPECT_NE(result.err.find(c.what), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("Nothing was changed.\n"), std::string::npos) << result.err;
    EXPECT_EQ(ReadFile(hive), before) << c.profile;
    EXPECT_FALSE(fs::exists(Path("b.reg")));
  }
  // A NUL inside a value name of a key the repair deletes: no .reg file can
  // spell it, and a restore would write the value the name ends before.
  {
    const fs::path root = Path("mnt");
    fs::remove_all(root);
    fs::create_directories(root / "Windows" / "System32" / "config");
    MemoryStore machine;
    registry::LoadDemoRegistry(machine);
    machine.PutString(kLocalMachine, kIfeo + "\\IceSword.exe", "DebugXger", "keep me");
    const std::string hive_file = (root / "Windows" / "System32" / "config" / "SOFTWARE").string();
    WriteHive(hive_file, *machine.FindKey(kLocalMachine, "SOFTWARE"));
    std::string before = ReadFile(hive_file);
    const auto name = before.find("DebugXger");
    ASSERT_NE(name, std::string::npos);
    before[name + 5] = '\0';
    WriteFile(hive_file, before);
    const Result result = Cli({"repair", "--windows", root.string(), "3", "--backup", Path("b.reg")});
    EXPECT_EQ(result.code, kExitError) << result.out;
    EXPECT_NE(result.err.find("IceSword.exe: value \"Debug\\x00ger\" has a NUL character in its name, which a "
                              "backup cannot carry. Nothing was changed.\n"),
              std::string::npos)
        << result.err;
    EXPECT_TRUE(ReadFile(hive_file) == before) << "the hive was changed";
    EXPECT_FALSE(fs::exists(Path("b.reg")));
    EXPECT_EQ(Cli({"repair", "--windows", root.string(), "3"}).code, kExitOk) << "without a backup it is repaired";
  }
  // A value a hive of version 1.5 keeps in segments, in a key the repair
  // deletes: backed up, and put back by the restore, byte for byte.
  {
    WriteDemoHives();
    MemoryStore big;
    registry::LoadDemoRegistry(big);
    std::vector<std::uint8_t> bytes(30000);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i % 253);
    big.PutValue(kLocalMachine, kIfeo + "\\IceSword.exe", "Big", registry::kRegBinary, bytes);
    WriteHive(software, *big.FindKey(kLocalMachine, "SOFTWARE"));
    const std::string data = torvane::testing::SplitIntoSegments(software, "Big");
    const Result result = Cli(Join({"repair", "3", "--backup", Path("b.reg")}, Hives()));
    EXPECT_EQ(result.code, kExitOk) << result.out << result.err;
    ASSERT_TRUE(fs::exists(Path("b.reg")));
    EXPECT_EQ(Cli(Join({"restore", Path("b.reg")}, Hives())).code, kExitOk);
    registry::HiveStore reread(registry::HiveFile::Open(software, false), nullptr);
    const auto values = reread.ListValues(kLocalMachine, kIfeo + "\\IceSword.exe");
    ASSERT_TRUE(values);
    const auto found = std::find_if(values->begin(), values->end(), [](const registry::RegValue& v) { return v.name == "Big"; });
    ASSERT_NE(found, values->end());
    EXPECT_EQ(std::string(found->data.begin(), found->data.end()), data) << "put back byte for byte";
    fs::remove(Path("b.reg"));
  }
  // A hijack key that is a registry link: a backup could not put it back.
  {
    const std::string reg = Path("linked.reg");
    const std::string text = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\" + kIfeo +
                             "\\IceSword.exe]\r\n\"SymbolicLinkValue\"=hex(6):5c,00,52,00\r\n";
    WriteFile(reg, text);
    const Result result = Cli({"repair", "3", "--reg", reg, "--backup", Path("b.reg")});
    EXPECT_EQ(result.code, kExitError) << result.out;
    EXPECT_EQ(result.err, "torvane: HKEY_LOCAL_MACHINE\\" + kIfeo +
                              "\\IceSword.exe is a registry link, which a backup cannot carry; run the repair without "
                              "--backup to remove it. Nothing was changed.\n");
    EXPECT_EQ(ReadFile(reg), text);
    EXPECT_FALSE(fs::exists(Path("b.reg")));
  }
  // A link below a hijack key the repair deletes: restored, it would come
  // back as an ordinary key. The backup refuses before the first change,
  // naming the link; without a backup the tree goes, the link as a key.
  {
    WriteDemoHives();
    MemoryStore linked;
    registry::LoadDemoRegistry(linked);
    linked.PutString(kLocalMachine, kIfeo + "\\IceSword.exe", "Debugger", "svch0st.exe");
    linked.PutValue(kLocalMachine, kIfeo + "\\IceSword.exe\\Sub\\Linked", "SymbolicLinkValue", registry::kRegLink,
                    std::vector<std::uint8_t>{'\\', 0, 'R', 0});
    WriteHive(software, *linked.FindKey(kLocalMachine, "SOFTWARE"));
    std::string before = ReadFile(software);
    const std::size_t name = before.find("Linked");
    ASSERT_NE(name, std::string::npos);
    ASSERT_EQ(before.substr(name - 0x50 + 4, 2), "nk");
    before[name - 0x50 + 6] = static_cast<char>(before[name - 0x50 + 6] | 0x10);  // KEY_SYM_LINK
    WriteFile(software, before);
    {
      registry::HiveStore store(registry::HiveFile::Open(software, false), nullptr);
      const auto tree = store.ReadTree(kLocalMachine, kIfeo + "\\IceSword.exe");
      ASSERT_TRUE(tree) << "read whole, the link as a key";
      ASSERT_EQ(tree->children.size(), 1u);
      EXPECT_FALSE(tree->link);
      EXPECT_FALSE(tree->children[0].link);
      ASSERT_EQ(tree->children[0].children.size(), 1u);
      EXPECT_TRUE(tree->children[0].children[0].link);
    }
    const Result result = Cli(Join({"repair", "3", "--backup", Path("b.reg")}, Hives()));
    EXPECT_EQ(result.code, kExitError) << result.out;
    EXPECT_EQ(result.err, "torvane: HKEY_LOCAL_MACHINE\\" + kIfeo +
                              "\\IceSword.exe\\Sub\\Linked is a registry link, which a backup cannot carry; run the "
                              "repair without --backup to remove it. Nothing was changed.\n");
    EXPECT_TRUE(ReadFile(software) == before) << "the hive was changed";
    EXPECT_FALSE(fs::exists(Path("b.reg")));
    EXPECT_EQ(Cli(Join({"repair", "3"}, Hives())).code, kExitOk) << "without a backup it is repaired";
    registry::HiveStore after(registry::HiveFile::Open(software, false), nullptr);
    EXPECT_EQ(after.ListSubkeys(kLocalMachine, kIfeo + "\\IceSword.exe"), std::nullopt) << "the tree is gone";
  }
  // A lone CR in a restore file would end its line for some readers: a key
  // could be injected. The file is refused, named with its line.
  const std::string reg = Path("machine.reg");
  WriteFile(reg, "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\" + kSystem + "]\r\n");
  const std::string file = RestoreFile("[HKEY_LOCAL_MACHINE\\" + kIfeo + "\\IceSword.exe\\x\r[HKEY_LOCAL_MACHINE\\" +
                                       kWinlogon + "]\r\n\"Shell\"=\"evil.exe\"\r\n");
  const Result restore = Cli({"restore", file, "--reg", reg});
  EXPECT_EQ(restore.code, kExitError);
  EXPECT_EQ(restore.err, "torvane: " + file +
                             ":3: a carriage return without a line feed inside the line (regedit may read it as a "
                             "line break); refusing the file\n");
  EXPECT_EQ(ReadFile(reg), "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\" + kSystem + "]\r\n");

  // A GBK file cannot hold a Hangul name, nor a Hangul text: restoring one
  // into it is refused, not written as question marks.
  const std::string cannot = " cannot be written into this file exactly (a REGEDIT4 file holds names and texts in GBK)";
  const struct {
    std::string statement, why;
  } hangul_cases[] = {
      {"[HKEY_LOCAL_MACHINE\\" + kIfeo + "\\IceSword.exe]\r\n\"철수\"=\"x\"\r\n", "the value \"철수\"" + cannot},
      {"[HKEY_LOCAL_MACHINE\\" + kIfeo + "\\IceSword.exe\\영희]\r\n", "refused by --reg " + reg},
      {"[HKEY_LOCAL_MACHINE\\" + kIfeo + "\\IceSword.exe]\r\n\"Debugger\"=\"영희.exe\"\r\n",
       "the value \"Debugger\"" + cannot},
  };
  for (const auto& c : hangul_cases) {
    const std::string hangul = RestoreFile(c.statement);
    const Result refused = Cli({"restore", hangul, "--reg", reg});
    EXPECT_EQ(refused.code, kExitError) << c.statement;
    EXPECT_NE(refused.err.find(": " + c.why + ". Nothing was changed.\n"), std::string::npos) << refused.err;
    EXPECT_EQ(ReadFile(reg), "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\" + kSystem + "]\r\n");
  }
}

TEST_F(UndoTest, RepairOfAUnicodeRegFileKeepsItsEncodingAndOtherTexts) {
  const std::string reg = Path("machine.reg");
  const std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Other]\r\n"
                           "\"이름\"=\"값 😀\"\r\n\r\n[HKEY_CURRENT_USER\\" + kExplorer + "]\r\n\"NoRun\"=dword:00000001\r\n";
  WriteFile(reg, "\xFF\xFE" + Utf16(text));
  ASSERT_EQ(Cli({"repair", "4", "--reg", reg}).code, kExitOk);
  std::string expected = text;
  expected.erase(expected.find("\"NoRun\"=dword:00000001\r\n"));
  EXPECT_EQ(ReadFile(reg), "\xFF\xFE" + Utf16(expected));
}

TEST_F(UndoTest, ABomLessFileThatIsNoGbkIsRefusedNotReencoded) {
  const std::string reg = Path("utf8.reg");
  const std::string text = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\" + kExplorer + "]\r\n\"NoRun\"=dword:00000001\r\n"
                           "\"Note\"=\"Grüße ✓\"\r\n";
  WriteFile(reg, text);
  const Result result = Cli({"repair", "4", "--reg", reg});
  EXPECT_EQ(result.code, kExitError);
  EXPECT_EQ(result.err, "torvane: " + reg +
                            ":5: bytes that are not valid in code page 936 (GBK), the encoding of a .reg file without a "
                            "byte order mark; save it as ANSI (GBK) or as Unicode (UTF-16 with a byte order mark)\n");
  EXPECT_EQ(ReadFile(reg), text);
}

// The undo is planned, read and written before the first change: a backup
// that cannot be written leaves everything as it was, and one that was
// written undoes exactly what the run changed.
TEST_F(UndoTest, ABackupIsWrittenWholeBeforeTheFirstChange) {
  WriteDemoHives();
  const std::string before = DumpHives(software, user);
  const std::string software_bytes = ReadFile(software);
  const Result refused = Cli(Join({"repair", "--all", "--backup", Path("missing/backup.reg")}, Hives()));
  EXPECT_EQ(refused.code, kExitError);
  EXPECT_NE(refused.err.find(Path("missing/backup.reg") + ": cannot write the backup: "), std::string::npos)
      << refused.err;
  EXPECT_EQ(ReadFile(software), software_bytes);

  const std::string backup = Path("backup.reg");
  ASSERT_EQ(Cli(Join({"repair", "--all", "--backup", backup}, Hives())).code, kExitOk);
  EXPECT_NE(DumpHives(software, user), before);
  ASSERT_EQ(Cli(Join({"restore", backup}, Hives())).code, kExitOk);
  EXPECT_EQ(DumpHives(software, user), before);
}

}  // namespace
}  // namespace torvane::cli
