#include "app/quillmere_app.h"

#include <cstdlib>

#include "app/about_dlg.h"
#include "registry/win32_store.h"
#include "ui/quillmere_dlg.h"

namespace torvane::ui {

namespace {
CQuillmereApp theApp;

void ShowAboutBox() {
  CAboutDlg about;
  about.DoModal();
}
}  // namespace

BOOL CQuillmereApp::InitInstance() {
  // Size 8 and all eight classic classes. A failure leaves the classes the
  // system registers anyway; start-up goes on.
  INITCOMMONCONTROLSEX classes{};
  classes.dwSize = 8;
  classes.dwICC = 0xFF;
  ::InitCommonControlsEx(&classes);

  CWinApp::InitInstance();
  SetRegistryKey("应用程序向导生成的本地应用程序");

  registry::Win32Store store;
  CQuillmereDlg dialog(store);
  dialog.SetAboutHandler(&ShowAboutBox);
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
  return torvane::ui::RunApplication(instance);
}
