#include "registry/hive_mount_win32.h"

#include <vector>

#include "registry/digits.h"
#include "registry/owned.h"
#include "registry/win32_store.h"

namespace torvane::registry {

namespace {

constexpr wchar_t kMountPrefix[] = L"torvane.exe pid=";

std::uint64_t StartOf(HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!::GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return static_cast<std::uint64_t>(created.dwHighDateTime) << 32 | created.dwLowDateTime;
}

// Whether the process that made a mount still runs. A process that exists but
// cannot be asked counts as running: its mount is left alone.
bool StillRunning(std::uint32_t pid, std::uint64_t start) {
  const UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process.valid()) return ::GetLastError() == ERROR_ACCESS_DENIED;
  DWORD code = 0;
  return ::GetExitCodeProcess(process.get(), &code) && code == STILL_ACTIVE && StartOf(process.get()) == start;
}

// Where each hive this tool mounts is noted for as long as it is mounted: a
// volatile key, gone with every mount when Windows next starts. Only a noted
// name, or one Windows lists as a loaded hive, is ever unloaded by a later
// run: a key merely named like a mount could be any tree (Wine unloads a
// plain key by deleting it).
constexpr wchar_t kMountBook[] = L"SOFTWARE\\TorvaneSafe mounts";
constexpr wchar_t kHiveList[] = L"SYSTEM\\CurrentControlSet\\Control\\hivelist";

// Opens the book as itself into `key`; false when it cannot be, or is a link.
// It is created only where nothing of its name exists: creating opens an
// existing link's target, which nothing here may write.
bool OpenMountBook(bool create, REGSAM access, OwnedKey* key) {
  const auto open = [&] {
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMountBook, REG_OPTION_OPEN_LINK,
                           access | KEY_QUERY_VALUE | NativeViewBits(), key->out());
  };
  LONG rc = open();
  if (rc == ERROR_FILE_NOT_FOUND && create) {
    OwnedKey made;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kMountBook, 0, nullptr, REG_OPTION_VOLATILE,
                          KEY_QUERY_VALUE | NativeViewBits(), nullptr, made.out(), nullptr) != ERROR_SUCCESS) {
      return false;
    }
    rc = open();
  }
  if (rc != ERROR_SUCCESS) return false;
  LONG asked = ERROR_SUCCESS;
  return !LinkTargetOf(key->get(), &asked) && asked == ERROR_SUCCESS;
}

void ForgetMount(const std::wstring& name) {
  OwnedKey book;
  if (OpenMountBook(false, KEY_SET_VALUE, &book)) ::RegDeleteValueW(book.get(), name.c_str());
}

// Whether HKEY_USERS\`name` is known for a hive root: noted by this tool when
// it mounted it, or listed by Windows among its loaded hives.
bool KnownMount(const std::wstring& name) {
  OwnedKey book;
  if (OpenMountBook(false, 0, &book) &&
      ::RegQueryValueExW(book.get(), name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
    return true;
  }
  OwnedKey list;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kHiveList, 0, KEY_QUERY_VALUE | NativeViewBits(), list.out()) !=
      ERROR_SUCCESS) {
    return false;
  }
  const std::wstring listed = L"\\REGISTRY\\USER\\" + name;
  return ::RegQueryValueExW(list.get(), listed.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

}  // namespace

bool NoteMount(const std::wstring& name, const std::wstring& file) {
  OwnedKey book;
  return OpenMountBook(true, KEY_SET_VALUE, &book) &&
         ::RegSetValueExW(book.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(file.c_str()),
                          static_cast<DWORD>((file.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

EnabledPrivileges::EnabledPrivileges() {
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token_)) {
    token_ = nullptr;
    problem_ = "cannot open the process token (error " + std::to_string(::GetLastError()) + ")";
    return;
  }
  const size_t size = sizeof(TOKEN_PRIVILEGES) + sizeof(LUID_AND_ATTRIBUTES);
  std::vector<unsigned char> wanted_bytes(size);
  auto* wanted = reinterpret_cast<TOKEN_PRIVILEGES*>(wanted_bytes.data());
  wanted->PrivilegeCount = 2;
  if (!::LookupPrivilegeValueW(nullptr, L"SeBackupPrivilege", &wanted->Privileges[0].Luid) ||
      !::LookupPrivilegeValueW(nullptr, L"SeRestorePrivilege", &wanted->Privileges[1].Luid)) {
    problem_ = "the backup and restore privileges are unknown here";
    return;
  }
  wanted->Privileges[0].Attributes = wanted->Privileges[1].Attributes = SE_PRIVILEGE_ENABLED;
  previous_ = static_cast<TOKEN_PRIVILEGES*>(::operator new(size));
  DWORD previous_size = static_cast<DWORD>(size);
  if (!::AdjustTokenPrivileges(token_, FALSE, wanted, previous_size, previous_, &previous_size)) {
    problem_ = "cannot enable SeBackupPrivilege and SeRestorePrivilege (error " + std::to_string(::GetLastError()) + ")";
    ::operator delete(previous_);
    previous_ = nullptr;
  } else if (::GetLastError() == ERROR_NOT_ALL_ASSIGNED) {
    problem_ = "the account does not hold SeBackupPrivilege and SeRestorePrivilege (run as administrator or SYSTEM)";
  }
}

EnabledPrivileges::~EnabledPrivileges() {
  if (previous_ != nullptr) {
    ::AdjustTokenPrivileges(token_, FALSE, previous_, 0, nullptr, nullptr);
    ::operator delete(previous_);
  }
  if (token_ != nullptr) ::CloseHandle(token_);
}

std::wstring MountName(std::uint32_t pid, std::uint64_t start, const std::wstring& sid) {
  const std::string stamp = DecimalDigits(pid) + " start=" + HexDigits(start, 16) + " ";
  return kMountPrefix + Utf8ToWide(stamp) + sid;
}

bool ParseMountName(const std::wstring& name, std::uint32_t* pid, std::uint64_t* start) {
  const std::wstring prefix = kMountPrefix;
  if (name.compare(0, prefix.size(), prefix) != 0) return false;
  std::size_t at = prefix.size();
  std::uint64_t number = 0;
  const std::size_t digits = at;
  while (at < name.size() && name[at] >= L'0' && name[at] <= L'9' && at - digits < 10) {
    number = number * 10 + (name[at++] - L'0');
  }
  if (at == digits || number > 0xFFFFFFFFu) return false;
  const std::wstring middle = L" start=";
  if (name.compare(at, middle.size(), middle) != 0) return false;
  at += middle.size();
  std::uint64_t stamp = 0;
  for (int i = 0; i < 16; ++i, ++at) {
    if (at >= name.size()) return false;
    const wchar_t c = name[at];
    const int value = c >= L'0' && c <= L'9' ? c - L'0' : c >= L'a' && c <= L'f' ? c - L'a' + 10 : -1;
    if (value < 0) return false;
    stamp = stamp << 4 | static_cast<unsigned>(value);
  }
  if (at >= name.size() || name[at] != L' ') return false;
  *pid = static_cast<std::uint32_t>(number);
  *start = stamp;
  return true;
}

std::uint32_t OwnProcessId() { return ::GetCurrentProcessId(); }

std::uint64_t OwnProcessStart() { return StartOf(::GetCurrentProcess()); }

namespace {

// What the sweep makes of a key under HKEY_USERS named like a mount.
enum class Candidate { kMount, kEmpty, kUntouchable };

// Opened as itself, never through a link. A link is left alone whatever its
// name; an empty plain key is what a failed load leaves under Wine.
Candidate Look(const std::wstring& name, LONG* rc) {
  OwnedKey key;
  *rc = ::RegOpenKeyExW(HKEY_USERS, name.c_str(), REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE, key.out());
  if (*rc != ERROR_SUCCESS) return Candidate::kUntouchable;
  DWORD type = REG_NONE;
  const LONG link = ::RegQueryValueExW(key.get(), L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr);
  if (link != ERROR_FILE_NOT_FOUND) {
    *rc = link == ERROR_SUCCESS ? ERROR_CANT_RESOLVE_FILENAME : link;
    return Candidate::kUntouchable;
  }
  DWORD subkeys = 0, values = 0;
  *rc = ::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                           nullptr, nullptr, nullptr);
  if (*rc != ERROR_SUCCESS) return Candidate::kUntouchable;
  return subkeys == 0 && values == 0 ? Candidate::kEmpty : Candidate::kMount;
}

// Deletes the empty plain key `name` by its handle: a key that gained
// anything since it was looked at stays.
LONG DeleteEmpty(const std::wstring& name) {
  OwnedKey key;
  LONG rc = ::RegOpenKeyExW(HKEY_USERS, name.c_str(), REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE | DELETE, key.out());
  if (rc != ERROR_SUCCESS) return rc;
  DWORD subkeys = 0, values = 0;
  rc = ::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                          nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  if (subkeys != 0 || values != 0) return ERROR_ACCESS_DENIED;
  return DeleteKeyByHandle(key.get());
}

}  // namespace

std::wstring UnloadStaleMounts() {
  std::vector<std::wstring> stale;
  wchar_t name[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = 256;
    const LONG rc = ::RegEnumKeyExW(HKEY_USERS, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) continue;
    std::uint32_t pid = 0;
    std::uint64_t start = 0;
    if (ParseMountName(name, &pid, &start) && !StillRunning(pid, start)) stale.emplace_back(name, length);
  }
  std::wstring problems;
  for (const std::wstring& mount : stale) {
    LONG rc = ERROR_SUCCESS;
    const bool known = KnownMount(mount);
    switch (Look(mount, &rc)) {
      case Candidate::kMount:
        // Only a known hive root unloads; no tree is ever deleted here.
        if (!known) {
          problems += (problems.empty() ? L"" : L"; ") + mount + L" (no hive this tool mounted; left alone)";
          continue;
        }
        rc = ::RegUnLoadKeyW(HKEY_USERS, mount.c_str());
        break;
      case Candidate::kEmpty:
        rc = known ? ::RegUnLoadKeyW(HKEY_USERS, mount.c_str()) : ERROR_INVALID_PARAMETER;
        if (rc != ERROR_SUCCESS) rc = DeleteEmpty(mount);
        break;
      case Candidate::kUntouchable:
        break;
    }
    if (rc == ERROR_SUCCESS) ForgetMount(mount);
    if (rc != ERROR_SUCCESS) {
      problems += (problems.empty() ? L"" : L"; ") + mount + L" (error " + Utf8ToWide(DecimalDigits(rc)) + L")";
    }
  }
  return problems;
}

MountedHive::MountedHive(std::wstring name, const std::wstring& file)
    : name_(std::move(name)), error_(::RegLoadKeyW(HKEY_USERS, name_.c_str(), file.c_str())) {
  // Wine leaves the empty key of a load that failed; Windows leaves nothing.
  if (error_ != ERROR_SUCCESS) DeleteEmpty(name_);
  if (error_ == ERROR_SUCCESS) NoteMount(name_, file);
}

LONG MountedHive::Unload() {
  if (error_ != ERROR_SUCCESS || unloaded_) return ERROR_SUCCESS;
  const LONG rc = ::RegUnLoadKeyW(HKEY_USERS, name_.c_str());
  if (rc == ERROR_SUCCESS) {
    unloaded_ = true;
    ForgetMount(name_);
  }
  return rc;
}

}  // namespace torvane::registry
