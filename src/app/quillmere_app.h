// The application object: its InitInstance is the program's whole life.
#pragma once

#include "ui/framework.h"

namespace torvane::ui {

class CQuillmereApp : public CWinApp {
 public:
  CQuillmereApp() = default;
  ~CQuillmereApp() override = default;

  BOOL InitInstance() override;
};

}  // namespace torvane::ui
