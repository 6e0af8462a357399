#include "registry/win32_store.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "registry/digits.h"
#include "registry/system_dlls_win32.h"
#include "registry/utf.h"

namespace torvane::registry {

namespace {

// advapi32 has no call that deletes the key a handle holds; RegDeleteKeyA
// reopens the name and so deletes what a link points at. ntdll's does.
using NtDeleteKeyFn = LONG(WINAPI*)(HANDLE);
using RtlNtStatusToDosErrorFn = ULONG(WINAPI*)(LONG);

using NtQueryKeyFn = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
constexpr int kKeyNameInformation = 3;
constexpr int kKeyFlagsInformation = 5;
constexpr ULONG kRegFlagLink = 0x2;

// The key's full native name (\REGISTRY\MACHINE\...); nullopt when it cannot
// be read.
std::optional<std::wstring> NativeNameOf(HKEY key) {
  static const auto query = NtdllEntry<NtQueryKeyFn>("NtQueryKey");
  if (query == nullptr) return std::nullopt;
  std::vector<unsigned char> buffer(4096);
  ULONG length = 0;
  if (query(key, kKeyNameInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &length) != 0) {
    return std::nullopt;
  }
  ULONG bytes = 0;
  std::memcpy(&bytes, buffer.data(), sizeof bytes);
  if (bytes > buffer.size() - sizeof bytes) return std::nullopt;
  std::wstring name(bytes / sizeof(wchar_t), L'\0');
  std::memcpy(name.data(), buffer.data() + sizeof bytes, name.size() * sizeof(wchar_t));
  return name;
}

// Whether the key `key` (opened as itself) is a registry link: a key made
// as one, not any key that merely holds a value named SymbolicLinkValue.
// Windows says so in the key's flags. Where it does not (Wine), the key is
// opened again by its full name, following a link: a link leads elsewhere
// (or nowhere), an ordinary key to itself. What cannot be told is a link.
bool IsLinkKey(HKEY key) {
  static const auto query = NtdllEntry<NtQueryKeyFn>("NtQueryKey");
  if (query == nullptr) return true;
  ULONG flags[3] = {};
  ULONG length = 0;
  if (query(key, kKeyFlagsInformation, flags, sizeof flags, &length) == 0) return (flags[1] & kRegFlagLink) != 0;
  const auto name = NativeNameOf(key);
  if (!name) return true;
  const std::wstring upper = [&] {
    std::wstring text = *name;
    for (wchar_t& c : text) {
      if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    return text;
  }();
  static const std::pair<const wchar_t*, HKEY> kRoots[] = {{L"\\REGISTRY\\MACHINE\\", HKEY_LOCAL_MACHINE},
                                                           {L"\\REGISTRY\\USER\\", HKEY_USERS}};
  for (const auto& [prefix, root] : kRoots) {
    const std::wstring start(prefix);
    if (upper.compare(0, start.size(), start) != 0) continue;
    HKEY followed = nullptr;
    if (::RegOpenKeyExW(root, name->c_str() + start.size(), 0, MAXIMUM_ALLOWED | KEY_WOW64_64KEY, &followed) !=
        ERROR_SUCCESS) {
      return true;
    }
    const auto reached = NativeNameOf(followed);
    ::RegCloseKey(followed);
    return !reached || *reached != *name;
  }
  return true;
}

}  // namespace

std::wstring Utf8ToWide(const std::string& utf8) {
  const std::string units = Utf8ToUtf16le(utf8);
  std::wstring wide(units.size() / 2, L'\0');
  std::memcpy(wide.data(), units.data(), wide.size() * 2);
  return wide;
}

std::string WideToUtf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
  std::string out(size > 0 ? size : 0, '\0');
  if (size > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                          nullptr);
  }
  return out;
}

long DeleteKeyByHandle(HKEY key) {
  static const auto nt_delete = NtdllEntry<NtDeleteKeyFn>("NtDeleteKey");
  static const auto to_error = NtdllEntry<RtlNtStatusToDosErrorFn>("RtlNtStatusToDosError");
  if (nt_delete == nullptr || to_error == nullptr) return ERROR_CALL_NOT_IMPLEMENTED;
  const LONG status = nt_delete(key);
  return status == 0 ? ERROR_SUCCESS : static_cast<long>(to_error(status));
}

bool OnWindows64() {
#ifdef _WIN64
  return true;
#else
  static const bool wow64 = [] {
    BOOL result = FALSE;
    return ::IsWow64Process(::GetCurrentProcess(), &result) && result;
  }();
  return wow64;
#endif
}

REGSAM NativeViewBits() {
#ifdef _WIN64
  return 0;
#else
  return OnWindows64() ? KEY_WOW64_64KEY : 0;
#endif
}

// The target of the link `key`; nullopt when it is no link.
std::optional<std::wstring> LinkTargetOf(HKEY key, LONG* rc) {
  wchar_t target[1024];
  DWORD type = REG_NONE, size = sizeof target - sizeof(wchar_t);
  *rc = ::RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, reinterpret_cast<BYTE*>(target), &size);
  if (*rc == ERROR_FILE_NOT_FOUND) {
    *rc = ERROR_SUCCESS;
    return std::nullopt;
  }
  // A target too long to read is still a link.
  if (*rc == ERROR_MORE_DATA && type == REG_LINK) {
    *rc = ERROR_SUCCESS;
    if (!IsLinkKey(key)) return std::nullopt;
    return std::wstring(L"?");
  }
  if (*rc != ERROR_SUCCESS || type != REG_LINK) return std::nullopt;
  // A value of that name in an ordinary key makes no link.
  if (!IsLinkKey(key)) return std::nullopt;
  std::wstring text(target, size / sizeof(wchar_t));
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return text;
}

HKEY ToNativeKey(HKey key) {
  if (key == kCurrentUser) return HKEY_CURRENT_USER;
  if (key == kLocalMachine) return HKEY_LOCAL_MACHINE;
  return reinterpret_cast<HKEY>(key);
}

namespace {

constexpr wchar_t kMachineRoot[] = L"\\REGISTRY\\MACHINE\\";
constexpr wchar_t kWow64NodeW[] = L"WOW6432NODE";

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  return text;
}

std::vector<std::wstring> Components(const std::wstring& path) {
  std::vector<std::wstring> parts;
  std::size_t at = 0;
  while (at <= path.size()) {
    const std::size_t slash = path.find(L'\\', at);
    const std::size_t end = slash == std::wstring::npos ? path.size() : slash;
    if (end > at) parts.push_back(path.substr(at, end - at));
    if (slash == std::wstring::npos) break;
    at = slash + 1;
  }
  return parts;
}

// `path` (stored, below HKLM) in the other view of SOFTWARE: Wow6432Node
// taken out or put in after SOFTWARE; empty outside SOFTWARE.
std::wstring OtherView(const std::wstring& path) {
  std::vector<std::wstring> parts = Components(path);
  if (parts.size() < 2 || Upper(parts[0]) != L"SOFTWARE") return {};
  if (Upper(parts[1]) == kWow64NodeW) {
    parts.erase(parts.begin() + 1);
  } else {
    parts.insert(parts.begin() + 1, L"Wow6432Node");
  }
  std::wstring joined;
  for (const auto& part : parts) joined += (joined.empty() ? L"" : L"\\") + part;
  return joined;
}

std::wstring FromAnsi(const std::string& text) {
  if (text.empty()) return {};
  const int size = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(size > 0 ? size : 0, L'\0');
  if (size > 0) ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  return out;
}

// One UTF-16 character in the ANSI code page, or nullopt when the code page
// has only a look-alike for it (a best-fit mapping).
std::optional<std::string> ExactAnsi(const wchar_t* units, int count) {
  char bytes[16];
  BOOL defaulted = FALSE;
  const int size = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, units, count, bytes, sizeof bytes, nullptr,
                                         &defaulted);
  if (size <= 0 || defaulted) return std::nullopt;
  wchar_t back[4];
  if (::MultiByteToWideChar(CP_ACP, 0, bytes, size, back, 4) != count ||
      std::wstring(back, count) != std::wstring(units, count)) {
    return std::nullopt;
  }
  return std::string(bytes, size);
}

// Stored UTF-16 text in the ANSI code page. A character the code page cannot
// spell exactly becomes '?', which no file name holds: a look-alike never
// passes for the letter it resembles.
std::vector<std::uint8_t> TextToAnsi(const std::vector<std::uint8_t>& raw) {
  std::wstring wide(raw.size() / 2, L'\0');
  for (std::size_t i = 0; i < wide.size(); ++i) wide[i] = static_cast<wchar_t>(raw[2 * i] | raw[2 * i + 1] << 8);
  std::string out;
  for (std::size_t i = 0; i < wide.size();) {
    if (wide[i] < 0x80) {
      out.push_back(static_cast<char>(wide[i++]));
      continue;
    }
    const int count = wide[i] >= 0xD800 && wide[i] <= 0xDBFF && i + 1 < wide.size() ? 2 : 1;
    out += ExactAnsi(wide.data() + i, count).value_or("?");
    i += count;
  }
  if (raw.size() % 2 != 0) out.push_back(static_cast<char>(raw.back()));
  return std::vector<std::uint8_t>(out.begin(), out.end());
}

}  // namespace

namespace {

constexpr std::size_t kMostResolvedKeys = 512;

bool IsPredefined(HKEY key) {
  return key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER || key == HKEY_USERS;
}

// The map's name for the first `count` parts below `root`: exactly as walked,
// so that no two keys the registry tells apart share one.
std::wstring ResolvedName(HKEY root, const std::vector<std::wstring>& parts, std::size_t count) {
  std::wstring name = Utf8ToWide(DecimalDigits(reinterpret_cast<std::uintptr_t>(root)));
  for (std::size_t i = 0; i < count; ++i) name.append(L"\\").append(parts[i]);
  return name;
}

}  // namespace

std::size_t ResolvedKeys::Deepest(HKEY root, const std::vector<std::wstring>& parts, std::size_t most, HKEY* key) {
  for (std::size_t count = std::min(most, parts.size()); count > 0; --count) {
    const auto found = keys_.find(ResolvedName(root, parts, count));
    if (found == keys_.end()) continue;
    const std::optional<std::wstring> now = NativeNameOf(found->second.key);
    if (now && *now == found->second.native) {
      *key = found->second.key;
      return count;
    }
    // Gone or moved: so is everything kept below it.
    Clear();
    return 0;
  }
  return 0;
}

bool ResolvedKeys::Keep(HKEY root, const std::vector<std::wstring>& parts, std::size_t count, HKEY key) {
  if (keys_.size() >= kMostResolvedKeys) return false;
  std::optional<std::wstring> native = NativeNameOf(key);
  if (!native) return false;
  const auto [at, added] = keys_.try_emplace(ResolvedName(root, parts, count), Kept{key, std::move(*native)});
  return added;
}

void ResolvedKeys::Clear() {
  for (auto& [name, kept] : keys_) ::RegCloseKey(kept.key);
  keys_.clear();
}

namespace {

LONG Walk(HKEY parent, const std::wstring* parent_path, const std::wstring& path, REGSAM access, bool keep_last_link,
          bool create, bool follow_shared, HKEY* result, std::wstring* refused, ResolvedKeys* resolved) {
  *result = nullptr;
  const std::vector<std::wstring> parts = Components(path);
  const REGSAM bits = NativeViewBits();
  if (parts.empty()) return ::RegOpenKeyExW(parent, L"", 0, access | bits, result);
  std::optional<std::wstring> where;
  if (parent_path != nullptr) where = *parent_path;
  HKEY current = parent;
  OwnedKey previous;
  std::wstring walked;
  // Only keys reached without following a link are kept, and only below a
  // root whose handle means the same key for the whole run.
  bool keeping = resolved != nullptr && IsPredefined(parent);
  std::size_t start = 0;
  if (keeping) {
    start = resolved->Deepest(parent, parts, parts.size() - 1, &current);
    if (start == 0) current = parent;
    for (std::size_t i = 0; i < start; ++i) {
      if (where) *where += (where->empty() ? L"" : L"\\") + parts[i];
      walked += (walked.empty() ? L"" : L"\\") + parts[i];
    }
  }
  for (std::size_t i = start; i < parts.size(); ++i) {
    const bool last = i + 1 == parts.size();
    // Every key on the way is asked whether it is a link, which takes
    // reading its values.
    const REGSAM wanted = (last ? access : 0) | KEY_QUERY_VALUE | bits;
    HKEY next = nullptr;
    LONG rc = ::RegOpenKeyExW(current, parts[i].c_str(), REG_OPTION_OPEN_LINK, wanted, &next);
    if (rc == ERROR_FILE_NOT_FOUND && create) {
      rc = ::RegCreateKeyExW(current, parts[i].c_str(), 0, nullptr, 0, wanted, nullptr, &next, nullptr);
      // A link made in between is opened as what it points at: look again.
      if (rc == ERROR_SUCCESS) {
        ::RegCloseKey(next);
        next = nullptr;
        rc = ::RegOpenKeyExW(current, parts[i].c_str(), REG_OPTION_OPEN_LINK, wanted, &next);
      }
    }
    if (rc != ERROR_SUCCESS) return rc;
    OwnedKey opened;
    *opened.out() = next;
    if (where) *where += (where->empty() ? L"" : L"\\") + parts[i];
    walked += (walked.empty() ? L"" : L"\\") + parts[i];
    LONG asked = ERROR_SUCCESS;
    const std::optional<std::wstring> target = LinkTargetOf(next, &asked);
    if (asked != ERROR_SUCCESS) return asked;
    if (target && !(last && keep_last_link)) {
      const std::wstring prefix = kMachineRoot;
      const std::wstring other = where ? OtherView(*where) : std::wstring();
      const bool shared = follow_shared && !other.empty() && target->size() > prefix.size() &&
                          Upper(target->substr(0, prefix.size())) == prefix &&
                          Upper(target->substr(prefix.size())) == Upper(other);
      if (!shared) {
        if (refused) {
          const std::wstring name = where ? L"HKEY_LOCAL_MACHINE\\" + *where : walked;
          *refused = name + L" is a registry link to " + *target;
        }
        return kRefusedLink;
      }
      // The key both views share, opened where it lies by the same walk;
      // no second link is followed on the way.
      OwnedKey followed;
      const std::wstring top;
      rc = Walk(HKEY_LOCAL_MACHINE, &top, other, wanted & ~bits, false, false, false, followed.out(), refused,
                nullptr);
      if (rc != ERROR_SUCCESS) return rc;
      keeping = false;
      *where = other;
      next = followed.get();
      *followed.out() = nullptr;
      ::RegCloseKey(opened.get());
      *opened.out() = next;
    }
    if (last) {
      *result = opened.get();
      *opened.out() = nullptr;
      return ERROR_SUCCESS;
    }
    ::RegCloseKey(previous.get());
    *previous.out() = nullptr;
    if (keeping && resolved->Keep(parent, parts, i + 1, opened.get())) {
      current = opened.get();
    } else {
      *previous.out() = opened.get();
      current = previous.get();
    }
    *opened.out() = nullptr;
  }
  return ERROR_SUCCESS;
}

}  // namespace

LONG OpenWithoutLinks(HKEY parent, const std::wstring* parent_path, const std::wstring& path, REGSAM access,
                      bool keep_last_link, bool create, HKEY* result, std::wstring* refused, ResolvedKeys* resolved) {
  return Walk(parent, parent_path, path, access, keep_last_link, create, true, result, refused, resolved);
}

bool Win32Store::InView32(HKey parent, std::uint32_t access) const {
  const std::uint32_t view = access & kViewBits;
  if (view != 0) return view == kView32 && OnWindows64();
  const auto known = opened_.find(parent);
  return known != opened_.end() && known->second.view32;
}

LONG Win32Store::OpenPlace(HKey root, const std::wstring& path, REGSAM access, bool keep_last_link, bool create,
                           HKEY* result) {
  const bool view32 = InView32(root, static_cast<std::uint32_t>(access));
  access &= ~static_cast<REGSAM>(kViewBits);
  Opened parent;
  if (root == kLocalMachine) {
    parent.machine = true;
  } else if (const auto known = opened_.find(root); known != opened_.end()) {
    parent = known->second;
  }
  std::wstring stored = path;
  // A 32-bit view open of HKLM names its Wow6432Node path itself.
  if (view32 && root == kLocalMachine) {
    std::vector<std::wstring> parts = Components(path);
    if (!parts.empty() && Upper(parts[0]) == L"SOFTWARE" && (parts.size() < 2 || Upper(parts[1]) != kWow64NodeW)) {
      parts.insert(parts.begin() + 1, L"Wow6432Node");
    }
    stored.clear();
    for (const auto& part : parts) stored += (stored.empty() ? L"" : L"\\") + part;
  }
  std::wstring refused;
  const LONG rc = OpenWithoutLinks(ToNativeKey(root), parent.machine ? &parent.path : nullptr, stored, access,
                                   keep_last_link, create, result, &refused, &resolved_);
  if (rc == kRefusedLink) {
    if (!parent.machine && refused.rfind(L"HKEY_", 0) != 0) refused = L"HKEY_CURRENT_USER\\" + refused;
    refused_ = WideToUtf8(refused);
  }
  if (rc == ERROR_SUCCESS) {
    Opened child;
    child.view32 = view32;
    child.machine = parent.machine;
    if (child.machine) {
      child.path = parent.path;
      for (const auto& part : Components(stored)) child.path += (child.path.empty() ? L"" : L"\\") + part;
    }
    opened_[reinterpret_cast<HKey>(*result)] = std::move(child);
  }
  return rc;
}

long Win32Store::RegOpenKeyExA(HKey root, const std::string& path, std::uint32_t options,
                               std::uint32_t access, HKey* result) {
  HKEY opened = nullptr;
  const LONG rc = OpenPlace(root, FromAnsi(path), access, (options & kOpenLink) != 0, false, &opened);
  *result = rc == ERROR_SUCCESS ? reinterpret_cast<HKey>(opened) : kNullKey;
  return rc;
}

long Win32Store::RegQueryValueExA(HKey key, const std::string& name, std::uint32_t* type,
                                  std::uint8_t* data, std::uint32_t* size) {
  // Read wide: the ANSI entry points hand back best-fit look-alikes.
  const std::wstring wide_name = FromAnsi(name);
  DWORD value_type = REG_NONE, bytes = 0;
  LONG rc = ::RegQueryValueExW(ToNativeKey(key), wide_name.c_str(), nullptr, &value_type, nullptr, &bytes);
  std::vector<std::uint8_t> raw;
  bool whole = false;
  // A value that keeps growing between the size and the read is not read.
  for (int attempt = 0; rc == ERROR_SUCCESS && !whole && attempt < 4; ++attempt) {
    raw.assign(bytes, 0);
    DWORD got = bytes;
    rc = ::RegQueryValueExW(ToNativeKey(key), wide_name.c_str(), nullptr, &value_type, raw.data(), &got);
    if (rc == ERROR_MORE_DATA) {
      bytes = got;
      rc = ERROR_SUCCESS;
    } else if (rc == ERROR_SUCCESS) {
      raw.resize(got);
      whole = true;
    }
  }
  if (type) *type = value_type;
  if (rc != ERROR_SUCCESS) return rc;
  if (!whole) return ERROR_MORE_DATA;
  if (IsTextType(value_type)) raw = TextToAnsi(raw);
  const auto needed = static_cast<std::uint32_t>(raw.size());
  if (size == nullptr) return data == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
  if (data != nullptr && *size < needed) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  if (data != nullptr) std::copy(raw.begin(), raw.end(), data);
  *size = needed;
  return ERROR_SUCCESS;
}

long Win32Store::RegSetValueExA(HKey key, const std::string& name, std::uint32_t reserved,
                                std::uint32_t type, const std::uint8_t* data, std::uint32_t size) {
  return ::RegSetValueExA(ToNativeKey(key), name.c_str(), reserved, type, data, size);
}

long Win32Store::RegDeleteValueA(HKey key, const std::string& name) {
  return ::RegDeleteValueA(ToNativeKey(key), name.c_str());
}

namespace {

// A name read wide, in the code page: a character the code page lacks
// becomes '?', never its best-fit look-alike, so no name reads as another
// ("360Saf\u00F0.exe" is not "360Safe.exe", as Windows looks names up in
// Unicode).
long CopyAnsiName(const wchar_t* wide, DWORD length, char* name, std::uint32_t capacity) {
  std::string listed;
  if (length > 0) {
    const int size = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, static_cast<int>(length), nullptr, 0, "?",
                                           nullptr);
    listed.assign(size > 0 ? size : 0, '\0');
    if (size > 0) {
      ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, static_cast<int>(length), listed.data(), size, "?",
                            nullptr);
    }
  }
  if (name == nullptr || listed.size() + 1 > capacity) return ERROR_MORE_DATA;
  std::memcpy(name, listed.c_str(), listed.size() + 1);
  return ERROR_SUCCESS;
}

}  // namespace

long Win32Store::RegEnumKeyA(HKey key, std::uint32_t index, char* name, std::uint32_t capacity) {
  wchar_t wide[256];
  DWORD length = 256;
  const LONG rc = ::RegEnumKeyExW(ToNativeKey(key), index, wide, &length, nullptr, nullptr, nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  return CopyAnsiName(wide, length, name, capacity);
}

long Win32Store::RegEnumValueA(HKey key, std::uint32_t index, char* name, std::uint32_t capacity) {
  std::vector<wchar_t> wide(16384, L'\0');
  DWORD length = static_cast<DWORD>(wide.size());
  const LONG rc = ::RegEnumValueW(ToNativeKey(key), index, wide.data(), &length, nullptr, nullptr, nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  return CopyAnsiName(wide.data(), length, name, capacity);
}

long Win32Store::RegDeleteKeyA(HKey key, const std::string& subkey) {
  if (subkey.empty()) return ERROR_INVALID_PARAMETER;
  HKEY victim = nullptr;
  // Opened in the view of the key it lies below, as RegDeleteKeyExA would;
  // the key itself may be a link, which goes as a link.
  const LONG rc = OpenPlace(key, FromAnsi(subkey), DELETE, true, false, &victim);
  if (rc != ERROR_SUCCESS) return rc;
  const long deleted = DeleteKeyByHandle(victim);
  RegCloseKey(reinterpret_cast<HKey>(victim));
  return deleted;
}

namespace {

// The exact names of `key`'s subkeys, the whole list read first (deleting
// while listing by index would skip every other one); false when it cannot
// be read whole.
bool WideSubkeys(HKEY key, std::vector<std::wstring>* names) {
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD length = 256;
    const LONG rc = ::RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) return true;
    if (rc != ERROR_SUCCESS) return false;
    names->emplace_back(name, length);
  }
}

}  // namespace

LONG Win32Store::WalkTree(HKEY key, int depth, bool remove) {
  if (depth > kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
  bool is_link = false;
  if (const long asked = RegQueryKeyIsLink(reinterpret_cast<HKey>(key), &is_link); asked != ERROR_SUCCESS) return asked;
  if (!is_link) {
    std::vector<std::wstring> children;
    if (!WideSubkeys(key, &children)) return ERROR_ACCESS_DENIED;
    for (const std::wstring& child : children) {
      // A name the text calls would cut short could open another key.
      if (child.find(L'\0') != std::wstring::npos || child.find(L'\\') != std::wstring::npos) {
        return ERROR_ACCESS_DENIED;
      }
      OwnedKey opened;
      LONG rc = ::RegOpenKeyExW(key, child.c_str(), REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS | NativeViewBits(),
                                opened.out());
      // Listed a moment ago: not found means its name does not lead back to it.
      if (rc == ERROR_FILE_NOT_FOUND) return ERROR_ACCESS_DENIED;
      if (rc != ERROR_SUCCESS) return rc;
      if ((rc = WalkTree(opened.get(), depth + 1, remove)) != ERROR_SUCCESS) return rc;
    }
  }
  return remove ? DeleteKeyByHandle(key) : ERROR_SUCCESS;
}

bool Win32Store::TreeRemovable(HKey key) {
  if (key == kCurrentUser || key == kLocalMachine) return false;
  // Proved through a handle of its own with the rights a deletion needs.
  OwnedKey again;
  if (::RegOpenKeyExW(ToNativeKey(key), L"", REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS | NativeViewBits(), again.out()) !=
      ERROR_SUCCESS) {
    return false;
  }
  return WalkTree(again.get(), 0, false) == ERROR_SUCCESS;
}

long Win32Store::RegDeleteTreeA(HKey key, const std::string& subkey) {
  if (subkey.empty()) return ERROR_INVALID_PARAMETER;
  HKEY victim = nullptr;
  // The key itself may be a link, which goes as a link.
  const LONG rc = OpenPlace(key, FromAnsi(subkey), KEY_ALL_ACCESS, true, false, &victim);
  if (rc != ERROR_SUCCESS) return rc;
  // The whole tree proves it can go before the first key does.
  LONG walked = WalkTree(victim, 0, false);
  if (walked == ERROR_SUCCESS) walked = WalkTree(victim, 0, true);
  RegCloseKey(reinterpret_cast<HKey>(victim));
  return walked;
}

long Win32Store::RegCloseKey(HKey key) {
  if (key == kCurrentUser || key == kLocalMachine) return ERROR_SUCCESS;
  opened_.erase(key);
  return ::RegCloseKey(ToNativeKey(key));
}

long Win32Store::RegQueryKeyIsLink(HKey key, bool* is_link) {
  // A link holds its target in "SymbolicLinkValue" of type REG_LINK; a key
  // that carries one is a link only when it was made as one.
  DWORD type = REG_NONE;
  const LONG rc = ::RegQueryValueExW(ToNativeKey(key), L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr);
  if (rc == ERROR_FILE_NOT_FOUND) {
    *is_link = false;
    return ERROR_SUCCESS;
  }
  if (rc != ERROR_SUCCESS) return rc;
  *is_link = type == REG_LINK && IsLinkKey(ToNativeKey(key));
  return ERROR_SUCCESS;
}

}  // namespace torvane::registry
