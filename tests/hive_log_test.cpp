// Dirty hives read through their transaction logs. A log written here turns a
// hive made by hivex into the hive hivex made from it by a change, so the
// replay is judged against another writer; replay stops where Windows stops;
// the real Windows 10 and 11 hives under data/dirty-hives replay.
#include <gtest/gtest.h>
#include <hivex.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>

#include "registry/hive_log.h"
#include "registry/regf_format.h"
#include "registry/little_endian.h"
#include "registry/memory_store.h"
#include "registry/regf_reader.h"
#include "support/hive_builder.h"
#include "support/hive_log_writer.h"
#include "support/text.h"

namespace torvane::registry {
namespace {

using torvane::testing::MakeDirty;
using torvane::testing::NewFormatLog;
using torvane::testing::OldFormatLog;
using torvane::testing::ReadFile;
using torvane::testing::WriteFile;

constexpr std::uint32_t kSecondary = 40;  // the dirty primary's secondary sequence number
constexpr std::size_t kRefused = std::numeric_limits<std::size_t>::max();
constexpr const char* kPolicies = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";

const unsigned char* Bytes(const std::string& bytes) { return reinterpret_cast<const unsigned char*>(bytes.data()); }
std::uint32_t Get32(const std::string& bytes, std::size_t at) { return Le32(Bytes(bytes) + at); }

void Put64(std::string& bytes, std::size_t at, std::uint64_t value) {
  PutLe32(bytes, at, static_cast<std::uint32_t>(value));
  PutLe32(bytes, at + 4, static_cast<std::uint32_t>(value >> 32));
}

std::string Dword(std::uint32_t value) {
  std::string data(4, '\0');
  PutLe32(data, 0, value);
  return data;
}

struct SetValue {
  std::string path, name;
  hive_type type;
  std::string data;
};

// The hive hivex writes after setting `values` (keys made as needed) in `hive`.
std::string ChangedByHivex(const std::string& hive, const std::vector<SetValue>& values, const std::string& file) {
  WriteFile(file, hive);
  hive_h* h = hivex_open(file.c_str(), HIVEX_OPEN_WRITE);
  if (h == nullptr) throw std::runtime_error("hivex cannot open " + file);
  for (const SetValue& value : values) {
    hive_node_h node = hivex_root(h);
    for (std::size_t from = 0; from <= value.path.size();) {
      const std::size_t to = std::min(value.path.find('\\', from), value.path.size());
      const std::string name = value.path.substr(from, to - from);
      hive_node_h child = hivex_node_get_child(h, node, name.c_str());
      node = child != 0 ? child : hivex_node_add_child(h, node, name.c_str());
      from = to + 1;
    }
    const hive_set_value set{const_cast<char*>(value.name.c_str()), value.type, value.data.size(),
                             const_cast<char*>(value.data.data())};
    if (node == 0 || hivex_node_set_value(h, node, &set, 0) != 0) throw std::runtime_error("hivex cannot set " + value.name);
  }
  const bool committed = hivex_commit(h, nullptr, 0) == 0;
  hivex_close(h);
  if (!committed) throw std::runtime_error("hivex cannot commit " + file);
  return ReadFile(file);
}

// Offset of the entry `index` (from 0) of a new-format log.
std::size_t EntryAt(const std::string& log, int index) {
  std::size_t at = kLogSector;
  for (; index > 0; --index) at += Get32(log, at + 4);
  return at;
}

// The entry's two hashes again, after a test changed its header.
void Rehash(std::string& log, std::size_t entry) {
  const std::size_t size = Get32(log, entry + 4);
  Put64(log, entry + 24, LogEntryHash(Bytes(log) + entry + 40, size - 40));
  Put64(log, entry + 32, LogEntryHash(Bytes(log) + entry, 32));
}

std::string Edited(std::string bytes, const std::function<void(std::string&)>& edit) {
  edit(bytes);
  return bytes;
}

// A log's base block checksum again, after a test changed the base block.
void FixBaseBlock(std::string& log) { PutLe32(log, 0x1FC, BaseBlockChecksum(Bytes(log))); }

struct Case {
  std::string name;
  std::vector<std::pair<std::string, std::string>> logs;  // file name, bytes
  std::size_t state;                                      // the hive replay gives, or kRefused
  std::size_t entries = 0;
  std::vector<std::string> applied = {};
  std::uint32_t highest = 0;  // checked when not 0
  std::uint32_t secondary = kSecondary;
};

class HiveLogTest : public ::testing::Test {
 protected:
  // states[0] a hive made by WriteHive (with a last-written time), each next
  // one the hive hivex makes of the one before by a change. states[2] holds
  // more bins than states[1].
  static void SetUpTestSuite() {
    const std::string dir = torvane::testing::ScratchDirectory("hive-log-states");
    const std::string file = dir + "/NTUSER.DAT";
    MemoryStore source;
    source.CreateKey(kLocalMachine, std::string("USER\\") + kPolicies);
    source.PutString(kLocalMachine, "USER\\Control Panel\\Desktop", "Wallpaper", "C:\\wall.bmp");
    for (int i = 0; i < 150; ++i) source.CreateKey(kLocalMachine, "USER\\Software\\Classes\\.ext" + std::to_string(i));
    torvane::testing::WriteHive(file, *source.FindKey(kLocalMachine, "USER"));
    std::string first = ReadFile(file);
    Put64(first, 0x0C, 0x01D9A1B2C3D4E5F6);
    torvane::testing::FixChecksum(first);
    states.push_back(first);
    const std::vector<std::vector<SetValue>> changes = {
        {{kPolicies, "DisableTaskMgr", hive_t_REG_DWORD, Dword(1)},
         {"Control Panel\\Desktop", "PaintDesktopVersion", hive_t_REG_DWORD, Dword(1)}},
        {{"Software\\Blob", "Data", hive_t_REG_BINARY, std::string(9000, '\x5A')}},
        {{kPolicies, "DisableRegistryTools", hive_t_REG_DWORD, Dword(1)}},
    };
    for (const auto& change : changes) states.push_back(ChangedByHivex(states.back(), change, file));
    std::filesystem::remove_all(dir);
  }

  // Replays the case's logs over states[0] made dirty and checks the image
  // against the state the case names: its bins byte for byte, its header clean.
  static void Check(const Case& c) {
    SCOPED_TRACE(c.name);
    std::string primary = states[0];
    MakeDirty(primary, c.secondary);
    std::vector<LogFile> logs;
    for (const auto& [name, bytes] : c.logs) logs.push_back({name, bytes});
    const HiveRecovery recovery = RecoverHive(primary, logs);
    EXPECT_EQ(recovery.writable, recovery.highest_sequence != 0xFFFFFFFF);
    if (c.state == kRefused) {
      EXPECT_NE(recovery.refusal, "");
      return;
    }
    ASSERT_EQ(recovery.refusal, "");
    EXPECT_EQ(recovery.entries, c.entries);
    EXPECT_EQ(recovery.applied, c.applied);
    if (c.highest != 0) {
      EXPECT_EQ(recovery.highest_sequence, c.highest);
    }
    const std::string image = RecoveredImage(primary, recovery);
    const std::string& expected = states[c.state];
    ASSERT_EQ(image.size(), expected.size());
    const auto differ = std::mismatch(image.begin() + regf::kBaseBlockSize, image.end(), expected.begin() + regf::kBaseBlockSize);
    EXPECT_TRUE(differ.first == image.end()) << "the bins differ at " << (differ.first - image.begin());
    bool dirty = true;
    EXPECT_EQ(CheckHiveHeader(image.substr(0, regf::kBaseBlockSize), image.size(), &dirty), "");
    EXPECT_FALSE(dirty);
    EXPECT_EQ(Get32(image, 0x04), recovery.highest_sequence);
    EXPECT_EQ(Get32(image, 0x28), Get32(expected, 0x28));
  }

  static inline std::vector<std::string> states;
};

TEST_F(HiveLogTest, ReplayTurnsTheHiveIntoTheStateTheLogsHold) {
  const auto& s = states;
  ASSERT_GT(Get32(s[2], 0x28), Get32(s[1], 0x28));
  // The logs carry only the pages that changed: replay must keep the others.
  const std::string one = NewFormatLog(s[0], {s[1]}, kSecondary);
  EXPECT_LT(Get32(one, kLogSector + 20), Get32(s[1], 0x28) / 4096);
  const std::string old = OldFormatLog(s[0], s[2]);
  EXPECT_LT(old.size(), Get32(s[2], 0x28));

  const std::vector<Case> cases = {
      {"one entry", {{"LOG1", one}}, 1, 1, {"LOG1"}, kSecondary + 1},
      {"two entries, the hive growing", {{"LOG1", NewFormatLog(s[0], {s[1], s[2]}, kSecondary)}}, 2, 2, {"LOG1"}},
      {"two entries, the hive shrinking back", {{"LOG1", NewFormatLog(s[0], {s[2], s[1]}, kSecondary)}}, 1, 2, {"LOG1"}},
      {"three entries", {{"LOG1", NewFormatLog(s[0], {s[1], s[2], s[3]}, kSecondary)}}, 3, 3, {"LOG1"}, kSecondary + 2},
      {"LOG1 then LOG2",
       {{"LOG1", one}, {"LOG2", NewFormatLog(s[1], {s[2], s[3]}, kSecondary + 1)}},
       3, 3, {"LOG1", "LOG2"}, kSecondary + 2},
      {"LOG2 then LOG1: the sequence numbers give the order",
       {{"LOG1", NewFormatLog(s[1], {s[2], s[3]}, kSecondary + 1)}, {"LOG2", one}},
       3, 3, {"LOG2", "LOG1"}, kSecondary + 2},
      {"an empty LOG2 beside LOG1", {{"LOG1", one}, {"LOG2", ""}}, 1, 1, {"LOG1"}},
      {"old format", {{"LOG", old}}, 2, 1, {"LOG"}},
  };
  for (const Case& c : cases) Check(c);
}

TEST_F(HiveLogTest, ReplayStopsWhereWindowsStops) {
  const auto& s = states;
  const std::string three = NewFormatLog(s[0], {s[1], s[2], s[3]}, kSecondary);
  const std::size_t second = EntryAt(three, 1);
  const std::string one = NewFormatLog(s[0], {s[1]}, kSecondary);
  const std::string next = NewFormatLog(s[1], {s[2]}, kSecondary + 1);
  const std::vector<Case> cases = {
      {"entry 2's pages changed (hash-1)",
       {{"LOG1", Edited(three, [&](std::string& log) { log[second + 40 + 8 * Get32(log, second + 20) + 100] ^= 1; })}},
       1, 1, {"LOG1"}},
      {"entry 2's hash-2 changed", {{"LOG1", Edited(three, [&](std::string& log) { log[second + 32] ^= 1; })}},
       1, 1, {"LOG1"}},
      {"entry 2 skips a sequence number",
       {{"LOG1", Edited(three, [&](std::string& log) {
           PutLe32(log, second + 12, kSecondary + 2);
           Rehash(log, second);
         })}},
       1, 1, {"LOG1"}},
      {"entry 2 runs past the end of the file",
       {{"LOG1", Edited(three, [&](std::string& log) { log.resize(second + Get32(log, second + 4) - kLogSector); })}},
       1, 1, {"LOG1"}},
      {"entry 2's bins size is no multiple of 4096",
       {{"LOG1", Edited(three, [&](std::string& log) {
           PutLe32(log, second + 16, Get32(log, second + 16) + 512);
           Rehash(log, second);
         })}},
       1, 1, {"LOG1"}},
      {"the only log is older than the primary's secondary sequence number",
       {{"LOG1", NewFormatLog(s[0], {s[1]}, kSecondary - 1)}}, kRefused},
      {"the only log's first entry is damaged",
       {{"LOG1", Edited(one, [](std::string& log) { log[kLogSector + 32] ^= 1; })}}, kRefused},
      {"LOG2 does not continue LOG1",
       {{"LOG1", one}, {"LOG2", NewFormatLog(s[1], {s[2]}, kSecondary + 2)}}, 1, 1, {"LOG1"}},
      {"LOG2's base block checksum is wrong",
       {{"LOG1", one}, {"LOG2", Edited(next, [](std::string& log) { log[0x1FC] ^= 1; })}}, 1, 1, {"LOG1"}},
      {"LOG2's base block sequence numbers differ",
       {{"LOG1", one}, {"LOG2", Edited(next, [](std::string& log) {
           PutLe32(log, 0x08, kSecondary + 7);
           FixBaseBlock(log);
         })}},
       1, 1, {"LOG1"}},
      {"the log's root key lies past the bins it replays",
       {{"LOG1", Edited(one, [](std::string& log) {
           PutLe32(log, 0x24, 0x200000);
           FixBaseBlock(log);
         })}},
       kRefused},
      {"LOG1 and LOG2 start at one sequence number",
       {{"LOG1", one}, {"LOG2", NewFormatLog(s[0], {s[2]}, kSecondary)}}, kRefused},
      {"LOG2 a copy of LOG1", {{"LOG1", one}, {"LOG2", one}}, 1, 1, {"LOG1"}},
      {"three logs of the new format",
       {{"LOG", one}, {"LOG1", one}, {"LOG2", next}}, kRefused},
      {"no logs", {}, kRefused},
      {"only empty files", {{"LOG1", ""}, {"LOG2", ""}}, kRefused},
      {"old format written for another primary",
       {{"LOG", Edited(OldFormatLog(s[0], s[2]), [](std::string& log) {
           log[0x0C] ^= 1;
           FixBaseBlock(log);
         })}},
       kRefused},
      {"a log naming the last sequence number there is",
       {{"LOG1", NewFormatLog(s[0], {s[1], s[2]}, 0xFFFFFFFE)}}, 2, 2, {"LOG1"}, 0xFFFFFFFF, 0xFFFFFFFD},
  };
  for (const Case& c : cases) Check(c);
}

// xz comes from xz-utils (scripts/setup.sh installs it).
std::string Unxz(const std::string& path) {
  auto bytes = torvane::testing::CommandOutput("xz -dc '" + path + "'");
  if (!bytes) throw std::runtime_error("xz -dc " + path + " failed (is xz-utils installed?)");
  return *bytes;
}

std::unique_ptr<RegfReader> OpenReader(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  auto reader = RegfReader::Open(fd);
  ::close(fd);
  return reader;
}

// The key at `path` below the root (names compared ignoring ASCII case).
std::optional<std::size_t> Find(const RegfReader& reader, const std::string& path) {
  std::size_t node = reader.root();
  for (std::size_t from = 0; from <= path.size();) {
    const std::size_t to = std::min(path.find('\\', from), path.size());
    const std::string want = path.substr(from, to - from);
    std::vector<std::size_t> children;
    if (!reader.Children(node, &children)) return std::nullopt;
    const auto found = std::find_if(children.begin(), children.end(), [&](std::size_t child) {
      std::string name;
      return reader.NameOf(child, &name) && ::strcasecmp(name.c_str(), want.c_str()) == 0;
    });
    if (found == children.end()) return std::nullopt;
    node = *found;
    from = to + 1;
  }
  return node;
}

std::optional<std::vector<std::uint8_t>> ValueData(const RegfReader& reader, const std::string& path,
                                                   const std::string& name) {
  const auto key = Find(reader, path);
  std::vector<RegValue> values;
  if (!key || !reader.Values(*key, &values, true)) return std::nullopt;
  for (const RegValue& value : values) {
    if (value.name == name) return value.data;
  }
  return std::nullopt;
}

TEST_F(HiveLogTest, WindowsLogsReplayOverTheirDirtyHives) {
  struct RealHive {
    const char* dir;
    // Counted from the entry headers: LOG1 holds 229-231 and LOG2 232
    // (Windows 10); LOG2 238-240 and LOG1 241-242 (Windows 11).
    std::size_t entries;
    std::uint32_t highest;
    // What SOURCES.md says replay changes, found by comparing regfexport's
    // listings of the primary and of the replayed hive.
    const char* changed_key;
    const char* changed_value;
    const char* added_key;  // new with its parent, or null
  };
  const std::vector<RealHive> hives = {
      {"win10-ntuser", 4, 232,
       "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\UserAssist\\{CEBFF5CD-ACE2-4F4F-9178-9926F41749EA}\\Count",
       "HRZR_PGYFRFFVBA", nullptr},
      {"win11-ntuser", 5, 242, "Software\\Microsoft\\OneDrive\\Accounts", "LastUpdate",
       "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.\\OpenWithList"},
  };
  const std::string scratch = torvane::testing::ScratchDirectory("hive-log-real");
  const bool have_regfexport = std::system("command -v regfexport >/dev/null 2>&1") == 0;
  for (const RealHive& hive : hives) {
    SCOPED_TRACE(hive.dir);
    const std::string from = std::string(TORVANE_TEST_DATA) + "/dirty-hives/" + hive.dir + "/NTUSER.DAT";
    const std::string primary = Unxz(from + ".xz");
    const std::string log1 = Unxz(from + ".LOG1.xz"), log2 = Unxz(from + ".LOG2.xz");
    bool dirty = false;
    ASSERT_EQ(CheckHiveHeader(primary.substr(0, regf::kBaseBlockSize), primary.size(), &dirty), "");
    EXPECT_TRUE(dirty);

    const HiveRecovery recovery = RecoverHive(primary, {{"NTUSER.DAT.LOG1", log1}, {"NTUSER.DAT.LOG2", log2}});
    ASSERT_EQ(recovery.refusal, "");
    EXPECT_EQ(recovery.entries, hive.entries);
    EXPECT_EQ(recovery.highest_sequence, hive.highest);
    EXPECT_TRUE(recovery.writable);
    const std::string image = RecoveredImage(primary, recovery);
    EXPECT_EQ(CheckHiveHeader(image.substr(0, regf::kBaseBlockSize), image.size(), &dirty), "");
    EXPECT_FALSE(dirty);
    EXPECT_EQ(CheckHiveStructure(Bytes(image), image.size()), "");

    const std::string primary_path = scratch + "/" + hive.dir + ".primary";
    const std::string image_path = scratch + "/" + hive.dir + ".recovered";
    WriteFile(primary_path, primary);
    WriteFile(image_path, image);
    const auto before = OpenReader(primary_path), after = OpenReader(image_path);
    ASSERT_TRUE(before && after);
    EXPECT_EQ(after->Check(), "");
    const auto old_data = ValueData(*before, hive.changed_key, hive.changed_value);
    const auto new_data = ValueData(*after, hive.changed_key, hive.changed_value);
    ASSERT_TRUE(old_data && new_data);
    EXPECT_NE(*old_data, *new_data);
    if (hive.added_key != nullptr) {
      const std::string added = hive.added_key;
      const std::string parent = added.substr(0, added.rfind('\\'));
      EXPECT_FALSE(Find(*before, parent));
      EXPECT_TRUE(Find(*after, parent));
      EXPECT_TRUE(Find(*after, added));
    }

    if (have_regfexport) {
      const auto listing = torvane::testing::CommandOutput("regfexport '" + image_path + "'");
      ASSERT_TRUE(listing) << "regfexport cannot read the replayed hive";
      EXPECT_NE(listing->find(std::string("\\") + hive.changed_key + "\n"), std::string::npos);
    }
  }
  std::filesystem::remove_all(scratch);
}

}  // namespace
}  // namespace torvane::registry
