// Started from a rescue system (Windows PE): the installed Windows found on
// the local fixed drives, and the dialog in which the user picks one of
// them and one of its profiles before the main dialog opens.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "registry/file_io.h"
#include "registry/windows_volume.h"
#include "ui/framework.h"
#include "ui/resource.h"

namespace torvane::ui {

// True when the program runs on Windows PE (the system marks it with the
// key HKLM\SYSTEM\CurrentControlSet\Control\MiniNT).
bool RunningOnWindowsPe();

// A Windows on a local drive.
struct Installation {
  std::string root;    // the volume's root, "D:\" (UTF-8)
  std::string folder;  // its Windows folder as shown, "D:\Windows" (ANSI)
  std::shared_ptr<const registry::Folder> volume;
  registry::VolumeWindows found;
  // The profiles whose hive can be opened: indices into found.profiles.
  std::vector<std::size_t> usable;
};

// Every Windows with a SOFTWARE hive on the local fixed drives but the
// running system's own, in drive order.
std::vector<Installation> FindInstallations();

class CChooserDlg : public CDialog {
 public:
  static constexpr UINT IDD = IDD_CHOOSE_WINDOWS;

  explicit CChooserDlg(const std::vector<Installation>& found) : CDialog(IDD), m_found(found) {}
  ~CChooserDlg() override = default;

  const MessageMap* GetMessageMap() const override;

  // What the user chose, once the dialog ended with IDOK; m_profile is -1
  // when the installation has no profile to choose.
  int m_installation = -1;
  int m_profile = -1;

 protected:
  BOOL OnInitDialog() override;
  void OnOK() override;
  void OnWindowsChanged();

 private:
  void FillProfiles(int installation);

  const std::vector<Installation>& m_found;
};

}  // namespace torvane::ui
