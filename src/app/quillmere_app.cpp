#include "app/quillmere_app.h"

#include "registry/win32_store.h"
#include "ui/quillmere_dlg.h"

namespace torvane::ui {

namespace {
CQuillmereApp theApp;
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
  m_pMainWnd = &dialog;
  dialog.DoModal();
  m_pMainWnd = nullptr;
  return FALSE;
}

}  // namespace torvane::ui

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  return torvane::ui::RunApplication(instance);
}
