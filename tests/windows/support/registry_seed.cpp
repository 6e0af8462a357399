#include "support/registry_seed.h"

#include "registry/hive_mount_win32.h"

#include <aclapi.h>

#include <stdexcept>
#include <vector>

namespace torvane::wintest {

namespace {

class Key {
 public:
  Key(HKEY root, const std::string& path, bool create, REGSAM access = KEY_ALL_ACCESS, REGSAM view = kView64) {
    access |= view;
    const LONG rc = create ? RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, access, nullptr, &key_, nullptr)
                           : RegOpenKeyExA(root, path.c_str(), 0, access, &key_);
    if (rc != ERROR_SUCCESS) key_ = nullptr;
    if (create && !key_) throw std::runtime_error("cannot create key " + path);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() {
    if (key_) RegCloseKey(key_);
  }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

void CopyKey(const registry::MemoryStore::Key& from, HKEY root, const std::string& path) {
  if (!path.empty()) {
    Key key(root, path, true);
    for (const auto& value : from.values) {
      RegSetValueExA(key.get(), value.name.c_str(), 0, value.type, value.data.data(),
                     static_cast<DWORD>(value.data.size()));
    }
  }
  for (const auto& [folded, child] : from.children) {
    if (child->deleted) continue;
    CopyKey(*child, root, path.empty() ? child->name : path + "\\" + child->name);
  }
}

void DeleteValue(HKEY root, const std::string& path, const std::string& name, REGSAM view = kView64) {
  Key key(root, path, false, KEY_ALL_ACCESS, view);
  if (key.get()) RegDeleteValueA(key.get(), name.c_str());
}

}  // namespace

void CopyToRegistry(const registry::MemoryStore& store) {
  CopyKey(store.Root(registry::kCurrentUser), HKEY_CURRENT_USER, "");
  CopyKey(store.Root(registry::kLocalMachine), HKEY_LOCAL_MACHINE, "");
}

void PutDword(HKEY root, const std::string& path, const std::string& name, DWORD value, REGSAM view) {
  Key key(root, path, true, KEY_ALL_ACCESS, view);
  RegSetValueExA(key.get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

void PutString(HKEY root, const std::string& path, const std::string& name, const std::string& text,
               REGSAM view) {
  Key key(root, path, true, KEY_ALL_ACCESS, view);
  RegSetValueExA(key.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                 static_cast<DWORD>(text.size() + 1));
}

void DeleteTree(HKEY root, const std::string& path, REGSAM view) {
  // RegDeleteTreeA names no view: the parent is opened in the one asked for.
  const auto slash = path.rfind('\\');
  Key parent(root, slash == std::string::npos ? "" : path.substr(0, slash), false, KEY_ALL_ACCESS, view);
  if (parent.get()) RegDeleteTreeA(parent.get(), path.substr(slash == std::string::npos ? 0 : slash + 1).c_str());
}

bool KeyExists(HKEY root, const std::string& path, REGSAM view) {
  return Key(root, path, false, KEY_READ, view).get() != nullptr;
}

std::optional<std::string> ReadValue(HKEY root, const std::string& path, const std::string& name, REGSAM view) {
  Key key(root, path, false, KEY_READ, view);
  if (!key.get()) return std::nullopt;
  DWORD size = 0;
  if (RegQueryValueExA(key.get(), name.c_str(), nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  std::string data(size, '\0');
  if (RegQueryValueExA(key.get(), name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  data.resize(size);
  return data;
}

void MakeAllHealthy() {
  DeleteTree(HKEY_CURRENT_USER, kSystemPolicy);
  DeleteTree(HKEY_CURRENT_USER, kExplorerPolicy);
  DeleteTree(HKEY_CURRENT_USER, "Software\\Policies\\Microsoft\\Windows\\system");
  DeleteTree(HKEY_CURRENT_USER, "Software\\Policies\\Microsoft\\Internet Explorer");
  DeleteValue(HKEY_CURRENT_USER, "Software\\Microsoft\\Internet Explorer\\Main", "Window title");
  DeleteTree(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer");
  DeleteTree(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System");
  DeleteTree(HKEY_LOCAL_MACHINE, kIfeo);
  Key(HKEY_LOCAL_MACHINE, kIfeo, true);

  char system_directory[MAX_PATH] = {};
  GetSystemDirectoryA(system_directory, MAX_PATH);
  for (REGSAM view : {kView64, kView32}) {
    PutString(HKEY_LOCAL_MACHINE, kWinlogon, "Userinit", std::string(system_directory) + "\\userinit.exe,", view);
    PutString(HKEY_LOCAL_MACHINE, kWinlogon, "Shell", "Explorer.exe", view);
    PutString(HKEY_LOCAL_MACHINE, kWindows, "AppInit_DLLs", "", view);
    PutDword(HKEY_LOCAL_MACHINE, kShowAll, "CheckedValue", 1, view);
    PutString(HKEY_LOCAL_MACHINE, kDefaultPrefix, "", "http://", view);
    PutString(HKEY_LOCAL_MACHINE, kPrefixes, "ftp", "ftp://", view);
    PutString(HKEY_LOCAL_MACHINE, kPrefixes, "gopher", "gopher://", view);
    PutString(HKEY_LOCAL_MACHINE, kPrefixes, "home", "http://", view);
    PutString(HKEY_LOCAL_MACHINE, kPrefixes, "mosaic", "http://", view);
    PutString(HKEY_LOCAL_MACHINE, kPrefixes, "www", "http://", view);
  }
}

ValueWritesDenied::ValueWritesDenied(HKEY root, std::string path, DWORD denied, REGSAM view)
    : root_(root), path_(std::move(path)), view_(view) {
  Key key(root_, path_, true, KEY_ALL_ACCESS, view_);
  EXPLICIT_ACCESS_A rules[2] = {};
  rules[0].grfAccessPermissions = denied;
  rules[0].grfAccessMode = DENY_ACCESS;
  rules[1].grfAccessPermissions = KEY_ALL_ACCESS;
  rules[1].grfAccessMode = GRANT_ACCESS;
  for (auto& rule : rules) {
    rule.grfInheritance = NO_INHERITANCE;
    rule.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    rule.Trustee.ptstrName = const_cast<char*>("EVERYONE");
  }
  PACL acl = nullptr;
  if (SetEntriesInAclA(2, rules, nullptr, &acl) != ERROR_SUCCESS) return;
  SECURITY_DESCRIPTOR descriptor;
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE);
  applied_ = RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, &descriptor) == ERROR_SUCCESS;
  LocalFree(acl);
}

ValueWritesDenied::~ValueWritesDenied() {
  if (!applied_) return;
  Key key(root_, path_, false, WRITE_DAC, view_);
  SECURITY_DESCRIPTOR descriptor;
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  // A null DACL grants everything, as the key had before.
  SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
  if (key.get()) RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, &descriptor);
}

bool SaveUserHive(const std::string& file, const std::function<void(const std::string& seed)>& fill) {
  const std::string seed = "TorvaneSeedHive";
  DeleteFileA(file.c_str());
  DeleteTree(HKEY_USERS, seed);
  fill(seed);
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_USERS, seed.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  registry::EnabledPrivileges privileges;
  const LONG saved = RegSaveKeyA(key, file.c_str(), nullptr);
  RegCloseKey(key);
  DeleteTree(HKEY_USERS, seed);
  return saved == ERROR_SUCCESS;
}

namespace {
const std::string kPad =
    "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options\\torvane-pad-";
}  // namespace

RewrittenAtOnce::RewrittenAtOnce(std::string path, std::string name) : path_(std::move(path)), name_(std::move(name)) {
  for (int i = 0; i < 1000; ++i) PutString(HKEY_LOCAL_MACHINE, kPad + std::to_string(i) + ".exe", "Note", "");
  PutDword(HKEY_CURRENT_USER, path_, name_, 1);
}

bool RewrittenAtOnce::Watch() {
  if (RegOpenKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, KEY_NOTIFY | KEY_READ, &watched_) != ERROR_SUCCESS) {
    watched_ = nullptr;
    return false;
  }
  changed_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  watcher_ = std::thread([this] {
    while (!stop_) {
      RegNotifyChangeKeyValue(watched_, FALSE, REG_NOTIFY_CHANGE_LAST_SET, changed_, TRUE);
      if (!ReadValue(HKEY_CURRENT_USER, path_, name_)) PutDword(HKEY_CURRENT_USER, path_, name_, 1);
      WaitForSingleObject(changed_, 5);
    }
  });
  return true;
}

RewrittenAtOnce::~RewrittenAtOnce() {
  stop_ = true;
  if (watcher_.joinable()) watcher_.join();
  if (changed_ != nullptr) CloseHandle(changed_);
  if (watched_ != nullptr) RegCloseKey(watched_);
  DeleteTree(HKEY_CURRENT_USER, path_);
  for (int i = 0; i < 1000; ++i) DeleteTree(HKEY_LOCAL_MACHINE, kPad + std::to_string(i) + ".exe");
}

}  // namespace torvane::wintest
