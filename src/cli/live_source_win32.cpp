#include "cli/live_source_win32.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>
#include <memory>
#include <vector>

#include "cli/profile_plan.h"
#include "cli/report.h"
#include "registry/group_policy.h"
#include "registry/hive_mount_win32.h"
#include "registry/live_store_win32.h"
#include "registry/owned.h"
#include "registry/preg.h"
#include "registry/system_directory_win32.h"
#include "registry/user_root_store.h"
#include "repair/engine.h"

namespace torvane::cli {

namespace {

using registry::EnabledPrivileges;
using registry::MountedHive;
using registry::OwnedKey;

constexpr wchar_t kProfileList[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

std::string Utf8(const std::wstring& text) { return registry::WideToUtf8(text); }

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int size = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(size > 0 ? size : 0, L'\0');
  if (size > 0) ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), size);
  return out;
}

std::string Why(LONG code) {
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

std::vector<std::wstring> SubkeysOf(HKEY key) {
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

// ProfileImagePath, its environment variables expanded; nullopt when absent
// or not a text.
std::optional<std::string> ImagePathOf(HKEY list, const std::wstring& sid) {
  OwnedKey entry;
  if (::RegOpenKeyExW(list, sid.c_str(), 0, KEY_READ, entry.out()) != ERROR_SUCCESS) return std::nullopt;
  DWORD type = REG_NONE, size = 0;
  if (::RegQueryValueExW(entry.get(), L"ProfileImagePath", nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ) || size > 64 * 1024) {
    return std::nullopt;
  }
  std::vector<wchar_t> raw(size / sizeof(wchar_t) + 1, L'\0');
  if (::RegQueryValueExW(entry.get(), L"ProfileImagePath", nullptr, &type, reinterpret_cast<BYTE*>(raw.data()),
                         &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  const std::wstring text(raw.data());  // up to the first NUL
  if (type == REG_SZ || text.empty()) return Utf8(text);
  const DWORD needed = ::ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
  std::vector<wchar_t> expanded(needed + 1, L'\0');
  if (needed == 0 || ::ExpandEnvironmentStringsW(text.c_str(), expanded.data(), needed + 1) == 0) return Utf8(text);
  return Utf8(expanded.data());
}

std::string SystemDirectory() {
  const std::string directory = registry::SystemDirectory();
  return directory.empty() ? repair::kDefaultSystemDirectory : directory;
}

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

std::string ForgeableBy(void* owner_sid, void* dacl_list) {
  const PSID owner = owner_sid;
  const auto* dacl = static_cast<const ACL*>(dacl_list);
  std::string why;
  if (!IsPolicyWriter(owner)) {
    why = "it is owned by " + SidText(owner);
  } else if (dacl == nullptr) {
    why = "its permissions let everyone change it";
  } else {
    constexpr ACCESS_MASK kChanges = FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER | DELETE |
                                     GENERIC_WRITE | GENERIC_ALL;
    for (DWORD i = 0; i < dacl->AceCount && why.empty(); ++i) {
      void* entry = nullptr;
      if (!::GetAce(const_cast<ACL*>(dacl), i, &entry)) continue;
      const auto* header = static_cast<ACE_HEADER*>(entry);
      if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) continue;
      const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
      PSID trustee = const_cast<DWORD*>(&allowed->SidStart);
      if ((allowed->Mask & kChanges) != 0 && !IsPolicyWriter(trustee)) {
        why = "its permissions let " + SidText(trustee) + " change it";
      }
    }
  }
  return why;
}

namespace {

// ForgeableBy for the file open as `file`.
std::string ForgeableFile(HANDLE file) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD rc = ::GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                     &owner, nullptr, &dacl, nullptr, &descriptor);
  if (rc != ERROR_SUCCESS) return "its permissions cannot be read (" + Why(static_cast<LONG>(rc)) + ")";
  std::string why = ForgeableBy(owner, dacl);
  ::LocalFree(descriptor);
  return why;
}

// A policy file of the machine, read whole and never through a link; nullopt
// when it is not there. `forgeable`: why a standard user could have written it.
std::optional<std::string> ReadPolicyFile(const std::wstring& path, std::string* forgeable, std::string* problem) {
  registry::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ | READ_CONTROL,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) {
    const DWORD code = ::GetLastError();
    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) *problem = Why(static_cast<LONG>(code));
    return std::nullopt;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file.get(), &info)) {
    *problem = Why(static_cast<LONG>(::GetLastError()));
    return std::nullopt;
  }
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
    *problem = "not a plain file";
    return std::nullopt;
  }
  const unsigned long long size = (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  if (size > registry::kMaxPregFileBytes) {
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
  for (const std::wstring& number : SubkeysOf(history.get())) {
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

// Reads the policy file `path` into `evidence`, trusted only when no one but
// the system, the administrators and TrustedInstaller could have written it:
// the owner and permissions are checked on each.
void AddLivePolicyFile(registry::PolicyEvidence& evidence, const std::wstring& path, registry::HKey root,
                       const std::string& scope, const std::string& name) {
  std::string forgeable, problem;
  const auto bytes = ReadPolicyFile(path, &forgeable, &problem);
  const std::string where = Utf8(path);
  if (!problem.empty()) evidence.Note(where + ": " + problem + "; not read as evidence of policy");
  if (!bytes) return;
  try {
    registry::PregFile file =
        registry::PregFile::Parse({reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size()});
    evidence.Add(root, {scope, name, where, true}, std::move(file), forgeable.empty());
    if (!forgeable.empty()) evidence.Note(where + ": not evidence of policy: " + forgeable);
  } catch (const registry::PregError& error) {
    evidence.Note(where + ": " + error.what() + "; not read as evidence of policy");
  }
}

// The Group Policy files of this machine, read once for every profile; the
// domain's policy objects' names, empty when the history lists none.
registry::PolicyEvidence MachinePolicy(std::string* domain) {
  registry::PolicyEvidence evidence;
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
  AddLivePolicyFile(evidence, local + L"Machine\\Registry.pol", registry::kLocalMachine, "local", "Local Group Policy");
  AddLivePolicyFile(evidence, local + L"User\\Registry.pol", registry::kCurrentUser, "local", "Local Group Policy");
  if (!domain->empty()) {
    AddLivePolicyFile(evidence, program_data + L"\\ntuser.pol", registry::kLocalMachine, "domain", *domain);
  }
  return evidence;
}

class LiveSource final : public Source {
 public:
  LiveSource(LiveScope scope, const std::string& only) {
    label_ = "--live";
    if (scope == LiveScope::kOwnUser) {
      AddProfile(std::nullopt, std::nullopt, &store_, &store_, {});
      return;
    }
    WalkProfiles(only);
  }

  ~LiveSource() override {
    // Keys below a mount close first, or it stays loaded.
    stores_.clear();
    roots_.clear();
    for (auto& mount : mounts_) {
      const LONG rc = mount->Unload();
      if (rc != ERROR_SUCCESS) {
        std::fprintf(stderr, "torvane: HKEY_USERS\\%s: could not be unloaded (%s); the next run unloads it\n",
                     Printable(Utf8(mount->name())).c_str(), Why(rc).c_str());
      }
    }
  }

 private:
  void AddProfile(std::optional<std::string> name, std::optional<std::string> sid, registry::RegistryStore* store,
                  registry::RegTarget* target, std::string problem) {
    Profile profile;
    profile.name = std::move(name);
    profile.sid = std::move(sid);
    profile.store = store;
    profile.target = target;
    profile.has_user = problem.empty();
    profile.user_problem = std::move(problem);
    profile.system_directory = system_directory_;
    std::wstring folder;
    if (!profile.sid) {
      wchar_t own[MAX_PATH] = {};
      const DWORD got = ::GetEnvironmentVariableW(L"USERPROFILE", own, MAX_PATH);
      if (got > 0 && got < MAX_PATH) folder = own;
    } else if (const auto found = folders_.find(*profile.sid); found != folders_.end()) {
      folder = Wide(found->second);
    }
    if (!machine_policy_) machine_policy_ = MachinePolicy(&domain_);
    auto policy = std::make_shared<registry::PolicyEvidence>(*machine_policy_);
    if (!domain_.empty() && !folder.empty()) {
      AddLivePolicyFile(*policy, folder + L"\\ntuser.pol", registry::kCurrentUser, "domain", domain_);
    }
    profile.policy = std::move(policy);
    profiles_.push_back(std::move(profile));
  }

  // The hive at HKEY_USERS\`name` as the profile's user part.
  bool AddRooted(const PlannedProfile& planned, const std::wstring& name, std::string* problem) {
    auto root = std::make_unique<OwnedKey>();
    // Opened as itself: a link here would carry every write of this profile
    // into whatever it points at.
    LONG rc = ::RegOpenKeyExW(HKEY_USERS, name.c_str(), REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS, root->out());
    if (rc != ERROR_SUCCESS) rc = ::RegOpenKeyExW(HKEY_USERS, name.c_str(), REG_OPTION_OPEN_LINK, KEY_READ, root->out());
    if (rc != ERROR_SUCCESS) {
      *problem = "HKEY_USERS\\" + Utf8(name) + " cannot be opened (" + Why(rc) + ")";
      return false;
    }
    LONG asked = ERROR_SUCCESS;
    if (const auto target = registry::LinkTargetOf(root->get(), &asked)) {
      *problem = "HKEY_USERS\\" + Utf8(name) + " is a registry link to " + Utf8(*target) + ", which is not followed";
      return false;
    }
    if (asked != ERROR_SUCCESS) {
      *problem = "HKEY_USERS\\" + Utf8(name) + " cannot be read (" + Why(asked) + ")";
      return false;
    }
    auto store = std::make_unique<registry::UserRootStore>(store_, store_, reinterpret_cast<registry::HKey>(root->get()),
                                                          "HKEY_USERS\\" + Utf8(name));
    AddProfile(planned.name, planned.sid, store.get(), store.get(), {});
    roots_.push_back(std::move(root));
    stores_.push_back(std::move(store));
    return true;
  }

  void WalkProfiles(const std::string& only) {
    privileges_ = std::make_unique<EnabledPrivileges>();
    if (privileges_->enabled()) {
      const std::wstring stuck = registry::UnloadStaleMounts();
      if (!stuck.empty()) {
        std::fprintf(stderr, "torvane: mounts left by an earlier run could not be unloaded: %s\n",
                     Printable(Utf8(stuck)).c_str());
      }
    }
    std::vector<std::string> loaded;
    for (const std::wstring& name : SubkeysOf(HKEY_USERS)) loaded.push_back(Utf8(name));
    std::vector<ListedProfile> listed;
    OwnedKey list;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProfileList, 0, KEY_READ | KEY_WOW64_64KEY, list.out()) == ERROR_SUCCESS) {
      for (const std::wstring& sid : SubkeysOf(list.get())) {
        listed.push_back({Utf8(sid), ImagePathOf(list.get(), sid)});
        if (listed.back().image_path) folders_[listed.back().sid] = *listed.back().image_path;
      }
    }
    const std::vector<PlannedProfile> plan = PlanProfiles(loaded, listed, only);
    if (plan.empty() && !only.empty()) {
      throw SourceError("--user " + only + ": no profile of that name or SID on this machine");
    }
    if (plan.empty()) AddProfile(std::nullopt, std::nullopt, &unreachable_, &unreachable_, "no user profile on this machine");
    for (const PlannedProfile& planned : plan) {
      std::string problem = planned.problem;
      if (problem.empty() && planned.loaded) {
        if (AddRooted(planned, Wide(planned.sid), &problem)) continue;
      } else if (problem.empty()) {
        if (Mount(planned, &problem)) continue;
      }
      AddProfile(planned.name, planned.sid, &unreachable_, &unreachable_, problem);
    }
  }

  // A signed-out profile: its NTUSER.DAT mounted for the run.
  bool Mount(const PlannedProfile& planned, std::string* problem) {
    if (!privileges_->enabled()) {
      *problem = "signed out, and " + privileges_->problem();
      return false;
    }
    const std::wstring file = Wide(planned.hive);
    const DWORD attributes = ::GetFileAttributesW(file.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      *problem = planned.hive + ": " + Why(static_cast<LONG>(::GetLastError()));
      return false;
    }
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
      *problem = planned.hive + ": not a plain file";
      return false;
    }
    auto mount = std::make_unique<MountedHive>(
        registry::MountName(registry::OwnProcessId(), registry::OwnProcessStart(), Wide(planned.sid)), file);
    if (mount->error() != ERROR_SUCCESS) {
      *problem = planned.hive + ": cannot be loaded (" + Why(mount->error()) + ")";
      return false;
    }
    const std::wstring name = mount->name();
    mounts_.push_back(std::move(mount));
    return AddRooted(planned, name, problem);
  }

  // Destroyed in reverse: stores, then their root keys, then the mounts,
  // then the privileges.
  std::unique_ptr<EnabledPrivileges> privileges_;
  std::vector<std::unique_ptr<MountedHive>> mounts_;
  registry::LiveStore store_;
  std::vector<std::unique_ptr<OwnedKey>> roots_;
  std::vector<std::unique_ptr<registry::UserRootStore>> stores_;
  // A profile that cannot be reached: its user root opens nothing, so no
  // stray write lands in the hive of the account that runs us.
  registry::UserRootStore unreachable_{store_, store_, registry::kNullKey};
  std::string system_directory_ = SystemDirectory();
  std::map<std::string, std::string> folders_;  // by SID: the profile folder ProfileList names
  // The machine's policy files, read at the first profile.
  std::optional<registry::PolicyEvidence> machine_policy_;
  std::string domain_;
};

}  // namespace

std::unique_ptr<Source> OpenLiveSource(LiveScope scope, const std::string& only) {
  return std::make_unique<LiveSource>(scope, only);
}

bool RunningAsLocalSystem() {
  HANDLE opened = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &opened)) return false;
  const registry::UniqueHandle token(opened);
  alignas(TOKEN_USER) unsigned char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  const bool known = ::GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size);
  return known && ::IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, WinLocalSystemSid);
}

}  // namespace torvane::cli
