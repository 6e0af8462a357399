#include "registry/backup_folder_win32.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include "registry/digits.h"
#include "registry/live_policy_win32.h"
#include "registry/owned.h"
#include "registry/system_dlls_win32.h"
#include "registry/win32_store.h"

namespace torvane::registry {

namespace {

// Full control for the system and the administrators, inherited by what is
// made inside; no one else, and nothing inherited from above. The owner
// (whoever the system makes it) may only read: it cannot open the folder
// to others later.
constexpr wchar_t kFolderSecurity[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;OW)";

std::wstring ProgramData() {
  // Where the machine keeps it, not the user's environment, which the user
  // (or what runs as the user) can point anywhere. Looked up when a repair
  // needs it: the shell's DLLs stay out of the program's start.
  using GetKnownFolderFn = HRESULT(WINAPI*)(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR*);
  using FreeFn = void(WINAPI*)(void*);
  const HMODULE shell = LoadSystemDll("shell32.dll");
  const HMODULE com = LoadSystemDll("ole32.dll");
  if (shell == nullptr || com == nullptr) return {};
  const auto get = reinterpret_cast<GetKnownFolderFn>(
      reinterpret_cast<void (*)()>(::GetProcAddress(shell, "SHGetKnownFolderPath")));
  const auto free = reinterpret_cast<FreeFn>(reinterpret_cast<void (*)()>(::GetProcAddress(com, "CoTaskMemFree")));
  if (get == nullptr || free == nullptr) return {};
  // FOLDERID_ProgramData
  static const GUID kProgramData = {0x62AB5D82, 0xFDC1, 0x4DC3, {0xA9, 0xDD, 0x07, 0x0D, 0x1D, 0x49, 0x5D, 0x97}};
  wchar_t* path = nullptr;
  std::wstring found;
  if (get(kProgramData, KF_FLAG_DONT_VERIFY, nullptr, &path) == S_OK && path != nullptr) found = path;
  free(path);
  return found;
}

// Wine keeps no security of files: every file reads as owned by the user,
// with permissions made up from the Unix mode. There no folder can be
// proved to be the administrators' alone, and none can be made so.
bool FileSecurityIsMadeUp() {
  const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Opens `path` as itself (a reparse point there is not followed) with
// `access`; empty when it is a plain folder, otherwise why not.
std::string OpenPlainFolder(const std::wstring& path, DWORD access, UniqueHandle* folder) {
  *folder = UniqueHandle(::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                       nullptr));
  if (!folder->valid()) return "cannot be opened (" + Win32ErrorText(static_cast<long>(::GetLastError())) + ")";
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(folder->get(), &info)) {
    return "cannot be looked at (" + Win32ErrorText(static_cast<long>(::GetLastError())) + ")";
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return "is a link, not a folder";
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return "is not a folder";
  return {};
}

// Makes `path` when missing, then proves it is a folder of its own (no
// link, junction or mount point) that only the administrators and the
// system may change. Empty when it is; otherwise why not.
std::string Settled(const std::wstring& path) {
  PSECURITY_DESCRIPTOR made = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kFolderSecurity, SDDL_REVISION_1, &made, nullptr)) {
    return "cannot describe its permissions (" + Win32ErrorText(static_cast<long>(::GetLastError())) + ")";
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, made, FALSE};
  const bool created = ::CreateDirectoryW(path.c_str(), &attributes) != FALSE;
  const DWORD create_error = created ? ERROR_SUCCESS : ::GetLastError();
  ::LocalFree(made);
  if (!created && create_error != ERROR_ALREADY_EXISTS) {
    return "cannot be made (" + Win32ErrorText(static_cast<long>(create_error)) + ")";
  }
  UniqueHandle folder;
  if (std::string why = OpenPlainFolder(path, READ_CONTROL | FILE_READ_ATTRIBUTES, &folder); !why.empty()) return why;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD rc = ::GetSecurityInfo(folder.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                     &owner, nullptr, &dacl, nullptr, &descriptor);
  if (rc != ERROR_SUCCESS) return "its permissions cannot be read (" + Win32ErrorText(static_cast<long>(rc)) + ")";
  std::string why = ForgeableFolder(owner, dacl);
  ::LocalFree(descriptor);
  return FileSecurityIsMadeUp() ? std::string() : why;
}

std::string Ansi(const std::wstring& text, bool* exact) {
  BOOL lossy = FALSE;
  const int size = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, &lossy);
  std::string out(size > 0 ? size : 0, '\0');
  if (size > 0) {
    ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), static_cast<int>(text.size()), out.data(), size,
                          nullptr, &lossy);
  }
  *exact = size > 0 && !lossy;
  return out;
}

// The volume's own ProgramData folder: there already and no link, or made.
std::string VolumeProgramData(const std::wstring& path) {
  if (!::CreateDirectoryW(path.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
    return "cannot be made (" + Win32ErrorText(static_cast<long>(::GetLastError())) + ")";
  }
  UniqueHandle folder;
  return OpenPlainFolder(path, FILE_READ_ATTRIBUTES, &folder);
}

std::string NewBackupFileBelow(const std::wstring& base, std::string* problem) {
  std::wstring folder = base;
  for (const wchar_t* part : {L"\\TorvaneSafe", L"\\backups"}) {
    folder += part;
    if (const std::string why = Settled(folder); !why.empty()) {
      *problem = WideToUtf8(folder) + ": " + why;
      return {};
    }
  }
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  const std::string digits = DecimalDigits(now.wYear, 4) + DecimalDigits(now.wMonth, 2) + DecimalDigits(now.wDay, 2) +
                             "-" + DecimalDigits(now.wHour, 2) + DecimalDigits(now.wMinute, 2) +
                             DecimalDigits(now.wSecond, 2);
  const std::wstring stamp = Utf8ToWide(digits);
  // Two repairs within a second each get their own file.
  for (int n = 1; n < 100; ++n) {
    std::wstring name = folder + L"\\" + stamp;
    if (n > 1) name += L"-" + Utf8ToWide(DecimalDigits(n));
    name += L".reg";
    if (::GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES || ::GetLastError() != ERROR_FILE_NOT_FOUND) {
      continue;
    }
    bool exact = false;
    std::string path = Ansi(name, &exact);
    if (!exact) {
      *problem = WideToUtf8(name) + ": the code page cannot spell this path";
      return {};
    }
    return path;
  }
  *problem = WideToUtf8(folder) + ": too many backups made this second";
  return {};
}

}  // namespace

std::string NewBackupFile(std::string* problem) {
  const std::wstring base = ProgramData();
  if (base.empty()) {
    *problem = "the ProgramData folder is not known";
    return {};
  }
  return NewBackupFileBelow(base, problem);
}

std::string NewBackupFileOnVolume(const std::string& root, std::string* problem) {
  const int size = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, root.data(), static_cast<int>(root.size()),
                                         nullptr, 0);
  std::wstring base(size > 0 ? size : 0, L'\0');
  if (size > 0) {
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, root.data(), static_cast<int>(root.size()), base.data(),
                          size);
  }
  if (base.empty() || base.back() != L'\\') base += L'\\';
  base += L"ProgramData";
  if (const std::string why = VolumeProgramData(base); !why.empty()) {
    *problem = WideToUtf8(base) + ": " + why;
    return {};
  }
  return NewBackupFileBelow(base, problem);
}

}  // namespace torvane::registry
