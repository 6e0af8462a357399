#include "registry/live_store_win32.h"

#include <windows.h>

#include "registry/codepage.h"
#include "registry/key_tree.h"
#include "registry/utf.h"

namespace torvane::registry {

namespace {

std::string Utf8(const wchar_t* wide, std::size_t length) {
  std::string units(length * 2, '\0');
  for (std::size_t i = 0; i < length; ++i) {
    units[2 * i] = static_cast<char>(wide[i] & 0xFF);
    units[2 * i + 1] = static_cast<char>((wide[i] >> 8) & 0xFF);
  }
  return Utf16leToUtf8(units);
}

}  // namespace

// A key this store resolved, closed through it.
class LiveStore::Placed {
 public:
  Placed(LiveStore& store, HKey root, const std::string& path, REGSAM access, bool create) : store_(store) {
    rc_ = store.OpenPlace(root, Utf8ToWide(path), access, false, create, &key_);
  }
  Placed(const Placed&) = delete;
  Placed& operator=(const Placed&) = delete;
  ~Placed() {
    if (key_ != nullptr) store_.RegCloseKey(reinterpret_cast<HKey>(key_));
  }
  LONG rc() const { return rc_; }
  HKEY get() const { return key_; }

 private:
  LiveStore& store_;
  HKEY key_ = nullptr;
  LONG rc_;
};

bool LiveStore::CreateKey(HKey root, const std::string& path) {
  return Placed(*this, root, path, KEY_READ, true).rc() == ERROR_SUCCESS;
}

bool LiveStore::DeleteTree(HKey root, const std::string& path) {
  const auto slash = path.rfind('\\');
  // The link-safe walk goes through the seven operations, which take GBK.
  const std::string name = Utf8ToGbk(slash == std::string::npos ? path : path.substr(slash + 1));
  if (name.empty()) return false;
  ScopedKey parent(*this);
  const long opened =
      parent.Open(root, Utf8ToGbk(slash == std::string::npos ? "" : path.substr(0, slash)), kKeyAllAccess);
  if (opened == kFileNotFound) return true;
  if (opened != kSuccess) return false;
  const long rc = DeleteKeyTree(*this, parent.get(), name);
  return rc == kSuccess || rc == kFileNotFound;
}

bool LiveStore::SetValue(HKey root, const std::string& path, const RegValue& value) {
  const Placed key(*this, root, path, KEY_SET_VALUE, true);
  if (key.rc() != ERROR_SUCCESS) return false;
  // The wide entry point stores the bytes it is given, whatever the type.
  const RegValue stored = StoredForm(value);
  return ::RegSetValueExW(key.get(), Utf8ToWide(value.name).c_str(), 0, stored.type, stored.data.data(),
                          static_cast<DWORD>(stored.data.size())) == ERROR_SUCCESS;
}

bool LiveStore::DeleteValue(HKey root, const std::string& path, const std::string& name) {
  const Placed key(*this, root, path, KEY_SET_VALUE, false);
  if (key.rc() == ERROR_FILE_NOT_FOUND) return true;
  if (key.rc() != ERROR_SUCCESS) return false;
  const LONG deleted = ::RegDeleteValueW(key.get(), Utf8ToWide(name).c_str());
  return deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND;
}

std::optional<std::vector<RegValue>> LiveStore::ListValues(HKey root, const std::string& path) {
  const Placed key(*this, root, path, KEY_READ, false);
  if (key.rc() != ERROR_SUCCESS) return std::nullopt;
  DWORD count = 0, longest_name = 0, longest_data = 0;
  if (::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &longest_name,
                         &longest_data, nullptr, nullptr) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  std::vector<RegValue> values;
  std::vector<wchar_t> name(longest_name + 1);
  std::vector<std::uint8_t> data(longest_data + 1);
  for (DWORD index = 0; index < count; ++index) {
    DWORD name_size = static_cast<DWORD>(name.size()), data_size = static_cast<DWORD>(data.size()), type = 0;
    const LONG rc = ::RegEnumValueW(key.get(), index, name.data(), &name_size, nullptr, &type, data.data(), &data_size);
    // A value that grew since the count was taken: not the whole key.
    if (rc != ERROR_SUCCESS) return std::nullopt;
    values.push_back(RegValue{Utf8(name.data(), name_size), type,
                              std::vector<std::uint8_t>(data.begin(), data.begin() + data_size), true});
  }
  return values;
}

std::optional<std::vector<std::string>> LiveStore::ListSubkeys(HKey root, const std::string& path) {
  const Placed key(*this, root, path, KEY_READ, false);
  if (key.rc() != ERROR_SUCCESS) return std::nullopt;
  std::vector<std::string> names;
  wchar_t name[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = 256;
    const LONG rc = ::RegEnumKeyExW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) return names;
    if (rc != ERROR_SUCCESS) return std::nullopt;
    names.push_back(Utf8(name, length));
  }
}

}  // namespace torvane::registry
