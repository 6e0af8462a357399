#include "support/driver.h"

#include <tlhelp32.h>

#include <cstring>

namespace torvane::wintest {

namespace {

constexpr SIZE_T kRemoteSize = 4096;
constexpr SIZE_T kTextOffset = 1024;
constexpr int kTextCapacity = 1024;
constexpr const char* kTitle = "Torvane系统修复助手V1.0";
// The ids of the text and icon of a message box in Wine's template.
constexpr int kMessageBoxText = 0xFFFF;
constexpr int kMessageBoxIcon = 0x0440;

std::string WindowText(HWND window) {
  char text[4096] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

std::string ClassName(HWND window) {
  char name[64] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

struct Search {
  DWORD pid;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<Search*>(context);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid == search->pid && IsWindowVisible(window)) search->found.push_back(window);
  return TRUE;
}

std::vector<HWND> TopLevelWindows(DWORD pid) {
  Search search{pid, {}};
  EnumWindows(&CollectTopLevel, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

}  // namespace

bool WaitUntil(const std::function<bool()>& condition, DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    if (condition()) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(20);
  }
}

std::string OwnDirectory() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string directory(path);
  return directory.substr(0, directory.find_last_of("\\/") + 1);
}

// ---------------------------------------------------------------- RemoteTree

RemoteTree::RemoteTree(HWND tree, HANDLE process) : tree_(tree), process_(process) {
  remote_ = static_cast<char*>(VirtualAllocEx(process_, nullptr, kRemoteSize, MEM_COMMIT, PAGE_READWRITE));
}

RemoteTree::~RemoteTree() {
  if (remote_) VirtualFreeEx(process_, remote_, 0, MEM_RELEASE);
}

void RemoteTree::Write(const void* data, SIZE_T size, SIZE_T offset) const {
  WriteProcessMemory(process_, remote_ + offset, data, size, nullptr);
}

void RemoteTree::Read(void* data, SIZE_T size, SIZE_T offset) const {
  ReadProcessMemory(process_, remote_ + offset, data, size, nullptr);
}

HTREEITEM RemoteTree::Next(HTREEITEM item, UINT code) const {
  return reinterpret_cast<HTREEITEM>(SendMessageA(tree_, TVM_GETNEXTITEM, code, reinterpret_cast<LPARAM>(item)));
}

std::vector<HTREEITEM> RemoteTree::Children(HTREEITEM parent) const {
  std::vector<HTREEITEM> children;
  for (HTREEITEM child = Next(parent, parent ? TVGN_CHILD : TVGN_ROOT); child; child = Next(child, TVGN_NEXT)) {
    children.push_back(child);
  }
  return children;
}

std::vector<HTREEITEM> RemoteTree::Nodes() const {
  std::vector<HTREEITEM> nodes;
  for (HTREEITEM root : Children(nullptr)) {
    nodes.push_back(root);
    for (HTREEITEM child : Children(root)) nodes.push_back(child);
  }
  return nodes;
}

std::string RemoteTree::Text(HTREEITEM item) const {
  TVITEMA tv{};
  tv.mask = TVIF_TEXT | TVIF_HANDLE;
  tv.hItem = item;
  tv.pszText = remote_ + kTextOffset;
  tv.cchTextMax = kTextCapacity;
  Write(&tv, sizeof tv);
  const char empty = 0;
  Write(&empty, 1, kTextOffset);
  SendMessageA(tree_, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(remote_));
  Read(&tv, sizeof tv);
  char text[kTextCapacity + 1] = {};
  if (tv.pszText != remote_ + kTextOffset) return "<text elsewhere>";
  Read(text, kTextCapacity, kTextOffset);
  return text;
}

LPARAM RemoteTree::Data(HTREEITEM item) const {
  TVITEMA tv{};
  tv.mask = TVIF_PARAM | TVIF_HANDLE;
  tv.hItem = item;
  Write(&tv, sizeof tv);
  SendMessageA(tree_, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(remote_));
  Read(&tv, sizeof tv);
  return tv.lParam;
}

UINT RemoteTree::State(HTREEITEM item, UINT mask) const {
  return static_cast<UINT>(SendMessageA(tree_, TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item), mask));
}

int RemoteTree::Check(HTREEITEM item) const { return static_cast<int>(State(item, TVIS_STATEIMAGEMASK) >> 12) - 1; }

void RemoteTree::SetCheck(HTREEITEM item, bool ticked) const {
  TVITEMA tv{};
  tv.mask = TVIF_STATE | TVIF_HANDLE;
  tv.hItem = item;
  tv.stateMask = TVIS_STATEIMAGEMASK;
  tv.state = INDEXTOSTATEIMAGEMASK(ticked ? 2 : 1);
  Write(&tv, sizeof tv);
  SendMessageA(tree_, TVM_SETITEMA, 0, reinterpret_cast<LPARAM>(remote_));
}

void RemoteTree::Select(HTREEITEM item) const {
  SendMessageA(tree_, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item));
}

HTREEITEM RemoteTree::Selected() const { return Next(nullptr, TVGN_CARET); }

HTREEITEM RemoteTree::FirstVisible() const { return Next(nullptr, TVGN_FIRSTVISIBLE); }

void RemoteTree::EnsureVisible(HTREEITEM item) const {
  SendMessageA(tree_, TVM_ENSUREVISIBLE, 0, reinterpret_cast<LPARAM>(item));
}

RECT RemoteTree::LabelOnScreen(HTREEITEM item) const {
  RECT rect{};
  std::memcpy(&rect, &item, sizeof item);  // the message takes the item in the rectangle
  Write(&rect, sizeof rect);
  if (!SendMessageA(tree_, TVM_GETITEMRECT, TRUE, reinterpret_cast<LPARAM>(remote_))) return RECT{};
  Read(&rect, sizeof rect);
  MapWindowPoints(tree_, nullptr, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

UINT RemoteTree::HitFlags(POINT client) const {
  TVHITTESTINFO info{};
  info.pt = client;
  Write(&info, sizeof info);
  SendMessageA(tree_, TVM_HITTEST, 0, reinterpret_cast<LPARAM>(remote_));
  Read(&info, sizeof info);
  return info.flags;
}

POINT RemoteTree::CheckBoxOnScreen(HTREEITEM item) const {
  RECT label = LabelOnScreen(item);
  MapWindowPoints(nullptr, tree_, reinterpret_cast<POINT*>(&label), 2);
  const int y = (label.top + label.bottom) / 2;
  // The state image stands left of the label: find its extent by hit-testing.
  int right = -1, left = -1;
  for (int x = label.left - 1; x >= 0; --x) {
    const bool on_box = (HitFlags(POINT{x, y}) & TVHT_ONITEMSTATEICON) != 0;
    if (on_box && right < 0) right = x;
    if (!on_box && right >= 0) {
      left = x + 1;
      break;
    }
  }
  POINT centre{right < 0 ? -1 : (left + right) / 2, y};
  if (right >= 0) MapWindowPoints(tree_, nullptr, &centre, 1);
  return centre;
}

// ---------------------------------------------------------------- Program

Program::Program(const Launch& launch) {
  const std::string program = launch.program.empty() ? OwnDirectory() + "TorvaneSafe.exe" : launch.program;
  std::string command = "\"" + program + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      launch.directory.empty() ? nullptr : launch.directory.c_str(), &startup, &process_)) {
    return;
  }
  WaitForInputIdle(process_.hProcess, 30000);
  if (launch.before) {
    HWND first = nullptr;
    WaitUntil(
        [&] {
          for (HWND window : TopLevelWindows(process_.dwProcessId)) {
            if (ClassName(window) == "#32770" && WindowText(window) == launch.before_caption) first = window;
          }
          return first != nullptr;
        },
        30000);
    if (first == nullptr || !launch.before(first)) return;
  }
  const std::string title = launch.title.empty() ? std::string(kTitle) : launch.title;
  WaitUntil(
      [&] {
        for (HWND window : TopLevelWindows(process_.dwProcessId)) {
          if (ClassName(window) == "#32770" && WindowText(window) == title) dialog_ = window;
        }
        return dialog_ != nullptr && GetDlgItem(dialog_, 1006) != nullptr;
      },
      30000);
  if (dialog_) tree_ = new RemoteTree(GetDlgItem(dialog_, 1006), process_.hProcess);
}

Program::~Program() {
  delete tree_;
  if (process_.hProcess) {
    if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
      TerminateProcess(process_.hProcess, 1);
      WaitForSingleObject(process_.hProcess, 10000);
    }
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
  }
}

bool Program::WaitForExit(DWORD timeout_ms) const {
  return WaitForSingleObject(process_.hProcess, timeout_ms) == WAIT_OBJECT_0;
}

std::vector<std::string> Program::Modules() const {
  std::vector<std::string> modules;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, process_.dwProcessId);
  if (snapshot == INVALID_HANDLE_VALUE) return modules;
  MODULEENTRY32 module{};
  module.dwSize = sizeof module;
  for (BOOL more = Module32First(snapshot, &module); more; more = Module32Next(snapshot, &module)) {
    modules.push_back(module.szExePath);
  }
  CloseHandle(snapshot);
  return modules;
}

void Program::PostClick(int control_id) const {
  PostMessageA(dialog_, WM_COMMAND, MAKEWPARAM(control_id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog_, control_id)));
}

std::string Program::ControlText(int control_id) const {
  // GetWindowText does not ask a window of another process for its text;
  // WM_GETTEXT does, and is carried across.
  std::string text(64 * 1024, '\0');
  const LRESULT length = SendMessageA(GetDlgItem(dialog_, control_id), WM_GETTEXT, text.size(),
                                      reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

std::vector<HWND> Program::OwnedWindows() const {
  std::vector<HWND> owned;
  for (HWND window : TopLevelWindows(process_.dwProcessId)) {
    if (GetWindow(window, GW_OWNER) == dialog_) owned.push_back(window);
  }
  return owned;
}

HWND Program::FindOwned(const std::string& caption) const {
  for (HWND window : OwnedWindows()) {
    if (WindowText(window) == caption) return window;
  }
  return nullptr;
}

MessageBoxSeen ReadAndCloseMessageBox(const Program& program) {
  MessageBoxSeen seen;
  HWND box = nullptr;
  if (!WaitUntil([&] { return (box = program.FindOwned("提示")) != nullptr; })) return seen;
  seen.shown = true;
  seen.boxes = static_cast<int>(program.OwnedWindows().size());
  char text[4096] = {};
  GetDlgItemTextA(box, kMessageBoxText, text, sizeof text);
  seen.text = text;
  HWND icon = GetDlgItem(box, kMessageBoxIcon);
  seen.has_icon = icon && IsWindowVisible(icon) && (GetWindowLongA(icon, GWL_STYLE) & SS_ICON);
  PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  WaitUntil([&] { return !IsWindow(box); });
  return seen;
}

// ---------------------------------------------------------------- screen and input

PixelCount CountPixels(const RECT& rect) {
  PixelCount count;
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) return count;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  GdiFlush();
  const auto* pixels = static_cast<const DWORD*>(bits);
  for (int i = 0; i < width * height; ++i) {
    const int blue = pixels[i] & 0xFF, green = (pixels[i] >> 8) & 0xFF, red = (pixels[i] >> 16) & 0xFF;
    if (red >= 200 && green <= 90 && blue <= 90) ++count.red;
    if (red <= 90 && green <= 90 && blue <= 90) ++count.dark;
  }
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return count;
}

POINT NonClientPoint(HWND window, LRESULT hit) {
  RECT frame{};
  GetWindowRect(window, &frame);
  auto hits = [&](int x, int y) { return SendMessageA(window, WM_NCHITTEST, 0, MAKELPARAM(x, y)) == hit; };
  // The top right corner of the area first, then its extent to the left and down.
  for (int y = frame.top; y < frame.top + 40 && y < frame.bottom; ++y) {
    for (int x = frame.right - 1; x > frame.right - 120 && x > frame.left; --x) {
      if (!hits(x, y)) continue;
      int left = x, bottom = y;
      while (left > frame.left && hits(left - 1, y)) --left;
      while (bottom < frame.bottom && hits(x, bottom + 1)) ++bottom;
      return POINT{(left + x) / 2, (y + bottom) / 2};
    }
  }
  return POINT{-1, -1};
}

namespace {

// Real input through the X server's test extension. Wine under Xvfb passes
// on what SendInput injects only when an X event stands behind it.
bool RunXdotool(const std::string& arguments) {
  std::string command = "Z:\\usr\\bin\\xdotool " + arguments;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return false;
  }
  // Wine hands back no waitable handle for a Unix program: the callers wait
  // for what the input does instead.
  if (process.hProcess) WaitForSingleObject(process.hProcess, 10000);
  if (process.hThread) CloseHandle(process.hThread);
  if (process.hProcess) CloseHandle(process.hProcess);
  return true;
}

}  // namespace

bool ClickAt(POINT screen) {
  return RunXdotool("mousemove --sync " + std::to_string(screen.x) + " " + std::to_string(screen.y) + " click 1");
}

bool PressKey(const char* key) { return RunXdotool(std::string("key ") + key); }

}  // namespace torvane::wintest
