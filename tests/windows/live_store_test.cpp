// The Win32 store against the real registry under Wine: registry links are
// never followed, locked keys are seen through, and names the ANSI code page
// cannot spell end a delete instead of spinning.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "registry/codepage.h"
#include "registry/key_tree.h"
#include "registry/live_store_win32.h"
#include "repair/catalogue.h"
#include "repair/engine.h"
#include "support/registry_seed.h"

namespace torvane::wintest {
namespace {

using registry::kLocalMachine;
using repair::HijackOutcome;
using repair::RepairOutcome;

const std::string kVictim = "SOFTWARE\\TorvaneVictimTree";

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// Makes HKLM\`path` a registry link to HKLM\`target` (paths as stored, in
// the 64-bit view).
bool CreateLink(const std::string& path, const std::string& target, DWORD options = REG_OPTION_VOLATILE,
                HKEY root = HKEY_LOCAL_MACHINE) {
  HKEY link = nullptr;
  if (RegCreateKeyExW(root, Wide(path).c_str(), 0, nullptr, REG_OPTION_CREATE_LINK | options,
                      KEY_ALL_ACCESS | KEY_CREATE_LINK | kView64, nullptr, &link, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const std::wstring where = L"\\Registry\\Machine\\" + Wide(target);
  const LONG rc = RegSetValueExW(link, L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(where.data()),
                                 static_cast<DWORD>(where.size() * sizeof(wchar_t)));
  RegCloseKey(link);
  return rc == ERROR_SUCCESS;
}

// Whether HKLM\`path` itself (not what it may point at) exists.
bool Exists(const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), REG_OPTION_OPEN_LINK, KEY_READ | kView64, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

class LiveStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Clean();
    PutString(HKEY_LOCAL_MACHINE, kVictim + "\\Child", "Data", "keep me");
    PutString(HKEY_LOCAL_MACHINE, std::string(kIfeo) + "\\notepad.exe", "Debugger", "");
  }
  void TearDown() override { Clean(); }
  // Removes what a test left, links as links.
  void Clean() {
    registry::ScopedKey ifeo(store);
    if (ifeo.Open(kLocalMachine, kIfeo, KEY_ALL_ACCESS) == ERROR_SUCCESS) {
      for (const char* name : {"IceSword.exe", "avp.exe", "KAV32.exe", "notepad.exe"}) {
        registry::DeleteKeyTree(store, ifeo.get(), name);
      }
    }
    registry::ScopedKey software(store);
    if (software.Open(kLocalMachine, "SOFTWARE", KEY_ALL_ACCESS) == ERROR_SUCCESS) {
      registry::DeleteKeyTree(store, software.get(), "TorvaneVictimTree");
      registry::DeleteKeyTree(store, software.get(), "TorvaneRestored");
    }
  }

  registry::LiveStore store;
  repair::RepairEngine engine{store};
};

TEST_F(LiveStoreTest, AListedLinkIsRemovedAsALinkAndItsTargetStays) {
  ASSERT_TRUE(CreateLink(std::string(kIfeo) + "\\IceSword.exe", kVictim));
  ASSERT_EQ(ReadValue(HKEY_LOCAL_MACHINE, std::string(kIfeo) + "\\IceSword.exe\\Child", "Data"),
            std::string("keep me", 8))
      << "Wine follows the link";
  EXPECT_EQ(engine.CheckImageHijack(), HijackOutcome::kHijacked);
  EXPECT_EQ(engine.ApplyRepair(3), RepairOutcome::kRepaired);
  EXPECT_FALSE(Exists(std::string(kIfeo) + "\\IceSword.exe"));
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kVictim + "\\Child", "Data"), std::string("keep me", 8));
  EXPECT_TRUE(Exists(std::string(kIfeo) + "\\notepad.exe"));
}

TEST_F(LiveStoreTest, ALinkBackToTheImageOptionsKeyRemovesNothingElse) {
  PutString(HKEY_LOCAL_MACHINE, std::string(kIfeo) + "\\avp.exe", "Debugger", "x.exe");
  ASSERT_TRUE(CreateLink(std::string(kIfeo) + "\\avp.exe\\Back", kIfeo));
  ASSERT_TRUE(CreateLink(std::string(kIfeo) + "\\KAV32.exe", kIfeo));
  EXPECT_EQ(engine.ApplyRepair(3), RepairOutcome::kRepaired);
  EXPECT_FALSE(Exists(std::string(kIfeo) + "\\avp.exe"));
  EXPECT_FALSE(Exists(std::string(kIfeo) + "\\KAV32.exe"));
  EXPECT_TRUE(Exists(std::string(kIfeo) + "\\notepad.exe"));
}

TEST_F(LiveStoreTest, DeletingALinkByNameLeavesTheKeyItPointsAt) {
  // advapi32's RegDeleteKeyA would delete the key the link points at, which
  // has no subkeys.
  registry::ScopedKey victim(store);
  ASSERT_EQ(victim.Open(kLocalMachine, kVictim, KEY_ALL_ACCESS), ERROR_SUCCESS);
  ASSERT_TRUE(CreateLink(kVictim + "\\Link", kVictim + "\\Child"));
  bool is_link = false;
  registry::ScopedKey link(store);
  ASSERT_EQ(link.Open(victim.get(), "Link", KEY_READ, registry::kOpenLink), ERROR_SUCCESS);
  EXPECT_EQ(store.RegQueryKeyIsLink(link.get(), &is_link), ERROR_SUCCESS);
  EXPECT_TRUE(is_link);
  link.Reset();
  EXPECT_EQ(store.RegDeleteKeyA(victim.get(), "Link"), ERROR_SUCCESS);
  EXPECT_FALSE(Exists(kVictim + "\\Link"));
  EXPECT_TRUE(Exists(kVictim + "\\Child"));
}

TEST_F(LiveStoreTest, ALockedImageOptionsKeyShowsItsHijackAndTheRepairFails) {
  PutString(HKEY_LOCAL_MACHINE, std::string(kIfeo) + "\\IceSword.exe", "Debugger", "svch0st.exe");
  {
    ValueWritesDenied locked(HKEY_LOCAL_MACHINE, kIfeo, DELETE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY);
    ASSERT_TRUE(locked.applied());
    EXPECT_EQ(engine.CheckImageHijack(), HijackOutcome::kHijacked);
    EXPECT_EQ(engine.ApplyRepair(3), RepairOutcome::kFailed);
  }
  EXPECT_TRUE(Exists(std::string(kIfeo) + "\\IceSword.exe"));
}

TEST_F(LiveStoreTest, ALockedPolicyKeyShowsItsValueAndTheRepairFails) {
  PutDword(HKEY_CURRENT_USER, kSystemPolicy, "DisableTaskMgr", 1);
  {
    ValueWritesDenied locked(HKEY_CURRENT_USER, kSystemPolicy, DELETE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY);
    ASSERT_TRUE(locked.applied());
    EXPECT_FALSE(engine.CheckItem(0));
    EXPECT_EQ(engine.ApplyRepair(0), RepairOutcome::kFailed);
  }
  EXPECT_TRUE(ReadValue(HKEY_CURRENT_USER, kSystemPolicy, "DisableTaskMgr"));
  EXPECT_EQ(engine.ApplyRepair(0), RepairOutcome::kRepaired);
}

struct CommandRun {
  DWORD code = 0xFFFFFFFF;
  std::string out, err;
};

std::string ReadWhole(const std::wstring& path) {
  std::string text;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return text;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  CloseHandle(file);
  return text;
}

// Runs the command line built beside this program, with its output in files.
CommandRun Torvane(const std::wstring& args) {
  wchar_t self[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring dir(self, length);
  dir.resize(dir.find_last_of(L"\\/") + 1);
  const std::wstring out_path = dir + L"torvane-live-out.txt", err_path = dir + L"torvane-live-err.txt";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE out = CreateFileW(out_path.c_str(), GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS, 0, nullptr);
  HANDLE err = CreateFileW(err_path.c_str(), GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS, 0, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = out;
  startup.hStdError = err;
  std::wstring command = L"\"" + dir + L"torvane.exe\" " + args;
  PROCESS_INFORMATION process{};
  CommandRun run;
  if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    WaitForSingleObject(process.hProcess, 120000);
    GetExitCodeProcess(process.hProcess, &run.code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(out);
  CloseHandle(err);
  run.out = ReadWhole(out_path);
  run.err = ReadWhole(err_path);
  DeleteFileW(out_path.c_str());
  DeleteFileW(err_path.c_str());
  return run;
}

// Names the code page cannot spell, characters outside the BMP and lone
// surrogates below a listed tool's subkey, or below a key a restore deletes,
// never keep it, protection settings beside them or not: the tree goes key
// by key by the wide names, the dry run saying the same as the run.
TEST_F(LiveStoreTest, NoNameBelowAListedSubkeyOrARestoredDeletionKeepsIt) {
  const std::wstring names[] = {L"a\u2603", L"b\U0001F600", std::wstring(L"c") + wchar_t(0xD800) + L"x"};
  const auto plant = [&](const std::string& parent) {
    for (const std::wstring& name : names) {
      HKEY key = nullptr;
      ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (Wide(parent) + L"\\" + name + L"\\Deep").c_str(), 0, nullptr, 0,
                                KEY_ALL_ACCESS | kView64, nullptr, &key, nullptr),
                ERROR_SUCCESS);
      RegCloseKey(key);
    }
  };
  const std::string tool = std::string(kIfeo) + "\\IceSword.exe";
  plant(tool);
  EXPECT_EQ(engine.ApplyRepair(3), RepairOutcome::kRepaired);
  EXPECT_FALSE(Exists(tool));
  plant("SOFTWARE\\TorvaneRestored");
  EXPECT_TRUE(store.DeleteTree(kLocalMachine, "SOFTWARE\\TorvaneRestored"));
  EXPECT_FALSE(Exists("SOFTWARE\\TorvaneRestored"));
  // The command line plans the same deletion it makes.
  plant(tool);
  const CommandRun dry = Torvane(L"repair 3 --dry-run");
  EXPECT_EQ(dry.code, 0u) << dry.out << dry.err;
  // One deletion, the listed subkey's, and nothing below it named.
  const std::size_t listed = dry.out.find("delete key HKEY_LOCAL_MACHINE\\" + tool);
  ASSERT_NE(listed, std::string::npos) << dry.out << dry.err;
  EXPECT_EQ(dry.out.find(tool + "\\"), std::string::npos) << dry.out;
  EXPECT_TRUE(Exists(tool));
  const CommandRun run = Torvane(L"repair 3");
  EXPECT_EQ(run.code, 0u) << run.out << run.err;
  EXPECT_FALSE(Exists(tool));
  // Beside exploit-protection settings, which a repair otherwise keeps, the
  // subkeys cannot go by name: the tree goes whole all the same.
  plant(tool);
  PutDword(HKEY_LOCAL_MACHINE, tool, "MitigationOptions", 0x100);
  EXPECT_EQ(engine.ApplyRepair(3), RepairOutcome::kRepaired);
  EXPECT_FALSE(Exists(tool));
}

// Windows looks an image's name up in Unicode: a subkey the code page would
// spell like a listed tool's through best fit is no hijack, alone or beside
// real ones.
TEST_F(LiveStoreTest, ASubkeyThatOnlyLooksListedThroughBestFitIsNoHijack) {
  const std::wstring look_alike = Wide(kIfeo) + L"\\360Saf\u00F0.exe";
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, look_alike.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | kView64, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(key, L"Debugger", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"x.exe"), 12);
  RegCloseKey(key);
  EXPECT_TRUE(engine.CheckItem(3)) << "alone: healthy, not undetermined";
  EXPECT_EQ(engine.Unread(3), "");
  PutString(HKEY_LOCAL_MACHINE, std::string(kIfeo) + "\\IceSword.exe", "Debugger", "svch0st.exe");
  EXPECT_FALSE(engine.CheckItem(3));
  EXPECT_EQ(engine.ApplyRepair(3), RepairOutcome::kRepaired);
  EXPECT_FALSE(Exists(std::string(kIfeo) + "\\IceSword.exe"));
  HKEY kept = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, look_alike.c_str(), 0, KEY_READ | kView64, &kept), ERROR_SUCCESS);
  RegCloseKey(kept);
  EXPECT_EQ(RegDeleteKeyExW(HKEY_LOCAL_MACHINE, look_alike.c_str(), kView64, 0), ERROR_SUCCESS);
}

TEST_F(LiveStoreTest, TheDryRunShowsALinkAsALinkAndNothingBehindIt) {
  ASSERT_TRUE(CreateLink(std::string(kIfeo) + "\\IceSword.exe", kVictim));
  const CommandRun run = Torvane(L"repair 3 --dry-run");
  EXPECT_EQ(run.code, 0u) << run.out << run.err;
  EXPECT_NE(run.out.find("delete link HKEY_LOCAL_MACHINE\\" + std::string(kIfeo) + "\\IceSword.exe"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.find("Child"), std::string::npos) << run.out;
  EXPECT_TRUE(Exists(std::string(kIfeo) + "\\IceSword.exe"));
}

TEST_F(LiveStoreTest, TheCommandLineNamesTheKeyThatRefusedAndReportsTheItemFailed) {
  PutString(HKEY_LOCAL_MACHINE, std::string(kIfeo) + "\\IceSword.exe", "Debugger", "svch0st.exe");
  ValueWritesDenied locked(HKEY_LOCAL_MACHINE, kIfeo, DELETE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY);
  ASSERT_TRUE(locked.applied());
  const CommandRun scan = Torvane(L"scan --json");
  EXPECT_EQ(scan.code, 1u) << scan.out << scan.err;
  EXPECT_NE(scan.out.find("{\"index\": 3, "), std::string::npos) << scan.out;
  EXPECT_NE(scan.out.find("\"state\": \"damaged\"", scan.out.find("{\"index\": 3, ")), std::string::npos) << scan.out;
  const CommandRun repair = Torvane(L"repair 3 --json");
  EXPECT_EQ(repair.code, 1u) << repair.out << repair.err;
  EXPECT_NE(repair.out.find("\"failed\": [{\"profile\": null, \"index\": 3, "), std::string::npos) << repair.out;
  EXPECT_NE(repair.err.find("HKEY_LOCAL_MACHINE\\" + std::string(kIfeo) + ": access denied (KEY_ALL_ACCESS)"),
            std::string::npos)
      << repair.err;
}

// An ordinary key that merely holds a REG_LINK value named SymbolicLinkValue
// is no link: it is read and mended as the key it is, never taken for what
// the value names, and a hijack key dressed so goes like any other.
TEST_F(LiveStoreTest, AValueNamedSymbolicLinkValueMakesNoLink) {
  const auto fake = [](HKEY root, const std::string& path, const std::wstring& target) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | kView64, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(target.data()),
                   static_cast<DWORD>(target.size() * sizeof(wchar_t)));
    RegCloseKey(key);
  };
  PutDword(HKEY_CURRENT_USER, kSystemPolicy, "DisableTaskMgr", 1);
  fake(HKEY_CURRENT_USER, kSystemPolicy, L"\\Registry\\Machine\\SOFTWARE\\TorvaneHealthy");
  const std::string tool = std::string(kIfeo) + "\\IceSword.exe";
  PutString(HKEY_LOCAL_MACHINE, tool + "\\sub", "Note", "x");
  PutString(HKEY_LOCAL_MACHINE, tool, "Debugger", "C:\\evil.exe");
  fake(HKEY_LOCAL_MACHINE, tool, L"\\Registry\\Machine\\SOFTWARE\\Nowhere");

  const CommandRun scan = Torvane(L"scan --json");
  EXPECT_NE(scan.out.find("\"index\": 0, \"group\": \"system\", \"name\": \"" +
                          registry::GbkToUtf8(repair::Item(0).name) + "\", \"state\": \"damaged\""),
            std::string::npos)
      << scan.out;
  const CommandRun dry = Torvane(L"repair 0 3 --dry-run");
  EXPECT_NE(dry.out.find("delete key HKEY_LOCAL_MACHINE\\" + tool), std::string::npos) << dry.out;
  const CommandRun repair = Torvane(L"repair 0 3 --json");
  EXPECT_NE(repair.out.find("\"repaired\": [{\"profile\": null, \"index\": 0, "), std::string::npos) << repair.out;
  EXPECT_NE(repair.out.find("{\"profile\": null, \"index\": 3, "), std::string::npos) << repair.out;
  EXPECT_EQ(repair.out.find("\"failed\": [{"), std::string::npos) << repair.out << repair.err;
  EXPECT_FALSE(ReadValue(HKEY_CURRENT_USER, kSystemPolicy, "DisableTaskMgr"));
  EXPECT_FALSE(Exists(tool));
  DeleteTree(HKEY_CURRENT_USER, kSystemPolicy);
}

// A listed tool's exploit-protection settings are the system's own: they
// stay, and only what else the subkey holds goes.
TEST_F(LiveStoreTest, ProtectionSettingsOfAListedToolStayAndADebuggerBesideThemGoes) {
  const std::string tool = std::string(kIfeo) + "\\IceSword.exe";
  PutDword(HKEY_LOCAL_MACHINE, tool, "MitigationOptions", 0x100);
  PutString(HKEY_LOCAL_MACHINE, tool + "\\0", "FilterFullPath", "C:\\Tools\\IceSword.exe");
  PutDword(HKEY_LOCAL_MACHINE, tool, "UseFilter", 1);
  const auto state = [](const std::string& json) {
    const std::size_t item = json.find("{\"index\": 3, ");
    const std::size_t at = json.find("\"state\": \"", item);
    return item == std::string::npos || at == std::string::npos ? std::string()
                                                                 : json.substr(at + 10, json.find('"', at + 10) - at - 10);
  };
  const CommandRun healthy = Torvane(L"scan --json");
  EXPECT_EQ(state(healthy.out), "healthy") << healthy.out << healthy.err;
  PutString(HKEY_LOCAL_MACHINE, tool, "Debugger", "svch0st.exe");
  const CommandRun damaged = Torvane(L"scan --json");
  EXPECT_EQ(state(damaged.out), "damaged") << damaged.out;
  const CommandRun repair = Torvane(L"repair 3 --json");
  EXPECT_EQ(repair.code, 0u) << repair.out << repair.err;
  EXPECT_NE(repair.out.find("\"repaired\": [{\"profile\": null, \"index\": 3, "), std::string::npos) << repair.out;
  EXPECT_FALSE(ReadValue(HKEY_LOCAL_MACHINE, tool, "Debugger"));
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, tool, "MitigationOptions"), std::string("\0\1\0\0", 4));
  EXPECT_TRUE(ReadValue(HKEY_LOCAL_MACHINE, tool + "\\0", "FilterFullPath"));
  DeleteTree(HKEY_LOCAL_MACHINE, tool);
}

// ---------------------------------------------------------------- both views

const std::string kIfeo32 = "SOFTWARE\\Wow6432Node\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options";

std::string ViewsOf(repair::RepairEngine& engine, int index) {
  std::string text;
  for (repair::ViewState state : engine.CheckViews(index)) {
    text += state == repair::ViewState::kHealthy ? 'h' : state == repair::ViewState::kDamaged ? 'd' : '-';
  }
  return text;
}

// Passes every operation on and counts the keys deleted.
class CountingStore final : public registry::RegistryStore {
 public:
  explicit CountingStore(registry::RegistryStore& inner) : inner_(inner) {}
  long RegOpenKeyExA(registry::HKey root, const std::string& path, std::uint32_t options, std::uint32_t access,
                     registry::HKey* result) override {
    return inner_.RegOpenKeyExA(root, path, options, access, result);
  }
  long RegQueryValueExA(registry::HKey key, const std::string& name, std::uint32_t* type, std::uint8_t* data,
                        std::uint32_t* size) override {
    return inner_.RegQueryValueExA(key, name, type, data, size);
  }
  long RegSetValueExA(registry::HKey key, const std::string& name, std::uint32_t reserved, std::uint32_t type,
                      const std::uint8_t* data, std::uint32_t size) override {
    return inner_.RegSetValueExA(key, name, reserved, type, data, size);
  }
  long RegDeleteValueA(registry::HKey key, const std::string& name) override {
    return inner_.RegDeleteValueA(key, name);
  }
  long RegEnumValueA(registry::HKey key, std::uint32_t index, char* name, std::uint32_t capacity) override {
    return inner_.RegEnumValueA(key, index, name, capacity);
  }
  long RegEnumKeyA(registry::HKey key, std::uint32_t index, char* name, std::uint32_t capacity) override {
    return inner_.RegEnumKeyA(key, index, name, capacity);
  }
  long RegDeleteKeyA(registry::HKey key, const std::string& subkey) override {
    ++deleted;
    return inner_.RegDeleteKeyA(key, subkey);
  }
  long RegCloseKey(registry::HKey key) override { return inner_.RegCloseKey(key); }
  long RegQueryKeyIsLink(registry::HKey key, bool* is_link) override { return inner_.RegQueryKeyIsLink(key, is_link); }
  bool HasView32() const override { return inner_.HasView32(); }
  int deleted = 0;

 private:
  registry::RegistryStore& inner_;
};

bool IsLink(registry::RegistryStore& store, const std::string& path) {
  registry::ScopedKey key(store);
  bool is_link = false;
  return key.Open(kLocalMachine, path, KEY_READ, registry::kOpenLink) == ERROR_SUCCESS &&
         store.RegQueryKeyIsLink(key.get(), &is_link) == ERROR_SUCCESS && is_link;
}

TEST_F(LiveStoreTest, BothBuildsSeeTwoViewsOnSixtyFourBitWine) {
  EXPECT_TRUE(store.HasView32());
  EXPECT_EQ(engine.ViewsPresent(), 2);
}

TEST_F(LiveStoreTest, AppInitDllsPlacedInEitherViewIsFoundAndMendedInThatViewOnly) {
  for (REGSAM placed : {kView32, kView64}) {
    const REGSAM other = placed == kView32 ? kView64 : kView32;
    const std::string where = placed == kView32 ? "KEY_WOW64_32KEY" : "KEY_WOW64_64KEY";
    PutString(HKEY_LOCAL_MACHINE, kWindows, "AppInit_DLLs", "", other);
    PutString(HKEY_LOCAL_MACHINE, kWindows, "AppInit_DLLs", "C:\\evil.dll", placed);
    EXPECT_FALSE(engine.CheckItem(13)) << where;
    EXPECT_EQ(ViewsOf(engine, 13), placed == kView32 ? "hd" : "dh") << where;
    EXPECT_EQ(engine.ApplyRepair(13), RepairOutcome::kRepaired) << where;
    EXPECT_EQ(ViewsOf(engine, 13), "hh") << where;
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kWindows, "AppInit_DLLs", placed), std::string(1, '\0')) << where;
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kWindows, "AppInit_DLLs", other), std::string(1, '\0')) << where;
  }
}

TEST_F(LiveStoreTest, TheCommandLineSaysWhichViewIsDamaged) {
  PutString(HKEY_LOCAL_MACHINE, kWinlogon, "Shell", "Explorer.exe evil.exe", kView32);
  const CommandRun scan = Torvane(L"scan --json");
  const auto item = scan.out.find("{\"index\": 12, ");
  ASSERT_NE(item, std::string::npos) << scan.out;
  EXPECT_EQ(scan.out.find("\"views\": {\"64\": \"healthy\", \"32\": \"damaged\"}", item),
            scan.out.find("\"views\"", item))
      << scan.out;
  const CommandRun repair = Torvane(L"repair 12 --json");
  EXPECT_EQ(repair.code, 0u) << repair.out << repair.err;
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kWinlogon, "Shell", kView32), std::string("Explorer.exe", 13));
}

// Where Windows reads the update policy: switched off is damage, mended
// there; switched on is left alone.
TEST_F(LiveStoreTest, AutomaticUpdatesSwitchedOffWhereWindowsReadsThePolicyIsFoundAndMended) {
  const std::string policy = "SOFTWARE\\Policies\\Microsoft\\Windows\\WindowsUpdate\\AU";
  PutDword(HKEY_LOCAL_MACHINE, policy, "NoAutoUpdate", 1);
  EXPECT_FALSE(engine.CheckItem(8));
  EXPECT_EQ(engine.ApplyRepair(8), RepairOutcome::kRepaired);
  EXPECT_FALSE(ReadValue(HKEY_LOCAL_MACHINE, policy, "NoAutoUpdate"));
  PutDword(HKEY_LOCAL_MACHINE, policy, "NoAutoUpdate", 0);
  EXPECT_TRUE(engine.CheckItem(8));
  EXPECT_TRUE(ReadValue(HKEY_LOCAL_MACHINE, policy, "NoAutoUpdate"));
  DeleteTree(HKEY_LOCAL_MACHINE, policy);
}

TEST_F(LiveStoreTest, TheStockLinkedImageOptionsKeyIsMendedOnceAndStaysALink) {
  // Wine, as Windows, shows the 64-bit key in the 32-bit view through a link.
  ASSERT_TRUE(IsLink(store, kIfeo32)) << "the prefix has no linked 32-bit image options key";
  PutString(HKEY_LOCAL_MACHINE, std::string(kIfeo) + "\\avp.exe", "Debugger", "svch0st.exe", kView32);
  ASSERT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, std::string(kIfeo) + "\\avp.exe", kView64)) << "placed through the link";
  CountingStore counting(store);
  repair::RepairEngine counted(counting);
  EXPECT_EQ(ViewsOf(counted, 3), "dd");
  EXPECT_EQ(counted.ApplyRepair(3), RepairOutcome::kRepaired);
  EXPECT_EQ(counting.deleted, 1) << "one repair";
  EXPECT_EQ(ViewsOf(counted, 3), "hh");
  EXPECT_TRUE(IsLink(store, kIfeo32));
  EXPECT_TRUE(Exists(std::string(kIfeo) + "\\notepad.exe"));
}

TEST_F(LiveStoreTest, ASeparateThirtyTwoBitImageOptionsKeyIsMendedOnItsOwn) {
  // A 32-bit copy of its own in place of the link, put back afterwards.
  {
    registry::ScopedKey parent(store);
    ASSERT_EQ(parent.Open(kLocalMachine, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                          KEY_ALL_ACCESS | registry::kView32),
              ERROR_SUCCESS);
    ASSERT_EQ(store.RegDeleteKeyA(parent.get(), "Image File Execution Options"), ERROR_SUCCESS);
  }
  PutString(HKEY_LOCAL_MACHINE, std::string(kIfeo) + "\\avp.exe", "Debugger", "svch0st.exe", kView32);
  PutString(HKEY_LOCAL_MACHINE, std::string(kIfeo) + "\\winword.exe", "Debugger", "", kView32);
  EXPECT_FALSE(IsLink(store, kIfeo32));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::string(kIfeo) + "\\avp.exe", kView64));
  EXPECT_EQ(ViewsOf(engine, 3), "hd");
  EXPECT_EQ(engine.ApplyRepair(3), RepairOutcome::kRepaired);
  EXPECT_EQ(ViewsOf(engine, 3), "hh");
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::string(kIfeo) + "\\avp.exe", kView32));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, std::string(kIfeo) + "\\winword.exe", kView32));
  EXPECT_TRUE(Exists(std::string(kIfeo) + "\\notepad.exe"));

  registry::ScopedKey parent(store);
  ASSERT_EQ(parent.Open(kLocalMachine, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                        KEY_ALL_ACCESS | registry::kView32),
            ERROR_SUCCESS);
  EXPECT_EQ(registry::DeleteKeyTree(store, parent.get(), "Image File Execution Options"), ERROR_SUCCESS);
  EXPECT_TRUE(CreateLink(kIfeo32, kIfeo, 0));
  EXPECT_TRUE(IsLink(store, kIfeo32));
}

// ------------------------------------------------------------------ links

// Removes the key at `path` below `root` as it stands, a link as a link.
void RemoveKey(HKEY root, const std::string& path) {
  const auto slash = path.rfind('\\');
  HKEY parent = nullptr;
  if (RegOpenKeyExA(root, path.substr(0, slash).c_str(), 0, KEY_ALL_ACCESS | kView64, &parent) != ERROR_SUCCESS) return;
  registry::LiveStore remover;
  registry::DeleteKeyTree(remover, reinterpret_cast<registry::HKey>(parent), path.substr(slash + 1));
  RegCloseKey(parent);
}

struct LinkedPlace {
  const char* what;
  HKEY root;
  std::string link;  // as stored, 64-bit view
  std::vector<int> items;
};

TEST_F(LiveStoreTest, ALinkOnAnyPlacesPathIsNeverReadOrWrittenThrough) {
  const std::string kCurrentVersion = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
  const LinkedPlace kPlaces[] = {
      {"the prefix key", HKEY_LOCAL_MACHINE, kDefaultPrefix, {21}},
      {"Winlogon", HKEY_LOCAL_MACHINE, kWinlogon, {10, 12}},
      {"a key above the places", HKEY_LOCAL_MACHINE, kCurrentVersion + "\\URL", {21, 22}},
      {"Winlogon in the 32-bit view", HKEY_LOCAL_MACHINE,
       "SOFTWARE\\Wow6432Node\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", {12}},
      {"the user's policies into HKLM", HKEY_CURRENT_USER, kExplorerPolicy, {4, 6, 11}},
  };
  for (const LinkedPlace& place : kPlaces) {
    // What the link points at looks damaged to every item.
    PutString(HKEY_LOCAL_MACHINE, kVictim, "", "C:\\x.exe \"%1\"");
    PutString(HKEY_LOCAL_MACHINE, kVictim, "Shell", "victim.exe");
    PutString(HKEY_LOCAL_MACHINE, kVictim, "Userinit", "victim.exe");
    PutString(HKEY_LOCAL_MACHINE, kVictim + "\\DefaultPrefix", "", "victim://");
    PutString(HKEY_LOCAL_MACHINE, kVictim + "\\Prefixes", "ftp", "victim://");
    for (const char* name : {"NoRun", "NoClose", "RestrictRun"}) PutDword(HKEY_LOCAL_MACHINE, kVictim, name, 1);
    RemoveKey(place.root, place.link);
    ASSERT_TRUE(CreateLink(place.link, kVictim, REG_OPTION_VOLATILE, place.root)) << place.what;
    for (int item : place.items) {
      EXPECT_FALSE(engine.CheckItem(item)) << place.what << ", item " << item;
      EXPECT_EQ(engine.ApplyRepair(item), RepairOutcome::kFailed) << place.what << ", item " << item;
      EXPECT_NE(store.RefusedLink().find(" is a registry link to \\Registry\\Machine\\" + kVictim), std::string::npos)
          << place.what << ": " << store.RefusedLink();
    }
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kVictim, ""), std::string("C:\\x.exe \"%1\"", 14)) << place.what;
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kVictim, "Shell"), std::string("victim.exe", 11)) << place.what;
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kVictim, "Userinit"), std::string("victim.exe", 11)) << place.what;
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kVictim + "\\DefaultPrefix", ""), std::string("victim://", 10))
        << place.what;
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kVictim + "\\Prefixes", "ftp"), std::string("victim://", 10))
        << place.what;
    for (const char* name : {"NoRun", "NoClose", "RestrictRun"}) {
      EXPECT_TRUE(ReadValue(HKEY_LOCAL_MACHINE, kVictim, name)) << place.what << ", " << name;
    }
    RemoveKey(place.root, place.link);
    MakeAllHealthy();
  }
}

// The store keeps the keys on the way to the places it walked, and walks
// afresh to a key deleted and made again, or swapped for a link, since.
TEST_F(LiveStoreTest, AKeyOnTheWayThatWentAndCameBackIsWalkedToAfresh) {
  const std::string place = kVictim + "\\Child\\Deeper";
  const auto read = [&] {
    registry::ScopedKey key(store);
    if (key.Open(kLocalMachine, place, KEY_READ) != ERROR_SUCCESS) return std::string("<no key>");
    std::uint8_t data[64] = {};
    std::uint32_t type = 0, size = sizeof data;
    if (store.RegQueryValueExA(key.get(), "Data", &type, data, &size) != ERROR_SUCCESS) return std::string("<no value>");
    return std::string(reinterpret_cast<const char*>(data), size);
  };
  PutString(HKEY_LOCAL_MACHINE, place, "Data", "first");
  ASSERT_EQ(read(), std::string("first", 6));
  RemoveKey(HKEY_LOCAL_MACHINE, kVictim + "\\Child");
  PutString(HKEY_LOCAL_MACHINE, place, "Data", "second");
  EXPECT_EQ(read(), std::string("second", 7));
  RemoveKey(HKEY_LOCAL_MACHINE, kVictim + "\\Child");
  PutString(HKEY_LOCAL_MACHINE, "SOFTWARE\\TorvaneRestored\\Deeper", "Data", "behind a link");
  ASSERT_TRUE(CreateLink(kVictim + "\\Child", "SOFTWARE\\TorvaneRestored"));
  EXPECT_EQ(read(), "<no key>");
  EXPECT_NE(store.RefusedLink().find(kVictim + "\\Child is a registry link"), std::string::npos) << store.RefusedLink();
}

// ----------------------------------------------------------- unread places

struct UnreadPlace {
  const char* what;
  HKEY root;
  const char* path;
  int item;
  std::string json_key;  // as the report's JSON names it
};

std::string JsonEscaped(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return out;
}

TEST_F(LiveStoreTest, AKeyThatRefusesReadingIsUndeterminedScanExitsOneAndItsRepairFails) {
  PutDword(HKEY_CURRENT_USER, kSystemPolicy, "DisableTaskMgr", 1);
  PutString(HKEY_LOCAL_MACHINE, kWindows, "AppInit_DLLs", "C:\\evil.dll");
  PutString(HKEY_LOCAL_MACHINE, std::string(kIfeo) + "\\IceSword.exe", "Debugger", "svch0st.exe");
  const UnreadPlace kPlaces[] = {
      {"a user item", HKEY_CURRENT_USER, kSystemPolicy, 0, JsonEscaped("HKEY_CURRENT_USER\\" + std::string(kSystemPolicy))},
      {"a machine item", HKEY_LOCAL_MACHINE, kWindows, 13, JsonEscaped("HKEY_LOCAL_MACHINE\\" + std::string(kWindows))},
      {"the image options", HKEY_LOCAL_MACHINE, kIfeo, 3, JsonEscaped("HKEY_LOCAL_MACHINE\\" + std::string(kIfeo))},
  };
  for (const UnreadPlace& place : kPlaces) {
    ValueWritesDenied unreadable(place.root, place.path, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_READ);
    ASSERT_TRUE(unreadable.applied()) << place.what;
    const CommandRun scan = Torvane(L"scan --json");
    EXPECT_EQ(scan.code, 1u) << place.what << scan.out << scan.err;
    const auto item = scan.out.find("{\"index\": " + std::to_string(place.item) + ", ");
    ASSERT_NE(item, std::string::npos) << scan.out;
    const std::string entry = scan.out.substr(item, scan.out.find('}', scan.out.find("\"state\"", item)) - item);
    EXPECT_NE(entry.find("\"state\": \"undetermined\""), std::string::npos) << place.what << ": " << entry;
    EXPECT_NE(scan.out.find("\"unread\": \"" + place.json_key, item), std::string::npos) << place.what << scan.out;
    EXPECT_NE(scan.out.find(": access denied\"", item), std::string::npos) << place.what << scan.out;
    const CommandRun repair = Torvane(L"repair " + std::to_wstring(place.item) + L" --json");
    EXPECT_EQ(repair.code, 1u) << place.what << repair.out << repair.err;
    EXPECT_NE(repair.out.find("\"repaired\": []"), std::string::npos) << place.what << repair.out;
  }
  EXPECT_TRUE(ReadValue(HKEY_CURRENT_USER, kSystemPolicy, "DisableTaskMgr"));
  EXPECT_TRUE(Exists(std::string(kIfeo) + "\\IceSword.exe"));
}

void PutWide(HKEY root, const std::string& path, const wchar_t* name, const std::wstring& text) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(root, Wide(path).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | kView64, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                 static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

TEST_F(LiveStoreTest, ALookAlikeLetterInAFileNameIsDamage) {
  const std::wstring userinit = Wide(engine.system_directory()) + L"\\us\u00F0rinit.exe,";
  const struct {
    const wchar_t* name;
    std::wstring text;
    int item;
  } kLookAlikes[] = {
      {L"Shell", L"Explor\u00F0r.exe", 12},  // ð, which code page 936 fits to e
      {L"Shell", L"\u00AA\u00BA\u00FE\u00FD", 12},
      {L"Userinit", userinit, 10},
  };
  for (const auto& look_alike : kLookAlikes) {
    PutWide(HKEY_LOCAL_MACHINE, kWinlogon, look_alike.name, look_alike.text);
    EXPECT_FALSE(engine.CheckItem(look_alike.item)) << look_alike.item;
    EXPECT_EQ(engine.ApplyRepair(look_alike.item), RepairOutcome::kRepaired) << look_alike.item;
    EXPECT_TRUE(engine.CheckItem(look_alike.item)) << look_alike.item;
  }
}

TEST_F(LiveStoreTest, AValueWrittenBackAtOnceIsReportedFailedNotRepaired) {
  CommandRun json, text;
  {
    RewrittenAtOnce malware(kExplorerPolicy, "NoRun");
    ASSERT_TRUE(malware.Watch());
    json = Torvane(L"repair 4 --json");
    text = Torvane(L"repair 4");
  }
  EXPECT_EQ(json.code, 1u) << json.out << json.err;
  EXPECT_NE(json.out.find("\"repaired\": [], \"failed\": [{\"profile\": null, \"index\": 4, "), std::string::npos)
      << json.out;
  EXPECT_EQ(text.code, 1u) << text.out << text.err;
  // The report's headers as the command line prints them (UTF-8).
  const std::string repaired_header = "\xe4\xbb\xa5\xe4\xb8\x8b\xe9\xa1\xb9\xe8\xa2\xab\xe4\xbf\xae\xe5\xa4\x8d", failed_header = "\xe4\xbb\xa5\xe4\xb8\x8b\xe9\xa1\xb9\xe4\xbf\xae\xe5\xa4\x8d\xe5\xa4\xb1\xe8\xb4\xa5";
  EXPECT_EQ(text.out.find(repaired_header), std::string::npos) << text.out;
  EXPECT_NE(text.out.find(failed_header), std::string::npos) << text.out;
}

TEST_F(LiveStoreTest, ARestoreWhoseKeyWasSwappedForALinkIsRefusedWholeAndChangesNothing) {
  wchar_t self[MAX_PATH];
  std::wstring backup(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
  backup.resize(backup.find_last_of(L"\\/") + 1);
  backup += L"torvane-swapped-link.reg";
  const struct {
    const char* what;
    HKEY root;
    std::string key;
    int item;
  } kSwapped[] = {
      {"a listed hijack key", HKEY_LOCAL_MACHINE, std::string(kIfeo) + "\\IceSword.exe", 3},
      {"the user's policy key", HKEY_CURRENT_USER, kSystemPolicy, 0},
  };
  for (const auto& swapped : kSwapped) {
    PutString(HKEY_LOCAL_MACHINE, std::string(kIfeo) + "\\IceSword.exe", "Debugger", "svch0st.exe");
    PutDword(HKEY_CURRENT_USER, kSystemPolicy, "DisableTaskMgr", 1);
    DeleteFileW(backup.c_str());
    const CommandRun repair = Torvane(L"repair " + std::to_wstring(swapped.item) + L" --backup \"" + backup + L"\"");
    ASSERT_EQ(repair.code, 0u) << swapped.what << repair.out << repair.err;
    // What the link points at stands for a service's key.
    PutString(HKEY_LOCAL_MACHINE, kVictim, "ImagePath", "C:\\service.exe");
    PutDword(HKEY_LOCAL_MACHINE, kVictim, "Start", 3);
    RemoveKey(swapped.root, swapped.key);
    ASSERT_TRUE(CreateLink(swapped.key, kVictim, REG_OPTION_VOLATILE, swapped.root)) << swapped.what;
    const CommandRun restore = Torvane(L"restore \"" + backup + L"\"");
    EXPECT_EQ(restore.code, 2u) << swapped.what << restore.out << restore.err;
    EXPECT_NE(restore.err.find("is a registry link to \\Registry\\Machine\\" + kVictim), std::string::npos)
        << swapped.what << restore.err;
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kVictim, "ImagePath"), std::string("C:\\service.exe", 15)) << swapped.what;
    const DWORD three = 3;
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kVictim, "Start"), std::string(reinterpret_cast<const char*>(&three), 4))
        << swapped.what;
    EXPECT_FALSE(ReadValue(HKEY_LOCAL_MACHINE, kVictim, "Debugger")) << swapped.what;
    EXPECT_FALSE(ReadValue(HKEY_LOCAL_MACHINE, kVictim, "DisableTaskMgr")) << swapped.what;
    RemoveKey(swapped.root, swapped.key);
  }
  DeleteFileW(backup.c_str());
  DeleteTree(HKEY_CURRENT_USER, kSystemPolicy);
}

// The SHOWALL key deleted from the live registry: the dry run lists its
// making, the repair makes it with Windows' own values, and the backup's
// restore deletes it again.
TEST_F(LiveStoreTest, AMissingShowAllKeyIsMadeAgainAndItsRestoreDeletesIt) {
  wchar_t self[MAX_PATH];
  std::wstring backup(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
  backup.resize(backup.find_last_of(L"\\/") + 1);
  backup += L"torvane-showall.reg";
  DeleteFileW(backup.c_str());
  DeleteTree(HKEY_LOCAL_MACHINE, kShowAll);
  ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kShowAll));
  const CommandRun dry = Torvane(L"repair 9 --dry-run");
  EXPECT_EQ(dry.code, 0u) << dry.out << dry.err;
  EXPECT_NE(dry.out.find("  create key HKEY_LOCAL_MACHINE\\" + std::string(kShowAll)), std::string::npos) << dry.out;
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kShowAll)) << "the dry run made nothing";
  const CommandRun repair = Torvane(L"repair 9 --backup \"" + backup + L"\"");
  ASSERT_EQ(repair.code, 0u) << repair.out << repair.err;
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kShowAll, "CheckedValue"), std::string("\1\0\0\0", 4));
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kShowAll, "RegPath"),
            std::string("Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced") + '\0');
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kShowAll, "DefaultValue"), std::string("\2\0\0\0", 4));
  const CommandRun restore = Torvane(L"restore \"" + backup + L"\"");
  EXPECT_EQ(restore.code, 0u) << restore.out << restore.err;
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kShowAll)) << "the restore deleted the key it made";
  DeleteFileW(backup.c_str());
  PutDword(HKEY_LOCAL_MACHINE, kShowAll, "CheckedValue", 1);
}

TEST_F(LiveStoreTest, ABackupOfASeventeenMegabyteValueIsRestoredByItsOwnRestore) {
  wchar_t self[MAX_PATH];
  std::wstring backup(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
  backup.resize(backup.find_last_of(L"\\/") + 1);
  backup += L"torvane-big-value.reg";
  DeleteFileW(backup.c_str());
  const std::string kIeMain = "Software\\Microsoft\\Internet Explorer\\Main";
  std::string title(17 << 20, 'T');
  title[12345] = 'x';
  PutString(HKEY_CURRENT_USER, kIeMain, "Window title", title);
  PutDword(HKEY_CURRENT_USER, kSystemPolicy, "DisableTaskMgr", 1);
  const CommandRun repair = Torvane(L"repair 0 20 --backup \"" + backup + L"\"");
  ASSERT_EQ(repair.code, 0u) << repair.out << repair.err;
  ASSERT_FALSE(ReadValue(HKEY_CURRENT_USER, kIeMain, "Window title"));
  const CommandRun restore = Torvane(L"restore \"" + backup + L"\"");
  EXPECT_EQ(restore.code, 0u) << restore.out << restore.err;
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, kIeMain, "Window title"), title + '\0');
  EXPECT_TRUE(ReadValue(HKEY_CURRENT_USER, kSystemPolicy, "DisableTaskMgr"));
  DeleteFileW(backup.c_str());
  DeleteTree(HKEY_CURRENT_USER, kSystemPolicy);
  HKEY main = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kIeMain.c_str(), 0, KEY_SET_VALUE, &main) == ERROR_SUCCESS) {
    RegDeleteValueA(main, "Window title");
    RegCloseKey(main);
  }
}

}  // namespace
}  // namespace torvane::wintest
