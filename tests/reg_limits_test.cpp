// .reg input an attacker wrote: keys nested without end, endless
// continuation lines, huge values; and key names a .reg key line cannot carry.
#include <gtest/gtest.h>

#include "registry/reg_file.h"
#include "support/text.h"

namespace torvane::registry {
namespace {

using torvane::testing::Gbk;

std::string ErrorOf(const std::string& text) {
  try {
    ParseRegFile(text, "x.reg");
  } catch (const RegFileError& error) {
    return error.what();
  }
  return "accepted";
}

TEST(RegLimitsTest, KeysDeeperThanWindowsAllowsAreRefused) {
  std::string deep = "[HKEY_LOCAL_MACHINE";
  for (int i = 0; i < 100000; ++i) deep += "\\k";
  EXPECT_EQ(ErrorOf("REGEDIT4\r\n" + deep + "]\r\n"), "x.reg:2: key nested deeper than 512 levels");

  // 512 levels below the root is the most Windows keeps: read, stored and written back.
  std::string path;
  for (int i = 0; i < 512; ++i) path += (i ? "\\k" : "k") + std::to_string(i);
  const RegFile file = ParseRegFile("REGEDIT4\r\n[HKEY_USERS\\alice\\" + path + "]\r\n\"v\"=dword:1\r\n", "x.reg");
  ASSERT_EQ(file.entries.size(), 2u);
  EXPECT_EQ(file.entries[0].user, "alice");
  MemoryStore store;
  MemoryTarget target(store);
  EXPECT_TRUE(ApplyRegFile(file, target).empty());
  const std::vector<RegEntry> entries = EntriesOf(store);
  ASSERT_EQ(entries.size(), 512u + 1) << "every key, then the value";
  for (std::size_t i = 1; i < 512; ++i) {
    ASSERT_EQ(entries[i].path.rfind(entries[i - 1].path + "\\", 0), 0u) << "each key before its subkeys";
  }
  EXPECT_EQ(entries.back().path, path);
  EXPECT_EQ(entries.back().value.name, "v");
}

TEST(RegLimitsTest, LongContinuedHexDataReadsWhole) {
  // 4.8 MB of continuation lines, as regedit wraps them.
  std::vector<std::uint8_t> expected;
  std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Big]\r\n\"blob\"=hex:";
  static const char kDigits[] = "0123456789abcdef";
  while (text.size() < 4800000) {
    for (int i = 0; i < 25; ++i) {
      const auto byte = static_cast<std::uint8_t>(expected.size() * 7);
      expected.push_back(byte);
      text += {kDigits[byte >> 4], kDigits[byte & 15], ','};
    }
    text += "\\\r\n  ";
  }
  text += "00\r\n";
  expected.push_back(0);
  const RegFile file = ParseRegFile(text, "big.reg");
  ASSERT_EQ(file.entries.size(), 2u);
  EXPECT_EQ(file.entries[1].value.data, expected);

  EXPECT_EQ(ErrorOf("REGEDIT4\r\n[HKEY_CURRENT_USER\\Big]\r\n\"t\"=\"" + std::string(65 << 20, 'a') + "\"\r\n"),
            "x.reg:3: value data larger than 64 MB");
  EXPECT_EQ(ErrorOf("REGEDIT4\r\n[HKEY_CURRENT_USER\\Big]\r\n\"t\"=hex:00,\\\r\n\r\n"),
            "x.reg:4: hex data broken off by a blank line");
  EXPECT_EQ(ErrorOf("REGEDIT4\r\n[HKEY_CURRENT_USER\\Big]\r\n\"t\"=hex:00,\\"),
            "x.reg:3: hex data continues past the end of the file");
}

TEST(RegLimitsTest, KeysWhoseLineWouldNotReadBackCannotBeWritten) {
  EXPECT_TRUE(CanWriteKeyLine(kLocalMachine, "SOFTWARE\\Microsoft\\Windows NT"));
  // Statements name keys in UTF-8.
  EXPECT_TRUE(CanWriteKeyLine(kCurrentUser, "Software\\中文 [x]"));
  EXPECT_TRUE(CanWriteKeyLine(kCurrentUser, "Software", "张三"));
  EXPECT_TRUE(CanWriteKeyLine(kCurrentUser, "Software", "철수"));
  EXPECT_TRUE(CanWriteKeyLine(kLocalMachine, ""));

  EXPECT_FALSE(CanWriteKeyLine(kCurrentUser, "Software", "alice\nHKEY_LOCAL_MACHINE"));
  EXPECT_FALSE(CanWriteKeyLine(kCurrentUser, "Soft\rware"));
  EXPECT_FALSE(CanWriteKeyLine(kCurrentUser, std::string("Soft\0ware", 9)));
  EXPECT_FALSE(CanWriteKeyLine(kCurrentUser, "Software", "a\\b")) << "a profile name with a backslash";
  EXPECT_FALSE(CanWriteKeyLine(kCurrentUser, "Software\\\\Twice"));
  EXPECT_FALSE(CanWriteKeyLine(kCurrentUser, "Software\\"));
  EXPECT_FALSE(CanWriteKeyLine(kCurrentUser, "Software\\\xE4")) << "half a UTF-8 character";
  std::string deep = "k";
  for (int i = 0; i < 600; ++i) deep += "\\k";
  EXPECT_FALSE(CanWriteKeyLine(kLocalMachine, deep));
}

}  // namespace
}  // namespace torvane::registry
