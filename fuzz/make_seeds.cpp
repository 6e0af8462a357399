// Writes the seed corpora of the .reg, hive and hive log harnesses:
//   fuzz_seeds DIR   → DIR/reg_file/*, DIR/hive/*, DIR/hive_log/*
// Hive seeds hold both parts under one root (the SOFTWARE hive's keys and a
// user hive's "Software" key), as the hive harness opens one file as both.
// Hive log seeds are a small dirty hive and its logs, in the harness's
// layout (see hive_log_fuzz.cpp).
#include <hivex.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "registry/demo.h"
#include "registry/memory_store.h"
#include "registry/reg_file.h"
#include "support/fixtures.h"
#include "support/hive_builder.h"
#include "support/hive_log_writer.h"
#include "support/text.h"

namespace {

using namespace torvane::registry;
using namespace torvane::testing;

// One damage of the kind each item looks for.
const std::vector<std::function<void(MemoryStore&)>> kDamages = {
    [](MemoryStore& s) { s.PutDword(kCurrentUser, kSystem, "DisableTaskMgr", 1); },
    [](MemoryStore& s) { s.PutDword(kCurrentUser, kSystem, "DisableRegistryTools", 1); },
    [](MemoryStore& s) { s.PutDword(kCurrentUser, kCmd, "DisableCMD", 1); },
    [](MemoryStore& s) { s.PutString(kLocalMachine, kIfeo + "\\IceSword.exe", "Debugger", "svch0st.exe"); },
    [](MemoryStore& s) { s.CreateKey(kLocalMachine, kIfeo + "\\avp.exe\\Nested\\Deeper"); },
    [](MemoryStore& s) { s.PutDword(kCurrentUser, kExplorer, "NoRun", 1); },
    [](MemoryStore& s) { s.PutDword(kCurrentUser, kExplorer, "NoViewContextMenu", 1); },
    [](MemoryStore& s) { s.PutDword(kLocalMachine, kExplorer, "NoViewContextMenu", 1); },
    [](MemoryStore& s) { s.PutDword(kCurrentUser, kExplorer, "NoClose", 1); },
    [](MemoryStore& s) { s.PutDword(kCurrentUser, kExplorer, "NoLogOff", 1); },
    [](MemoryStore& s) { s.PutDword(kLocalMachine, kSystem, "NoAutoUpdate", 1); },
    [](MemoryStore& s) { s.PutDword(kLocalMachine, kAutoUpdate, "NoAutoUpdate", 1); },
    [](MemoryStore& s) { s.PutDword(kLocalMachine, kShowAll, "CheckedValue", 0); },
    [](MemoryStore& s) { s.PutString(kLocalMachine, kWinlogon, "Userinit", kHealthyUserinit + "evil.exe,"); },
    [](MemoryStore& s) { s.PutValue(kCurrentUser, kExplorer, "RestrictRun", kRegBinary, std::vector<std::uint8_t>(40, 1)); },
    [](MemoryStore& s) { s.PutString(kLocalMachine, kWinlogon, "Shell", "Explorer.exe evil.exe"); },
    [](MemoryStore& s) { s.PutString(kLocalMachine, kWindows, "AppInit_DLLs", "evil.dll"); },
    [](MemoryStore& s) { s.PutDword(kCurrentUser, kExplorer, "NoFolderOptions", 1); },
    [](MemoryStore& s) { s.PutDword(kCurrentUser, kRestrictions, "NoBrowserOptions", 1); },
    [](MemoryStore& s) { s.PutDword(kCurrentUser, kRestrictions, "NoViewSource", 1); },
    [](MemoryStore& s) { s.PutDword(kCurrentUser, kControlPanel, "HomePage", 1); },
    [](MemoryStore& s) { s.PutString(kCurrentUser, kIeMain, "Window title", "pwned"); },
    [](MemoryStore& s) { s.PutString(kLocalMachine, kDefaultPrefix, "", "evil://"); },
    [](MemoryStore& s) { s.PutString(kLocalMachine, kPrefixes, "www", "evil://"); },
};

void PutFullyDamaged(MemoryStore& store) {
  PutHealthySystem(store);
  for (const auto& damage : kDamages) damage(store);
}

// Odd shapes a real hive can hold: other value types, texts without their
// NUL, names in GBK, an empty-named value, deep keys.
void PutOddities(MemoryStore& store) {
  store.PutValue(kLocalMachine, kWinlogon, "Shell", kRegExpandSz, {'%', 'x', '%', 0});
  store.PutValue(kLocalMachine, kWindows, "AppInit_DLLs", kRegSz, {'a', 'b'});
  store.PutValue(kCurrentUser, kSystem, "DisableTaskMgr", kRegBinary, {1, 0, 0, 0, 0, 0, 0, 0});
  store.PutValue(kCurrentUser, kExplorer, "NoRun", kRegMultiSz, {'1', 0, '2', 0, 0});
  store.PutValue(kLocalMachine, kShowAll, "CheckedValue", 11, {1, 0, 0, 0, 0, 0, 0, 0});
  store.PutValue(kLocalMachine, kPrefixes, "ftp", 0x12345, {});
  store.PutString(kLocalMachine, kIfeo + Gbk("\\病毒.exe"), "Debugger", Gbk("中文"));
  store.PutString(kCurrentUser, kIeMain, Gbk("窗口"), Gbk("标题"));
  std::string deep = kIfeo + "\\deep.exe";
  for (int i = 0; i < 24; ++i) deep += "\\d" + std::to_string(i);
  store.CreateKey(kLocalMachine, deep);
}

// The combined tree of a hive seed: HKLM\SOFTWARE's keys at the root beside
// HKCU's (which start with "Software").
MemoryStore::Key Combined(const MemoryStore& store) {
  MemoryStore combined;
  std::function<void(const MemoryStore::Key&, const std::string&)> copy = [&](const MemoryStore::Key& key,
                                                                               const std::string& path) {
    combined.CreateKey(kLocalMachine, path);
    for (const RegValue& value : key.values) combined.PutValue(kLocalMachine, path, value.name, value.type, value.data);
    for (const auto* child : key.Ordered()) copy(*child, path + "\\" + child->name);
  };
  if (const auto* software = store.FindKey(kLocalMachine, "SOFTWARE")) copy(*software, "ROOT");
  copy(store.Root(kCurrentUser), "ROOT");
  return *combined.FindKey(kLocalMachine, "ROOT");
}

void WriteHiveSeed(const std::string& dir, const std::string& name, const MemoryStore& store) {
  WriteHive(dir + "/" + name, Combined(store));
}

void WriteRegSeed(const std::string& dir, const std::string& name, const MemoryStore& store, RegFormat format) {
  WriteFile(dir + "/" + name, FormatRegFile(RegFile{format, EntriesOf(store)}));
}

// Hand-written files reaching what a backup never writes.
const std::vector<std::pair<std::string, std::string>> kRegTexts = {
    {"grammar4.reg",
     "\r\n  REGEDIT4\r\n; comment\r\n# another\r\n[HKLM\\SOFTWARE\\A]\r\n@=\"d\"\r\n\"x\" = dword: 2A\r\n"
     "\"b\"=hex:00,1,\\\r\n   ff,\r\n\"e\"=hex(2):25,78,25,00\r\n\"q\"=hex(b):01,00,00,00,00,00,00,00\r\n"
     "\"n\"=-\r\n@=-\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\B]\r\n\"ignored\"=\"1\"\r\n"
     "[HKEY_USERS\\alice\\Software\\X]\r\n\"v\"=\"a\\\\b\\\"c\\nd\\re\\0f\\q\"\r\n[HKU\\bob]\r\n[HKCU]\r\n@=\"\"\r\n"},
    {"grammar5_utf8bom.reg",
     "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\\xE4\xB8\xAD]\n"
     "\"\xE5\x90\x8D\"=\"\xE5\x80\xBC\"\n\"m\"=hex(7):61,00,00,00,62,00,00,00,00,00\n\"odd\"=hex(1):61,00,62\n"},
    {"bad_header.reg", "REGEDIT5\r\n"},
    {"bad_key.reg", "REGEDIT4\r\n[HKEY_CLASSES_ROOT\\x]\r\n"},
    {"bad_hex.reg", "REGEDIT4\r\n[HKLM\\a]\r\n\"x\"=hex(zz):00\r\n\"y\"=hex:0g\r\n"},
    {"bad_continuation.reg", "REGEDIT4\r\n[HKLM\\a]\r\n\"x\"=hex:00,\\\r\n\r\n"},
    {"value_outside.reg", "REGEDIT4\r\n\"x\"=\"1\"\r\n"},
};

// The hive at `path` after `change`, made by hivex and committed over it.
std::string Changed(const std::string& path, const std::function<void(hive_h*, hive_node_h)>& change) {
  hive_h* h = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
  if (h == nullptr) throw std::runtime_error("hivex cannot open " + path);
  change(h, hivex_root(h));
  const bool committed = hivex_commit(h, path.c_str(), 0) == 0;
  hivex_close(h);
  if (!committed) throw std::runtime_error("hivex_commit failed on " + path);
  return ReadFile(path);
}

hive_node_h Child(hive_h* h, hive_node_h parent, const char* name) {
  hive_node_h node = hivex_node_get_child(h, parent, name);
  if (node == 0) node = hivex_node_add_child(h, parent, name);
  if (node == 0) throw std::runtime_error(std::string("hivex cannot add ") + name);
  return node;
}

void SetValue(hive_h* h, hive_node_h node, const char* name, std::uint32_t type, const std::string& data) {
  hive_set_value value{const_cast<char*>(name), static_cast<hive_type>(type), data.size(),
                       const_cast<char*>(data.data())};
  if (hivex_node_set_value(h, node, &value, 0) != 0) throw std::runtime_error(std::string("hivex cannot set ") + name);
}

hive_node_h Policies(hive_h* h, hive_node_h root) {
  hive_node_h node = root;
  for (const char* name : {"Software", "Microsoft", "Windows", "CurrentVersion", "Policies"}) node = Child(h, node, name);
  return node;
}

const std::string kDwordOne("\x01\0\0\0", 4);

// The input the hive log harness splits: a switch byte (0: checksums and
// hashes set right, logs named in capitals), the primary, then each log
// after the harness's mark; an empty part is an empty file.
void WriteLogSeed(const std::string& dir, const std::string& name, const std::string& primary,
                  const std::vector<std::string>& logs) {
  std::string input(1, '\0');
  input += primary;
  for (const std::string& log : logs) input += "\nLOG-FILE\n" + log;
  WriteFile(dir + "/" + name, input);
}

// A small hive changed three ways by hivex (a value set, a key added, a
// value that needs a new bin), its changes put in logs only.
void WriteLogSeeds(const std::string& dir) {
  const std::string folder = ScratchDirectory("log-seeds");
  const std::string path = folder + "/hive";
  WriteFile(path, EmptyHive());
  const std::string h0 = Changed(path, [](hive_h* h, hive_node_h root) {
    SetValue(h, Child(h, Policies(h, root), "System"), "NoDispCPL", kRegDword, std::string(4, '\0'));
  });
  const std::string h1 = Changed(path, [](hive_h* h, hive_node_h root) {
    SetValue(h, Child(h, Policies(h, root), "System"), "DisableTaskMgr", kRegDword, kDwordOne);
  });
  const std::string h2 = Changed(path, [](hive_h* h, hive_node_h root) {
    SetValue(h, Child(h, Policies(h, root), "Explorer"), "NoRun", kRegDword, kDwordOne);
  });
  WriteFile(path, h0);
  const std::string grown = Changed(path, [](hive_h* h, hive_node_h root) {
    SetValue(h, Child(h, Policies(h, root), "System"), "LegalNoticeText", kRegBinary, std::string(6000, 'x'));
  });

  const std::uint32_t secondary = 8;
  std::string dirty = h0;
  MakeDirty(dirty, secondary);
  const std::uint32_t first = secondary + 1;
  WriteLogSeed(dir, "one_entry", dirty, {NewFormatLog(h0, {h1}, first)});
  WriteLogSeed(dir, "two_entries", dirty, {NewFormatLog(h0, {h1, h2}, first)});
  WriteLogSeed(dir, "two_logs", dirty, {NewFormatLog(h0, {h1}, first), NewFormatLog(h1, {h2}, first + 1)});
  WriteLogSeed(dir, "two_logs_later_first", dirty,
               {NewFormatLog(h1, {h2}, first + 1), NewFormatLog(h0, {h1}, first)});
  WriteLogSeed(dir, "stale_first", dirty, {NewFormatLog(h0, {h2}, secondary - 3), NewFormatLog(h0, {h1}, first)});
  WriteLogSeed(dir, "grown", dirty, {NewFormatLog(h0, {grown}, first)});
  WriteLogSeed(dir, "old_format", dirty, {"", "", OldFormatLog(h0, h1)});
  std::filesystem::remove_all(folder);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds DIR\n");
    return 2;
  }
  const std::string hive_dir = std::string(argv[1]) + "/hive";
  const std::string reg_dir = std::string(argv[1]) + "/reg_file";
  std::filesystem::create_directories(hive_dir);
  std::filesystem::create_directories(reg_dir);
  std::filesystem::create_directories(std::string(argv[1]) + "/hive_log");
  WriteLogSeeds(std::string(argv[1]) + "/hive_log");

  MemoryStore healthy, damaged, demo, odd;
  PutHealthySystem(healthy);
  PutFullyDamaged(damaged);
  LoadDemoRegistry(demo);
  PutHealthySystem(odd);
  PutOddities(odd);

  WriteFile(hive_dir + "/empty", EmptyHive());
  WriteHiveSeed(hive_dir, "healthy", healthy);
  WriteHiveSeed(hive_dir, "damaged", damaged);
  WriteHiveSeed(hive_dir, "demo", demo);
  WriteHiveSeed(hive_dir, "odd", odd);
  for (std::size_t i = 0; i < kDamages.size(); ++i) {
    MemoryStore one;
    PutHealthySystem(one);
    kDamages[i](one);
    WriteHiveSeed(hive_dir, "damage" + std::to_string(i), one);
  }
  {
    MemoryStore many;  // enough IFEO subkeys to spread over several bins
    PutHealthySystem(many);
    for (int i = 0; i < 80; ++i) {
      many.PutString(kLocalMachine, kIfeo + "\\tool" + std::to_string(i) + ".exe", "Debugger", "x.exe");
    }
    WriteHiveSeed(hive_dir, "many_subkeys", many);
  }
  {
    MemoryStore big;  // a value above what one plain cell holds on 1.4+ hives
    PutFullyDamaged(big);
    big.PutValue(kCurrentUser, kExplorer, "RestrictRun", kRegBinary, std::vector<std::uint8_t>(17000, 7));
    WriteHiveSeed(hive_dir, "big_value", big);
  }
  WriteHiveSeed(hive_dir, "dirty", damaged);
  SetSecondarySequence(hive_dir + "/dirty", 7);

  WriteRegSeed(reg_dir, "healthy5.reg", healthy, RegFormat::kVersion5);
  WriteRegSeed(reg_dir, "damaged5.reg", damaged, RegFormat::kVersion5);
  WriteRegSeed(reg_dir, "damaged4.reg", damaged, RegFormat::kRegedit4);
  WriteRegSeed(reg_dir, "demo5.reg", demo, RegFormat::kVersion5);
  WriteRegSeed(reg_dir, "demo4.reg", demo, RegFormat::kRegedit4);
  WriteRegSeed(reg_dir, "odd5.reg", odd, RegFormat::kVersion5);
  WriteRegSeed(reg_dir, "odd4.reg", odd, RegFormat::kRegedit4);
  {
    MemoryStore wrapped;  // hex data wrapped over several lines
    wrapped.PutValue(kLocalMachine, "SOFTWARE\\W", "blob", kRegBinary, std::vector<std::uint8_t>(90, 0xAB));
    wrapped.PutValue(kCurrentUser, "Software\\W", "multi", kRegMultiSz, {'a', 0, 'b', 0, 0});
    WriteRegSeed(reg_dir, "wrapped5.reg", wrapped, RegFormat::kVersion5);
    WriteRegSeed(reg_dir, "wrapped4.reg", wrapped, RegFormat::kRegedit4);
  }
  for (const auto& [name, text] : kRegTexts) WriteFile(reg_dir + "/" + name, text);
  return 0;
}
