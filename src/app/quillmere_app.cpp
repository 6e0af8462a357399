#include "app/quillmere_app.h"

#include <cstdlib>

#include "app/about_dlg.h"
#include "app/chooser_dlg.h"
#include "registry/codepage.h"
#include "registry/hive_store.h"
#include "registry/volume_policy.h"
#include "repair/run.h"
#include "repair/value_read.h"
#include "registry/backup_folder_win32.h"
#include "registry/live_policy_win32.h"
#include "registry/live_store_win32.h"
#include "registry/system_dlls_win32.h"
#include "ui/quillmere_dlg.h"

namespace torvane::ui {

namespace {

CQuillmereApp theApp;

void ShowAboutBox() {
  CAboutDlg about;
  about.DoModal();
}

// Registers the classic common-control classes, the tree view's among them,
// before the first dialog is created. comctl32 is no known DLL: imported, it
// would be looked up beside the program first, so it is loaded from the
// system folder and its initialiser found by name. It stays loaded: the
// classes live in it. A failure leaves the classes the system registers
// anyway; start-up goes on.
void InitCommonControlClasses() {
  HMODULE comctl32 = registry::LoadSystemDll("comctl32.dll");
  if (!comctl32) return;
  using InitCommonControlsExFn = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
  const FARPROC found = ::GetProcAddress(comctl32, "InitCommonControlsEx");
  if (!found) return;
  // Size 8 and all eight classic classes.
  INITCOMMONCONTROLSEX classes{};
  classes.dwSize = 8;
  classes.dwICC = 0xFF;
  reinterpret_cast<InitCommonControlsExFn>(reinterpret_cast<void (*)()>(found))(&classes);
}

constexpr UINT kMessageBoxType = MB_OK | MB_ICONINFORMATION;

// From a rescue system: the user picks an installed Windows and one of its
// profiles, and the main dialog works on their hive files, which each
// repair writes back together.
void RunOnInstalledWindows(CWinApp& app) {
  const std::vector<Installation> found = FindInstallations();
  if (found.empty()) {
    ::MessageBoxA(nullptr, "没有找到可修复的Windows", repair::kCaption, kMessageBoxType);
    return;
  }
  CChooserDlg chooser(found);
  if (chooser.DoModal() != IDOK || chooser.m_installation < 0) return;
  const Installation& chosen = found[chooser.m_installation];
  const registry::VolumeProfile* profile =
      chooser.m_profile < 0 ? nullptr : &chosen.found.profiles[chosen.usable[chooser.m_profile]];

  std::shared_ptr<registry::HiveFile> software, user;
  try {
    software = registry::HiveFile::Open(registry::FilePlace(chosen.found.config, *chosen.found.software), true);
    if (profile) user = registry::HiveFile::Open(registry::FilePlace(profile->folder, profile->hive), true);
  } catch (const registry::HiveError& error) {
    const std::string text = std::string("无法打开注册表文件：\r\n") + registry::Utf8ToGbk(error.what());
    ::MessageBoxA(nullptr, text.c_str(), repair::kCaption, kMessageBoxType);
    return;
  }
  registry::HiveStore store(software, user);
  const std::string system_directory =
      registry::SystemDirectoryOnVolume(repair::SystemDirectoryOf(store), chosen.found.windows_folder);
  CQuillmereDlg dialog(store, store, system_directory);
  std::string caption = "Torvane系统修复助手V1.0 - " + chosen.folder;
  if (profile) caption += " (" + registry::Utf8ToGbk(profile->name) + ")";
  dialog.SetCaption(caption);
  dialog.SetAboutHandler(&ShowAboutBox);
  const std::shared_ptr<const registry::Folder> volume = chosen.volume;
  const std::shared_ptr<const registry::Folder> profile_folder = profile ? profile->folder : nullptr;
  dialog.SetPolicySource([volume, profile_folder] {
    // A volume whose policy folders cannot be walked (two names for one in
    // different letter case) gives no evidence: no item is then the policy's.
    try {
      std::vector<registry::LocalPolicyFile> local_files;
      const registry::PolicyEvidence machine = registry::MachinePolicyOfVolume(volume, &local_files);
      return *registry::PolicyOfProfile(machine, profile_folder);
    } catch (const registry::FileError&) {
      return registry::PolicyEvidence();
    }
  });
  const std::string root = chosen.root;
  dialog.SetBackupPlace([root](std::string* problem) { return registry::NewBackupFileOnVolume(root, problem); });
  if (profile) dialog.SetBackupUser(profile->name);
  // Each commit replaces only the files this run read and holds locked: once
  // they cannot be locked again, no further change is written.
  auto relock_problem = std::make_shared<std::string>();
  dialog.SetCommit([software, user, relock_problem](std::string* problem) {
    if (!relock_problem->empty()) {
      *problem = *relock_problem;
      return false;
    }
    try {
      registry::CommitHives({software.get(), user.get()});
    } catch (const std::exception& error) {
      *problem = error.what();
      return false;
    }
    try {
      for (registry::HiveFile* hive : {software.get(), user.get()}) {
        if (hive) hive->LockAgain();
      }
    } catch (const std::exception& error) {
      *relock_problem = std::string(error.what()) + " (after the last repair was written)";
    }
    return true;
  });
  app.m_pMainWnd = &dialog;
  dialog.DoModal();
  app.m_pMainWnd = nullptr;
}

}  // namespace

BOOL CQuillmereApp::InitInstance() {
  InitCommonControlClasses();

  CWinApp::InitInstance();
  SetRegistryKey("应用程序向导生成的本地应用程序");

  if (RunningOnWindowsPe()) {
    RunOnInstalledWindows(*this);
    return FALSE;
  }

  registry::LiveStore store;
  CQuillmereDlg dialog(store, store);
  dialog.SetAboutHandler(&ShowAboutBox);
  dialog.SetPolicySource(&registry::LiveOwnPolicy);
  dialog.SetBackupPlace(&registry::NewBackupFile);
  m_pMainWnd = &dialog;
  dialog.DoModal();
  m_pMainWnd = nullptr;
  return FALSE;
}

}  // namespace torvane::ui

// The library's default terminate handler prints the demangled type of the
// exception, which links a demangler and a printf into a program that has no
// console to print to. Ending at once is all a window program can do.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  torvane::registry::RestrictDllSearch();
  return torvane::ui::RunApplication(instance);
}
