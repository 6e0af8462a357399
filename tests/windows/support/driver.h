// Drives the real TorvaneSafe.exe from another process, as a user and as
// Wine's own control tests do: window messages, the tree's messages through
// memory of the program's process, real mouse and keyboard input, and the
// pixels on the screen.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <string>
#include <vector>

namespace torvane::wintest {

// Polls `condition` until it holds or `timeout_ms` has passed.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeout_ms = 15000);

// The directory of the running test program, with a trailing backslash.
std::string OwnDirectory();

// The tree control of another process.
class RemoteTree {
 public:
  RemoteTree(HWND tree, HANDLE process);
  RemoteTree(const RemoteTree&) = delete;
  RemoteTree& operator=(const RemoteTree&) = delete;
  ~RemoteTree();

  HWND hwnd() const { return tree_; }
  // Every node in display order: each root, then its children.
  std::vector<HTREEITEM> Nodes() const;
  std::vector<HTREEITEM> Children(HTREEITEM parent) const;
  std::string Text(HTREEITEM item) const;
  LPARAM Data(HTREEITEM item) const;
  UINT State(HTREEITEM item, UINT mask) const;
  int Check(HTREEITEM item) const;  // 1 ticked, 0 not, -1 no box
  void SetCheck(HTREEITEM item, bool ticked) const;
  void Select(HTREEITEM item) const;
  HTREEITEM Selected() const;
  HTREEITEM FirstVisible() const;
  void EnsureVisible(HTREEITEM item) const;
  // The label's rectangle in screen coordinates; empty when not shown.
  RECT LabelOnScreen(HTREEITEM item) const;
  // The centre of the item's check box in screen coordinates.
  POINT CheckBoxOnScreen(HTREEITEM item) const;

 private:
  HTREEITEM Next(HTREEITEM item, UINT code) const;
  void Write(const void* data, SIZE_T size, SIZE_T offset = 0) const;
  void Read(void* data, SIZE_T size, SIZE_T offset = 0) const;
  UINT HitFlags(POINT client) const;

  HWND tree_;
  HANDLE process_;
  char* remote_ = nullptr;  // a page in the program's process
};

// How a program is started; empty fields take the defaults.
struct Launch {
  std::string program;      // full path; TorvaneSafe.exe beside the test program
  std::string directory;    // working folder; the test program's
  std::string title;        // the main dialog's caption (GBK); the program's own
  // Called with a window of the program captioned `before_caption` before
  // the main dialog is looked for (a dialog that comes first); false: give up.
  std::string before_caption;
  std::function<bool(HWND)> before;
};

// One run of the program.
class Program {
 public:
  // Starts build/windows/TorvaneSafe.exe (or what `launch` names) and waits
  // for its dialog and tree.
  explicit Program(const Launch& launch = {});
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
  ~Program();  // ends the process if it still runs

  bool started() const { return dialog_ != nullptr; }
  HWND dialog() const { return dialog_; }
  RemoteTree& tree() { return *tree_; }
  HANDLE process() const { return process_.hProcess; }
  bool WaitForExit(DWORD timeout_ms = 15000) const;
  // The full paths of the DLLs loaded in the program's process.
  std::vector<std::string> Modules() const;

  // Clicks a dialog button the way its owner hears it, without waiting.
  void PostClick(int control_id) const;
  std::string ControlText(int control_id) const;

  // A visible top-level window of the program owned by the dialog, with
  // this caption (GBK); null when there is none.
  HWND FindOwned(const std::string& caption) const;
  std::vector<HWND> OwnedWindows() const;

 private:
  PROCESS_INFORMATION process_{};
  HWND dialog_ = nullptr;
  RemoteTree* tree_ = nullptr;
};

// Waits for the one message box "提示" of the program and returns its text,
// then presses its OK button and waits for it to go.
struct MessageBoxSeen {
  bool shown = false;
  std::string text;
  int boxes = 0;  // boxes open at the moment it was read
  bool has_icon = false;  // the box shows an icon (which one is not visible from outside)
};
MessageBoxSeen ReadAndCloseMessageBox(const Program& program);

// Pixels of a screen rectangle.
struct PixelCount {
  int red = 0;   // pure red text
  int dark = 0;  // black text
};
PixelCount CountPixels(const RECT& screen_rect);

// A screen point of a top-level window's frame that answers WM_NCHITTEST with
// `hit` (HTCLOSE: the caption's close button); {-1, -1} when there is none.
POINT NonClientPoint(HWND window, LRESULT hit);

// A left click at a point of the screen, and a key by its X name ("space").
bool ClickAt(POINT screen);
bool PressKey(const char* key);

}  // namespace torvane::wintest
