// The main dialog: owns every piece of the program's state for its life and
// binds the user's actions to the repair core.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>

#include "registry/group_policy.h"
#include "registry/reg_target.h"
#include "registry/registry.h"
#include "repair/catalogue.h"
#include "repair/engine.h"
#include "repair/protected_tools.h"
#include "repair/repair_run.h"
#include "repair/run.h"
#include "ui/framework.h"
#include "ui/resource.h"
#include "ui/tree_ctrl_x.h"

namespace torvane::ui {

// The run flags (m_healthy, m_ticked, m_repaired) and the report texts
// (m_reportText, m_noRepairText) are the dialog's own members through its
// two private bases, which the repair run of the core fills.
class CQuillmereDlg : public CDialog, private repair::RunFlags, private repair::RunTexts {
 public:
  static constexpr UINT IDD = IDD_TORVANESAFE_DIALOG;

  // `store` answers the registry operations for the dialog's whole life;
  // a repair's changes are carried out on `target`, the same registry.
  CQuillmereDlg(registry::RegistryStore& store, registry::RegTarget& target, CWnd* parent = nullptr);
  // The same for the registry of another Windows than the running one,
  // whose system directory is `system_directory`.
  CQuillmereDlg(registry::RegistryStore& store, registry::RegTarget& target, std::string system_directory);
  ~CQuillmereDlg() override;

  const MessageMap* GetMessageMap() const override;

  // What the system menu's About entry opens; the application installs it.
  using AboutHandler = void (*)();
  void SetAboutHandler(AboutHandler handler) { m_showAbout = handler; }

  // Reads the Group Policy files that decide which damage is policy's own
  // (read again for each scan and each repair); none set: no item is managed.
  using PolicySource = std::function<registry::PolicyEvidence()>;
  void SetPolicySource(PolicySource source) { m_policySource = std::move(source); }

  // Names a new file for the undo of a repair, or says why there is none;
  // none set: repairs keep no undo.
  using BackupPlace = std::function<std::string(std::string* problem)>;
  void SetBackupPlace(BackupPlace place) { m_backupPlace = std::move(place); }
  // How the undo names the user's keys: HKEY_USERS\<user> (a profile
  // folder's name, UTF-8); empty: HKEY_CURRENT_USER.
  void SetBackupUser(std::string user) { m_backupUser = std::move(user); }

  // Writes a repair's changes to where the registry is kept (the files of
  // offline hives) once they are made, before they are read back; false,
  // with the reason, when it could not. None set: the changes are made in
  // place (the live registry).
  using CommitChanges = std::function<bool(std::string* problem)>;
  void SetCommit(CommitChanges commit) { m_commit = std::move(commit); }

  // The caption in place of the template's; empty: the template's.
  void SetCaption(std::string caption) { m_caption = std::move(caption); }

 protected:
  BOOL OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* result) override;
  void DoDataExchange(CDataExchange* pDX) override;
  BOOL OnInitDialog() override;

  void OnSysCommand(UINT id, LPARAM param);
  void OnPaint();
  HCURSOR OnQueryDragIcon();
  void OnTreeSelChanged(NMHDR* header, LRESULT* result);
  void OnSelectAll();
  void OnRepairSelected();
  void OnRescan();

  void ScanItems();
  void RefreshHealth();
  bool ComposeRepairReport();
  void ShowRepairReport();
  void PropagateGroupCheck();

 private:
  repair::TickState TickedLeaves() const;
  void SetLeafChecks(int group, BOOL check);
  // The description pane's text for a node's item data; null for none of ours.
  const std::string* DescriptionOf(long data);
  registry::PolicyEvidence Policy() const;
  // Writes the undo of `run`'s plan before anything changes; false (with
  // the reason) when it cannot be written.
  bool KeepUndo(const repair::RepairRun& run, std::string* problem);

  std::string m_groupNames[repair::kGroupCount];
  std::string m_itemNames[repair::kItemCount];
  std::string m_descriptions[repair::kItemCount];
  std::string m_groupDescriptions[repair::kGroupCount];
  CButton m_selectAllCheck;
  CTreeCtrlX m_tree;
  // The list the engine matches image-option names against.
  const std::array<const char*, repair::kProtectedToolCount>& m_protectedTools = repair::kProtectedTools;
  HTREEITEM m_groupItems[repair::kGroupCount] = {};
  HTREEITEM m_leafItems[repair::kItemCount] = {};
  HICON m_hIcon;
  registry::RegistryStore& m_store;
  registry::RegTarget& m_target;
  std::string m_systemDirectory;
  repair::RepairEngine m_engine;
  AboutHandler m_showAbout = nullptr;
  PolicySource m_policySource;
  BackupPlace m_backupPlace;
  std::string m_backupUser;
  CommitChanges m_commit;
  std::string m_caption;
  // Per item, the policy that set its damage at the last scan.
  std::array<std::optional<registry::PolicyOrigin>, repair::kItemCount> m_managedBy;
  repair::ItemBytes m_leftAlone{};  // ticked, but managed: the last run left it
  std::string m_shownDescription;
};

}  // namespace torvane::ui
