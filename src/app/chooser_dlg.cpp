#include "app/chooser_dlg.h"

#include "registry/codepage.h"

namespace torvane::ui {

bool RunningOnWindowsPe() {
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\MiniNT", 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  ::RegCloseKey(key);
  return true;
}

std::vector<Installation> FindInstallations() {
  // The rescue system's own drive (X: on a PE stick) holds no Windows to
  // repair: its hives are the running registry.
  wchar_t system[MAX_PATH] = {};
  const UINT length = ::GetSystemWindowsDirectoryW(system, MAX_PATH);
  const wchar_t own = length > 0 && length < MAX_PATH ? static_cast<wchar_t>(::towupper(system[0])) : L'\0';
  std::vector<Installation> found;
  const DWORD drives = ::GetLogicalDrives();
  for (int letter = 0; letter < 26; ++letter) {
    if ((drives & (1u << letter)) == 0 || L'A' + letter == own) continue;
    const wchar_t wide_root[] = {static_cast<wchar_t>(L'A' + letter), L':', L'\\', L'\0'};
    if (::GetDriveTypeW(wide_root) != DRIVE_FIXED) continue;
    Installation installation;
    installation.root = std::string{static_cast<char>('A' + letter), ':', '\\'};
    try {
      installation.volume = registry::Folder::OpenVolume(installation.root);
      installation.found = registry::FindWindowsOnVolume(installation.volume);
    } catch (const registry::FileError&) {
      continue;  // a drive that cannot be read holds nothing we could repair
    }
    if (!installation.found.software) continue;
    installation.folder = installation.root + registry::Utf8ToGbk(installation.found.windows_folder);
    for (std::size_t k = 0; k < installation.found.profiles.size(); ++k) {
      const registry::VolumeProfile& profile = installation.found.profiles[k];
      if (profile.problem.empty() && profile.folder) installation.usable.push_back(k);
    }
    found.push_back(std::move(installation));
  }
  return found;
}

const MessageMap* CChooserDlg::GetMessageMap() const {
  static const MessageMapEntry entries[] = {
      OnCommand(LBN_SELCHANGE, IDC_WINDOWS_LIST, &CChooserDlg::OnWindowsChanged),
  };
  static const MessageMap map{CDialog::GetMessageMap(), entries, std::size(entries)};
  return &map;
}

BOOL CChooserDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  const HWND list = GetDlgItem(IDC_WINDOWS_LIST);
  for (const Installation& installation : m_found) {
    ::SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(installation.folder.c_str()));
  }
  ::SendMessageA(list, LB_SETCURSEL, 0, 0);
  FillProfiles(0);
  return TRUE;
}

void CChooserDlg::FillProfiles(int installation) {
  const HWND list = GetDlgItem(IDC_PROFILE_LIST);
  ::SendMessageA(list, LB_RESETCONTENT, 0, 0);
  if (installation < 0 || installation >= static_cast<int>(m_found.size())) return;
  const Installation& chosen = m_found[installation];
  for (std::size_t k : chosen.usable) {
    const std::string name = registry::Utf8ToGbk(chosen.found.profiles[k].name);
    ::SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
  }
  ::SendMessageA(list, LB_SETCURSEL, 0, 0);
}

void CChooserDlg::OnWindowsChanged() {
  FillProfiles(static_cast<int>(::SendMessageA(GetDlgItem(IDC_WINDOWS_LIST), LB_GETCURSEL, 0, 0)));
}

void CChooserDlg::OnOK() {
  const int installation = static_cast<int>(::SendMessageA(GetDlgItem(IDC_WINDOWS_LIST), LB_GETCURSEL, 0, 0));
  if (installation < 0 || installation >= static_cast<int>(m_found.size())) return;  // nothing chosen yet
  const int profile = static_cast<int>(::SendMessageA(GetDlgItem(IDC_PROFILE_LIST), LB_GETCURSEL, 0, 0));
  const int usable = static_cast<int>(m_found[installation].usable.size());
  if (usable > 0 && (profile < 0 || profile >= usable)) return;
  m_installation = installation;
  m_profile = usable > 0 ? profile : -1;
  CDialog::OnOK();
}

}  // namespace torvane::ui
