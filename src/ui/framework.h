// The little of an application framework the program stands on: an
// application object, windows wrapped by bare handle, modal dialogs from
// resource templates with a static message map per class, and thin wrappers
// of the button and tree-view controls.
//
// Wrappers never destroy the window they hold: the dialog manager destroys
// controls with their dialog.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <cstddef>
#include <string>
#include <variant>

namespace torvane::ui {

class CWnd;

// Handler shapes a message map can bind.
using VoidHandler = void (CWnd::*)();
using NotifyHandler = void (CWnd::*)(NMHDR* header, LRESULT* result);
using SysCommandHandler = void (CWnd::*)(UINT id, LPARAM param);
using QueryDragIconHandler = HCURSOR (CWnd::*)();

struct MessageMapEntry {
  UINT message;
  UINT code;  // notification code of WM_COMMAND and WM_NOTIFY, else 0
  UINT id;    // control id of WM_COMMAND and WM_NOTIFY, else 0
  std::variant<VoidHandler, NotifyHandler, SysCommandHandler, QueryDragIconHandler> handler;
};

struct MessageMap {
  const MessageMap* base;  // consulted when no entry of this map matches
  const MessageMapEntry* entries;
  std::size_t count;
};

// Entry builders, so that a class's table names its own members.
template <class T>
constexpr MessageMapEntry OnMessage(UINT message, void (T::*handler)()) {
  return {message, 0, 0, static_cast<VoidHandler>(handler)};
}
template <class T>
constexpr MessageMapEntry OnCommand(UINT code, UINT id, void (T::*handler)()) {
  return {WM_COMMAND, code, id, static_cast<VoidHandler>(handler)};
}
template <class T>
constexpr MessageMapEntry OnNotifyCode(int code, UINT id, void (T::*handler)(NMHDR*, LRESULT*)) {
  return {WM_NOTIFY, static_cast<UINT>(code), id, static_cast<NotifyHandler>(handler)};
}
template <class T>
constexpr MessageMapEntry OnSysCommandMessage(void (T::*handler)(UINT, LPARAM)) {
  return {WM_SYSCOMMAND, 0, 0, static_cast<SysCommandHandler>(handler)};
}
template <class T>
constexpr MessageMapEntry OnQueryDragIconMessage(HCURSOR (T::*handler)()) {
  return {WM_QUERYDRAGICON, 0, 0, static_cast<QueryDragIconHandler>(handler)};
}

// A window by its bare handle.
class CWnd {
 public:
  CWnd() = default;
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;
  virtual ~CWnd();

  HWND GetSafeHwnd() const { return m_hWnd; }
  void Attach(HWND window) { m_hWnd = window; }
  HWND Detach();

  LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
    return ::SendMessageA(m_hWnd, message, wParam, lParam);
  }
  HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
  BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
  BOOL InvalidateRect(const RECT* rect, BOOL erase = TRUE) { return ::InvalidateRect(m_hWnd, rect, erase); }
  void UpdateWindow() { ::UpdateWindow(m_hWnd); }
  void GetClientRect(RECT* rect) const { ::GetClientRect(m_hWnd, rect); }
  void ScreenToClient(POINT* point) const { ::ScreenToClient(m_hWnd, point); }
  HMENU GetSystemMenu(BOOL revert) const { return ::GetSystemMenu(m_hWnd, revert); }
  HICON SetIcon(HICON icon, BOOL big) {
    return reinterpret_cast<HICON>(SendMessage(WM_SETICON, big ? ICON_BIG : ICON_SMALL,
                                               reinterpret_cast<LPARAM>(icon)));
  }
  // A message box owned by this window.
  int MessageBox(const char* text, const char* caption, UINT type = MB_OK) const {
    return ::MessageBoxA(m_hWnd, text, caption, type);
  }

  virtual const MessageMap* GetMessageMap() const;

  HWND m_hWnd = nullptr;

 protected:
  // Hands the message being dispatched on to the default handling.
  void Default() { default_requested_ = true; }

  // Runs the first matching entry of the map chain. True when a handler ran
  // and did not ask for the default handling; `*result` is its result.
  bool Dispatch(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

  // Routes the messages of an existing window (a control) through this
  // object's map; what the map does not take goes to the window's own
  // procedure. Undone when the window is destroyed.
  bool SubclassWindow(HWND window);
  // The window's own procedure, for what the map passes on.
  LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);

 private:
  static LRESULT CALLBACK SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void Invoke(const MessageMapEntry& entry, WPARAM wParam, LPARAM lParam, LRESULT* result);

  bool default_requested_ = false;
  WNDPROC original_proc_ = nullptr;
};

class CDialog;

// What a data exchange is doing: loading controls or saving from them.
struct CDataExchange {
  CDialog* m_pDlgWnd;
  BOOL m_bSaveAndValidate;
};

// Attaches the control `id` of the dialog to `control` once.
void DDX_Control(CDataExchange* pDX, int id, CWnd& control);

// A modal dialog from a resource template.
class CDialog : public CWnd {
 public:
  explicit CDialog(UINT template_id, CWnd* parent = nullptr);

  // Runs the modal loop; the owner is the parent given or else the
  // application's main window. -1 when the dialog could not be created.
  INT_PTR DoModal();
  void EndDialog(INT_PTR result) { ::EndDialog(m_hWnd, result); }
  BOOL UpdateData(BOOL save = TRUE);

  const MessageMap* GetMessageMap() const override;

 protected:
  virtual BOOL OnInitDialog();
  virtual void DoDataExchange(CDataExchange* pDX);
  // The notification hook: every WM_NOTIFY passes here before the map.
  // TRUE when handled; `*result` goes out through DWLP_MSGRESULT.
  virtual BOOL OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* result);
  virtual void OnOK();
  virtual void OnCancel();

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void CenterOnOwner();

  UINT template_id_;
  CWnd* parent_;
};

class CButton : public CWnd {
 public:
  int GetCheck() const { return static_cast<int>(SendMessage(BM_GETCHECK)); }
  void SetCheck(int check) { SendMessage(BM_SETCHECK, static_cast<WPARAM>(check)); }
};

class CTreeCtrl : public CWnd {
 public:
  BOOL Create(DWORD style, const RECT& rect, CWnd* parent, UINT id);

  HTREEITEM InsertItem(const char* text, HTREEITEM parent = TVI_ROOT, HTREEITEM after = TVI_LAST);
  BOOL SetItemData(HTREEITEM item, DWORD_PTR data);
  DWORD_PTR GetItemData(HTREEITEM item) const;
  BOOL Expand(HTREEITEM item, UINT code) {
    return static_cast<BOOL>(SendMessage(TVM_EXPAND, code, reinterpret_cast<LPARAM>(item)));
  }
  // 1 ticked, 0 not ticked, -1 no check box: the state image index less one.
  int GetCheck(HTREEITEM item) const;
  BOOL SetCheck(HTREEITEM item, BOOL check = TRUE);
  UINT GetItemState(HTREEITEM item, UINT mask) const;
  std::string GetItemText(HTREEITEM item) const;
  BOOL GetItemRect(HTREEITEM item, RECT* rect, BOOL text_only) const;
  HTREEITEM GetNextItem(HTREEITEM item, UINT code) const {
    return reinterpret_cast<HTREEITEM>(SendMessage(TVM_GETNEXTITEM, code, reinterpret_cast<LPARAM>(item)));
  }
  HTREEITEM GetSelectedItem() const { return GetNextItem(nullptr, TVGN_CARET); }
  UINT GetVisibleCount() const { return static_cast<UINT>(SendMessage(TVM_GETVISIBLECOUNT)); }
  HTREEITEM HitTest(POINT point, UINT* flags) const;
};

// The application object. Exactly one is constructed, as a global, before
// WinMain runs.
class CWinApp {
 public:
  CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;
  virtual ~CWinApp();

  virtual BOOL InitInstance();
  virtual int ExitInstance();
  // The name of the per-user settings key. Kept, never used: nothing is stored.
  void SetRegistryKey(const char* name) { m_registryKey = name; }

  HINSTANCE m_hInstance = nullptr;
  CWnd* m_pMainWnd = nullptr;
  std::string m_registryKey;
};

CWinApp* GetApp();
HINSTANCE GetInstanceHandle();

// Start-up and exit: InitInstance, then, as it returns false, ExitInstance.
int RunApplication(HINSTANCE instance);

}  // namespace torvane::ui
