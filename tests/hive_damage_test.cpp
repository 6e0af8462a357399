// Damaged and unusual hives (the fuzzer's findings): whatever the bytes, a
// scan reads what it can, and a repair either changes the hive soundly or
// changes nothing and says so; the process never aborts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "registry/demo.h"
#include "registry/codepage.h"
#include "cli/report.h"
#include "registry/hive_store.h"
#include "support/cli_run.h"
#include "support/hive_diff.h"
#include "registry/utf.h"
#include "repair/engine.h"
#include "repair/run.h"
#include "support/fixtures.h"
#include "support/hive_builder.h"
#include "support/text.h"

namespace torvane::registry {
namespace {

using torvane::testing::Gbk;
using torvane::testing::kIfeo;
using torvane::testing::kWinlogon;
using torvane::testing::ReadFile;
using torvane::testing::ScratchDirectory;
using torvane::testing::WriteFile;
using torvane::testing::WriteHive;

std::uint32_t Get32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  return value;
}

void Put32(std::string& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// The cell of the record with id `id` ("nk" or "vk") whose ASCII name is
// `name`; the name lies 0x50 bytes into a key cell, 0x18 into a value cell.
std::size_t FindCell(const std::string& bytes, const char* id, const std::string& name) {
  const std::size_t name_at = std::strcmp(id, "nk") == 0 ? 0x50 : 0x18;
  for (std::size_t at = bytes.find(name); at != std::string::npos; at = bytes.find(name, at + 1)) {
    if (at >= name_at && bytes.compare(at - name_at + 4, 2, id) == 0) return at - name_at;
  }
  ADD_FAILURE() << "no " << id << " record named " << name;
  return 0;
}

// Every key and value below `path` as the store answers, one per line.
void Dump(HiveStore& store, HKey root, const std::string& path, std::string* out) {
  HKey key = kNullKey;
  ASSERT_EQ(store.RegOpenKeyExA(root, path, 0, kKeyRead, &key), kSuccess) << path;
  *out += "[" + path + "]\n";
  const auto values = store.ListValues(root, GbkToUtf8(path));
  ASSERT_TRUE(values) << path;
  for (const RegValue& exact : *values) {
    RegValue value = AnsiForm(exact);
    value.name = Utf8ToGbk(exact.name);
    std::uint32_t type = 0, size = 0;
    EXPECT_EQ(store.RegQueryValueExA(key, value.name, &type, nullptr, &size), kSuccess);
    *out += value.name + "=" + std::to_string(value.type) + ":" + std::string(value.data.begin(), value.data.end()) +
            " (" + std::to_string(type) + "," + std::to_string(size) + ")\n";
  }
  char name[600];
  std::vector<std::string> children;
  for (std::uint32_t i = 0; store.RegEnumKeyA(key, i, name, sizeof name) == kSuccess; ++i) children.push_back(name);
  store.RegCloseKey(key);
  for (const std::string& child : children) Dump(store, root, path.empty() ? child : path + "\\" + child, out);
}

class HiveDamageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = ScratchDirectory("hive-damage");
    path = dir + "/SOFTWARE";
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  // A SOFTWARE hive with two damaged items: an image hijack of a protected
  // tool and a second program in the shell.
  std::string WriteDamagedSoftware() {
    MemoryStore source;
    source.PutString(kLocalMachine, kWinlogon, "Shell", "Explorer.exe evil.exe");
    source.PutString(kLocalMachine, kIfeo + "\\IceSword.exe", "Debugger", "svch0st.exe");
    source.CreateKey(kLocalMachine, kIfeo + "\\Your Image File Name Here without a path");
    WriteHive(path, *source.FindKey(kLocalMachine, "SOFTWARE"));
    return ReadFile(path);
  }

  std::string dir, path;
};

// A hive opened for reading is read in place, one opened for changes through
// hivex: both must answer the same.
TEST_F(HiveDamageTest, ReadingInPlaceAnswersAsHivexDoes) {
  MemoryStore source;
  LoadDemoRegistry(source);
  source.PutString(kLocalMachine, "SOFTWARE\\" + Gbk("中文键\\子键"), Gbk("名称"), Gbk("数据"));
  source.PutValue(kLocalMachine, "SOFTWARE\\Odd", "", kRegSz, {'n', 'o', 'n', 'u', 'l'});
  source.PutValue(kLocalMachine, "SOFTWARE\\Odd", "Multi", kRegMultiSz, {'a', 0, 'b', 0, 0});
  source.PutValue(kLocalMachine, "SOFTWARE\\Odd", "Q", 11, {1, 2, 3, 4, 5, 6, 7, 8});
  source.PutValue(kLocalMachine, "SOFTWARE\\Odd", "Big", kRegBinary, std::vector<std::uint8_t>(20000, 0x5A));
  source.PutValue(kLocalMachine, "SOFTWARE\\Odd", "Short", kRegBinary, {7, 7});
  for (int i = 0; i < 300; ++i) source.CreateKey(kLocalMachine, "SOFTWARE\\Wide\\k" + std::to_string(i));
  std::string deep = "SOFTWARE\\Deep";
  for (int i = 0; i < 40; ++i) deep += "\\d" + std::to_string(i);
  source.PutDword(kLocalMachine, deep, "Bottom", 7);
  WriteHive(path, *source.FindKey(kLocalMachine, "SOFTWARE"));

  auto dump = [&](bool writable) {
    HiveStore store(HiveFile::Open(path, writable), nullptr);
    std::string out;
    Dump(store, kLocalMachine, "SOFTWARE", &out);
    EXPECT_EQ(store.open_handles(), 0u);
    return out;
  };
  const std::string in_place = dump(false);
  EXPECT_EQ(in_place, dump(true));
  EXPECT_NE(in_place.find(Gbk("名称") + "=1:" + Gbk("数据")), std::string::npos);
  EXPECT_NE(in_place.find("Big=3:" + std::string(20000, 'Z')), std::string::npos);
  EXPECT_NE(in_place.find("Bottom=4:"), std::string::npos);
}

TEST_F(HiveDamageTest, ValueTypesBeyondTheLibrarysListReadBackAndSurviveARewrite) {
  MemoryStore source;
  source.PutValue(kLocalMachine, "SOFTWARE\\Odd", "Big", 0x12345, {1, 2, 3, 4, 5, 6});
  source.PutValue(kLocalMachine, "SOFTWARE\\Odd", "Top", 0xFFFFFFFF, {});
  WriteHive(path, *source.FindKey(kLocalMachine, "SOFTWARE"));
  {
    auto hive = HiveFile::Open(path, true);
    HiveStore store(hive, nullptr);
    HKey key = kNullKey;
    ASSERT_EQ(store.RegOpenKeyExA(kLocalMachine, "SOFTWARE\\Odd", 0, kKeyAllAccess, &key), kSuccess);
    std::uint32_t type = 0, size = 0;
    ASSERT_EQ(store.RegQueryValueExA(key, "Big", &type, nullptr, &size), kSuccess);
    EXPECT_EQ(type, 0x12345u);
    EXPECT_EQ(size, 6u);
    // Rewriting the key's values writes every value of it again.
    const std::uint8_t one[] = {1, 0, 0, 0};
    EXPECT_EQ(store.RegSetValueExA(key, "New", 0, kRegDword, one, sizeof one), kSuccess);
    store.RegCloseKey(key);
    hive->Commit();
  }
  HiveStore reread(HiveFile::Open(path, false), nullptr);
  auto values = reread.ListValues(kLocalMachine, "SOFTWARE\\Odd");
  ASSERT_TRUE(values);
  ASSERT_EQ(values->size(), 3u);
  EXPECT_EQ((*values)[0], (RegValue{"Big", 0x12345, {1, 2, 3, 4, 5, 6}, true}));
  EXPECT_EQ((*values)[1], (RegValue{"Top", 0xFFFFFFFF, {}, true}));
}

// hivex frees a value's data cell without checking it when it deletes the
// key: a reference to something that is no cell aborted the process.
TEST_F(HiveDamageTest, AHiveWhoseCellsTheWriterWouldFreeBadlyIsRefusedForChangesButStillScans) {
  const std::string good = WriteDamagedSoftware();
  const std::size_t vk = FindCell(good, "vk", "Debugger");
  ASSERT_NE(vk, 0u);
  ASSERT_EQ(Get32(good, vk + 8) & 0x80000000u, 0u) << "the data must lie in a cell of its own";

  std::string pointing_nowhere = good;
  Put32(pointing_nowhere, vk + 12, 0x10);  // inside the bin header
  std::string shared = good;               // the same data cell as the shell's
  Put32(shared, vk + 12, Get32(good, FindCell(good, "vk", "Shell") + 12));

  std::string classy = good;  // the hijack key's class name in its security cell, which a deletion frees
  const std::size_t nk = FindCell(good, "nk", "IceSword.exe");
  Put32(classy, nk + 0x34, Get32(good, nk + 0x30));
  classy[nk + 0x4E] = 4;

  std::string misplaced = good;  // a bin whose header names another offset than its own
  Put32(misplaced, 0x1004, 0x100);

  for (const std::string* bytes : {&pointing_nowhere, &shared, &classy, &misplaced}) {
    WriteFile(path, *bytes);
    try {
      HiveFile::Open(path, true);
      ADD_FAILURE() << "a damaged hive was opened for changes";
    } catch (const HiveError& error) {
      EXPECT_NE(std::string(error.what()).find(path + ": damaged hive ("), std::string::npos) << error.what();
      EXPECT_NE(std::string(error.what()).find("refusing to change it"), std::string::npos) << error.what();
    }
    EXPECT_EQ(ReadFile(path), *bytes);

    HiveStore store(HiveFile::Open(path, false), nullptr);
    repair::RepairEngine engine(store);
    EXPECT_FALSE(engine.CheckItem(12)) << "the shell's damage still shows";
    EXPECT_EQ(store.open_handles(), 0u);
    // The dry run refuses what the real run refuses.
    for (bool dry_run : {false, true}) {
      std::vector<std::string> args = {"repair", "--all", "--software", path};
      if (dry_run) args.push_back("--dry-run");
      const auto result = torvane::testing::Cli(args);
      EXPECT_EQ(result.code, cli::kExitError) << dry_run << result.out;
      EXPECT_NE(result.err.find("refusing to change it"), std::string::npos) << result.err;
      EXPECT_EQ(ReadFile(path), *bytes);
    }
  }
}

// A hijack key listed in an li list (offsets only, as Windows NT 4 wrote
// them) is taken out like any other: the parent gets one new list of the
// subkeys that stay, and the dry run, the backup and the real run agree.
TEST_F(HiveDamageTest, AKeyListedInAnLiListIsDeletedLikeAnyOther) {
  std::string bytes = WriteDamagedSoftware();
  const std::size_t ifeo = FindCell(bytes, "nk", "Image File Execution Options");
  ASSERT_NE(ifeo, 0u);
  const std::size_t list = 0x1000 + Get32(bytes, ifeo + 4 + 0x1C);
  ASSERT_EQ(bytes.substr(list + 4, 1), "l");
  const std::size_t count = static_cast<unsigned char>(bytes[list + 6]);
  ASSERT_EQ(count, 2u);
  // The same subkeys as an li list: offsets only.
  bytes[list + 5] = 'i';
  for (std::size_t i = 1; i < count; ++i) Put32(bytes, list + 8 + 4 * i, Get32(bytes, list + 8 + 8 * i));
  WriteFile(path, bytes);

  {
    HiveStore in_place(HiveFile::Open(path, false), nullptr);
    repair::RepairEngine engine(in_place);
    EXPECT_FALSE(engine.CheckItem(3)) << "read in place, the hijack shows through the li list";
  }
  const auto dry = torvane::testing::Cli({"repair", "3", "12", "--software", path, "--dry-run", "--json"});
  EXPECT_EQ(ReadFile(path), bytes) << "the dry run changed the hive";
  const std::string undo = dir + "/undo.reg";
  const auto real = torvane::testing::Cli({"repair", "3", "12", "--software", path, "--json", "--backup", undo});
  EXPECT_EQ(real.code, cli::kExitOk) << real.out << real.err;
  EXPECT_EQ(dry.code, real.code) << dry.out << dry.err;
  EXPECT_NE(dry.out.find("IceSword.exe"), std::string::npos) << dry.out;
  const std::string backup = Utf16leToUtf8(ReadFile(undo).substr(2));
  EXPECT_NE(backup.find("Winlogon"), std::string::npos) << backup;
  EXPECT_NE(backup.find("IceSword.exe"), std::string::npos) << backup;
  for (const auto* run : {&dry, &real}) {
    EXPECT_NE(run->out.find("\"repaired\": [{\"profile\": null, \"index\": 3,"), std::string::npos) << run->out;
    EXPECT_NE(run->out.find("\"failed\": []"), std::string::npos) << run->out;
  }
  HiveStore reread(HiveFile::Open(path, false), nullptr);
  repair::RepairEngine engine(reread);
  EXPECT_TRUE(engine.CheckItem(3)) << "the hijack under the li list went";
  EXPECT_TRUE(engine.CheckItem(12)) << "the shell was repaired and committed";
  const auto subkeys = reread.ListSubkeys(kLocalMachine, kIfeo);
  ASSERT_TRUE(subkeys);
  EXPECT_EQ(subkeys->size(), 1u);
  EXPECT_EQ(torvane::testing::HiveReadingsDisagree(ReadFile(path), dir), "");
  // The restore puts the key back.
  EXPECT_EQ(torvane::testing::Cli({"restore", undo, "--software", path}).code, cli::kExitOk);
  HiveStore restored(HiveFile::Open(path, false), nullptr);
  repair::RepairEngine again(restored);
  EXPECT_FALSE(again.CheckItem(3));
}

// A key with two subkeys of one name (letter case aside) on a place's path:
// which of them Windows reaches depends on how it searches the list, so the
// item is undetermined, neither healthy nor damaged, and nothing is written.
TEST_F(HiveDamageTest, TwoSubkeysOfOneNameMakeThePlaceUndetermined) {
  std::string bytes = WriteDamagedSoftware();
  const std::size_t other = FindCell(bytes, "nk", "Your Image File Name Here without a path");
  ASSERT_NE(other, 0u);
  bytes[other + 0x4C] = 12;
  bytes[other + 0x4D] = 0;
  bytes.replace(other + 0x50, 12, "ICESWORD.EXE");
  WriteFile(path, bytes);
  const auto scan = torvane::testing::Cli({"scan", "--software", path, "--json"});
  EXPECT_EQ(scan.code, cli::kExitDamage) << scan.err;
  EXPECT_NE(scan.out.find("\"index\": 3, \"group\": \"system\", \"name\": \"" +
                          GbkToUtf8(repair::Item(3).name) + "\", \"state\": \"undetermined\""),
            std::string::npos)
      << scan.out;
  const auto repair = torvane::testing::Cli({"repair", "3", "--software", path});
  EXPECT_EQ(repair.code, cli::kExitDamage) << repair.out << repair.err;
  EXPECT_EQ(ReadFile(path), bytes);
}

// Two keys "System" and "SYSTEM" on item 0's path: nothing denied any
// access, and the reason says what is wrong; the repair writes nothing.
TEST_F(HiveDamageTest, TwoSubkeysOfOneNameOnAUserPlaceSayWhyTheItemIsUndetermined) {
  const std::string policies = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies";
  MemoryStore source;
  source.PutDword(kCurrentUser, policies + "\\System", "DisableTaskMgr", 1);
  source.PutDword(kCurrentUser, policies + "\\Zystem", "DisableTaskMgr", 0);
  const std::string user = dir + "/NTUSER.DAT";
  WriteHive(user, source.Root(kCurrentUser));
  std::string bytes = ReadFile(user);
  bytes.replace(FindCell(bytes, "nk", "Zystem") + 0x50, 6, "SYSTEM");
  WriteFile(user, bytes);
  const auto scan = torvane::testing::Cli({"scan", "--ntuser", user, "--json"});
  std::string reason = cli::JsonString("HKEY_CURRENT_USER\\" + policies + "\\System: a key on its path is there twice");
  reason.pop_back();  // the text goes on
  EXPECT_NE(scan.out.find("\"index\": 0, \"group\": \"system\", \"name\": \"" + GbkToUtf8(repair::Item(0).name) +
                          "\", \"state\": \"undetermined\", \"unread\": " + reason),
            std::string::npos)
      << scan.out;
  EXPECT_EQ(scan.out.find("access denied"), std::string::npos) << scan.out;
  const auto repair = torvane::testing::Cli({"repair", "0", "--ntuser", user});
  EXPECT_EQ(repair.code, cli::kExitDamage) << repair.out << repair.err;
  EXPECT_EQ(repair.err.find("access denied"), std::string::npos) << repair.err;
  EXPECT_EQ(ReadFile(user), bytes);
}

// What the real run refuses at its commit (a written hive that does not
// prove the plan), the dry run refuses too, in the same words, having
// written nothing; a sound hive it still lists, and a hijack key whose tree
// holds a value named by a lone surrogate goes like any other.
TEST_F(HiveDamageTest, TheDryRunRefusesWhatTheRealRunsCommitRefuses) {
  const std::string sound = WriteDamagedSoftware();
  std::string surrogate;  // a value name of one lone surrogate in the deleted tree
  {
    MemoryStore source;
    source.PutString(kLocalMachine, kIfeo + "\\IceSword.exe", "Debugger", "svch0st.exe");
    source.PutString(kLocalMachine, kIfeo + "\\IceSword.exe\\Sub", "Q", "x");
    WriteHive(path, *source.FindKey(kLocalMachine, "SOFTWARE"));
    surrogate = ReadFile(path);
    const std::size_t vk = FindCell(surrogate, "vk", "Q");
    ASSERT_GE(0x100000000ull - Get32(surrogate, vk), 0x18u + 2) << "room for two bytes of name";
    surrogate[vk + 6] = 2;
    surrogate[vk + 0x14] = 0;  // the name is UTF-16
    surrogate[vk + 0x18] = 0;
    surrogate[vk + 0x19] = static_cast<char>(0xD8);
  }
  std::string unprovable = sound;  // two subkeys of one name, off every path
  {
    MemoryStore source;
    source.PutString(kLocalMachine, kWinlogon, "Shell", "Explorer.exe evil.exe");
    source.PutString(kLocalMachine, "SOFTWARE\\Bravo\\Other", "Long", "bravo, long enough for a cell");
    source.PutString(kLocalMachine, "SOFTWARE\\Bravo\\Zther", "Long", "bravo, long enough for a cell");
    WriteHive(path, *source.FindKey(kLocalMachine, "SOFTWARE"));
    unprovable = ReadFile(path);
    unprovable.replace(FindCell(unprovable, "nk", "Zther") + 0x50, 5, "Other");
  }
  struct Case {
    const char* what;
    const std::string* bytes;
    int code;
    const char* says;
  };
  const Case cases[] = {
      {"a sound hive", &sound, cli::kExitOk, ""},
      // Item 12 fails: this hive has no Winlogon key.
      {"a lone surrogate", &surrogate, cli::kExitDamage, ""},
      {"unprovable data", &unprovable, cli::kExitError, ": the written hive is not the planned change (Bravo"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(path, *c.bytes);
    const auto dry = torvane::testing::Cli({"repair", "3", "12", "--software", path, "--dry-run"});
    EXPECT_EQ(ReadFile(path), *c.bytes) << "the dry run changed the hive";
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      EXPECT_EQ(entry.path().filename().string().find(".torvane-"), std::string::npos) << "left behind";
    }
    const auto real = torvane::testing::Cli({"repair", "3", "12", "--software", path});
    EXPECT_EQ(real.code, c.code) << real.out << real.err;
    EXPECT_EQ(dry.code, real.code) << dry.out << dry.err;
    EXPECT_EQ(dry.err, real.err);
    if (c.code != cli::kExitError) {
      EXPECT_NE(dry.out.find("Would change:"), std::string::npos) << dry.out;
      EXPECT_NE(ReadFile(path), *c.bytes) << "the real run repaired it";
    } else {
      EXPECT_NE(real.err.find("torvane: " + path + c.says), std::string::npos) << real.err;
      EXPECT_NE(real.err.find("; nothing was changed\n"), std::string::npos) << real.err;
      EXPECT_EQ(ReadFile(path), *c.bytes);
    }
  }
}

// A hive whose bins hold one enormous free cell, or one marked in use that
// nothing refers to (a hostile one), is changed as a compact copy of the
// cells its root reaches: the copy reads as the file did (a no-op commit
// keeps every key and value, libregf reads the result), and the committed
// file holds those cells, not the other bytes.
TEST_F(HiveDamageTest, AHiveOfMostlyFreeSpaceIsWrittenAsItsCellsInUse) {
  for (bool in_use : {false, true}) {
    SCOPED_TRACE(in_use ? "a cell in use nothing reaches" : "a free cell");
    const std::string sound = WriteDamagedSoftware();
    torvane::testing::AppendFreeBin(path, std::uint64_t{64} << 20, in_use);
    const std::string padded = ReadFile(path);
    ASSERT_EQ(padded.size(), sound.size() + (std::size_t{64} << 20));
    EXPECT_EQ(torvane::testing::HiveReadingsDisagree(padded, dir), "");
    WriteFile(path, padded);
    const auto result = torvane::testing::Cli({"repair", "3", "12", "--software", path});
    EXPECT_EQ(result.code, cli::kExitOk) << result.out << result.err;
    EXPECT_LT(std::filesystem::file_size(path), sound.size() + 0x2000);
    HiveStore store(HiveFile::Open(path, false), nullptr);
    EXPECT_EQ(store.ListSubkeys(kLocalMachine, kIfeo),
              std::vector<std::string>{"Your Image File Name Here without a path"});
    const auto shell = store.ListValues(kLocalMachine, kWinlogon);
    ASSERT_TRUE(shell);
    ASSERT_EQ(shell->size(), 1u);
    EXPECT_EQ(shell->at(0).name, "Shell");
    EXPECT_EQ(torvane::testing::HiveReadingsDisagree(ReadFile(path), dir), "");
  }
}

// Hives of version 1.4 and later keep data above 16344 bytes in segments
// listed by a "db" record; hivex writes no such record, so one is carved
// out of a large data cell. In a hive of version 1.3 the same record is no
// data Windows would read: the value cannot be read.
TEST_F(HiveDamageTest, DataSplitIntoSegmentsReadsWhole) {
  MemoryStore source;
  source.PutValue(kLocalMachine, "SOFTWARE\\Big", "Blob", kRegBinary, std::vector<std::uint8_t>(30000, 0));
  WriteHive(path, *source.FindKey(kLocalMachine, "SOFTWARE"));
  const std::string expected = torvane::testing::SplitIntoSegments(path, "Blob");
  ASSERT_GT(expected.size(), 16344u);

  for (bool writable : {false, true}) {
    HiveStore store(HiveFile::Open(path, writable), nullptr);
    const auto values = store.ListValues(kLocalMachine, "SOFTWARE\\Big");
    ASSERT_TRUE(values);
    ASSERT_EQ(values->size(), 1u);
    EXPECT_EQ(std::string(values->front().data.begin(), values->front().data.end()), expected)
        << (writable ? "opened for changes" : "in place");
  }
  // Windows takes 16,344 bytes from each segment and the rest from the
  // last, whatever the last one's cell holds beyond: a value of 16,345 bytes
  // whose last segment is a cell of 8 bytes reads whole, and is written
  // back whole; one that needs more than its segments hold is no data.
  {
    const std::string whole = ReadFile(path);
    std::string bytes = whole;
    const std::size_t vk = FindCell(bytes, "vk", "Blob");
    ASSERT_NE(vk, 0u);
    const std::size_t db = 0x1000 + Get32(bytes, vk + 12);
    const std::size_t second = 0x1000 + Get32(bytes, 0x1000 + Get32(bytes, db + 8) + 8);
    const auto second_length = static_cast<std::uint32_t>(0x100000000ull - Get32(bytes, second));
    Put32(bytes, vk + 8, 16345);
    Put32(bytes, second, static_cast<std::uint32_t>(-8));
    Put32(bytes, second + 8, second_length - 8);  // the rest of the old cell, free
    WriteFile(path, bytes);
    for (bool writable : {false, true}) {
      HiveStore store(HiveFile::Open(path, writable), nullptr);
      const auto values = store.ListValues(kLocalMachine, "SOFTWARE\\Big");
      ASSERT_TRUE(values);
      EXPECT_EQ(std::string(values->front().data.begin(), values->front().data.end()), expected.substr(0, 16345));
    }
    {
      auto hive = HiveFile::Open(path, true);
      HiveStore store(hive, nullptr);
      ASSERT_TRUE(store.SetValue(kLocalMachine, "SOFTWARE\\Big", RegValue{"Other", kRegDword, {1, 0, 0, 0}, true}));
      hive->Commit();
      const auto values = HiveStore(HiveFile::Open(path, false), nullptr).ListValues(kLocalMachine, "SOFTWARE\\Big");
      ASSERT_TRUE(values);
      ASSERT_EQ(values->size(), 2u);
      EXPECT_EQ(std::string(values->front().data.begin(), values->front().data.end()), expected.substr(0, 16345));
    }
    Put32(bytes, vk + 8, 16344 + 5);
    WriteFile(path, bytes);
    EXPECT_FALSE(HiveStore(HiveFile::Open(path, false), nullptr).ListValues(kLocalMachine, "SOFTWARE\\Big"))
        << "the last segment's cell holds 4 bytes, not 5";
    WriteFile(path, whole);
  }
  // Read by the hive's version, as Windows reads it: segments in a hive of
  // version 1.3, and large data in one cell in one of 1.5, are no data.
  torvane::testing::SetMinorVersion(path, 3);
  EXPECT_FALSE(HiveStore(HiveFile::Open(path, false), nullptr).ListValues(kLocalMachine, "SOFTWARE\\Big"));
  WriteHive(path, *source.FindKey(kLocalMachine, "SOFTWARE"));
  torvane::testing::SetMinorVersion(path, 5);
  EXPECT_FALSE(HiveStore(HiveFile::Open(path, false), nullptr).ListValues(kLocalMachine, "SOFTWARE\\Big"));
  EXPECT_THROW(HiveFile::Open(path, true), HiveError) << "nor is it changed";
}

// Read in place, a hive is still refused whole when its bins or its root are
// damaged, as it was when hivex opened it: its keys must not read as absent,
// which the checks would take for healthy.
TEST_F(HiveDamageTest, AHiveWhoseBinsOrRootAreDamagedIsRefusedWhole) {
  const std::string good = WriteDamagedSoftware();
  ASSERT_GE(good.size(), 0x3000u) << "two bins at least";
  auto message = [&](const std::string& bytes) {
    WriteFile(path, bytes);
    try {
      HiveFile::Open(path, false);
    } catch (const HiveError& error) {
      return std::string(error.what());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(message(good), "accepted");
  std::string bad_size = good;
  Put32(bad_size, 0x1008, 0x1234);
  EXPECT_EQ(message(bad_size), path + ": damaged hive (bad size of the hive bin at 4096)");
  std::string past_end = good;
  Put32(past_end, 0x1008, static_cast<std::uint32_t>(good.size()));
  EXPECT_EQ(message(past_end), path + ": damaged hive (bad size of the hive bin at 4096)");
  std::string second_bin = good;
  second_bin.replace(0x1000 + Get32(good, 0x1008), 4, "xxxx");
  EXPECT_EQ(message(second_bin),
            path + ": damaged hive (no hive bin at " + std::to_string(0x1000 + Get32(good, 0x1008)) + ")");
  std::string root = good;
  root[0x1000 + Get32(good, 0x24) + 4] = 'x';  // the root cell's "nk"
  EXPECT_EQ(message(root), path + ": damaged hive (the root is no key)");
}

// Found by the hive fuzzer: a value name stored as UTF-16 of odd length made
// hivex refuse the key's values, which the repair took for absent, while the
// reader read them after the commit: an item reported repaired read damaged.
// The name that cannot be read hides none of the values beside it; the key
// cannot be backed up or rewritten whole, so its item is not repaired.
TEST_F(HiveDamageTest, ANameThatIsNoUtf16HidesNothingAndItsKeyIsNeverRewritten) {
  const std::string user_path = dir + "/NTUSER.DAT";
  MemoryStore source;
  source.PutDword(kLocalMachine, torvane::testing::kExplorer, "NoViewContextMenu", 1);
  source.PutDword(kCurrentUser, torvane::testing::kExplorer, "NoViewContextMenu", 1);
  source.PutDword(kCurrentUser, torvane::testing::kExplorer, "Odd", 1);
  WriteHive(path, *source.FindKey(kLocalMachine, "SOFTWARE"));
  WriteHive(user_path, source.Root(kCurrentUser));
  std::string bytes = ReadFile(user_path);
  const std::size_t vk = FindCell(bytes, "vk", "Odd");
  ASSERT_NE(vk, 0u);
  bytes[vk + 20] = static_cast<char>(bytes[vk + 20] & ~1);  // the name's 3 bytes read as UTF-16
  WriteFile(user_path, bytes);

  for (bool writable : {false, true}) {
    HiveStore store(nullptr, HiveFile::Open(user_path, writable));
    EXPECT_FALSE(store.ListValues(kCurrentUser, torvane::testing::kExplorer)) << "not every value can be read";
    HKey key = kNullKey;
    ASSERT_EQ(store.RegOpenKeyExA(kCurrentUser, torvane::testing::kExplorer, 0, kKeyRead, &key), kSuccess);
    std::uint32_t size = 0;
    EXPECT_EQ(store.RegQueryValueExA(key, "NoViewContextMenu", nullptr, nullptr, &size), kSuccess) << writable;
    EXPECT_EQ(store.RegQueryValueExA(key, "Missing", nullptr, nullptr, &size), kAccessDenied)
        << "it could be the unreadable one";
    store.RegCloseKey(key);
  }

  repair::RunFlags flags;
  {
    auto software = HiveFile::Open(path, true);
    auto user = HiveFile::Open(user_path, true);
    HiveStore store(software, user);
    repair::RepairEngine engine(store);
    repair::RunTexts texts;
    repair::TickState all;
    all.fill(true);
    repair::RunRepairs(engine, flags, texts, all);
    software->Commit();
    user->Commit();
  }
  HiveStore reread(HiveFile::Open(path, false), HiveFile::Open(user_path, false));
  repair::RepairEngine engine(reread);
  EXPECT_FALSE(flags.m_repaired[5]) << "the key cannot be rewritten";
  EXPECT_FALSE(engine.CheckItem(5)) << "never healthy";
  EXPECT_EQ(ReadFile(user_path), bytes);
}

// Two values whose stored names differ only after a NUL ("A\0B", "A\0C")
// read as "A" through readers that take C strings; rewriting their key
// must keep both names whole. Neither is named "A".
TEST_F(HiveDamageTest, ValuesWhoseNamesHideANulAreNeverRenamed) {
  MemoryStore source;
  source.PutString(kLocalMachine, kWinlogon, "Shell", "Explorer.exe evil.exe");
  source.PutString(kLocalMachine, kWinlogon, "AxB", "one");
  source.PutString(kLocalMachine, kWinlogon, "AxC", "two");
  source.PutString(kLocalMachine, kIfeo + "\\IceSword.exe", "Debugger", "svch0st.exe");
  WriteHive(path, *source.FindKey(kLocalMachine, "SOFTWARE"));
  std::string bytes = ReadFile(path);
  for (const char* name : {"AxB", "AxC"}) bytes[FindCell(bytes, "vk", name) + 0x18 + 1] = '\0';
  WriteFile(path, bytes);

  {
    auto hive = HiveFile::Open(path, true);
    HiveStore store(hive, nullptr);
    EXPECT_TRUE(store.DeleteValue(kLocalMachine, kWinlogon, "A")) << "there is no value named A";
    EXPECT_FALSE(hive->modified());
    EXPECT_TRUE(store.SetValue(kLocalMachine, kWinlogon, RegValue{"Shell", kRegSz, {'x', 0}}));
    EXPECT_TRUE(store.DeleteTree(kLocalMachine, kIfeo + "\\IceSword.exe"));
    hive->Commit();
  }
  const std::string after = ReadFile(path);
  EXPECT_NE(after, bytes);
  for (const std::string& name : {std::string("A\0B", 3), std::string("A\0C", 3)}) {
    EXPECT_NE(FindCell(after, "vk", name), 0u) << "both names kept whole";
  }
  HiveStore reread(HiveFile::Open(path, false), nullptr);
  const auto shell = reread.ListValues(kLocalMachine, kWinlogon);
  ASSERT_TRUE(shell);
  EXPECT_EQ(shell->front().name, "Shell");
  const RegValue shell_text = AnsiForm(shell->front());
  EXPECT_EQ(std::string(shell_text.data.begin(), shell_text.data.end()), std::string("x", 2));
  EXPECT_EQ(shell->size(), 3u);
}

// A value name is all its stored characters. "Shell\0x" stored before the
// real Shell is not Shell, and a name with an unpaired surrogate (legal in
// Windows) hides none of the values beside it: both readings see the
// hijacked Shell and NoRun. The repair of those keys writes the planted
// name back exactly as it was stored, beside the repaired values.
TEST_F(HiveDamageTest, StoredNamesAreReadWholeAndHideNothingBesideThem) {
  struct Case {
    const char* what;
    std::string stored;  // UTF-16LE of the planted name, written over "PlantedName1234"
  };
  auto utf16 = [](const std::string& ascii) {
    std::string out;
    for (char c : ascii) out += std::string{c, '\0'};
    return out;
  };
  const Case cases[] = {
      {"a NUL", utf16("Shell") + std::string("\0\0x\0", 4)},
      {"an unpaired surrogate", utf16("Plant") + std::string("\x00\xD8", 2)},
  };
  const std::string user_path = dir + "/NTUSER.DAT";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryStore source;
    // Values are stored in the order given: the planted one comes first.
    source.PutString(kLocalMachine, kWinlogon, "PlantedName1234", "Explorer.exe");
    source.PutString(kLocalMachine, kWinlogon, "Shell", "Explorer.exe evil.exe");
    source.PutDword(kCurrentUser, torvane::testing::kExplorer, "PlantedName1234", 0);
    source.PutDword(kCurrentUser, torvane::testing::kExplorer, "NoRun", 1);
    WriteHive(path, *source.FindKey(kLocalMachine, "SOFTWARE"));
    WriteHive(user_path, source.Root(kCurrentUser));
    for (const std::string& file : {path, user_path}) {
      std::string bytes = ReadFile(file);
      const std::size_t vk = FindCell(bytes, "vk", "PlantedName1234");
      ASSERT_NE(vk, 0u);
      bytes[vk + 20] = static_cast<char>(bytes[vk + 20] & ~1);  // UTF-16 from here on
      bytes.replace(vk + 0x18, c.stored.size(), c.stored);
      bytes[vk + 6] = static_cast<char>(c.stored.size());
      bytes[vk + 7] = 0;
      WriteFile(file, bytes);
    }
    for (bool writable : {false, true}) {
      HiveStore store(HiveFile::Open(path, writable), HiveFile::Open(user_path, writable));
      repair::RepairEngine engine(store);
      EXPECT_FALSE(engine.CheckItem(12)) << "Shell read through the planted name, " << writable;
      EXPECT_FALSE(engine.CheckItem(4)) << "NoRun hidden, " << writable;
    }
    {
      auto software = HiveFile::Open(path, true);
      auto user = HiveFile::Open(user_path, true);
      HiveStore store(software, user);
      repair::RepairEngine engine(store);
      EXPECT_EQ(engine.ApplyRepair(12), repair::RepairOutcome::kRepaired);
      EXPECT_EQ(engine.ApplyRepair(4), repair::RepairOutcome::kRepaired);
      software->Commit();
      user->Commit();
    }
    HiveStore reread(HiveFile::Open(path, false), HiveFile::Open(user_path, false));
    repair::RepairEngine engine(reread);
    EXPECT_TRUE(engine.CheckItem(12));
    EXPECT_TRUE(engine.CheckItem(4));
    const auto values = reread.ListValues(kLocalMachine, kWinlogon);
    ASSERT_TRUE(values);
    ASSERT_EQ(values->size(), 2u);
    EXPECT_EQ(Utf8ToUtf16le(values->front().name), c.stored) << "the planted value kept as it was";
    const auto user_values = reread.ListValues(kCurrentUser, torvane::testing::kExplorer);
    ASSERT_TRUE(user_values);
    ASSERT_EQ(user_values->size(), 1u) << "NoRun went, the planted value stayed";
    EXPECT_EQ(Utf8ToUtf16le(user_values->front().name), c.stored);
  }
}

// Inputs the hive fuzzer found, each used as both SOFTWARE and NTUSER.DAT:
// a repair either commits a hive in which every item it reports repaired
// reads healthy, or is refused and leaves the file as it was.
TEST_F(HiveDamageTest, FuzzerFindingsReportOnlyRepairsTheCommittedHiveShows) {
  const char* const inputs[] = {
      // hivex and the in-place reader reached different keys: item 5 was
      // reported repaired while the committed hive still held the policy.
      "hive-item5-repaired-but-damaged",
  };
  for (const char* name : inputs) {
    SCOPED_TRACE(name);
    std::string input = ReadFile(std::string(TORVANE_TEST_DATA) + "/" + name);
    ASSERT_GT(input.size(), 0x2000u);
    // Made clean: what it tests is the repair, not its (absent) logs.
    input.replace(8, 4, input.substr(4, 4));
    torvane::testing::FixChecksum(input);
    const std::string user_path = dir + "/NTUSER.DAT";
    WriteFile(path, input);
    WriteFile(user_path, input);
    repair::RunFlags flags;
    bool committed = true;
    {
      auto software = HiveFile::Open(path, true);
      auto user = HiveFile::Open(user_path, true);
      HiveStore store(software, user);
      repair::RepairEngine engine(store);
      repair::TickState all;
      all.fill(true);
      repair::RunTexts texts;
      repair::RunRepairs(engine, flags, texts, all);
      for (HiveFile* hive : {software.get(), user.get()}) {
        try {
          hive->Commit();
        } catch (const HiveError& error) {
          committed = false;
          EXPECT_EQ(ReadFile(hive->path()), input) << error.what();
        }
      }
    }
    if (!committed) continue;
    HiveStore reread(HiveFile::Open(path, false), HiveFile::Open(user_path, false));
    repair::RepairEngine engine(reread);
    for (int i = 0; i < repair::kItemCount; ++i) {
      if (flags.m_repaired[i]) {
        EXPECT_TRUE(engine.CheckItem(i)) << "item " << i << " reported repaired";
      }
    }
  }
}

// The commit reads the written hive back and compares it with the old one
// and the changes made: any other difference, or a key it cannot compare,
// drops the file, naming the hive and the first difference. Here a key off
// every path holds two subkeys of one name: which is which in the written
// hive cannot be told. So does a value whose data runs past its cell, which
// no reader can read: nothing can prove it kept as it was.
TEST_F(HiveDamageTest, AWrittenHiveThatCannotBeProvedThePlanIsNeverCommitted) {
  MemoryStore source;
  source.PutString(kLocalMachine, "SOFTWARE\\Alpha\\Inner", "Data", "a");
  source.PutString(kLocalMachine, "SOFTWARE\\Bravo\\Other", "Long", "bravo, long enough for a cell");
  source.PutString(kLocalMachine, "SOFTWARE\\Bravo\\Zther", "Long", "bravo, long enough for a cell");
  WriteHive(path, *source.FindKey(kLocalMachine, "SOFTWARE"));
  const std::string written = ReadFile(path);
  std::string unreadable = written;
  const std::size_t data = FindCell(unreadable, "vk", "Long");
  ASSERT_NE(data, 0u);
  ASSERT_EQ(Get32(unreadable, data + 8) & 0x80000000u, 0u) << "the data must lie in a cell of its own";
  Put32(unreadable, data + 8, 3000);
  std::string twins = written;
  twins.replace(FindCell(twins, "nk", "Zther") + 0x50, 5, "Other");
  for (const std::string* bytes : {&unreadable, &twins}) {
    SCOPED_TRACE(bytes == &twins ? "two subkeys of one name" : "data past its cell");
    WriteFile(path, *bytes);
    auto hive = HiveFile::Open(path, true);
    HiveStore store(hive, nullptr);
    ASSERT_TRUE(store.CreateKey(kLocalMachine, "SOFTWARE\\Alpha\\Added"));
    try {
      hive->Commit();
      ADD_FAILURE() << "committed";
    } catch (const HiveError& error) {
      EXPECT_NE(std::string(error.what()).find(path + ": the written hive is not the planned change (Bravo"),
                std::string::npos)
          << error.what();
    }
    EXPECT_EQ(ReadFile(path), *bytes);
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      EXPECT_EQ(entry.path().filename().string().find(".torvane-"), std::string::npos) << "left behind";
    }
  }
}

// The store's reading, its reading after a commit that changes nothing, and
// libregf's agree, or the hive is refused for writing and left as it was:
// hives made here, the damaged ones above, and the fuzzer's findings.
TEST_F(HiveDamageTest, TheStoreANoOpCommitAndLibregfReadAHiveAlike) {
  if (!torvane::testing::HaveRegfexport()) GTEST_SKIP() << "regfexport (Debian's libregf-utils) is not installed";
  MemoryStore demo;
  LoadDemoRegistry(demo);
  WriteHive(path, *demo.FindKey(kLocalMachine, "SOFTWARE"));
  const std::string made = ReadFile(path);
  WriteHive(path, demo.Root(kCurrentUser));
  const std::string user = ReadFile(path);
  const std::string damaged = WriteDamagedSoftware();
  std::string unreadable = damaged;
  const std::size_t vk = FindCell(unreadable, "vk", "Debugger");
  Put32(unreadable, vk + 12, 0x10);
  std::string nameless = damaged;  // a key name of no characters, which libregf refuses
  nameless[FindCell(nameless, "nk", "IceSword.exe") + 0x4C] = 0;
  std::string overlong = damaged;  // a security descriptor longer than its cell, which libregf refuses
  const std::size_t sk = 0x1000 + Get32(overlong, FindCell(overlong, "nk", "IceSword.exe") + 0x30);
  Put32(overlong, sk + 20, static_cast<std::uint32_t>(-static_cast<std::int32_t>(Get32(overlong, sk))) - 0x14);
  std::string long_name = damaged;  // the root's name running past its record, which libregf refuses
  long_name[0x1000 + Get32(long_name, 0x24) + 0x4D] = static_cast<char>(0xFF);
  std::string long_class = damaged;  // a class name running past its cell
  {
    const std::size_t key = FindCell(long_class, "nk", "IceSword.exe");
    Put32(long_class, key + 0x34, Get32(long_class, key + 0x30));
    long_class[key + 0x4E] = static_cast<char>(0xF0);
  }
  std::string crossing = damaged;  // the first bin's last cell running into the next bin
  {
    const std::size_t bin_end = 0x1000 + Get32(crossing, 0x1008);
    std::size_t last = 0x1020;
    for (std::size_t cell = last; cell < bin_end; cell += static_cast<std::size_t>(std::abs(
                                                      static_cast<std::int32_t>(Get32(crossing, cell))))) {
      last = cell;
    }
    const auto size = static_cast<std::int32_t>(Get32(crossing, last));
    Put32(crossing, last, static_cast<std::uint32_t>(size < 0 ? size - 8 : size + 8));
  }
  std::string known = ReadFile(std::string(TORVANE_TEST_DATA) + "/hive-item5-repaired-but-damaged");
  torvane::testing::FixChecksum(known);
  struct Case {
    const char* what;
    const std::string* bytes;
  };
  const Case cases[] = {
      {"the demo SOFTWARE", &made},
      {"the demo NTUSER.DAT", &user},
      {"a hive with two damaged items", &damaged},
      {"a value's data in a bin header", &unreadable},
      {"a key without a name", &nameless},
      {"a security descriptor past its cell", &overlong},
      {"the root's name past its record", &long_name},
      {"a cell past its bin", &crossing},
      {"a class name past its cell", &long_class},
      {"hive-item5-repaired-but-damaged", &known},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(torvane::testing::HiveReadingsDisagree(*c.bytes, dir), "") << c.what;
    // The same behind a free cell large enough that the hive is changed as
    // a compact copy.
    WriteFile(path, *c.bytes);
    torvane::testing::AppendFreeBin(path, std::uint64_t{8} << 20);
    EXPECT_EQ(torvane::testing::HiveReadingsDisagree(ReadFile(path), dir), "") << c.what << ", mostly free";
  }
}

// A key on the path whose subkey list, or the key whose value list, cannot
// be read is a read error of the store, never "not found": the checks see
// it, and nothing is written.
TEST_F(HiveDamageTest, AListThatCannotBeReadIsAnErrorNeverAnEmptyList) {
  struct Case {
    const char* what;
    const char* key;
    std::size_t field;  // the count the key's record gives its list
    long open, query;   // what opening the policy key and reading NoRun answer
  };
  const Case cases[] = {
      // Nothing denied anything: the reason is the damage.
      {"the subkey list of a key on the path", "Policies", 0x18, registry::kUnreadableRecord, kInvalidHandle},
      {"the value list of the key itself", "Explorer", 0x28, kSuccess, registry::kUnreadableRecord},
  };
  const std::string user_path = dir + "/NTUSER.DAT";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryStore source;
    source.PutDword(kCurrentUser, torvane::testing::kExplorer, "NoViewContextMenu", 1);
    source.PutDword(kCurrentUser, torvane::testing::kExplorer, "NoRun", 1);
    WriteHive(user_path, source.Root(kCurrentUser));
    std::string bytes = ReadFile(user_path);
    const std::size_t nk = FindCell(bytes, "nk", c.key);
    ASSERT_NE(nk, 0u);
    Put32(bytes, nk + c.field, 40);
    WriteFile(user_path, bytes);
    for (bool writable : {false, true}) {
      std::shared_ptr<HiveFile> user;
      try {
        user = HiveFile::Open(user_path, writable);
      } catch (const HiveError& error) {
        EXPECT_TRUE(writable) << error.what();
        continue;  // refused for changes: nothing is repaired
      }
      HiveStore store(nullptr, user);
      HKey key = kNullKey;
      EXPECT_EQ(store.RegOpenKeyExA(kCurrentUser, torvane::testing::kExplorer, 0, kKeyRead, &key), c.open);
      std::uint32_t size = 0;
      EXPECT_EQ(store.RegQueryValueExA(key, "NoRun", nullptr, nullptr, &size), c.query);
      store.RegCloseKey(key);
      EXPECT_FALSE(store.ListValues(kCurrentUser, torvane::testing::kExplorer));
      EXPECT_FALSE(store.DeleteValue(kCurrentUser, torvane::testing::kExplorer, "NoRun"));
      EXPECT_FALSE(user->modified());
    }
    EXPECT_EQ(ReadFile(user_path), bytes);
  }
}

}  // namespace
}  // namespace torvane::registry
