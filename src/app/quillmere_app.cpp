#include "app/quillmere_app.h"

#include <cstdlib>

#include "app/about_dlg.h"
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

}  // namespace

BOOL CQuillmereApp::InitInstance() {
  InitCommonControlClasses();

  CWinApp::InitInstance();
  SetRegistryKey("应用程序向导生成的本地应用程序");

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
