#include "registry/live_policy_win32.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <iterator>
#include <optional>

#include "registry/owned.h"
#include "registry/preg.h"
#include "registry/utf.h"
#include "registry/win32_store.h"

namespace torvane::registry {

std::string Win32ErrorText(long code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return "no such file";
    case ERROR_ACCESS_DENIED: return "access denied";
    case ERROR_SHARING_VIOLATION: return "in use by another process";
    case ERROR_BADDB:
    case ERROR_REGISTRY_CORRUPT:
    case ERROR_NOT_REGISTRY_FILE: return "not a registry hive";
    case ERROR_PRIVILEGE_NOT_HELD: return "SeBackupPrivilege and SeRestorePrivilege are not enabled";
    default: return "error " + std::to_string(code);
  }
}

std::vector<std::wstring> LiveSubkeyNames(HKEY key) {
  std::vector<std::wstring> names;
  wchar_t name[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = 256;
    const LONG rc = ::RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc == ERROR_SUCCESS) names.emplace_back(name, length);
  }
  return names;
}

namespace {

std::string Utf8(const std::wstring& text) { return WideToUtf8(text); }

// Whether `sid` is one of the accounts that may write the machine's policy:
// the system, the administrators, TrustedInstaller.
bool IsPolicyWriter(PSID sid) {
  if (sid == nullptr || !::IsValidSid(sid)) return false;
  if (::IsWellKnownSid(sid, WinLocalSystemSid) || ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) return true;
  // NT SERVICE\TrustedInstaller
  static const wchar_t kTrustedInstaller[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
  PSID trusted = nullptr;
  if (!::ConvertStringSidToSidW(kTrustedInstaller, &trusted)) return false;
  const bool same = ::EqualSid(sid, trusted) != FALSE;
  ::LocalFree(trusted);
  return same;
}

std::string SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (sid == nullptr || !::ConvertSidToStringSidW(sid, &text)) return "an unknown account";
  std::string out = Utf8(text);
  ::LocalFree(text);
  return out;
}

}  // namespace

namespace {

constexpr ACCESS_MASK kFileChanges =
    FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER | DELETE | GENERIC_WRITE | GENERIC_ALL;

// Why an entry of `dacl` lets someone other than the system, the
// administrators or TrustedInstaller make one of `changes`; empty when none.
std::string ForgeableEntries(const ACL* dacl, ACCESS_MASK changes) {
  if (dacl == nullptr) return "its permissions let everyone change it";
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!::GetAce(const_cast<ACL*>(dacl), i, &entry)) continue;
    const auto* header = static_cast<ACE_HEADER*>(entry);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) continue;
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    PSID trustee = const_cast<DWORD*>(&allowed->SidStart);
    if ((allowed->Mask & changes) != 0 && !IsPolicyWriter(trustee)) {
      return "its permissions let " + SidText(trustee) + " change it";
    }
  }
  return {};
}

// Whether `dacl` names OWNER RIGHTS: then the owner holds only what those
// entries give it, not the right to change the permissions.
bool LimitsOwner(const ACL* dacl) {
  if (dacl == nullptr) return false;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!::GetAce(const_cast<ACL*>(dacl), i, &entry)) continue;
    const auto* header = static_cast<ACE_HEADER*>(entry);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) continue;
    PSID trustee = &static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart;
    if (::IsWellKnownSid(trustee, WinCreatorOwnerRightsSid)) return true;
  }
  return false;
}

}  // namespace

std::string ForgeableBy(void* owner_sid, void* dacl_list) {
  const PSID owner = owner_sid;
  if (!IsPolicyWriter(owner)) return "it is owned by " + SidText(owner);
  return ForgeableEntries(static_cast<const ACL*>(dacl_list), kFileChanges);
}

std::string ForgeableFolder(void* owner_sid, void* dacl_list) {
  const auto* dacl = static_cast<const ACL*>(dacl_list);
  if (!IsPolicyWriter(owner_sid) && !LimitsOwner(dacl)) return "it is owned by " + SidText(owner_sid);
  // Adding or removing a file inside is a change too.
  return ForgeableEntries(dacl, kFileChanges | FILE_DELETE_CHILD);
}

namespace {

// ForgeableBy for the file open as `file`.
std::string ForgeableFile(HANDLE file) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD rc = ::GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                     &owner, nullptr, &dacl, nullptr, &descriptor);
  if (rc != ERROR_SUCCESS) return "its permissions cannot be read (" + Win32ErrorText(static_cast<LONG>(rc)) + ")";
  std::string why = ForgeableBy(owner, dacl);
  ::LocalFree(descriptor);
  return why;
}

// A policy file of the machine, read whole and never through a link; nullopt
// when it is not there. `forgeable`: why a standard user could have written it.
std::optional<std::string> ReadPolicyFile(const std::wstring& path, std::string* forgeable, std::string* problem) {
  UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ | READ_CONTROL,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) {
    const DWORD code = ::GetLastError();
    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) *problem = Win32ErrorText(static_cast<LONG>(code));
    return std::nullopt;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file.get(), &info)) {
    *problem = Win32ErrorText(static_cast<LONG>(::GetLastError()));
    return std::nullopt;
  }
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
    *problem = "not a plain file";
    return std::nullopt;
  }
  const unsigned long long size = (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  if (size > kMaxPregFileBytes) {
    *problem = "larger than a policy file can be";
    return std::nullopt;
  }
  std::string bytes(static_cast<std::size_t>(size), '\0');
  DWORD read = 0;
  if (size > 0 && (!::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(size), &read, nullptr) || read != size)) {
    *problem = "cannot be read";
    return std::nullopt;
  }
  *forgeable = ForgeableFile(file.get());
  return bytes;
}

// The display names of the policy objects the registry extension applied to
// the machine, other than the local one; empty when there is none.
std::string DomainPolicyNames() {
  OwnedKey history;
  const wchar_t kHistory[] =
      L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Group Policy\\History\\{35378EAC-683F-11D2-A89A-00C04FBBCFA2}";
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kHistory, 0, KEY_READ | KEY_WOW64_64KEY, history.out()) != ERROR_SUCCESS) {
    return {};
  }
  std::string names;
  for (const std::wstring& number : LiveSubkeyNames(history.get())) {
    OwnedKey entry;
    if (::RegOpenKeyExW(history.get(), number.c_str(), 0, KEY_READ, entry.out()) != ERROR_SUCCESS) continue;
    wchar_t text[512] = {};
    DWORD type = 0, size = sizeof text - sizeof(wchar_t);
    if (::RegQueryValueExW(entry.get(), L"GPOName", nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
      continue;
    }
    std::wstring name(text);
    if (name == L"Local Group Policy") continue;
    size = sizeof text - sizeof(wchar_t);
    std::fill(std::begin(text), std::end(text), L'\0');
    if (::RegQueryValueExW(entry.get(), L"DisplayName", nullptr, &type, reinterpret_cast<BYTE*>(text), &size) ==
            ERROR_SUCCESS &&
        type == REG_SZ && text[0] != L'\0') {
      name = text;
    }
    names += (names.empty() ? "" : ", ") + Utf8(name);
  }
  return names;
}

}  // namespace

// Reads the policy file `path` into `evidence`, trusted only when no one but
// the system, the administrators and TrustedInstaller could have written it:
// the owner and permissions are checked on each.
void AddLivePolicyFile(PolicyEvidence& evidence, const std::wstring& path, HKey root,
                       const std::string& scope, const std::string& name) {
  std::string forgeable, problem;
  const auto bytes = ReadPolicyFile(path, &forgeable, &problem);
  const std::string where = Utf8(path);
  if (!problem.empty()) evidence.Note(where + ": " + problem + "; not read as evidence of policy");
  if (!bytes) return;
  try {
    PregFile file =
        PregFile::Parse({reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size()});
    evidence.Add(root, {scope, name, where, true}, std::move(file), forgeable.empty());
    if (!forgeable.empty()) evidence.Note(where + ": not evidence of policy: " + forgeable);
  } catch (const PregError& error) {
    evidence.Note(where + ": " + error.what() + "; not read as evidence of policy");
  }
}

// The Group Policy files of this machine, read once for every profile; the
// domain's policy objects' names, empty when the history lists none.
PolicyEvidence LiveMachinePolicy(std::string* domain) {
  PolicyEvidence evidence;
  wchar_t windows[MAX_PATH] = {};
  const UINT length = ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
  const std::wstring system_root = length > 0 && length < MAX_PATH ? windows : L"C:\\Windows";
  wchar_t data[MAX_PATH] = {};
  const DWORD data_length = ::GetEnvironmentVariableW(L"ProgramData", data, MAX_PATH);
  const std::wstring program_data = data_length > 0 && data_length < MAX_PATH ? data : L"C:\\ProgramData";
  *domain = DomainPolicyNames();
  const std::wstring local = system_root + L"\\System32\\GroupPolicy\\";
  // In the order Windows applies them: the local policy object, then the
  // domain's, whose merged result Group Policy keeps in ntuser.pol.
  AddLivePolicyFile(evidence, local + L"Machine\\Registry.pol", kLocalMachine, "local", "Local Group Policy");
  AddLivePolicyFile(evidence, local + L"User\\Registry.pol", kCurrentUser, "local", "Local Group Policy");
  if (!domain->empty()) {
    AddLivePolicyFile(evidence, program_data + L"\\ntuser.pol", kLocalMachine, "domain", *domain);
  }
  return evidence;
}

void AddLiveProfilePolicy(PolicyEvidence& evidence, const std::wstring& folder, const std::string& domain) {
  if (domain.empty() || folder.empty()) return;
  AddLivePolicyFile(evidence, folder + L"\\ntuser.pol", kCurrentUser, "domain", domain);
}

PolicyEvidence LiveOwnPolicy() {
  std::string domain;
  PolicyEvidence evidence = LiveMachinePolicy(&domain);
  wchar_t own[MAX_PATH] = {};
  const DWORD got = ::GetEnvironmentVariableW(L"USERPROFILE", own, MAX_PATH);
  if (got > 0 && got < MAX_PATH) AddLiveProfilePolicy(evidence, own, domain);
  return evidence;
}

}  // namespace torvane::registry
