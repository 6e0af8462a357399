#include "ui/quillmere_dlg.h"

#include <vector>

#include "registry/codepage.h"
#include "registry/system_directory_win32.h"
#include "repair/backup.h"
#include "repair/repair_run.h"
#include "ui/gdi.h"
#include "ui/item_look.h"

namespace torvane::ui {

namespace {

// Child, visible, border, tab stop; buttons, lines, lines at root, no drag
// and drop, check boxes.
constexpr DWORD kTreeStyle = 0x50810117;
// In pixels of the dialog's client area, whatever the dialog font.
constexpr RECT kTreeRect{38, 106, 480, 420};
constexpr UINT kMessageBoxType = MB_OK | MB_ICONINFORMATION;

const char* const kNotWrittenText = "修复未能写入注册表文件，程序将退出：\r\n";

std::string RunningSystemDirectory() {
  const std::string directory = registry::SystemDirectory();
  return directory.empty() ? repair::kDefaultSystemDirectory : directory;
}

}  // namespace

CQuillmereDlg::CQuillmereDlg(registry::RegistryStore& store, registry::RegTarget& target, CWnd* parent)
    : CDialog(IDD, parent),
      m_hIcon(::LoadIconA(GetInstanceHandle(), MAKEINTRESOURCEA(IDR_MAINFRAME))),
      m_store(store),
      m_target(target),
      m_systemDirectory(RunningSystemDirectory()),
      m_engine(store, m_systemDirectory) {}

CQuillmereDlg::CQuillmereDlg(registry::RegistryStore& store, registry::RegTarget& target, std::string system_directory)
    : CDialog(IDD, nullptr),
      m_hIcon(::LoadIconA(GetInstanceHandle(), MAKEINTRESOURCEA(IDR_MAINFRAME))),
      m_store(store),
      m_target(target),
      m_systemDirectory(std::move(system_directory)),
      m_engine(store, m_systemDirectory) {}

CQuillmereDlg::~CQuillmereDlg() = default;

const MessageMap* CQuillmereDlg::GetMessageMap() const {
  static const MessageMapEntry entries[] = {
      OnSysCommandMessage(&CQuillmereDlg::OnSysCommand),
      OnMessage(WM_PAINT, &CQuillmereDlg::OnPaint),
      OnQueryDragIconMessage(&CQuillmereDlg::OnQueryDragIcon),
      OnNotifyCode(TVN_SELCHANGEDA, IDC_TREE, &CQuillmereDlg::OnTreeSelChanged),
      OnCommand(BN_CLICKED, IDC_SELECT_ALL, &CQuillmereDlg::OnSelectAll),
      OnCommand(BN_CLICKED, IDC_REPAIR, &CQuillmereDlg::OnRepairSelected),
      OnCommand(BN_CLICKED, IDC_RESCAN, &CQuillmereDlg::OnRescan),
  };
  static const MessageMap map{CDialog::GetMessageMap(), entries, std::size(entries)};
  return &map;
}

void CQuillmereDlg::DoDataExchange(CDataExchange* pDX) {
  CDialog::DoDataExchange(pDX);
  DDX_Control(pDX, IDC_SELECT_ALL, m_selectAllCheck);
}

BOOL CQuillmereDlg::OnInitDialog() {
  CDialog::OnInitDialog();

  if (HMENU system_menu = GetSystemMenu(FALSE)) {
    char about[256] = {};
    if (::LoadStringA(GetInstanceHandle(), IDS_ABOUTBOX, about, sizeof about) > 0 && about[0] != '\0') {
      ::AppendMenuA(system_menu, MF_SEPARATOR, 0, nullptr);
      ::AppendMenuA(system_menu, MF_STRING, IDM_ABOUTBOX, about);
    }
  }

  SetIcon(m_hIcon, TRUE);
  SetIcon(m_hIcon, FALSE);
  if (!m_caption.empty()) ::SetWindowTextA(m_hWnd, m_caption.c_str());

  for (int g = 0; g < repair::kGroupCount; ++g) {
    m_groupNames[g] = repair::Group(g).label;
    m_groupDescriptions[g] = repair::Group(g).description;
  }
  for (int i = 0; i < repair::kItemCount; ++i) {
    m_itemNames[i] = repair::Item(i).name;
    m_descriptions[i] = repair::Item(i).description;
  }

  // The check boxes come as a style change before the tree holds anything:
  // a tree made with them builds its box images at its first paint and
  // clears every tick given before it (Windows documents the same).
  m_tree.Create(kTreeStyle & ~TVS_CHECKBOXES, kTreeRect, this, IDC_TREE);
  ::SetWindowLongPtrA(m_tree.m_hWnd, GWL_STYLE, static_cast<LONG_PTR>(kTreeStyle));
  for (int g = 0; g < repair::kGroupCount; ++g) {
    m_groupItems[g] = m_tree.InsertItem(m_groupNames[g].c_str(), TVI_ROOT, TVI_LAST);
    m_tree.SetItemData(m_groupItems[g], static_cast<DWORD_PTR>(repair::Group(g).item_data));
  }
  // Each group's leaves in index order: the items whose rows name it.
  for (int g = 0; g < repair::kGroupCount; ++g) {
    for (int i = 0; i < repair::kItemCount; ++i) {
      if (repair::GroupOf(i) != g) continue;
      m_leafItems[i] = m_tree.InsertItem(m_itemNames[i].c_str(), m_groupItems[g], TVI_LAST);
      m_tree.SetItemData(m_leafItems[i], static_cast<DWORD_PTR>(i));
    }
  }
  m_tree.Expand(m_groupItems[repair::kSystemGroup], TVE_EXPAND);
  m_tree.Expand(m_groupItems[repair::kIeGroup], TVE_EXPAND);
  // Wine's tree scrolls the children of an expanded group into view, which
  // Windows' does not: start at the top either way, so the first leaves show.
  m_tree.SendMessage(TVM_SELECTITEM, TVGN_FIRSTVISIBLE,
                     reinterpret_cast<LPARAM>(m_groupItems[repair::kSystemGroup]));

  m_ticked.fill(0);
  m_repaired.fill(0);
  m_failed.fill(0);
  // Not yet visible: the first display shows these colours.
  RefreshHealth();
  return TRUE;
}

void CQuillmereDlg::OnSysCommand(UINT id, LPARAM) {
  // The system keeps the lowest four bits of a command id for itself.
  if ((id & 0xFFF0) == IDM_ABOUTBOX) {
    if (m_showAbout) m_showAbout();
  } else {
    Default();
  }
}

void CQuillmereDlg::OnPaint() {
  if (!IsIconic()) {
    Default();
    return;
  }
  PaintContext paint(m_hWnd);
  const HDC dc = paint.dc();
  SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  const int icon_width = ::GetSystemMetrics(SM_CXICON);
  const int icon_height = ::GetSystemMetrics(SM_CYICON);
  RECT client{};
  GetClientRect(&client);
  const int x = (client.right - client.left - icon_width + 1) / 2;
  const int y = (client.bottom - client.top - icon_height + 1) / 2;
  ::DrawIcon(dc, x, y, m_hIcon);
}

HCURSOR CQuillmereDlg::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }

void CQuillmereDlg::OnRescan() {
  RefreshHealth();
  InvalidateRect(nullptr, TRUE);
  UpdateWindow();
}

registry::PolicyEvidence CQuillmereDlg::Policy() const {
  return m_policySource ? m_policySource() : registry::PolicyEvidence();
}

// Damage that Group Policy set is no damage to show: its leaf is black.
void CQuillmereDlg::ScanItems() {
  const registry::PolicyEvidence policy = Policy();
  repair::RunProfile profile{&m_store, &m_target, m_systemDirectory};
  profile.policy = &policy;
  const repair::Findings found = repair::Evaluate(m_engine, m_store, profile, false);
  for (int i = 0; i < repair::kItemCount; ++i) {
    const repair::ItemState state = found.states[i];
    m_healthy[i] = state == repair::ItemState::kHealthy || state == repair::ItemState::kManaged;
    m_managedBy[i] = found.policy[i];
  }
}

void CQuillmereDlg::RefreshHealth() {
  ScanItems();
  for (int i = 0; i < repair::kItemCount; ++i) m_tree.SetItemTextColor(m_leafItems[i], HealthColor(m_healthy[i]));
}

// ---------------------------------------------------------------- repair run

repair::TickState CQuillmereDlg::TickedLeaves() const {
  repair::TickState ticked{};
  for (int i = 0; i < repair::kItemCount; ++i) ticked[i] = m_tree.GetCheck(m_leafItems[i]) == 1;
  return ticked;
}

// The command line's repair run over this machine's registry: planned, carried
// out, read back; an item is reported repaired only when it reads healthy.
void CQuillmereDlg::OnRepairSelected() {
  const repair::TickState ticked = TickedLeaves();
  std::vector<int> requested;
  for (int i = 0; i < repair::kItemCount; ++i) {
    if (ticked[i]) requested.push_back(i);
  }
  repair::RunFlags& flags = *this;
  flags = repair::RunFlags();
  if (requested.empty()) {
    MessageBox(repair::kSelectItemText, repair::kCaption, kMessageBoxType);
  } else {
    const registry::PolicyEvidence policy = Policy();
    repair::RunProfile profile{&m_store, &m_target, m_systemDirectory};
    profile.policy = &policy;
    repair::RepairRun run({profile}, requested, false);
    std::string problem;
    if (!KeepUndo(run, &problem)) {
      MessageBox((repair::kNoUndoText + problem).c_str(), repair::kCaption, kMessageBoxType);
    } else {
      run.CarryOut();
      if (m_commit && !m_commit(&problem)) {
        // What the dialog holds is no longer what the files hold: it shows
        // nothing more that it cannot prove.
        MessageBox((kNotWrittenText + registry::Utf8ToGbk(problem)).c_str(), repair::kCaption, kMessageBoxType);
        EndDialog(IDCANCEL);
        return;
      }
      run.ReadBack();
      flags = run.profiles()[0].flags;
      m_leftAlone.fill(0);
      for (int index : run.profiles()[0].left_alone) m_leftAlone[index] = 1;
      ShowRepairReport();
    }
  }
  RefreshHealth();
  InvalidateRect(nullptr, TRUE);
  UpdateWindow();
}

bool CQuillmereDlg::KeepUndo(const repair::RepairRun& run, std::string* problem) {
  bool changes = false;
  for (const repair::PlanPart& part : run.parts()) changes |= !part.plan.empty();
  if (!changes || !m_backupPlace) return true;
  const std::string path = m_backupPlace(problem);
  if (path.empty()) return false;
  try {
    // The folder was proved no link: it is opened again the same way.
    repair::WriteBackup(registry::FilePlace::WithoutLinks(path), run.parts(), {m_backupUser});
  } catch (const repair::BackupError& error) {
    *problem = error.what();
    return false;
  }
  return true;
}

bool CQuillmereDlg::ComposeRepairReport() {
  return repair::ComposeRepairReport(*this, TickedLeaves(), *this, &m_leftAlone);
}

void CQuillmereDlg::ShowRepairReport() {
  const bool reported = ComposeRepairReport();
  MessageBox(reported ? m_reportText.c_str() : m_noRepairText.c_str(), repair::kCaption, kMessageBoxType);
}

// ---------------------------------------------------------------- tree interaction

void CQuillmereDlg::OnTreeSelChanged(NMHDR*, LRESULT* result) {
  *result = 0;
  // Only while the tree is being destroyed can nothing be selected.
  const HTREEITEM selected = m_tree.GetSelectedItem();
  if (!selected) return;
  const auto data = static_cast<long>(m_tree.GetItemData(selected));
  if (const std::string* text = DescriptionOf(data)) ::SetDlgItemTextA(m_hWnd, IDC_DESCRIPTION, text->c_str());
}

const std::string* CQuillmereDlg::DescriptionOf(long data) {
  const repair::TreeNodeRef node = repair::NodeOfItemData(data);
  switch (node.kind) {
    case repair::TreeNodeRef::Kind::kItem:
      if (const auto& origin = m_managedBy[node.index]) {
        // One more line names the policy that sets it.
        m_shownDescription = m_descriptions[node.index] + "\r\n" + repair::kManagedLine +
                             registry::Utf8ToGbk(origin->name);
        return &m_shownDescription;
      }
      return &m_descriptions[node.index];
    case repair::TreeNodeRef::Kind::kGroup:
      return &m_groupDescriptions[node.index];
    case repair::TreeNodeRef::Kind::kNone:
      break;
  }
  return nullptr;
}

void CQuillmereDlg::SetLeafChecks(int group, BOOL check) {
  for (int i = 0; i < repair::kItemCount; ++i) {
    if (repair::GroupOf(i) == group) m_tree.SetCheck(m_leafItems[i], check);
  }
}

void CQuillmereDlg::OnSelectAll() {
  const BOOL check = m_selectAllCheck.GetCheck() == BST_CHECKED;
  m_tree.SetCheck(m_groupItems[repair::kSystemGroup], check);
  m_tree.SetCheck(m_groupItems[repair::kIeGroup], check);
  if (m_tree.GetCheck(m_groupItems[repair::kSystemGroup]) == 1) SetLeafChecks(repair::kSystemGroup, TRUE);
  if (m_tree.GetCheck(m_groupItems[repair::kIeGroup]) == 1) SetLeafChecks(repair::kIeGroup, TRUE);
  if (m_tree.GetCheck(m_groupItems[repair::kSystemGroup]) == 0) SetLeafChecks(repair::kSystemGroup, FALSE);
  if (m_tree.GetCheck(m_groupItems[repair::kIeGroup]) == 0) SetLeafChecks(repair::kIeGroup, FALSE);
}

BOOL CQuillmereDlg::OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* result) {
  const auto* header = reinterpret_cast<const NMHDR*>(lParam);
  if (wParam == IDC_TREE && header->code == static_cast<UINT>(NM_CLICK)) {
    PropagateGroupCheck();
    if (CWnd* main = GetApp() ? GetApp()->m_pMainWnd : nullptr) main->InvalidateRect(nullptr, TRUE);
  }
  return CDialog::OnNotify(wParam, lParam, result);
}

void CQuillmereDlg::PropagateGroupCheck() {
  POINT cursor{};
  ::GetCursorPos(&cursor);
  m_tree.ScreenToClient(&cursor);
  UINT flags = 0;
  const HTREEITEM item = m_tree.HitTest(cursor, &flags);
  if (!item || !(flags & TVHT_ONITEMSTATEICON)) return;
  // The tree toggles the group's own box after this notification: the leaves
  // take the state the group is about to take.
  for (int g = 0; g < repair::kGroupCount; ++g) {
    if (item != m_groupItems[g]) continue;
    SetLeafChecks(g, m_tree.GetCheck(item) == 0);
  }
}

}  // namespace torvane::ui
