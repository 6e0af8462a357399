// The main dialog in this process, over a registry in memory.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <commctrl.h>
#include <cstdio>
#include <string>
#include <thread>

#include "registry/demo.h"
#include "registry/group_policy.h"
#include "registry/memory_store.h"
#include "registry/preg.h"
#include "registry/reg_file.h"
#include "repair/catalogue.h"
#include "repair/run.h"
#include "support/driver.h"
#include "ui/quillmere_dlg.h"

namespace torvane::ui {
namespace {

constexpr const char* kTitle = "Torvane系统修复助手V1.0";

// Runs the dialog modally while `inspect` looks at it from another thread,
// then closes it with Esc's command.
void RunDialog(registry::MemoryStore& store, const std::function<void(HWND)>& inspect,
               const std::function<void(CQuillmereDlg&)>& configure = {}) {
  registry::MemoryTarget target(store);
  CQuillmereDlg dialog(store, target);
  if (configure) configure(dialog);
  std::thread watcher([&] {
    HWND window = nullptr;
    const bool found = wintest::WaitUntil([&] {
      window = FindWindowA("#32770", kTitle);
      DWORD pid = 0;
      GetWindowThreadProcessId(window, &pid);
      return window && pid == GetCurrentProcessId() && IsWindowVisible(window);
    });
    if (found) inspect(window);
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  });
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
  watcher.join();
}

TEST(QuillmereDlgTest, TheAboutEntryIsTheLastOfTheSystemMenuAfterASeparator) {
  registry::MemoryStore store;
  registry::LoadDemoRegistry(store);
  int count = 0;
  UINT last_id = 0;
  bool separator = false;
  std::string text;
  RunDialog(store, [&](HWND window) {
    HMENU menu = GetSystemMenu(window, FALSE);
    count = GetMenuItemCount(menu);
    last_id = GetMenuItemID(menu, count - 1);
    char buffer[128] = {};
    GetMenuStringA(menu, count - 1, buffer, sizeof buffer, MF_BYPOSITION);
    text = buffer;
    separator = (GetMenuState(menu, count - 2, MF_BYPOSITION) & MF_SEPARATOR) != 0;
  });
  ASSERT_GE(count, 2);
  EXPECT_EQ(last_id, 16u);
  EXPECT_EQ(text, "关于 TorvaneSafe(&A)...");
  EXPECT_TRUE(separator);
}

TEST(QuillmereDlgTest, EveryKeyIsClosedOnceTheFirstScanHasRunAndTheDialogIsGone) {
  registry::MemoryStore store;
  registry::LoadDemoRegistry(store);
  std::size_t open_while_shown = 99;
  RunDialog(store, [&](HWND window) {
    // A message the dialog answers only after its first scan and paint.
    SendMessageA(window, WM_NULL, 0, 0);
    open_while_shown = store.open_handles();
  });
  EXPECT_EQ(open_while_shown, 0u);
  EXPECT_EQ(store.open_handles(), 0u);
}

TEST(QuillmereDlgTest, TheTreeKeepsItsPixelRectangleWhateverTheDialogFont) {
  registry::MemoryStore store;
  RECT tree{};
  RunDialog(store, [&](HWND window) {
    HWND control = GetDlgItem(window, 1006);
    GetWindowRect(control, &tree);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&tree), 2);
  });
  EXPECT_EQ(tree.left, 38);
  EXPECT_EQ(tree.top, 106);
  EXPECT_EQ(tree.right, 480);
  EXPECT_EQ(tree.bottom, 420);
}

// The text of the message box "提示" the dialog shows, then OK on it.
std::string ReadAndCloseBox() {
  HWND box = nullptr;
  wintest::WaitUntil([&] {
    box = FindWindowA("#32770", repair::kCaption);
    DWORD pid = 0;
    GetWindowThreadProcessId(box, &pid);
    return box && pid == GetCurrentProcessId() && IsWindowVisible(box);
  });
  if (!box) return "<no box>";
  char text[2048] = {};
  GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
  SendMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  return text;
}

HTREEITEM FirstLeaf(HWND tree) {
  const auto root = reinterpret_cast<HTREEITEM>(SendMessageA(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0));
  return reinterpret_cast<HTREEITEM>(SendMessageA(tree, TVM_GETNEXTITEM, TVGN_CHILD, reinterpret_cast<LPARAM>(root)));
}

// Ticks the first leaf once the dialog has answered its first messages, and
// waits until the tree shows the tick.
bool TickFirstLeaf(HWND window) {
  SendMessageA(window, WM_NULL, 0, 0);
  HWND tree = GetDlgItem(window, IDC_TREE);
  const HTREEITEM leaf = FirstLeaf(tree);
  return wintest::WaitUntil([&] {
    TVITEMA item{};
    item.mask = TVIF_STATE;
    item.hItem = leaf;
    item.stateMask = TVIS_STATEIMAGEMASK;
    item.state = INDEXTOSTATEIMAGEMASK(2);
    SendMessageA(tree, TVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    const auto state = static_cast<UINT>(
        SendMessageA(tree, TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(leaf), TVIS_STATEIMAGEMASK));
    return (state & TVIS_STATEIMAGEMASK) == INDEXTOSTATEIMAGEMASK(2);
  });
}

// Damage that a trusted policy file sets is the policy's: its leaf is no
// damage, its description names the policy, and a run leaves it alone,
// says so, and keeps no undo of a change it did not make.
TEST(QuillmereDlgTest, AnItemGroupPolicySetsIsShownAsItsAndARunLeavesItAlone) {
  registry::MemoryStore store;
  const std::string key = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
  store.PutDword(registry::kCurrentUser, key, "DisableTaskMgr", 1);
  const auto policy = [] {
    registry::PregEntry entry{u"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System", u"DisableTaskMgr",
                              registry::kRegDword, {1, 0, 0, 0}};
    registry::PolicyEvidence evidence;
    evidence.Add(registry::kCurrentUser, {"local", "Local Group Policy", "Registry.pol", true},
                 registry::PregFile({entry}), true);
    return evidence;
  };
  char folder[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, folder);
  const std::string backup = std::string(folder) + "torvane-dialog-managed.reg";
  DeleteFileA(backup.c_str());
  std::string description, report;
  RunDialog(
      store,
      [&](HWND window) {
        SendMessageA(window, WM_NULL, 0, 0);  // answered once the first scan has run
        HWND tree = GetDlgItem(window, IDC_TREE);
        const HTREEITEM leaf = FirstLeaf(tree);
        SendMessageA(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(leaf));
        char text[1024] = {};
        GetDlgItemTextA(window, IDC_DESCRIPTION, text, sizeof text);
        description = text;
        EXPECT_TRUE(TickFirstLeaf(window));
        PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDC_REPAIR, BN_CLICKED), 0);
        report = ReadAndCloseBox();
      },
      [&](CQuillmereDlg& dialog) {
        dialog.SetPolicySource(policy);
        dialog.SetBackupPlace([&](std::string*) { return backup; });
      });
  EXPECT_EQ(description, std::string(repair::Item(0).description) + "\r\n" + repair::kManagedLine + "Local Group Policy");
  EXPECT_EQ(report, std::string(repair::kManagedHeader) + repair::Item(0).name + "\r\n");
  EXPECT_EQ(store.GetValue(registry::kCurrentUser, key, "DisableTaskMgr")->data, (std::vector<std::uint8_t>{1, 0, 0, 0}));
  EXPECT_EQ(GetFileAttributesA(backup.c_str()), INVALID_FILE_ATTRIBUTES) << "nothing changed: no undo";
}

// A repair keeps its undo first, and makes no change when it cannot.
TEST(QuillmereDlgTest, ARepairWritesItsUndoFirstAndChangesNothingWithoutOne) {
  const std::string key = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
  char folder[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, folder);
  const std::string backup = std::string(folder) + "torvane-dialog-undo.reg";
  for (const bool writable : {false, true}) {
    DeleteFileA(backup.c_str());
    registry::MemoryStore store;
    store.PutDword(registry::kCurrentUser, key, "DisableTaskMgr", 1);
    std::string report;
    RunDialog(
        store,
        [&](HWND window) {
          EXPECT_TRUE(TickFirstLeaf(window));
          PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDC_REPAIR, BN_CLICKED), 0);
          report = ReadAndCloseBox();
        },
        [&](CQuillmereDlg& dialog) {
          dialog.SetBackupPlace([&](std::string* problem) {
            if (!writable) *problem = "no folder for backups";
            return writable ? backup : std::string();
          });
        });
    const auto value = store.GetValue(registry::kCurrentUser, key, "DisableTaskMgr");
    if (!writable) {
      EXPECT_EQ(report, std::string(repair::kNoUndoText) + "no folder for backups");
      EXPECT_TRUE(value) << "no undo, no change";
      continue;
    }
    EXPECT_EQ(report, std::string(repair::kReportHeader) + repair::Item(0).name + "\r\n");
    EXPECT_FALSE(value);
    // The undo puts the value back byte for byte.
    std::FILE* file = std::fopen(backup.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    std::string bytes;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) bytes.append(chunk, n);
    std::fclose(file);
    registry::MemoryTarget target(store);
    registry::ApplyRegFile(registry::ParseRegFile(bytes, backup), target);
    EXPECT_EQ(store.GetValue(registry::kCurrentUser, key, "DisableTaskMgr")->data, (std::vector<std::uint8_t>{1, 0, 0, 0}));
  }
  DeleteFileA(backup.c_str());
}

}  // namespace
}  // namespace torvane::ui
