#include "app/about_dlg.h"

namespace torvane::ui {

void CAboutDlg::DoDataExchange(CDataExchange* pDX) { CDialog::DoDataExchange(pDX); }

}  // namespace torvane::ui
