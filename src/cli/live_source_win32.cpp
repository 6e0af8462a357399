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
#include "registry/live_policy_win32.h"
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

}  // namespace

namespace {

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
                     Printable(Utf8(mount->name())).c_str(), registry::Win32ErrorText(rc).c_str());
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
    if (!machine_policy_) machine_policy_ = registry::LiveMachinePolicy(&domain_);
    auto policy = std::make_shared<registry::PolicyEvidence>(*machine_policy_);
    registry::AddLiveProfilePolicy(*policy, folder, domain_);
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
      *problem = "HKEY_USERS\\" + Utf8(name) + " cannot be opened (" + registry::Win32ErrorText(rc) + ")";
      return false;
    }
    LONG asked = ERROR_SUCCESS;
    if (const auto target = registry::LinkTargetOf(root->get(), &asked)) {
      *problem = "HKEY_USERS\\" + Utf8(name) + " is a registry link to " + Utf8(*target) + ", which is not followed";
      return false;
    }
    if (asked != ERROR_SUCCESS) {
      *problem = "HKEY_USERS\\" + Utf8(name) + " cannot be read (" + registry::Win32ErrorText(asked) + ")";
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
    for (const std::wstring& name : registry::LiveSubkeyNames(HKEY_USERS)) loaded.push_back(Utf8(name));
    std::vector<ListedProfile> listed;
    OwnedKey list;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProfileList, 0, KEY_READ | KEY_WOW64_64KEY, list.out()) == ERROR_SUCCESS) {
      for (const std::wstring& sid : registry::LiveSubkeyNames(list.get())) {
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
      *problem = planned.hive + ": " + registry::Win32ErrorText(static_cast<LONG>(::GetLastError()));
      return false;
    }
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
      *problem = planned.hive + ": not a plain file";
      return false;
    }
    auto mount = std::make_unique<MountedHive>(
        registry::MountName(registry::OwnProcessId(), registry::OwnProcessStart(), Wide(planned.sid)), file);
    if (mount->error() != ERROR_SUCCESS) {
      *problem = planned.hive + ": cannot be loaded (" + registry::Win32ErrorText(mount->error()) + ")";
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
