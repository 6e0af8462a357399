// The main dialog in this process, over a registry in memory.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include "registry/demo.h"
#include "registry/memory_store.h"
#include "registry/reg_file.h"
#include "support/driver.h"
#include "ui/quillmere_dlg.h"

namespace torvane::ui {
namespace {

constexpr const char* kTitle = "Torvane系统修复助手V1.0";

// Runs the dialog modally while `inspect` looks at it from another thread,
// then closes it with Esc's command.
void RunDialog(registry::MemoryStore& store, const std::function<void(HWND)>& inspect) {
  registry::MemoryTarget target(store);
  CQuillmereDlg dialog(store, target);
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

}  // namespace
}  // namespace torvane::ui
