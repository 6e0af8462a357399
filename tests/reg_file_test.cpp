// .reg files: both formats regedit writes, read and written back to the same
// registry, and every bad line named.
#include <gtest/gtest.h>

#include <algorithm>

#include "registry/codepage.h"
#include "registry/demo.h"
#include "registry/reg_file.h"
#include "support/text.h"

namespace torvane::registry {
namespace {

using torvane::testing::Gbk;

std::string Utf16(const std::string& ascii_or_utf8) {
  return "\xFF\xFE" + GbkToUtf16le(Gbk(ascii_or_utf8));
}

MemoryStore Load(const std::string& bytes) {
  MemoryStore store;
  MemoryTarget target(store);
  EXPECT_TRUE(ApplyRegFile(ParseRegFile(bytes, "x.reg"), target).empty());
  return store;
}

std::string ErrorOf(const std::string& bytes) {
  try {
    ParseRegFile(bytes, "bad.reg");
  } catch (const RegFileError& error) {
    return error.what();
  }
  return "accepted";
}

// A value as the A entry points read it.
RegValue Ansi(const MemoryStore& store, HKey root, const std::string& key, const std::string& name) {
  const auto value = store.GetValue(root, key, name);
  return value ? AnsiForm(*value) : RegValue{};
}

// Entries with every value as a file of `format` holds it.
std::vector<RegEntry> InForm(std::vector<RegEntry> entries, RegFormat format) {
  for (RegEntry& entry : entries) {
    if (entry.kind == RegEntry::Kind::kValue) {
      entry.value = format == RegFormat::kVersion5 ? StoredForm(entry.value) : AnsiForm(entry.value);
    }
  }
  return entries;
}

TEST(RegFileTest, ReadsEveryFormOfAVersion5File) {
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; a comment\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test\\中文]\r\n"
      "@=\"默认\"\r\n"
      "\"Quote\\\"d\"=\"C:\\\\WINDOWS\\\\\\\"x\\\"\"\r\n"
      "\"Number\"=dword:0000002a\r\n"
      "\"Blob\"=hex:00,01,\\\r\n"
      "  02,ff\r\n"
      "\"Expand\"=hex(2):25,00,78,00,25,00,00,00\r\n"
      "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
      "\"Empty\"=hex:\r\n"
      "\"Q\"=hex(b):01,00,00,00,00,00,00,00\r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\Software\\Gone]\r\n"
      "[-HKEY_CURRENT_USER\\Software\\Gone]\r\n"
      "[HKCU\\Software\\Kept]\r\n"
      "\"A\"=\"1\"\r\n"
      "\"A\"=-\r\n";
  MemoryStore store = Load(Utf16(text));
  const std::string key = Gbk("SOFTWARE\\Test\\中文");
  EXPECT_EQ(Ansi(store, kLocalMachine, key, "").data, std::vector<std::uint8_t>({0xC4, 0xAC, 0xC8, 0xCF, 0}));
  EXPECT_EQ(store.GetValue(kLocalMachine, key, "")->data, std::vector<std::uint8_t>({0xD8, 0x9E, 0xA4, 0x8B, 0, 0}))
      << "the stored bytes are kept";
  auto quoted = std::optional<RegValue>(Ansi(store, kLocalMachine, key, "Quote\"d"));
  const std::string expected_text = "C:\\WINDOWS\\\"x\"";
  EXPECT_EQ(std::string(quoted->data.begin(), quoted->data.end() - 1), expected_text);
  EXPECT_EQ(store.GetValue(kLocalMachine, key, "Number")->data, std::vector<std::uint8_t>({42, 0, 0, 0}));
  EXPECT_EQ(store.GetValue(kLocalMachine, key, "Blob")->data, std::vector<std::uint8_t>({0, 1, 2, 0xFF}));
  EXPECT_EQ(store.GetValue(kLocalMachine, key, "Blob")->type, kRegBinary);
  auto expand = Ansi(store, kLocalMachine, key, "Expand");
  EXPECT_EQ(expand.type, kRegExpandSz);
  EXPECT_EQ(expand.data, std::vector<std::uint8_t>({'%', 'x', '%', 0})) << "the A view of UTF-16 data is ANSI";
  EXPECT_EQ(Ansi(store, kLocalMachine, key, "Multi").data, std::vector<std::uint8_t>({'a', 0, 'b', 0, 0}));
  EXPECT_TRUE(store.GetValue(kLocalMachine, key, "Empty")->data.empty());
  EXPECT_EQ(store.GetValue(kLocalMachine, key, "Q")->type, kRegQword);
  EXPECT_EQ(store.FindKey(kCurrentUser, "Software\\Gone"), nullptr);
  ASSERT_NE(store.FindKey(kCurrentUser, "Software\\Kept"), nullptr);
  EXPECT_FALSE(store.GetValue(kCurrentUser, "Software\\Kept", "A"));
}

TEST(RegFileTest, ReadsRegedit4InTheAnsiCodePage) {
  const std::string text = Gbk(
      "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Microsoft\\Internet Explorer\\Main]\r\n"
      "\"Window title\"=\"被黑了\"\r\n\"Raw\"=hex(2):41,42,00\r\n");
  MemoryStore store = Load(text);
  auto title = store.GetValue(kCurrentUser, "Software\\Microsoft\\Internet Explorer\\Main", "Window title");
  ASSERT_TRUE(title);
  EXPECT_EQ(std::string(title->data.begin(), title->data.end() - 1), Gbk("被黑了"));
  EXPECT_EQ(store.GetValue(kCurrentUser, "Software\\Microsoft\\Internet Explorer\\Main", "Raw")->data,
            std::vector<std::uint8_t>({'A', 'B', 0})) << "REGEDIT4 hex text data is ANSI as it stands";
}

TEST(RegFileTest, BothFormatsWriteBackTheSameRegistry) {
  MemoryStore original;
  LoadDemoRegistry(original);
  // Names and texts whose GBK trail byte is a backslash, a quote in a name,
  // texts that a quoted string cannot carry, and values on a root.
  original.PutString(kLocalMachine, Gbk("SOFTWARE\\表\\子"), Gbk("名\"表"), Gbk("C:\\表\\"));
  original.PutValue(kLocalMachine, "SOFTWARE\\Odd", "TwoLines", kRegSz, {'a', '\r', '\n', 'b', 0});
  original.PutValue(kLocalMachine, "SOFTWARE\\Odd", "NoNul", kRegSz, {'a', 'b'});
  original.PutValue(kLocalMachine, "SOFTWARE\\Odd", "Long", kRegBinary, std::vector<std::uint8_t>(300, 0xAB));
  original.PutValue(kLocalMachine, "SOFTWARE\\Odd", "ShortDword", kRegDword, {1, 2});
  original.PutValue(kCurrentUser, "", "OnRoot", kRegDword, {1, 0, 0, 0});
  original.CreateKey(kCurrentUser, "Software\\EmptyKey");

  for (RegFormat format : {RegFormat::kVersion5, RegFormat::kRegedit4}) {
    RegFile file{format, EntriesOf(original)};
    const std::string bytes = FormatRegFile(file);
    if (format == RegFormat::kVersion5) {
      ASSERT_EQ(bytes.substr(0, 2), "\xFF\xFE");
    } else {
      ASSERT_EQ(bytes.substr(0, 10), "REGEDIT4\r\n");
    }
    MemoryStore copy = Load(bytes);
    EXPECT_EQ(copy.Dump(), original.Dump());
    EXPECT_EQ(ParseRegFile(bytes, "x.reg").format, format);
  }
}

TEST(RegFileTest, ExportWritesWhatRegeditWrites) {
  RegFile file;
  file.format = RegFormat::kRegedit4;
  RegEntry key{RegEntry::Kind::kKey, kCurrentUser, "Software\\A", {}, 0, ""};
  RegEntry text{RegEntry::Kind::kValue, kCurrentUser, "Software\\A", {"Name", kRegSz, {'x', '"', '\\', 0}}, 0, ""};
  RegEntry number{RegEntry::Kind::kValue, kCurrentUser, "Software\\A", {"", kRegDword, {0x2a, 0, 0, 1}}, 0, ""};
  RegEntry gone{RegEntry::Kind::kDeleteValue, kCurrentUser, "Software\\A", {"Old", 0, {}}, 0, ""};
  RegEntry dropped{RegEntry::Kind::kDeleteKey, kLocalMachine, "SOFTWARE\\B", {}, 0, ""};
  RegEntry profile{RegEntry::Kind::kKey, kCurrentUser, "Software", {}, 0, "Alice"};
  file.entries = {key, text, number, gone, dropped, profile};
  const std::string bytes = FormatRegFile(file);
  EXPECT_EQ(bytes,
            "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\A]\r\n\"Name\"=\"x\\\"\\\\\"\r\n@=dword:0100002a\r\n"
            "\"Old\"=-\r\n\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\B]\r\n\r\n[HKEY_USERS\\Alice\\Software]\r\n\r\n");
  EXPECT_EQ(ParseRegFile(bytes, "x.reg").entries, file.entries) << "profiles are named under HKEY_USERS";
}

TEST(RegFileTest, BadInputNamesTheFileAndTheLine) {
  EXPECT_EQ(ErrorOf(""), "bad.reg:1: empty file, not a .reg file");
  EXPECT_EQ(ErrorOf("\x7f" "ELF\x02\x01\x01 garbage"),
            "bad.reg:1: not a .reg file (the first line must be \"REGEDIT4\" or \"Windows Registry Editor Version 5.00\")");
  const std::string head = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software]\r\n";
  EXPECT_EQ(ErrorOf(head + "\"A\"=dword:xyz\r\n"), "bad.reg:4: dword: needs 1 to 8 hexadecimal digits");
  EXPECT_EQ(ErrorOf(head + "\"A\"=dword:123456789\r\n"), "bad.reg:4: dword: needs 1 to 8 hexadecimal digits");
  EXPECT_EQ(ErrorOf(head + "\"A\"=dword:\r\n"), "bad.reg:4: dword: needs 1 to 8 hexadecimal digits");
  for (const char* type : {"hex():00", "hex(123456789):00", "hex(2:00", "hex(-1):00"}) {
    EXPECT_EQ(ErrorOf(head + "\"A\"=" + type + "\r\n"), "bad.reg:4: hex(N): needs a hexadecimal type number") << type;
  }
  EXPECT_EQ(ErrorOf(head + "\"A\"=hex(2)00\r\n"), "bad.reg:4: expected ':' after hex");
  EXPECT_EQ(ErrorOf(head + "\"A\"=\"1\"\r\n\"B\"=hex:01,zz\r\n"), "bad.reg:5: bad byte \"zz\" in hex data");
  EXPECT_EQ(ErrorOf(head + "\"B\"=hex:01,\\\r\n  02,\\"), "bad.reg:4: hex data continues past the end of the file");
  EXPECT_EQ(ErrorOf(head + "\"B\"=hex:01,\\\r\n  02,\\\r\n\r\n"), "bad.reg:6: hex data broken off by a blank line");
  EXPECT_EQ(ErrorOf(head + "\"A\"=\"open\r\n"), "bad.reg:4: text without its closing '\"'");
  EXPECT_EQ(ErrorOf(head + "\"A\" \"1\"\r\n"), "bad.reg:4: expected '=' after the value name");
  EXPECT_EQ(ErrorOf(head + "\"A\"=str:1\r\n"), "bad.reg:4: unknown value data \"str:1\"");
  EXPECT_EQ(ErrorOf(head + "[HKEY_CURRENT_USER\\Software\r\n"), "bad.reg:4: key line without its closing ']'");
  EXPECT_EQ(ErrorOf(head + "[HKEY_CLASSES_ROOT\\.txt]\r\n"),
            "bad.reg:4: unsupported root key \"HKEY_CLASSES_ROOT\" (only HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER and "
            "HKEY_USERS\\NAME)");
  EXPECT_EQ(ErrorOf(head + "[-HKEY_CURRENT_USER]\r\n"), "bad.reg:4: a root key cannot be deleted");
  EXPECT_EQ(ErrorOf("REGEDIT4\r\n\"A\"=\"1\"\r\n"), "bad.reg:2: value outside of any [key]");
  EXPECT_EQ(ErrorOf(head + "hello\r\n"), "bad.reg:4: unexpected text \"hello\"");
  // Wine's regedit ends a line at a lone CR; the file is read by no guess.
  const std::string lone_cr = ": a carriage return without a line feed inside the line (regedit may read it as a line "
                              "break); refusing the file";
  EXPECT_EQ(ErrorOf(head + "; note\r[HKEY_CURRENT_USER\\Software\\Evil]\r\n"), "bad.reg:4" + lone_cr);
  EXPECT_EQ(ErrorOf(head + "[HKEY_CURRENT_USER\\a\rb]\r\n"), "bad.reg:4" + lone_cr);
  EXPECT_EQ(ErrorOf(head + "\"A\"=\"x\ry\"\n"), "bad.reg:4" + lone_cr);
  EXPECT_EQ(ErrorOf("REGEDIT4\r\r\n"), "bad.reg:1" + lone_cr);
  EXPECT_EQ(ErrorOf(Utf16("Windows Registry Editor Version 5.00\r\n\r\n; x\r[HKLM\\SOFTWARE]\r\n")),
            "bad.reg:3" + lone_cr);
  EXPECT_EQ(ErrorOf(Utf16("Windows Registry Editor Version 5.00\r\n\r\n[HKLM\\SOFTWARE]\r\n\"A\"=hex(2x):00\r\n")),
            "bad.reg:4: hex(N): needs a hexadecimal type number");
}

// A file whose bytes are not what its encoding says is refused, never
// guessed at: it could not be written back as it was read. (The first found
// by the .reg fuzzer: a UTF-8 file with a GBK byte in a key name.)
TEST(RegFileTest, BytesInvalidInTheFilesEncodingAreRefused) {
  EXPECT_EQ(ErrorOf("\xEF\xBB\xBFWindows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Softwa\xE4\\x]\n"),
            "bad.reg:3: bytes that are not valid UTF-8 in a file marked as UTF-8");
  EXPECT_EQ(ErrorOf("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software]\r\n\"A\"=\"Gr\xC3\xBC\xC3\x9F\xE2\x9C\x93\"\r\n"),
            "bad.reg:4: bytes that are not valid in code page 936 (GBK), the encoding of a .reg file without a byte "
            "order mark; save it as ANSI (GBK) or as Unicode (UTF-16 with a byte order mark)");
  EXPECT_NO_THROW(ParseRegFile(Gbk("REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\中文]\r\n"), "ok.reg"));
}

TEST(RegFileTest, ValuesBelowADeletedKeyAreIgnoredAsRegeditDoes) {
  MemoryStore store = Load("REGEDIT4\r\n[-HKEY_CURRENT_USER\\Software\\X]\r\n\"A\"=\"1\"\r\n");
  EXPECT_EQ(store.FindKey(kCurrentUser, "Software\\X"), nullptr);
}


// Found by the .reg fuzzer: what the writer wrote did not read back.
TEST(RegFileTest, EveryParsedFileWritesBackToTheSameStatements) {
  const std::string head = "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n";
  const std::vector<std::string> files = {
      // A value name holding line breaks: written raw, it cut its line in two.
      head + "\"a\\nb\\rc\"=\"1\"\r\n\"d\\n\"=-\r\n",
      // A REG_SZ whose bytes are no GBK text (any bytes come in through
      // hex(1) of a REGEDIT4 file): as a quoted text it lost those bytes.
      head + "\"bytes\"=hex(1):ff,22,81,00\r\n\"euro\"=hex(1):80,5c,00\r\n",
  };
  for (const std::string& text : files) {
    for (RegFormat format : {RegFormat::kRegedit4, RegFormat::kVersion5}) {
      RegFile file = ParseRegFile(text, "x.reg");
      file.format = format;
      if (format == RegFormat::kVersion5) {
        // A version-5 file holds texts as UTF-16: only GBK texts go there.
        file.entries.erase(std::remove_if(file.entries.begin(), file.entries.end(),
                                          [](const RegEntry& e) { return e.value.name == "bytes"; }),
                           file.entries.end());
      }
      const RegFile again = ParseRegFile(FormatRegFile(file), "again.reg");
      EXPECT_EQ(again.entries, InForm(file.entries, format)) << text;
    }
  }
  // The text that survives the code page is still written as text.
  const RegFile plain = ParseRegFile(head + "\"t\"=hex(1):41,5c,42,00\r\n", "x.reg");
  EXPECT_NE(FormatRegFile(plain).find("\"t\"=\"A\\\\B\""), std::string::npos) << FormatRegFile(plain);
}

}  // namespace
}  // namespace torvane::registry
