// .reg files: both formats regedit writes, read and written back to the same
// registry, and every bad line named.
#include <gtest/gtest.h>

#include <algorithm>

#include "registry/codepage.h"
#include "registry/demo.h"
#include "registry/group_policy.h"
#include "registry/preg.h"
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
  // Every digit of a number is written, leading zeros too; a type past 15 as
  // all its digits.
  RegEntry zero{RegEntry::Kind::kValue, kCurrentUser, "Software\\A", {"Z", kRegDword, {0, 0, 0, 0}}, 0, ""};
  RegEntry full{RegEntry::Kind::kValue, kCurrentUser, "Software\\A", {"F", kRegDword, {0xff, 0xff, 0xff, 0xff}}, 0, ""};
  RegEntry odd{RegEntry::Kind::kValue, kCurrentUser, "Software\\A", {"T", 0xFFFF0010u, {0x07}}, 0, ""};
  RegEntry dropped{RegEntry::Kind::kDeleteKey, kLocalMachine, "SOFTWARE\\B", {}, 0, ""};
  RegEntry profile{RegEntry::Kind::kKey, kCurrentUser, "Software", {}, 0, "Alice"};
  file.entries = {key, text, number, gone, zero, full, odd, dropped, profile};
  const std::string bytes = FormatRegFile(file);
  EXPECT_EQ(bytes,
            "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\A]\r\n\"Name\"=\"x\\\"\\\\\"\r\n@=dword:0100002a\r\n"
            "\"Old\"=-\r\n\"Z\"=dword:00000000\r\n\"F\"=dword:ffffffff\r\n\"T\"=hex(ffff0010):07\r\n\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\B]\r\n\r\n[HKEY_USERS\\Alice\\Software]\r\n\r\n");
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


// Group Policy registry files (PReg).

std::string Units(std::u16string_view units) {
  std::string out;
  for (char16_t unit : units) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
  }
  return out;
}

std::string Number(std::uint32_t number) {
  std::string out;
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((number >> shift) & 0xFF));
  return out;
}

const std::string kPregHeader("PReg\x01\0\0\0", 8);

// One entry as it lies in a file; names are given without their NUL.
std::string PregBytes(std::u16string_view key, std::u16string_view value, std::uint32_t type,
                      const std::string& data) {
  return Units(u"[") + Units(key) + Units(std::u16string_view(u"\0;", 2)) + Units(value) +
         Units(std::u16string_view(u"\0;", 2)) + Number(type) + Units(u";") +
         Number(static_cast<std::uint32_t>(data.size())) + Units(u";") + data + Units(u"]");
}

std::span<const std::uint8_t> Bytes(const std::string& bytes) {
  return {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
}

std::string PregErrorOf(const std::string& bytes) {
  try {
    ParsePreg(Bytes(bytes));
  } catch (const PregError& error) {
    return error.what();
  }
  return "accepted";
}

std::vector<std::uint8_t> Data(const std::string& bytes) { return {bytes.begin(), bytes.end()}; }

// The local policy object's version: machine changes count in the low 16
// bits, user changes in the high 16; a part at its top is never wrapped to
// a lower version, and says so.
TEST(PregTest, APolicyObjectsVersionGoesUpInThePartThatChangedAndNeverDown) {
  struct Case {
    const char* gpt;
    bool machine;
    std::optional<std::string> raised;
    const char* why;  // when not raised
  };
  const Case kCases[] = {
      {"[General]\r\nVersion=0\r\n", true, "[General]\r\nVersion=1\r\n", ""},
      {"[General]\r\nVersion=65537\r\n", false, "[General]\r\nVersion=131073\r\n", ""},
      {"[General]\nversion=65534\n", true, "[General]\nversion=65535\n", ""},
      {"Version=4294836224", false, "Version=4294901760", ""},
      {"[General]\nversion=65535\n", true, std::nullopt, "machine part is at its top"},
      {"Version=4294901760", false, std::nullopt, "user part is at its top"},
      {"Version=4294901760", true, "Version=4294901761", ""},
      {"Version=4294967295", true, std::nullopt, "machine part is at its top"},
      {"[General]\r\ndisplayName=x\r\n", true, std::nullopt, "no version to raise"},
      {"Version=12abc", true, std::nullopt, "no version to raise"},
      {"Version=99999999999", true, std::nullopt, "no version to raise"},
  };
  for (const Case& c : kCases) {
    std::string why;
    EXPECT_EQ(registry::RaisedGptVersion(c.gpt, c.machine, &why), c.raised) << c.gpt;
    EXPECT_NE(why.find(c.why), std::string::npos) << c.gpt << ": " << why;
    EXPECT_EQ(why.empty(), c.raised.has_value()) << c.gpt;
  }
}

TEST(PregTest, MalformedFilesAreRefusedWithTheByteAtFault) {
  const std::string entry_start = kPregHeader + Units(std::u16string_view(u"[K\0;V\0;", 7));  // type at byte 22
  const std::string typed = entry_start + Number(4) + Units(u";");                          // size at byte 28
  const std::string sized = typed + Number(4) + Units(u";") + Number(1);                     // ']' at byte 38
  const std::string valid = kPregHeader + PregBytes(u"K", u"V", 4, Number(1));                // 40 bytes
  struct Case {
    const char* what;
    std::string bytes;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"empty", "", "at byte 0: the file ends inside its 8-byte header"},
      {"short header", kPregHeader.substr(0, 7), "at byte 7: the file ends inside its 8-byte header"},
      {"signature", "PRex" + kPregHeader.substr(4), "at byte 0: not a policy file (no \"PReg\" signature)"},
      {"big-endian signature", "gePR" + kPregHeader.substr(4),
       "at byte 0: not a policy file (no \"PReg\" signature)"},
      {"version", "PReg" + Number(2), "at byte 4: version 2; only version 1 is known"},
      {"no '['", kPregHeader + Units(u"K"), "at byte 8: expected '[' to open an entry"},
      {"half a unit", kPregHeader + "[", "at byte 8: the file ends inside an entry: expected '[' to open an entry"},
      {"key cut short", kPregHeader + Units(u"[Ke"),
       "at byte 10: the key path runs to the end of the file without its ';'"},
      {"key of odd length", kPregHeader + Units(u"[Ke") + "\0",
       "at byte 10: the key path runs to the end of the file without its ';'"},
      {"key without NUL", kPregHeader + Units(u"[Key;V"), "at byte 16: the key path does not end in a NUL before its ';'"},
      {"empty key field", kPregHeader + Units(u"[;"), "at byte 10: the key path does not end in a NUL before its ';'"},
      {"value without NUL", kPregHeader + Units(std::u16string_view(u"[K\0;V;", 6)),
       "at byte 18: the value name does not end in a NUL before its ';'"},
      {"value cut short", kPregHeader + Units(std::u16string_view(u"[K\0;Va", 6)),
       "at byte 16: the value name runs to the end of the file without its ';'"},
      {"type cut short", entry_start + "\x04\0", "at byte 22: the file ends inside the type"},
      {"no ';' after the type", entry_start + Number(4) + Units(u":"), "at byte 26: expected ';' after the type"},
      {"size cut short", typed + "\x04", "at byte 28: the file ends inside the data size"},
      {"no ';' after the size", typed + Number(4) + Units(u"]"), "at byte 32: expected ';' after the data size"},
      {"size past the end", typed + Number(100) + Units(u";") + Number(1) + Units(u"]"),
       "at byte 28: the data size 100 is larger than the rest of the file (6 bytes)"},
      {"size past the end by far", typed + Number(0xFFFFFFFF) + Units(u";"),
       "at byte 28: the data size 4294967295 is larger than the rest of the file (0 bytes)"},
      {"no ']'", sized + Units(u")"), "at byte 38: expected ']' to close the entry that starts at byte 8"},
      {"']' missing at the end", sized,
       "at byte 38: the file ends inside an entry: expected ']' to close the entry that starts at byte 8"},
      {"a good entry, then a cut one", valid + Units(u"[K"),
       "at byte 42: the key path runs to the end of the file without its ';'"},
      {"a good entry, then a stray byte", valid + std::string(1, '\0'),
       "at byte 40: the file ends inside an entry: expected '[' to open an entry"},
      {"a list of odd length", kPregHeader + PregBytes(u"K", u"**DeleteValues", 1, std::string("a\0b", 3)),
       "at byte 62: the list of **DeleteValues has an odd number of bytes; UTF-16 text has two per character"},
      {"a key list of odd length", kPregHeader + PregBytes(u"K", u"**deletekeys", 1, "abc"),
       "at byte 58: the list of **DeleteKeys has an odd number of bytes; UTF-16 text has two per character"},
  };
  for (const Case& c : cases) EXPECT_EQ(PregErrorOf(c.bytes), c.error) << c.what;
  EXPECT_EQ(ParsePreg(Bytes(valid)).size(), 1u);
  EXPECT_TRUE(ParsePreg(Bytes(kPregHeader)).empty()) << "a file without entries sets nothing";
}

TEST(PregTest, FilesAndEntriesPastTheLimitsAreRefused) {
  std::string big = kPregHeader;
  big.resize(kMaxPregFileBytes + 1, '\0');
  EXPECT_EQ(PregErrorOf(big), "at byte 67108864: the file is 67108865 bytes; a policy file may hold at most 64 MiB");

  const std::string smallest = PregBytes(u"", u"", 0, "");
  std::string many = kPregHeader;
  many.reserve(kPregHeader.size() + (kMaxPregEntries + 1) * smallest.size());
  for (std::size_t i = 0; i < kMaxPregEntries; ++i) many += smallest;
  EXPECT_EQ(ParsePreg(Bytes(many)).size(), kMaxPregEntries);
  many += smallest;
  EXPECT_EQ(PregErrorOf(many), "at byte " + std::to_string(8 + kMaxPregEntries * smallest.size()) +
                                   ": more than 1048576 entries");
}

// A list is indexed below the key that lists it: joined to a long key, each
// of many names would copy the key once more (here 4 MB 250,000 times).
TEST(PregTest, ALongKeyWithALongListIsIndexedOnce) {
  const std::u16string key = u"S\\" + std::u16string(std::size_t{2} << 20, u'k');
  std::u16string names;
  for (int i = 0; i < 250000; ++i) names += PregText("v" + std::to_string(i) + ";");
  const std::string file = kPregHeader + PregBytes(key, u"**DeleteValues", 1, Units(names)) +
                           PregBytes(key, u"**DeleteKeys", 1, Units(names));
  const PregFile policy = PregFile::Parse(Bytes(file));
  EXPECT_EQ(policy.Effect(key, u"V249999").kind, PregEffect::Kind::kDeletes);
  EXPECT_EQ(policy.Effect(key, u"v250000").kind, PregEffect::Kind::kSilent);
  EXPECT_EQ(policy.Effect(key + u"\\V17\\x", u"y"), (PregEffect{PregEffect::Kind::kDeletes, 0, {}, 1}));
}

TEST(PregTest, EntriesReadAsStoredAndWriteBackByteForByte) {
  const std::string file = kPregHeader +
                           PregBytes(u"Software\\Policies\\Microsoft\\Windows\\System", u"DisableCMD", 4, Number(2)) +
                           PregBytes(u"Software\\X", u"**delvals.", 1, Units(std::u16string_view(u" \0", 2))) +
                           PregBytes(u"Software\\X", u"Odd", 3, "\x01\x02\x03") +  // the next entry starts at an odd byte
                           PregBytes(u"Software\\X", u"Text", 1, Units(std::u16string_view(u"C:\\\0", 4)));
  const std::vector<PregEntry> entries = ParsePreg(Bytes(file));
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].key, u"Software\\Policies\\Microsoft\\Windows\\System");
  EXPECT_EQ(entries[0].value, u"DisableCMD");
  EXPECT_EQ(entries[0].type, 4u);
  EXPECT_EQ(entries[0].data, Data(Number(2)));
  EXPECT_EQ(entries[2].data, Data("\x01\x02\x03"));
  EXPECT_EQ(entries[3].data, Data(Units(std::u16string_view(u"C:\\\0", 4))));
  EXPECT_EQ(FormatPreg(entries), file);
}

// Each instruction's effect on the value "A" of the key "Software\P".
TEST(PregTest, EachInstructionHasItsEffect) {
  using Kind = PregEffect::Kind;
  const std::u16string key = u"Software\\P";
  const std::string one = Number(1), two = Number(2);
  const auto list = [](std::u16string_view text) { return Units(text) + std::string(2, '\0'); };
  struct Case {
    const char* what;
    std::vector<std::string> entries;
    Kind kind;
    std::size_t entry = 0;  // the entry that decided it
    std::string data = {};
  };
  const std::vector<Case> cases = {
      {"nothing", {}, Kind::kSilent},
      {"a set", {PregBytes(key, u"A", 4, one)}, Kind::kSets, 0, one},
      {"the last set wins", {PregBytes(key, u"A", 4, one), PregBytes(key, u"A", 4, two)}, Kind::kSets, 1, two},
      {"another value", {PregBytes(key, u"B", 4, one)}, Kind::kSilent},
      {"another key", {PregBytes(u"Software\\Q", u"A", 4, one)}, Kind::kSilent},
      {"a subkey", {PregBytes(key + u"\\S", u"A", 4, one)}, Kind::kSilent},
      {"**del.", {PregBytes(key, u"A", 4, one), PregBytes(key, u"**del.A", 1, list(u" "))}, Kind::kDeletes, 1},
      {"**Del. with its case", {PregBytes(key, u"**Del.a", 4, one)}, Kind::kDeletes, 0},
      {"**del. of another value", {PregBytes(key, u"A", 4, one), PregBytes(key, u"**del.AB", 4, one)}, Kind::kSets,
       0, one},
      {"a set after **del.", {PregBytes(key, u"**del.A", 4, one), PregBytes(key, u"A", 4, two)}, Kind::kSets, 1, two},
      {"**delvals.", {PregBytes(key, u"A", 4, one), PregBytes(key, u"**delvals.", 1, list(u" "))}, Kind::kDeletes, 1},
      {"**DelVals", {PregBytes(key, u"A", 4, one), PregBytes(key, u"**DelVals", 4, one)}, Kind::kDeletes, 1},
      {"a set after **delvals.", {PregBytes(key, u"**delvals.", 1, list(u" ")), PregBytes(key, u"A", 4, one)},
       Kind::kSets, 1, one},
      {"**delvals. of another key", {PregBytes(key, u"A", 4, one), PregBytes(key + u"\\S", u"**delvals.", 4, one)},
       Kind::kSets, 0, one},
      {"**DeleteValues", {PregBytes(key, u"A", 4, one), PregBytes(key, u"**DeleteValues", 1, list(u"B;a;C"))},
       Kind::kDeletes, 1},
      {"**DeleteValues without A", {PregBytes(key, u"A", 4, one), PregBytes(key, u"**DeleteValues", 1, list(u"B;AA;"))},
       Kind::kSets, 0, one},
      {"**DeleteKeys of the key", {PregBytes(key, u"A", 4, one), PregBytes(u"Software", u"**DeleteKeys", 1, list(u"Q;p"))},
       Kind::kDeletes, 1},
      {"**DeleteKeys of a key above", {PregBytes(key, u"A", 4, one), PregBytes(u"", u"**DeleteKeys", 1, list(u"SOFTWARE"))},
       Kind::kDeletes, 1},
      {"**DeleteKeys of a longer name", {PregBytes(key, u"A", 4, one), PregBytes(u"Software", u"**DeleteKeys", 1, list(u"PP;"))},
       Kind::kSets, 0, one},
      {"**DeleteKeys ending in a space", {PregBytes(key, u"A", 4, one), PregBytes(u"Software", u"**DeleteKeys ", 1, list(u"P"))},
       Kind::kDeletes, 1},
      {"**DeleteKeys of a subkey", {PregBytes(key, u"A", 4, one), PregBytes(key, u"**DeleteKeys", 1, list(u"S"))},
       Kind::kSets, 0, one},
      {"**SecureKey", {PregBytes(key, u"A", 4, one), PregBytes(key, u"**SecureKey", 4, one)}, Kind::kSets, 0, one},
      {"**soft.", {PregBytes(key, u"**soft.A", 4, one)}, Kind::kSetsIfAbsent, 0, one},
      {"**soft. after a set", {PregBytes(key, u"A", 4, one), PregBytes(key, u"**soft.A", 4, two)}, Kind::kSets, 0, one},
      {"**soft. after **del.", {PregBytes(key, u"**del.A", 4, one), PregBytes(key, u"**soft.A", 4, two)}, Kind::kSets,
       1, two},
      {"**soft. twice", {PregBytes(key, u"**soft.A", 4, one), PregBytes(key, u"**SOFT.A", 4, two)}, Kind::kSetsIfAbsent,
       0, one},
      {"a set after **soft.", {PregBytes(key, u"**soft.A", 4, one), PregBytes(key, u"A", 4, two)}, Kind::kSets, 1, two},
      {"**soft. across **delvals.",
       {PregBytes(key, u"**soft.A", 4, one), PregBytes(key, u"**delvals.", 4, one), PregBytes(key, u"**soft.A", 4, two)},
       Kind::kSets, 2, two},
      {"**soft. before **DeleteKeys", {PregBytes(key, u"**soft.A", 4, one), PregBytes(u"", u"**DeleteKeys", 1, list(u"software\\p"))},
       Kind::kDeletes, 1},
      {"a set, **delvals., **soft.",
       {PregBytes(key, u"A", 4, one), PregBytes(key, u"**delvals.", 4, one), PregBytes(key, u"**soft.A", 4, two)},
       Kind::kSets, 2, two},
      {"**delvals., then a set and **soft.",
       {PregBytes(key, u"**delvals.", 4, one), PregBytes(key, u"A", 4, one), PregBytes(key, u"**soft.A", 4, two)},
       Kind::kSets, 1, one},
      {"**DeleteValues, then **soft. twice",
       {PregBytes(key, u"**DeleteValues", 1, list(u"A")), PregBytes(key, u"**soft.A", 4, one), PregBytes(key, u"**soft.A", 4, two)},
       Kind::kSets, 1, one},
      {"a code Group Policy skips", {PregBytes(key, u"**frob.A", 4, one)}, Kind::kSilent},
      {"no data: the key only", {PregBytes(key, u"A", 4, "")}, Kind::kSilent},
      {"no type: the key only", {PregBytes(key, u"A", 0, one)}, Kind::kSilent},
      {"no data after a set", {PregBytes(key, u"A", 4, one), PregBytes(key, u"A", 1, "")}, Kind::kSets, 0, one},
  };
  for (const Case& c : cases) {
    std::string file = kPregHeader;
    for (const std::string& entry : c.entries) file += entry;
    const PregEffect effect = PregFile::Parse(Bytes(file)).Effect(key, u"A");
    const PregEffect expected{c.kind, c.kind == Kind::kSets || c.kind == Kind::kSetsIfAbsent ? 4u : 0u, Data(c.data),
                              c.entry};
    EXPECT_EQ(effect, expected) << c.what;
  }
  // The default value: an entry without a value name only creates the key.
  const PregFile unnamed = PregFile::Parse(Bytes(kPregHeader + PregBytes(key, u"", 1, list(u"x"))));
  EXPECT_EQ(unnamed.Effect(key, u"").kind, Kind::kSilent);
}

TEST(PregTest, NamesFoldOnlyAsciiLetters) {
  const std::string file = kPregHeader + PregBytes(u"Software\\Policies\\Explorer", u"NoRun", 4, Number(1)) +
                           PregBytes(u"Software\\\u0161", u"\u0161", 4, Number(1)) +  // š: its low byte is 'a'
                           PregBytes(u"Software\\Policies\\System", u"**del.DisableCMD", 4, Number(1));
  const PregFile policy = PregFile::Parse(Bytes(file));
  using Kind = PregEffect::Kind;
  struct Case {
    std::u16string key, name;
    Kind kind;
  };
  const std::vector<Case> cases = {
      {u"Software\\Policies\\Explorer", u"NoRun", Kind::kSets},
      {u"SOFTWARE\\policies\\EXPLORER", u"norun", Kind::kSets},
      {u"Software\\Policies\\Explorer", u"N\u043ERun", Kind::kSilent},          // Cyrillic о
      {u"Software\\Policies\\Explorer", u"\uFF2EoRun", Kind::kSilent},          // fullwidth Ｎ
      {u"Software\\Policies\\Explorer", u"\u0274o\u0280un", Kind::kSilent},     // small capitals
      {u"Software\\Policies\\E\u0445plorer", u"NoRun", Kind::kSilent},          // Cyrillic х
      {u"Software\\Policies\\Explorer\u212A", u"NoRun", Kind::kSilent},         // Kelvin sign
      {u"Software\\\u0161", u"\u0161", Kind::kSets},
      {u"Software\\\u0160", u"\u0160", Kind::kSilent},  // Š: only ASCII folds
      {u"Software\\\u0141", u"\u0141", Kind::kSilent},  // Ł, the unit 'A' would give
      {u"software\\policies\\system", u"DISABLECMD", Kind::kDeletes},
      {u"Software\\Policies\\System", u"D\u0131sableCMD", Kind::kSilent},  // dotless ı
  };
  for (const Case& c : cases) {
    EXPECT_EQ(policy.Effect(c.key, c.name).kind, c.kind) << PregTextUtf8(c.key) << " " << PregTextUtf8(c.name);
  }
  EXPECT_EQ(PregText("Software\\中文"), u"Software\\中文");
  EXPECT_EQ(PregTextUtf8(u"Software\\中文"), "Software\\中文");
}

TEST(PregTest, NamesKeepEveryUnitTheyStore) {
  // [K;A<NUL>B;...]: the name runs to its ';', its NULs kept.
  const std::string file = kPregHeader +
                           Units(std::u16string_view(u"[K\0;A\0B\0;", 9)) + Number(4) + Units(u";") + Number(4) +
                           Units(u";") + Number(1) + Units(u"]") +
                           PregBytes(u"K", std::u16string_view(u"\xD800", 1), 4, Number(2)) +
                           PregBytes(std::u16string_view(u"K\0L", 3), u"C", 4, Number(3));
  const PregFile policy = PregFile::Parse(Bytes(file));
  ASSERT_EQ(policy.entries().size(), 3u);
  EXPECT_EQ(policy.entries()[0].value, std::u16string(u"A\0B", 3));
  using Kind = PregEffect::Kind;
  EXPECT_EQ(policy.Effect(u"K", u"A").kind, Kind::kSilent) << "the name before the NUL is another name";
  EXPECT_EQ(policy.Effect(u"K", std::u16string_view(u"a\0b", 3)).kind, Kind::kSets);
  EXPECT_EQ(policy.Effect(u"K", u"\uFFFD").kind, Kind::kSilent) << "a lone surrogate is no replacement character";
  EXPECT_EQ(policy.Effect(u"K", std::u16string_view(u"\xD800", 1)).kind, Kind::kSets);
  EXPECT_EQ(policy.Effect(u"K", u"C").kind, Kind::kSilent);
  EXPECT_EQ(policy.Effect(std::u16string_view(u"k\0l", 3), u"C").kind, Kind::kSets);
  EXPECT_EQ(FormatPreg(policy.entries()), file);
}

}  // namespace
}  // namespace torvane::registry
