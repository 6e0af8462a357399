// The main dialog's template with nothing behind it: the yardstick for the
// program's start-up time.
#include <windows.h>
#include <commctrl.h>

#include "ui/resource.h"

namespace {

INT_PTR CALLBACK BareProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) return TRUE;
  if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
    EndDialog(window, LOWORD(wParam));
    return TRUE;
  }
  return FALSE;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  INITCOMMONCONTROLSEX classes{8, 0xFF};
  InitCommonControlsEx(&classes);
  DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_TORVANESAFE_DIALOG), nullptr, &BareProc, 0);
  return 0;
}
