// The offline hive store must answer the seven operations as Windows does
// over the same hive, convert texts as the A entry points do, and never leave
// a hive file half written.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "registry/demo.h"
#include "registry/hive_store.h"
#include "repair/engine.h"
#include "repair/run.h"
#include "support/hive_builder.h"
#include "support/text.h"

namespace torvane::registry {
namespace {

using torvane::testing::Gbk;
using torvane::testing::ReadFile;
using torvane::testing::ScratchDirectory;
using torvane::testing::WriteFile;
using torvane::testing::WriteHive;

constexpr const char* kWinlogon = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";

// Entries a commit leaves beside the files of `dir`.
int Leftovers(const std::string& dir) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    count += entry.path().filename().string().find(".torvane-") != std::string::npos;
  }
  return count;
}

class HiveStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = ScratchDirectory("hive");
    software_path = dir + "/SOFTWARE";
    user_path = dir + "/NTUSER.DAT";
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  // Writes the two hives from what `source` holds under HKLM\SOFTWARE and HKCU.
  void WriteHives(const MemoryStore& source) {
    const auto* software = source.FindKey(kLocalMachine, "SOFTWARE");
    MemoryStore empty;
    WriteHive(software_path, software != nullptr ? *software : empty.Root(kLocalMachine));
    WriteHive(user_path, source.Root(kCurrentUser));
  }

  HiveStore Open(bool writable) {
    return HiveStore(HiveFile::Open(software_path, writable), HiveFile::Open(user_path, writable));
  }

  std::string dir, software_path, user_path;
};

TEST_F(HiveStoreTest, TheGeneratedEmptyHiveIsAcceptedAndClean) {
  WriteFile(software_path, torvane::testing::EmptyHive());
  auto hive = HiveFile::Open(software_path, false);
  EXPECT_TRUE(hive->replayed().empty());
  HiveStore store(hive, nullptr);
  HKey key = kNullKey;
  ASSERT_EQ(store.RegOpenKeyExA(kLocalMachine, "software", 0, kKeyRead, &key), kSuccess);
  char name[32];
  EXPECT_EQ(store.RegEnumKeyA(key, 0, name, sizeof name), kNoMoreItems);
  EXPECT_EQ(store.RegCloseKey(key), kSuccess);
}

TEST_F(HiveStoreTest, PathsMapToTheHiveRootsAndTextsComeOutInTheAnsiCodePage) {
  MemoryStore source;
  source.PutString(kLocalMachine, kWinlogon, "Shell", Gbk("Explorer.exe 病毒"));
  source.PutDword(kLocalMachine, "SOFTWARE\\Policies\\X", "Number", 0x01020304);
  source.PutString(kCurrentUser, "Software\\Microsoft\\Internet Explorer\\Main", "Window title", Gbk("标题"));
  source.CreateKey(kCurrentUser, Gbk("Software\\中文键"));
  WriteHives(source);
  HiveStore store = Open(false);

  HKey key = kNullKey;
  ASSERT_EQ(store.RegOpenKeyExA(kLocalMachine, "software\\MICROSOFT\\windows nt\\currentversion\\winlogon", 0,
                                kKeyAllAccess, &key),
            kSuccess);
  std::uint8_t buffer[100] = {};
  std::uint32_t size = sizeof buffer, type = 0;
  ASSERT_EQ(store.RegQueryValueExA(key, "SHELL", &type, buffer, &size), kSuccess);
  const std::string expected = Gbk("Explorer.exe 病毒");
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(size, expected.size() + 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer)), expected);
  size = 4;
  EXPECT_EQ(store.RegQueryValueExA(key, "Shell", nullptr, buffer, &size), kMoreData);
  EXPECT_EQ(size, expected.size() + 1);
  store.RegCloseKey(key);

  ASSERT_EQ(store.RegOpenKeyExA(kLocalMachine, "SOFTWARE\\Policies\\X", 0, kKeyRead, &key), kSuccess);
  size = sizeof buffer;
  ASSERT_EQ(store.RegQueryValueExA(key, "Number", &type, buffer, &size), kSuccess);
  EXPECT_EQ(type, kRegDword);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(buffer[0], 4);
  store.RegCloseKey(key);

  EXPECT_EQ(store.RegOpenKeyExA(kLocalMachine, "SYSTEM\\CurrentControlSet", 0, kKeyRead, &key), kFileNotFound)
      << "only the SOFTWARE hive lies under HKLM";
  ASSERT_EQ(store.RegOpenKeyExA(kCurrentUser, "Software", 0, kKeyRead, &key), kSuccess);
  char name[64];
  std::vector<std::string> names;
  for (std::uint32_t i = 0; store.RegEnumKeyA(key, i, name, sizeof name) == kSuccess; ++i) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"Microsoft", Gbk("中文键")}));
  EXPECT_EQ(store.RegEnumKeyA(key, 0, name, 5), kMoreData);
  store.RegCloseKey(key);
  EXPECT_EQ(store.open_handles(), 0u);
}

TEST_F(HiveStoreTest, AMissingHiveLeavesItsRootEmpty) {
  MemoryStore source;
  source.PutString(kLocalMachine, kWinlogon, "Shell", "Explorer.exe");
  WriteHives(source);
  HiveStore store(HiveFile::Open(software_path, false), nullptr);
  HKey key = kNullKey;
  EXPECT_EQ(store.RegOpenKeyExA(kCurrentUser, "Software", 0, kKeyRead, &key), kFileNotFound);
  EXPECT_EQ(store.RegOpenKeyExA(kLocalMachine, kWinlogon, 0, kKeyRead, &key), kSuccess);
  store.RegCloseKey(key);
}

TEST_F(HiveStoreTest, DeletingOneValueKeepsEveryOtherValueOfTheKeyByteForByte) {
  MemoryStore source;
  source.PutDword(kCurrentUser, "P", "NoRun", 1);
  source.PutString(kCurrentUser, "P", "Keep", Gbk("保留"));
  source.PutValue(kCurrentUser, "P", "Blob", kRegBinary, {0, 1, 2, 3, 4, 5, 6, 7, 8});
  source.PutValue(kCurrentUser, "P", "", kRegExpandSz, {'%', 'x', '%', 0});
  WriteHives(source);
  {
    HiveStore store = Open(true);
    HKey key = kNullKey;
    ASSERT_EQ(store.RegOpenKeyExA(kCurrentUser, "p", 0, kKeyAllAccess, &key), kSuccess);
    EXPECT_EQ(store.RegDeleteValueA(key, "norun"), kSuccess);
    EXPECT_EQ(store.RegDeleteValueA(key, "norun"), kFileNotFound);
    store.RegCloseKey(key);
    auto values = store.ListValues(kCurrentUser, "P");
    ASSERT_TRUE(values);
    MemoryStore expected;
    expected.PutString(kCurrentUser, "P", "Keep", Gbk("保留"));
    expected.PutValue(kCurrentUser, "P", "Blob", kRegBinary, {0, 1, 2, 3, 4, 5, 6, 7, 8});
    expected.PutValue(kCurrentUser, "P", "", kRegExpandSz, {'%', 'x', '%', 0});
    std::vector<RegValue> stored;
    for (const RegValue& value : expected.FindKey(kCurrentUser, "P")->values) stored.push_back(StoredForm(value));
    EXPECT_EQ(*values, stored);
  }
  // Nothing reaches the file before a commit.
  HiveStore reread = Open(false);
  auto values = reread.ListValues(kCurrentUser, "P");
  ASSERT_TRUE(values);
  EXPECT_EQ(values->size(), 4u);
}

TEST_F(HiveStoreTest, WritesCommitToTheFileAndReadOnlyHivesRefuseThem) {
  MemoryStore source;
  source.PutString(kLocalMachine, kWinlogon, "Shell", "evil.exe");
  source.PutString(kLocalMachine, kWinlogon + std::string("\\Sub\\Deeper"), "x", "y");
  WriteHives(source);
  {
    HiveStore store = Open(false);
    HKey key = kNullKey;
    ASSERT_EQ(store.RegOpenKeyExA(kLocalMachine, kWinlogon, 0, kKeyAllAccess, &key), kSuccess);
    const std::uint8_t text[] = "Explorer.exe";
    EXPECT_EQ(store.RegSetValueExA(key, "Shell", 0, kRegSz, text, sizeof text), kAccessDenied);
    EXPECT_EQ(store.RegDeleteKeyA(key, "Sub\\Deeper"), kAccessDenied);
    store.RegCloseKey(key);
  }
  auto software = HiveFile::Open(software_path, true);
  {
    HiveStore store(software, nullptr);
    HKey key = kNullKey, read_only = kNullKey, doomed = kNullKey;
    ASSERT_EQ(store.RegOpenKeyExA(kLocalMachine, kWinlogon, 0, kKeyAllAccess, &key), kSuccess);
    ASSERT_EQ(store.RegOpenKeyExA(kLocalMachine, kWinlogon, 0, kKeyRead, &read_only), kSuccess);
    const std::uint8_t text[] = "Explorer.exe";
    EXPECT_EQ(store.RegSetValueExA(read_only, "Shell", 0, kRegSz, text, sizeof text), kAccessDenied);
    EXPECT_EQ(store.RegSetValueExA(key, "shell", 0, kRegSz, text, sizeof text), kSuccess);
    EXPECT_EQ(store.RegDeleteKeyA(key, "Sub"), kAccessDenied) << "a key with subkeys stays";
    char name[16];
    EXPECT_EQ(store.RegEnumKeyA(key, 0, name, sizeof name), kSuccess);
    EXPECT_STREQ(name, "Sub");
    ASSERT_EQ(store.RegOpenKeyExA(key, "Sub\\Deeper", 0, kKeyAllAccess, &doomed), kSuccess);
    EXPECT_EQ(store.RegDeleteKeyA(key, "Sub\\Deeper"), kSuccess);
    std::uint32_t size = 0;
    EXPECT_EQ(store.RegQueryValueExA(doomed, "x", nullptr, nullptr, &size), kKeyDeleted);
    EXPECT_EQ(store.RegDeleteKeyA(key, "Sub"), kSuccess);
    EXPECT_EQ(store.RegEnumKeyA(key, 0, name, sizeof name), kNoMoreItems) << "enumeration sees the deletion";
    for (HKey open : {key, read_only, doomed}) store.RegCloseKey(open);
  }
  EXPECT_TRUE(software->modified());
  software->Commit();
  EXPECT_FALSE(software->modified());

  HiveStore reread(HiveFile::Open(software_path, false), nullptr);
  auto values = reread.ListValues(kLocalMachine, kWinlogon);
  ASSERT_TRUE(values);
  ASSERT_EQ(values->size(), 1u);
  EXPECT_EQ(values->front().name, "Shell") << "the stored name keeps its case";
  EXPECT_EQ(std::string(values->front().data.begin(), values->front().data.end()),
            std::string("E\0x\0p\0l\0o\0r\0e\0r\0.\0e\0x\0e\0\0\0", 26))
      << "the stored bytes, UTF-16LE";
  EXPECT_FALSE(reread.ListValues(kLocalMachine, kWinlogon + std::string("\\Sub")));
  EXPECT_EQ(Leftovers(dir), 0) << "nothing left beside the hive";
}

// A hive swapped for another file while the run holds it (moved aside, a
// copy put under its name) is never replaced by what was read from the
// first: the commit refuses, and both files stay as they were.
TEST_F(HiveStoreTest, AHiveSwappedDuringTheRunIsNotReplaced) {
  MemoryStore source;
  source.PutString(kLocalMachine, kWinlogon, "Shell", "Explorer.exe evil.exe");
  WriteHives(source);
  auto hive = HiveFile::Open(software_path, true);
  HiveStore store(hive, nullptr);
  ASSERT_TRUE(store.SetValue(kLocalMachine, kWinlogon, RegValue{"Shell", kRegSz, {'E', 0, 0, 0}, true}));
  const std::string read = ReadFile(software_path), planted = read + std::string(4096, '\0');
  std::filesystem::rename(software_path, software_path + ".moved");
  WriteFile(software_path, planted);
  try {
    hive->Commit();
    ADD_FAILURE() << "the commit replaced a file it never read";
  } catch (const HiveError& error) {
    EXPECT_EQ(std::string(error.what()),
              software_path + ": another file took its name during the run; nothing was written");
  }
  EXPECT_EQ(ReadFile(software_path), planted);
  EXPECT_EQ(ReadFile(software_path + ".moved"), read);
  EXPECT_EQ(Leftovers(dir), 0);
}

// Bytes past the bins the header announces are no part of the hive: a hive
// padded (here sparsely) to many times its size is changed at the cost of
// its bins, and the new file holds the bins alone.
TEST_F(HiveStoreTest, PaddingPastTheBinsIsNeitherLoadedNorWrittenBack) {
  MemoryStore source;
  source.PutString(kLocalMachine, kWinlogon, "Shell", "Explorer.exe evil.exe");
  WriteHives(source);
  const auto bins = std::filesystem::file_size(software_path);
  std::filesystem::resize_file(software_path, bins + (256u << 20));
  {
    auto hive = HiveFile::Open(software_path, true);
    HiveStore store(hive, nullptr);
    ASSERT_TRUE(store.SetValue(kLocalMachine, kWinlogon, RegValue{"Shell", kRegSz, {'E', 0, 0, 0}, true}));
    hive->Commit();
  }
  EXPECT_LT(std::filesystem::file_size(software_path), bins + (1u << 20));
  HiveStore reread(HiveFile::Open(software_path, false), nullptr);
  const auto values = reread.ListValues(kLocalMachine, kWinlogon);
  ASSERT_TRUE(values);
  ASSERT_EQ(values->size(), 1u);
  EXPECT_EQ(values->front().data, (std::vector<std::uint8_t>{'E', 0, 0, 0}));
}

TEST_F(HiveStoreTest, ACommitInterruptedAfterTheTemporaryFileLeavesTheOriginalIntact) {
  MemoryStore source;
  source.PutString(kLocalMachine, kWinlogon, "Shell", "evil.exe");
  WriteHives(source);
  const std::string before = ReadFile(software_path);

  // A crash: the process dies right after the new hive is written and flushed.
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    auto software = HiveFile::Open(software_path, true);
    HiveStore store(software, nullptr);
    store.SetValue(kLocalMachine, kWinlogon, RegValue{"Shell", kRegSz, {'x', 0}});
    software->Commit([](const std::string&) { _exit(0); });
    _exit(3);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0) << "the hook must have run";
  EXPECT_EQ(ReadFile(software_path), before);
  // The new hive was complete beside it when the process died, in a private
  // folder that also holds the original.
  int leftovers = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().filename().string().rfind("SOFTWARE.torvane-", 0) != 0) continue;
    ++leftovers;
    EXPECT_NO_THROW(HiveFile::Open((entry.path() / "new").string(), false));
    EXPECT_EQ(ReadFile((entry.path() / "old").string()), before);
    std::filesystem::remove_all(entry.path());
  }
  EXPECT_EQ(leftovers, 1);

  // A failure inside the process: the original stays and the temporary goes.
  auto software = HiveFile::Open(software_path, true);
  HiveStore store(software, nullptr);
  ASSERT_TRUE(store.SetValue(kLocalMachine, kWinlogon, RegValue{"Shell", kRegSz, {'x', 0}}));
  EXPECT_THROW(software->Commit([](const std::string&) { throw FileError("power cut"); }), HiveError);
  EXPECT_EQ(ReadFile(software_path), before);
  EXPECT_EQ(Leftovers(dir), 0) << "the private folder goes";
}

TEST_F(HiveStoreTest, BadFilesAreRefusedWithOneLineNamingTheFile) {
  MemoryStore source;
  source.PutString(kLocalMachine, kWinlogon, "Shell", std::string(5000, 'x'));
  WriteHives(source);
  const std::string good = ReadFile(software_path);
  ASSERT_GT(good.size(), 8192u);

  auto message = [&](const std::string& bytes) {
    WriteFile(software_path, bytes);
    try {
      HiveFile::Open(software_path, false);
    } catch (const HiveError& error) {
      return std::string(error.what());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(message("this is not a hive at all"), software_path + ": not a registry hive (no \"regf\" signature)");
  EXPECT_EQ(message(good.substr(0, 300)),
            software_path + ": truncated: 300 bytes, less than the 4096-byte hive header");
  EXPECT_EQ(message(good.substr(0, 8192)),
            software_path + ": truncated: the header announces " + std::to_string(good.size()) +
                " bytes, the file holds 8192");
  std::string flipped = good;
  flipped[0x30] ^= 1;
  EXPECT_EQ(message(flipped), software_path + ": damaged hive header (checksum mismatch)");
  for (std::size_t field : {0x1C, 0x20}) {  // a log file's type, a format other than in memory
    std::string other = good;
    other[field] = 2;
    torvane::testing::FixChecksum(other);
    EXPECT_EQ(message(other), software_path + ": not a primary hive file (its header's type or format)");
  }
  std::string no_bin = good;
  no_bin.replace(0x1000, 4, "junk");
  EXPECT_EQ(message(no_bin), software_path + ": damaged hive (no hive bin after the header)");
  std::filesystem::remove(software_path);
  EXPECT_NE(message("").find(software_path), std::string::npos);
}

// A dirty hive is read only with its logs replayed: without them what it
// holds is not what Windows would load, whatever its bins look like.
TEST_F(HiveStoreTest, ADirtyHiveWithoutUsableLogsIsUndetermined) {
  MemoryStore source;
  WriteHives(source);
  torvane::testing::SetSecondarySequence(software_path, 999);
  for (bool writable : {false, true}) {
    EXPECT_THROW(HiveFile::Open(software_path, writable), DirtyHiveError);
    EXPECT_TRUE(HiveFile::Open(user_path, writable)->replayed().empty());
  }
  // Files at the logs' names that are no logs, or not files, are no help.
  WriteFile(software_path + ".LOG1", std::string(4096, 'x'));
  WriteFile(software_path + ".log2", "");
  try {
    HiveFile::Open(software_path, false);
    ADD_FAILURE() << "a dirty hive without a usable log opened";
  } catch (const DirtyHiveError& error) {
    EXPECT_NE(std::string(error.what()).find("the hive is dirty and its transaction logs cannot be replayed"),
              std::string::npos)
        << error.what();
  }
  std::filesystem::remove(software_path + ".log2");
  std::filesystem::create_symlink(user_path, software_path + ".log2");
  EXPECT_THROW(HiveFile::Open(software_path, false), DirtyHiveError);
  std::filesystem::remove(software_path + ".log2");
  std::filesystem::create_directory(software_path + ".Log");
  EXPECT_THROW(HiveFile::Open(software_path, false), DirtyHiveError);
}

// The engine must decide the same over hives as over the memory store they
// were made from, and repair them to the same registry.
TEST_F(HiveStoreTest, ScanAndRepairOverHivesMatchTheMemoryStore) {
  MemoryStore memory;
  LoadDemoRegistry(memory);
  WriteHives(memory);
  auto software = HiveFile::Open(software_path, true);
  auto user = HiveFile::Open(user_path, true);
  HiveStore hives(software, user);

  repair::RepairEngine on_memory(memory), on_hives(hives);
  repair::ItemBytes memory_health{}, hive_health{};
  on_memory.ScanItems(memory_health);
  on_hives.ScanItems(hive_health);
  EXPECT_EQ(hive_health, memory_health);

  repair::TickState all;
  all.fill(true);
  repair::RunFlags memory_flags, hive_flags;
  repair::RunTexts memory_texts, hive_texts;
  const auto memory_run = repair::RunRepairs(on_memory, memory_flags, memory_texts, all);
  const auto hive_run = repair::RunRepairs(on_hives, hive_flags, hive_texts, all);
  EXPECT_EQ(hive_run.text, memory_run.text);
  EXPECT_EQ(hive_flags.m_repaired, memory_flags.m_repaired);
  EXPECT_EQ(hives.open_handles(), 0u);

  software->Commit();
  user->Commit();
  HiveStore reread(HiveFile::Open(software_path, false), HiveFile::Open(user_path, false));
  repair::RepairEngine after(reread);
  repair::ItemBytes health{};
  after.ScanItems(health);
  repair::ItemBytes all_healthy;
  all_healthy.fill(1);
  EXPECT_EQ(health, all_healthy);
  // What remains of the hijack key: the harmless image options only.
  HKey key = kNullKey;
  ASSERT_EQ(reread.RegOpenKeyExA(kLocalMachine,
                                 "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options", 0,
                                 kKeyRead, &key),
            kSuccess);
  char name[128];
  std::vector<std::string> names;
  for (std::uint32_t i = 0; reread.RegEnumKeyA(key, i, name, sizeof name) == kSuccess; ++i) names.push_back(name);
  reread.RegCloseKey(key);
  EXPECT_EQ(names, (std::vector<std::string>{"winword.exe", "Your Image File Name Here without a path"}));
}

}  // namespace
}  // namespace torvane::registry

namespace torvane::registry {
namespace {

class HiveLinkTest : public HiveStoreTest {};

// A key whose flags mark it as a registry link points outside the file: the
// store neither opens it as a key nor goes below it, and says it is a link.
TEST_F(HiveLinkTest, AKeyMarkedAsALinkIsNeverGoneInto) {
  const std::string ifeo = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options";
  MemoryStore source;
  source.PutString(kLocalMachine, ifeo + "\\LinkedSword.exe\\Inside", "Data", "x");
  source.CreateKey(kLocalMachine, ifeo + "\\notepad.exe");
  WriteHives(source);
  std::string bytes = ReadFile(software_path);
  const auto name = bytes.find("LinkedSword.exe");
  ASSERT_NE(name, std::string::npos);
  const std::size_t flags = name - 0x4C + 2;  // the key record's flags, before its name
  ASSERT_EQ(bytes.substr(name - 0x4C - 4 + 4, 2), "nk");
  bytes[flags] = static_cast<char>(bytes[flags] | 0x10);
  WriteFile(software_path, bytes);

  HiveStore store = Open(false);
  const std::string linked = ifeo.substr(std::string("SOFTWARE\\").size()) + "\\LinkedSword.exe";
  HKey key = kNullKey;
  EXPECT_EQ(store.RegOpenKeyExA(kLocalMachine, "SOFTWARE\\" + linked, 0, kKeyRead, &key), kRefusedLink);
  EXPECT_EQ(store.RefusedLink(), "HKEY_LOCAL_MACHINE\\SOFTWARE\\" + linked + " is a registry link");
  EXPECT_EQ(store.RegOpenKeyExA(kLocalMachine, "SOFTWARE\\" + linked + "\\Inside", kOpenLink, kKeyRead, &key),
            kRefusedLink);
  EXPECT_FALSE(store.ListValues(kLocalMachine, ifeo + "\\LinkedSword.exe\\Inside")) << "unread is not empty";
  EXPECT_FALSE(store.ReadTree(kLocalMachine, ifeo + "\\LinkedSword.exe\\Inside"));
  ASSERT_EQ(store.RegOpenKeyExA(kLocalMachine, "SOFTWARE\\" + linked, kOpenLink, kKeyRead, &key), kSuccess);
  bool is_link = false;
  EXPECT_EQ(store.RegQueryKeyIsLink(key, &is_link), kSuccess);
  EXPECT_TRUE(is_link);
  store.RegCloseKey(key);
  ASSERT_EQ(store.RegOpenKeyExA(kLocalMachine, "SOFTWARE\\" + ifeo.substr(9) + "\\notepad.exe", kOpenLink, kKeyRead,
                                &key),
            kSuccess);
  EXPECT_EQ(store.RegQueryKeyIsLink(key, &is_link), kSuccess);
  EXPECT_FALSE(is_link);
  store.RegCloseKey(key);
  EXPECT_EQ(store.open_handles(), 0u);
}

// A link on the path to an item's place hides what the place holds: the
// item is undetermined, never healthy, and its repair changes nothing.
TEST_F(HiveLinkTest, ALinkOnAnItemsPathLeavesItUndeterminedAndUnrepaired) {
  MemoryStore source;
  LoadDemoRegistry(source);
  WriteHives(source);
  std::string bytes = ReadFile(software_path);
  const auto name = bytes.find("Winlogon");
  ASSERT_NE(name, std::string::npos);
  ASSERT_EQ(bytes.substr(name - 0x4C, 2), "nk");
  bytes[name - 0x4C + 2] = static_cast<char>(bytes[name - 0x4C + 2] | 0x10);
  WriteFile(software_path, bytes);

  for (bool writable : {false, true}) {
    SCOPED_TRACE(writable);
    auto software = HiveFile::Open(software_path, writable);
    HiveStore store(software, HiveFile::Open(user_path, writable));
    repair::RepairEngine engine(store);
    repair::ItemBytes healthy{}, undetermined{};
    engine.ScanItems(healthy, &undetermined);
    EXPECT_EQ(healthy[12], 0);
    EXPECT_EQ(undetermined[12], 1);
    EXPECT_EQ(undetermined[0], 0) << "the user's hive is read as ever";
    EXPECT_NE(engine.Unread(12).find("Winlogon is a registry link, not followed"), std::string::npos)
        << engine.Unread(12);
    if (writable) {
      EXPECT_NE(engine.ApplyRepair(12), repair::RepairOutcome::kRepaired);
      EXPECT_FALSE(software->modified());
    }
    EXPECT_EQ(store.open_handles(), 0u);
  }

  // The root of the user's hive marked as a link: every user item lies
  // behind it.
  std::string user = ReadFile(user_path);
  const std::size_t root_nk = 0x1000 + (static_cast<unsigned char>(user[0x24]) | static_cast<unsigned char>(user[0x25]) << 8 |
                                        static_cast<unsigned char>(user[0x26]) << 16) + 4;
  ASSERT_EQ(user.substr(root_nk, 2), "nk");
  user[root_nk + 2] = static_cast<char>(user[root_nk + 2] | 0x10);
  WriteFile(user_path, user);
  auto linked = HiveFile::Open(user_path, true);
  HiveStore store(HiveFile::Open(software_path, false), linked);
  repair::RepairEngine engine(store);
  repair::ItemBytes healthy{}, undetermined{};
  engine.ScanItems(healthy, &undetermined);
  EXPECT_EQ(undetermined[0], 1);
  EXPECT_EQ(healthy[0], 0);
  EXPECT_NE(engine.ApplyRepair(0), repair::RepairOutcome::kRepaired);
  EXPECT_FALSE(linked->modified());
}

// A key is a link exactly when its node's flag says so. A plain key that
// holds a value named SymbolicLinkValue of type REG_LINK (on the path to a
// place, or itself a hijack key) is read, backed up and changed like any
// other, in a hive opened for reading and in one opened for changes.
TEST_F(HiveLinkTest, OnlyTheNodesFlagMakesALinkForReadingAndForChanges) {
  const std::string ifeo = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options";
  std::vector<std::uint8_t> target;
  for (char c : std::string("\\Registry\\Machine\\SOFTWARE\\Victim")) {
    target.push_back(static_cast<std::uint8_t>(c));
    target.push_back(0);
  }
  struct Case {
    const char* what;
    std::string holder;  // the key given the value
    int item;
  };
  const Case cases[] = {
      {"the hijack key itself", ifeo + "\\IceSword.exe", 3},
      {"the image options key on the path", ifeo, 3},
      {"the Winlogon key on the path", kWinlogon, 12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryStore source;
    source.PutString(kLocalMachine, ifeo + "\\IceSword.exe", "Debugger", "svch0st.exe");
    source.PutString(kLocalMachine, ifeo + "\\IceSword.exe\\Sub", "Data", "x");
    source.PutString(kLocalMachine, kWinlogon, "Shell", "Explorer.exe evil.exe");
    source.PutValue(kLocalMachine, c.holder, "SymbolicLinkValue", kRegLink, target);
    source.PutString(kLocalMachine, "SOFTWARE\\Victim\\Child", "Data", "keep");
    WriteHives(source);
    const std::string holder = c.holder.substr(std::string("SOFTWARE\\").size());
    for (bool writable : {false, true}) {
      HiveStore store = Open(writable);
      HKey key = kNullKey;
      ASSERT_EQ(store.RegOpenKeyExA(kLocalMachine, c.holder, 0, kKeyRead, &key), kSuccess) << writable;
      bool is_link = true;
      EXPECT_EQ(store.RegQueryKeyIsLink(key, &is_link), kSuccess);
      EXPECT_FALSE(is_link);
      store.RegCloseKey(key);
      const auto tree = store.ReadTree(kLocalMachine, ifeo + "\\IceSword.exe");
      ASSERT_TRUE(tree);
      EXPECT_EQ(tree->children.size(), 1u) << "what a backup takes";
      repair::RepairEngine engine(store);
      EXPECT_FALSE(engine.CheckItem(c.item));
    }
    {
      auto software = HiveFile::Open(software_path, true);
      HiveStore store(software, HiveFile::Open(user_path, true));
      repair::RepairEngine engine(store);
      EXPECT_EQ(engine.ApplyRepair(c.item), repair::RepairOutcome::kRepaired);
      software->Commit();
    }
    HiveStore reread = Open(false);
    repair::RepairEngine engine(reread);
    EXPECT_TRUE(engine.CheckItem(c.item)) << "repaired in the committed file";
    HKey key = kNullKey;
    ASSERT_EQ(reread.RegOpenKeyExA(kLocalMachine, "SOFTWARE\\Victim\\Child", 0, kKeyRead, &key), kSuccess);
    reread.RegCloseKey(key);
  }
}

}  // namespace
}  // namespace torvane::registry
