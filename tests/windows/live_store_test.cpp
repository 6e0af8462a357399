// The Win32 store against the real registry under Wine: registry links are
// never followed, locked keys are seen through, and names the ANSI code page
// cannot spell end a delete instead of spinning.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "registry/key_tree.h"
#include "registry/live_store_win32.h"
#include "repair/engine.h"
#include "support/registry_seed.h"

namespace torvane::wintest {
namespace {

using registry::kLocalMachine;
using repair::HijackOutcome;
using repair::RepairOutcome;

const std::string kVictim = "SOFTWARE\\TorvaneVictimTree";

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// Makes HKLM\`path` a registry link to HKLM\`target`.
bool CreateLink(const std::string& path, const std::string& target) {
  HKEY link = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(path).c_str(), 0, nullptr, REG_OPTION_CREATE_LINK | REG_OPTION_VOLATILE,
                      KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, &link, nullptr) != ERROR_SUCCESS) {
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
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), REG_OPTION_OPEN_LINK, KEY_READ, &key) != ERROR_SUCCESS) {
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

TEST_F(LiveStoreTest, ANameOutsideGbkEndsTheDeleteOfAListedSubkeyAndOfARestoredDeletion) {
  for (const std::string& parent : {std::string(kIfeo) + "\\IceSword.exe", std::string("SOFTWARE\\TorvaneRestored")}) {
    HKEY key = nullptr;
    const std::wstring name = Wide(parent) + L"\\a\u2603";  // a snowman: no GBK character
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  EXPECT_EQ(engine.ApplyRepair(3), RepairOutcome::kFailed);
  EXPECT_TRUE(Exists(std::string(kIfeo) + "\\IceSword.exe"));
  EXPECT_FALSE(store.DeleteTree(kLocalMachine, "SOFTWARE\\TorvaneRestored"));
  EXPECT_TRUE(Exists("SOFTWARE\\TorvaneRestored"));
  // Cleaning up by the wide name.
  for (const std::string& parent : {std::string(kIfeo) + "\\IceSword.exe", std::string("SOFTWARE\\TorvaneRestored")}) {
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, (Wide(parent) + L"\\a\u2603").c_str()), ERROR_SUCCESS);
  }
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

}  // namespace
}  // namespace torvane::wintest
