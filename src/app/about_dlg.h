// The About box the system menu of the main dialog opens.
#pragma once

#include "ui/framework.h"
#include "ui/resource.h"

namespace torvane::ui {

class CAboutDlg : public CDialog {
 public:
  static constexpr UINT IDD = IDD_ABOUTBOX;

  CAboutDlg() : CDialog(IDD) {}
  ~CAboutDlg() override = default;

 protected:
  void DoDataExchange(CDataExchange* pDX) override;
};

}  // namespace torvane::ui
