#include "ui/framework.h"

#include <cstring>
#include <vector>

namespace torvane::ui {

namespace {

constexpr const char* kObjectProperty = "TorvaneSafe.CWnd";

CWinApp* g_app = nullptr;

const MessageMap kEmptyMap{nullptr, nullptr, 0};

bool Matches(const MessageMapEntry& entry, UINT message, WPARAM wParam, LPARAM lParam) {
  if (entry.message != message) return false;
  switch (message) {
    case WM_COMMAND:
      return entry.code == HIWORD(wParam) && entry.id == LOWORD(wParam);
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      return entry.code == header->code && entry.id == static_cast<UINT>(wParam);
    }
    default:
      return true;
  }
}

}  // namespace

// ---------------------------------------------------------------- CWnd

CWnd::~CWnd() = default;

HWND CWnd::Detach() {
  HWND window = m_hWnd;
  m_hWnd = nullptr;
  return window;
}

const MessageMap* CWnd::GetMessageMap() const { return &kEmptyMap; }

void CWnd::Invoke(const MessageMapEntry& entry, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  *result = 0;
  if (auto* on_void = std::get_if<VoidHandler>(&entry.handler)) {
    (this->**on_void)();
  } else if (auto* on_notify = std::get_if<NotifyHandler>(&entry.handler)) {
    (this->**on_notify)(reinterpret_cast<NMHDR*>(lParam), result);
  } else if (auto* on_sys_command = std::get_if<SysCommandHandler>(&entry.handler)) {
    (this->**on_sys_command)(static_cast<UINT>(wParam), lParam);
  } else if (auto* on_drag_icon = std::get_if<QueryDragIconHandler>(&entry.handler)) {
    *result = reinterpret_cast<LRESULT>((this->**on_drag_icon)());
  }
}

bool CWnd::Dispatch(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  for (const MessageMap* map = GetMessageMap(); map; map = map->base) {
    for (std::size_t i = 0; i < map->count; ++i) {
      const MessageMapEntry& entry = map->entries[i];
      if (!Matches(entry, message, wParam, lParam)) continue;
      default_requested_ = false;
      Invoke(entry, wParam, lParam, result);
      return !default_requested_;
    }
  }
  return false;
}

bool CWnd::SubclassWindow(HWND window) {
  if (!::SetPropA(window, kObjectProperty, this)) return false;
  m_hWnd = window;
  original_proc_ = reinterpret_cast<WNDPROC>(
      ::SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CWnd::SubclassProc)));
  return true;
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  return ::CallWindowProcA(original_proc_, m_hWnd, message, wParam, lParam);
}

LRESULT CALLBACK CWnd::SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = static_cast<CWnd*>(::GetPropA(window, kObjectProperty));
  if (!self) return ::DefWindowProcA(window, message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    // Give the window its own procedure back before it goes.
    const WNDPROC original = self->original_proc_;
    ::SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original));
    ::RemovePropA(window, kObjectProperty);
    self->m_hWnd = nullptr;
    return ::CallWindowProcA(original, window, message, wParam, lParam);
  }
  try {
    LRESULT result = 0;
    if (self->Dispatch(message, wParam, lParam, &result)) return result;
  } catch (...) {
    // Nothing may unwind through the window manager; the control paints as
    // its own procedure would.
  }
  return self->DefWindowProc(message, wParam, lParam);
}

// ---------------------------------------------------------------- CDialog

void DDX_Control(CDataExchange* pDX, int id, CWnd& control) {
  if (control.m_hWnd == nullptr) control.Attach(pDX->m_pDlgWnd->GetDlgItem(id));
}

CDialog::CDialog(UINT template_id, CWnd* parent) : template_id_(template_id), parent_(parent) {}

const MessageMap* CDialog::GetMessageMap() const {
  static const MessageMapEntry entries[] = {
      OnCommand(BN_CLICKED, IDOK, &CDialog::OnOK),
      OnCommand(BN_CLICKED, IDCANCEL, &CDialog::OnCancel),
  };
  static const MessageMap map{&kEmptyMap, entries, std::size(entries)};
  return &map;
}

INT_PTR CDialog::DoModal() {
  HWND owner = parent_ ? parent_->m_hWnd : nullptr;
  if (!owner && GetApp() && GetApp()->m_pMainWnd && GetApp()->m_pMainWnd != this) {
    owner = GetApp()->m_pMainWnd->m_hWnd;
  }
  const INT_PTR result = ::DialogBoxParamA(GetInstanceHandle(), MAKEINTRESOURCEA(template_id_), owner,
                                           &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
  m_hWnd = nullptr;
  return result;
}

BOOL CDialog::UpdateData(BOOL save) {
  CDataExchange exchange{this, save};
  DoDataExchange(&exchange);
  return TRUE;
}

BOOL CDialog::OnInitDialog() {
  UpdateData(FALSE);
  return TRUE;
}

void CDialog::DoDataExchange(CDataExchange*) {}

BOOL CDialog::OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* result) {
  return Dispatch(WM_NOTIFY, wParam, lParam, result) ? TRUE : FALSE;
}

void CDialog::OnOK() {
  UpdateData(TRUE);
  EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

void CDialog::CenterOnOwner() {
  RECT area{};
  HWND owner = ::GetWindow(m_hWnd, GW_OWNER);
  if (owner && ::IsWindowVisible(owner) && !::IsIconic(owner)) {
    ::GetWindowRect(owner, &area);
  } else {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    ::GetMonitorInfoA(::MonitorFromWindow(m_hWnd, MONITOR_DEFAULTTOPRIMARY), &monitor);
    area = monitor.rcWork;
  }
  RECT own{};
  ::GetWindowRect(m_hWnd, &own);
  const int width = own.right - own.left;
  const int height = own.bottom - own.top;
  const int left = area.left + (area.right - area.left - width) / 2;
  const int top = area.top + (area.bottom - area.top - height) / 2;
  ::SetWindowPos(m_hWnd, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK CDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<CDialog*>(lParam);
    ::SetWindowLongPtrA(window, DWLP_USER, lParam);
    self->m_hWnd = window;
  }
  auto* self = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(window, DWLP_USER));
  if (!self) return FALSE;
  try {
    return self->HandleMessage(message, wParam, lParam);
  } catch (...) {
    // Only an allocation can fail here; the dialog cannot go on without it.
    ::EndDialog(window, -1);
    return TRUE;
  }
}

INT_PTR CDialog::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      const BOOL focus_default = OnInitDialog();
      CenterOnOwner();
      return focus_default;
    }
    case WM_NOTIFY: {
      LRESULT result = 0;
      if (!OnNotify(wParam, lParam, &result)) return FALSE;
      ::SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, result);
      return TRUE;
    }
    case WM_NCDESTROY:
      ::SetWindowLongPtrA(m_hWnd, DWLP_USER, 0);
      return FALSE;
    default: {
      LRESULT result = 0;
      if (!Dispatch(message, wParam, lParam, &result)) return FALSE;
      // These few return their answer directly rather than in DWLP_MSGRESULT.
      if (message == WM_QUERYDRAGICON) return static_cast<INT_PTR>(result);
      return TRUE;
    }
  }
}

// ---------------------------------------------------------------- CTreeCtrl

BOOL CTreeCtrl::Create(DWORD style, const RECT& rect, CWnd* parent, UINT id) {
  m_hWnd = ::CreateWindowExA(0, WC_TREEVIEWA, "", style, rect.left, rect.top, rect.right - rect.left,
                             rect.bottom - rect.top, parent->m_hWnd,
                             reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)), GetInstanceHandle(), nullptr);
  // Through this object's map, so that a derived control can take messages.
  return m_hWnd != nullptr && SubclassWindow(m_hWnd);
}

HTREEITEM CTreeCtrl::InsertItem(const char* text, HTREEITEM parent, HTREEITEM after) {
  TVINSERTSTRUCTA insert{};
  insert.hParent = parent;
  insert.hInsertAfter = after;
  insert.item.mask = TVIF_TEXT;
  insert.item.pszText = const_cast<char*>(text);
  return reinterpret_cast<HTREEITEM>(SendMessage(TVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&insert)));
}

BOOL CTreeCtrl::SetItemData(HTREEITEM item, DWORD_PTR data) {
  TVITEMA tv{};
  tv.mask = TVIF_PARAM;
  tv.hItem = item;
  tv.lParam = static_cast<LPARAM>(data);
  return static_cast<BOOL>(SendMessage(TVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&tv)));
}

DWORD_PTR CTreeCtrl::GetItemData(HTREEITEM item) const {
  TVITEMA tv{};
  tv.mask = TVIF_PARAM;
  tv.hItem = item;
  SendMessage(TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&tv));
  return static_cast<DWORD_PTR>(tv.lParam);
}

UINT CTreeCtrl::GetItemState(HTREEITEM item, UINT mask) const {
  return static_cast<UINT>(SendMessage(TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item), mask));
}

int CTreeCtrl::GetCheck(HTREEITEM item) const {
  return static_cast<int>(GetItemState(item, TVIS_STATEIMAGEMASK) >> 12) - 1;
}

BOOL CTreeCtrl::SetCheck(HTREEITEM item, BOOL check) {
  TVITEMA tv{};
  tv.mask = TVIF_STATE | TVIF_HANDLE;
  tv.hItem = item;
  tv.stateMask = TVIS_STATEIMAGEMASK;
  tv.state = INDEXTOSTATEIMAGEMASK(check ? 2 : 1);
  return static_cast<BOOL>(SendMessage(TVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&tv)));
}

std::string CTreeCtrl::GetItemText(HTREEITEM item) const {
  // Grows until the label fits with room to spare, so no label is cut.
  std::vector<char> buffer(64);
  for (;;) {
    TVITEMA tv{};
    tv.mask = TVIF_TEXT | TVIF_HANDLE;
    tv.hItem = item;
    tv.pszText = buffer.data();
    tv.cchTextMax = static_cast<int>(buffer.size());
    buffer[0] = '\0';
    if (!SendMessage(TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&tv))) return {};
    // The control may answer with a pointer of its own.
    const std::string text(tv.pszText ? tv.pszText : "");
    if (text.size() + 1 < buffer.size() || buffer.size() >= 0x10000) return text;
    buffer.resize(buffer.size() * 4);
  }
}

BOOL CTreeCtrl::GetItemRect(HTREEITEM item, RECT* rect, BOOL text_only) const {
  // TVM_GETITEMRECT takes the item handle in the rectangle it fills.
  std::memcpy(rect, &item, sizeof item);
  return static_cast<BOOL>(SendMessage(TVM_GETITEMRECT, text_only, reinterpret_cast<LPARAM>(rect)));
}

HTREEITEM CTreeCtrl::HitTest(POINT point, UINT* flags) const {
  TVHITTESTINFO info{};
  info.pt = point;
  const auto item = reinterpret_cast<HTREEITEM>(SendMessage(TVM_HITTEST, 0, reinterpret_cast<LPARAM>(&info)));
  if (flags) *flags = info.flags;
  return item;
}

// ---------------------------------------------------------------- CWinApp

CWinApp::CWinApp() { g_app = this; }

CWinApp::~CWinApp() {
  if (g_app == this) g_app = nullptr;
}

BOOL CWinApp::InitInstance() { return TRUE; }

int CWinApp::ExitInstance() { return 0; }

CWinApp* GetApp() { return g_app; }

HINSTANCE GetInstanceHandle() { return g_app ? g_app->m_hInstance : ::GetModuleHandleA(nullptr); }

int RunApplication(HINSTANCE instance) {
  CWinApp* app = GetApp();
  if (!app) return -1;
  app->m_hInstance = instance;
  if (!app->InitInstance()) return app->ExitInstance();
  // No program of ours keeps running after InitInstance: a message loop
  // would go here.
  return app->ExitInstance();
}

}  // namespace torvane::ui
