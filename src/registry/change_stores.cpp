#include "registry/change_stores.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "registry/codepage.h"
#include "registry/digits.h"
#include "registry/names.h"
#include "registry/reg_tree.h"
#include "registry/utf.h"
#include "registry/view_path.h"

namespace torvane::registry {

namespace {

// Key names are at most 255 characters, i.e. 510 GBK bytes; a value name
// in a hive at most 65,535 bytes, each character two GBK bytes at most.
constexpr std::uint32_t kNameBuffer = 1024;
constexpr std::uint32_t kValueNameBuffer = 1 << 17;

// Reads a whole value with its type; nullopt when it cannot be read.
std::optional<RegValue> ReadWhole(RegistryStore& store, HKey key, const std::string& name) {
  std::uint32_t type = 0, size = 0;
  if (store.RegQueryValueExA(key, name, &type, nullptr, &size) != kSuccess) return std::nullopt;
  RegValue value{name, type, std::vector<std::uint8_t>(size)};
  std::uint32_t got = size;
  if (store.RegQueryValueExA(key, name, &type, value.data.data(), &got) != kSuccess) return std::nullopt;
  value.data.resize(got);
  value.type = type;
  return value;
}

}  // namespace

bool PathBook::Find(HKey key, HKey* root, std::string* path) const {
  if (key == kCurrentUser || key == kLocalMachine) {
    *root = key;
    path->clear();
    return true;
  }
  auto it = paths_.find(key);
  if (it == paths_.end()) return false;
  *root = it->second.first;
  *path = it->second.second;
  return true;
}

std::string PathBook::Join(const std::string& base, const std::string& relative) {
  // `base` is a path this book made (or empty): the common case, one name
  // without a backslash byte below a path whose last byte cannot start a
  // double-byte character, needs no splitting.
  if (!relative.empty() && relative.find('\\') == std::string::npos &&
      (base.empty() || static_cast<unsigned char>(base.back()) < 0x80)) {
    return base.empty() ? relative : base + '\\' + relative;
  }
  return NormalKeyPath(base + "\\" + relative);
}

namespace {

std::string AccessName(std::uint32_t access) {
  access &= ~registry::kViewBits;
  if (access == kKeyAllAccess) return "KEY_ALL_ACCESS";
  if (access == kKeyRead) return "KEY_READ";
  return "0x" + HexDigits(access, 1, true);
}

}  // namespace

long RecordingStore::Noted(long rc, HKey key, const std::string& subkey, std::string access) {
  Refusal refusal;
  if (rc != kAccessDenied || !paths_.Find(key, &refusal.root, &refusal.path)) return rc;
  refusal.path = PathBook::Join(refusal.path, subkey);
  refusal.access = std::move(access);
  if (std::find(refusals_.begin(), refusals_.end(), refusal) == refusals_.end()) refusals_.push_back(refusal);
  return rc;
}

long RecordingStore::RegOpenKeyExA(HKey root, const std::string& path, std::uint32_t options,
                                   std::uint32_t access, HKey* result) {
  HKey top = kNullKey;
  std::string base_path;
  const bool known = paths_.Find(root, &top, &base_path);
  const long rc = base_.RegOpenKeyExA(root, path, options, access, result);
  // Noted as stored: a key of the 32-bit view by its Wow6432Node path.
  if (rc == kSuccess && known) paths_.Note(*result, top, PathBook::Join(base_path, registry::ViewPath(root, path, access)));
  return Noted(rc, root, registry::ViewPath(root, path, access), AccessName(access));
}

long RecordingStore::RegQueryValueExA(HKey key, const std::string& name, std::uint32_t* type,
                                      std::uint8_t* data, std::uint32_t* size) {
  return Noted(base_.RegQueryValueExA(key, name, type, data, size), key, "", "KEY_QUERY_VALUE");
}

std::optional<RegValue> RecordingStore::OldValue(HKey key, const std::string& name) {
  return ReadWhole(base_, key, name);
}

long RecordingStore::RegSetValueExA(HKey key, const std::string& name, std::uint32_t reserved,
                                    std::uint32_t type, const std::uint8_t* data, std::uint32_t size) {
  Change change;
  if (paths_.Find(key, &change.root, &change.path)) {
    change.kind = Change::Kind::kSetValue;
    change.value = RegValue{name, type, std::vector<std::uint8_t>(data, data + size)};
    change.old_value = OldValue(key, name);
    before_change_(change);
  }
  return Noted(base_.RegSetValueExA(key, name, reserved, type, data, size), key, "", "KEY_SET_VALUE");
}

long RecordingStore::RegDeleteValueA(HKey key, const std::string& name) {
  Change change;
  if (paths_.Find(key, &change.root, &change.path)) {
    change.kind = Change::Kind::kDeleteValue;
    change.value.name = name;
    change.old_value = OldValue(key, name);
    // Deleting what is not there changes nothing.
    if (change.old_value) before_change_(change);
  }
  return Noted(base_.RegDeleteValueA(key, name), key, "", "KEY_SET_VALUE");
}

long RecordingStore::RegEnumKeyA(HKey key, std::uint32_t index, char* name, std::uint32_t capacity) {
  return Noted(base_.RegEnumKeyA(key, index, name, capacity), key, "", "KEY_ENUMERATE_SUB_KEYS");
}

long RecordingStore::RegEnumValueA(HKey key, std::uint32_t index, char* name, std::uint32_t capacity) {
  return Noted(base_.RegEnumValueA(key, index, name, capacity), key, "", "KEY_QUERY_VALUE");
}

void RecordingStore::NoteDeletion(HKey key, const std::string& subkey, bool tree) {
  Change change;
  if (paths_.Find(key, &change.root, &change.path)) {
    change.kind = Change::Kind::kDeleteKey;
    change.path = PathBook::Join(change.path, subkey);
    // A link's values are where it points: the key itself holds none.
    const bool known = last_link_ && last_link_->root == change.root && NamesEqual(last_link_->path, change.path);
    HKey victim = kNullKey;
    // A deletion the store says it cannot make is refused below: no change.
    bool removable = true;
    if (base_.RegOpenKeyExA(key, subkey, kOpenLink, kKeyRead, &victim) == kSuccess) {
      removable = tree ? base_.TreeRemovable(victim) : base_.KeyRemovable(victim);
      if (!known && base_.RegQueryKeyIsLink(victim, &change.link) != kSuccess) change.link = true;
      base_.RegCloseKey(victim);
    }
    if (known) {
      change.link = last_link_->is_link;
      last_link_.reset();
    }
    std::optional<std::vector<RegValue>> values;
    if (inspect_ != nullptr && !change.link) values = inspect_->ListValues(change.root, GbkToUtf8(change.path));
    if (removable && (inspect_ == nullptr || change.link || values)) {
      if (values) change.old_values = std::move(*values);
      before_change_(change);
    }
  }
}

long RecordingStore::RegDeleteKeyA(HKey key, const std::string& subkey) {
  NoteDeletion(key, subkey, false);
  return Noted(base_.RegDeleteKeyA(key, subkey), key, subkey, "DELETE");
}

// One change for the whole tree: the key named, everything below it with it.
long RecordingStore::RegDeleteTreeA(HKey key, const std::string& subkey) {
  NoteDeletion(key, subkey, true);
  return Noted(base_.RegDeleteTreeA(key, subkey), key, subkey, "DELETE");
}

long RecordingStore::RegCloseKey(HKey key) {
  paths_.Forget(key);
  return base_.RegCloseKey(key);
}

long RecordingStore::RegCreateKeyExA(HKey key, const std::string& subkey, std::uint32_t access, HKey* result,
                                     bool* created) {
  Change change;
  std::string base_path;
  const bool known = paths_.Find(key, &change.root, &base_path);
  const std::string path = PathBook::Join(base_path, registry::ViewPath(key, subkey, access));
  if (known) {
    // Only a key that is not there yet is a change.
    HKey existing = kNullKey;
    const long looked = base_.RegOpenKeyExA(key, subkey, 0, kKeyRead | (access & kViewBits), &existing);
    if (looked == kSuccess) base_.RegCloseKey(existing);
    if (looked == kFileNotFound) {
      change.kind = Change::Kind::kCreateKey;
      change.path = path;
      before_change_(change);
    }
  }
  const long rc = base_.RegCreateKeyExA(key, subkey, access, result, created);
  if (rc == kSuccess && known) paths_.Note(*result, change.root, path);
  return Noted(rc, key, subkey, "KEY_CREATE_SUB_KEY");
}

long RecordingStore::RegQueryKeyIsLink(HKey key, bool* is_link) {
  const long rc = base_.RegQueryKeyIsLink(key, is_link);
  HKey root = kNullKey;
  std::string path;
  if (rc == kSuccess && paths_.Find(key, &root, &path)) last_link_ = LinkSeen{root, std::move(path), *is_link};
  return Noted(rc, key, "", "KEY_QUERY_VALUE");
}

std::string OverlayStore::Id(HKey root, const std::string& path) {
  return (root == kCurrentUser ? "U\\" : "M\\") + FoldName(path);
}

const OverlayStore::Handle* OverlayStore::Find(HKey key) const {
  if (key == kCurrentUser || key == kLocalMachine) {
    static const Handle kRoots[2] = {{kCurrentUser, kCurrentUser, "", Id(kCurrentUser, ""), 0, kKeyAllAccess},
                                     {kLocalMachine, kLocalMachine, "", Id(kLocalMachine, ""), 0, kKeyAllAccess}};
    return &kRoots[key == kCurrentUser ? 0 : 1];
  }
  auto it = handles_.find(key);
  return it == handles_.end() ? nullptr : &it->second;
}

HKey OverlayStore::NewHandle(Handle handle) {
  const HKey made = next_handle_;
  next_handle_ += 4;
  handles_.emplace(made, std::move(handle));
  return made;
}

namespace {

// The number of components of a key path.
std::size_t DepthOf(std::string_view path) {
  std::size_t depth = 0;
  ForEachKeyPathPart(path, [&](std::string_view) { ++depth; });
  return depth;
}

// True when the key at `path` (a path Join made), or one above it deeper
// than `known_alive` components and shallower than `depth_limit`, is
// deleted in `state`. `id` is the path's id: each ancestor's id is a prefix
// of it, so only depths at which something was deleted are looked up, and
// nothing is folded again.
bool DeletedAlong(const OverlayState& state, std::string_view id, std::string_view path, std::size_t known_alive,
                  std::size_t depth_limit = ~std::size_t{0}) {
  if (state.deleted.empty() || state.deleted_depths.rbegin()->first <= known_alive) return false;
  const std::size_t offset = id.size() - path.size();
  std::size_t depth = 0;
  bool found = false;
  ForEachKeyPathPart(path, [&](std::string_view part) {
    if (found || ++depth <= known_alive || depth > depth_limit || state.deleted_depths.count(depth) == 0) return;
    const std::size_t end = static_cast<std::size_t>(part.data() - path.data()) + part.size();
    found = state.deleted.find(id.substr(0, offset + end)) != state.deleted.end();
  });
  return found;
}

}  // namespace

bool OverlayStore::IsDeleted(const Handle& handle) const {
  if (handle.path.empty()) return false;  // a root
  const std::uint64_t generation = StateOf(handle.root).generation;
  if (handle.live_at == generation) return false;
  if (DeletedAlong(StateOf(handle.root), handle.id, handle.path, 0)) return true;
  handle.live_at = generation;
  return false;
}

long OverlayStore::RegOpenKeyExA(HKey root, const std::string& path, std::uint32_t options,
                                 std::uint32_t access, HKey* result) {
  if (result == nullptr) return kInvalidParameter;
  *result = kNullKey;
  const Handle* parent = Find(root);
  if (parent == nullptr) return kInvalidHandle;
  if (IsDeleted(*parent)) return kKeyDeleted;
  // A key both views share through a link is one key to the changes held here.
  std::string full = PathBook::Join(parent->path, registry::StoredViewPath(base_, root, path, access));
  std::string id = Id(parent->root, full);
  if (DeletedAlong(StateOf(parent->root), id, full, parent->depth)) return kFileNotFound;
  HKey opened = kNullKey;
  // Below a key made here the base holds nothing.
  const long rc = parent->base == kNullKey ? kFileNotFound
                                           : base_.RegOpenKeyExA(parent->base, path, options, access, &opened);
  if (rc != kSuccess && !(rc == kFileNotFound && IsCreated(parent->root, full))) return rc;
  const std::size_t depth = DepthOf(full);
  *result = NewHandle(Handle{opened, parent->root, std::move(full), std::move(id), depth, access});
  return kSuccess;
}

std::optional<std::optional<RegValue>> OverlayStore::Pending(const Handle& handle, const std::string& name) const {
  const auto& values = StateOf(handle.root).values;
  auto key = values.find(handle.id);
  if (key == values.end()) return std::nullopt;
  auto value = key->second.by_name.find(FoldName(name));
  if (value == key->second.by_name.end()) return std::nullopt;
  return value->second;
}

long OverlayStore::RegQueryValueExA(HKey key, const std::string& name, std::uint32_t* type,
                                    std::uint8_t* data, std::uint32_t* size) {
  const Handle* handle = Find(key);
  if (handle == nullptr) return kInvalidHandle;
  if (IsDeleted(*handle)) return kKeyDeleted;
  const auto pending = Pending(*handle, name);
  if (!pending && handle->base == kNullKey) return kFileNotFound;
  if (!pending) return base_.RegQueryValueExA(handle->base, name, type, data, size);
  if (!*pending) return kFileNotFound;
  if (data != nullptr && size == nullptr) return kInvalidParameter;
  return registry::CopyValueOut(**pending, type, data, size);
}

long OverlayStore::RegSetValueExA(HKey key, const std::string& name, std::uint32_t /*reserved*/,
                                  std::uint32_t type, const std::uint8_t* data, std::uint32_t size) {
  const Handle* handle = Find(key);
  if (handle == nullptr) return kInvalidHandle;
  if (IsDeleted(*handle)) return kKeyDeleted;
  if ((handle->access & kSetValueBit) == 0) return kAccessDenied;
  if (data == nullptr && size != 0) return kInvalidParameter;
  auto& key_values = StateOf(handle->root).values[handle->id];
  key_values.path = handle->path;
  key_values.by_name[FoldName(name)] = RegValue{name, type, std::vector<std::uint8_t>(data, data + size)};
  value_cache_.key = kNullKey;
  return kSuccess;
}

long OverlayStore::RegDeleteValueA(HKey key, const std::string& name) {
  const Handle* handle = Find(key);
  if (handle == nullptr) return kInvalidHandle;
  if (IsDeleted(*handle)) return kKeyDeleted;
  if ((handle->access & kSetValueBit) == 0) return kAccessDenied;
  std::uint32_t size = 0;
  if (RegQueryValueExA(key, name, nullptr, nullptr, &size) != kSuccess) return kFileNotFound;
  auto& key_values = StateOf(handle->root).values[handle->id];
  key_values.path = handle->path;
  key_values.by_name[FoldName(name)] = std::nullopt;
  value_cache_.key = kNullKey;
  return kSuccess;
}

bool OverlayStore::Subkeys(const Handle& handle, std::vector<std::string>* names) {
  std::vector<char> buffer(kNameBuffer);
  for (std::uint32_t index = 0; handle.base != kNullKey; ++index) {
    const long rc = base_.RegEnumKeyA(handle.base, index, buffer.data(), kNameBuffer);
    if (rc == kNoMoreItems) break;
    if (rc != kSuccess) return false;
    std::string name(buffer.data());
    const std::string path = PathBook::Join(handle.path, name);
    // The key listing it stands: only the subkey itself (and, for a name
    // holding backslashes, the keys between) can be deleted.
    if (!DeletedAlong(StateOf(handle.root), Id(handle.root, path), path, handle.depth)) {
      names->push_back(std::move(name));
    }
  }
  // The keys made here below it, among the others in the registry's order.
  bool made = false;
  for (const auto& [created_id, path] : StateOf(handle.root).created) {
    auto parts = SplitKeyPath(path);
    if (parts.empty()) continue;
    std::string name = std::move(parts.back());
    parts.pop_back();
    std::string above;
    for (const std::string& part : parts) above = above.empty() ? part : above + "\\" + part;
    if (Id(handle.root, above) != handle.id) continue;
    names->push_back(std::move(name));
    made = true;
  }
  if (made) {
    std::stable_sort(names->begin(), names->end(),
                     [](const std::string& a, const std::string& b) { return FoldName(a) < FoldName(b); });
  }
  return true;
}

long OverlayStore::RegEnumKeyA(HKey key, std::uint32_t index, char* name, std::uint32_t capacity) {
  const Handle* handle = Find(key);
  if (handle == nullptr) return kInvalidHandle;
  if (IsDeleted(*handle)) return kKeyDeleted;
  const std::uint64_t generation = StateOf(handle->root).generation;
  if (enum_cache_.key != key || enum_cache_.generation != generation || index == 0) {
    std::vector<std::string> names;
    if (!Subkeys(*handle, &names)) {
      enum_cache_.key = kNullKey;
      return base_.RegEnumKeyA(handle->base, index, name, capacity);
    }
    enum_cache_ = EnumCache{key, generation, std::move(names)};
  }
  const auto& names = enum_cache_.names;
  if (index >= names.size()) return kNoMoreItems;
  if (name == nullptr || names[index].size() + 1 > capacity) return kMoreData;
  std::memcpy(name, names[index].c_str(), names[index].size() + 1);
  return kSuccess;
}

// The base's values less those deleted here, then those written here that
// the base lacks, in the order written. A change here lists them anew.
long OverlayStore::RegEnumValueA(HKey key, std::uint32_t index, char* name, std::uint32_t capacity) {
  const Handle* handle = Find(key);
  if (handle == nullptr) return kInvalidHandle;
  if (IsDeleted(*handle)) return kKeyDeleted;
  // Listed once per walk (index 0, or another key), as the subkeys are.
  if (value_cache_.key != key || index == 0) {
    value_cache_ = {};
    const auto& values = StateOf(handle->root).values;
    const auto written = values.find(handle->id);
    std::vector<std::string> names;
    std::set<std::string> seen;
    // Uninitialised: a listing of a key with one short value should not
    // clear 128 KB first.
    const auto buffer = std::make_unique_for_overwrite<char[]>(kValueNameBuffer);
    for (std::uint32_t at = 0; handle->base != kNullKey; ++at) {
      const long rc = base_.RegEnumValueA(handle->base, at, buffer.get(), kValueNameBuffer);
      if (rc == kNoMoreItems) break;
      if (rc != kSuccess) return rc == kMoreData ? kAccessDenied : rc;
      const std::string listed(buffer.get());
      if (written != values.end()) {
        // Deleted here: not listed.
        std::string folded = FoldName(listed);
        const auto pending = written->second.by_name.find(folded);
        seen.insert(std::move(folded));
        if (pending != written->second.by_name.end() && !pending->second) continue;
      }
      names.push_back(listed);
    }
    if (written != values.end()) {
      for (const auto& [folded, value] : written->second.by_name) {
        if (value && seen.count(folded) == 0) names.push_back(value->name);
      }
    }
    value_cache_ = {key, std::move(names)};
  }
  const auto& names = value_cache_.names;
  if (index >= names.size()) return kNoMoreItems;
  if (name == nullptr || names[index].size() + 1 > capacity) return kMoreData;
  std::memcpy(name, names[index].c_str(), names[index].size() + 1);
  return kSuccess;
}

bool OverlayStore::KeyRemovable(HKey key) {
  const Handle* handle = Find(key);
  return handle == nullptr || handle->base == kNullKey || base_.KeyRemovable(handle->base);
}

long OverlayStore::RegCreateKeyExA(HKey key, const std::string& subkey, std::uint32_t access, HKey* result,
                                   bool* created) {
  if (result == nullptr || created == nullptr) return kInvalidParameter;
  *result = kNullKey;
  *created = false;
  const Handle* found = Find(key);
  if (found == nullptr) return kInvalidHandle;
  const Handle parent = *found;  // opening below adds handles
  if (IsDeleted(parent)) return kKeyDeleted;
  if (SplitKeyPath(subkey).size() != 1) return kInvalidParameter;
  const long rc = RegOpenKeyExA(key, subkey, 0, access, result);
  if (rc != kFileNotFound) return rc;
  if ((parent.access & kCreateSubKeyBit) == 0) return kAccessDenied;
  std::string full = PathBook::Join(parent.path, registry::StoredViewPath(base_, key, subkey, access));
  std::string id = Id(parent.root, full);
  // A plan deletes keys after it writes values: a key deleted here is not
  // made again.
  if (DeletedAlong(StateOf(parent.root), id, full, 0)) return kAccessDenied;
  OverlayState& state = StateOf(parent.root);
  state.created.emplace(id, full);
  ++state.generation;
  const std::size_t depth = DepthOf(full);
  *result = NewHandle(Handle{kNullKey, parent.root, std::move(full), std::move(id), depth, access});
  *created = true;
  return kSuccess;
}

long OverlayStore::OpenVictim(HKey key, const std::string& subkey, HKey* victim) {
  const Handle* handle = Find(key);
  if (handle == nullptr) return kInvalidHandle;
  if (IsDeleted(*handle)) return kKeyDeleted;
  if (SplitKeyPath(subkey).empty()) return kInvalidParameter;
  return RegOpenKeyExA(key, subkey, kOpenLink, kKeyRead, victim);
}

void OverlayStore::MarkDeleted(const Handle& victim) {
  // A key whose kind cannot be told is taken for a link: never backed up as
  // an ordinary key.
  bool link = false;
  if (base_.RegQueryKeyIsLink(victim.base, &link) != kSuccess) link = true;
  OverlayState& state = StateOf(victim.root);
  if (state.deleted.emplace(victim.id, victim.path).second) ++state.deleted_depths[victim.depth];
  if (link) state.links.insert(victim.id);
  // What was written or made here at or below it goes with it.
  const std::string below = victim.id + "\\";
  const auto at_or_below = [&](const auto& entry) {
    return entry.first == victim.id || entry.first.compare(0, below.size(), below) == 0;
  };
  std::erase_if(state.values, at_or_below);
  std::erase_if(state.created, at_or_below);
  ++state.generation;
}

long OverlayStore::RegDeleteKeyA(HKey key, const std::string& subkey) {
  HKey victim = kNullKey;
  if (const long rc = OpenVictim(key, subkey, &victim); rc != kSuccess) return rc;
  std::vector<std::string> children;
  const Handle victim_handle = *Find(victim);
  const bool listed = Subkeys(victim_handle, &children);
  if (victim_handle.base == kNullKey) {
    // A key made here goes as if it had never been.
    RegCloseKey(victim);
    if (!children.empty()) return kAccessDenied;
    OverlayState& state = StateOf(victim_handle.root);
    state.created.erase(victim_handle.id);
    state.values.erase(victim_handle.id);
    ++state.generation;
    return kSuccess;
  }
  const bool removable = base_.KeyRemovable(victim_handle.base);
  if (!listed || !children.empty() || !removable) {
    RegCloseKey(victim);
    return kAccessDenied;
  }
  MarkDeleted(victim_handle);
  RegCloseKey(victim);
  return kSuccess;
}

bool OverlayStore::TreeRemovable(HKey key) {
  const Handle* handle = Find(key);
  return handle != nullptr && !IsDeleted(*handle) && base_.TreeRemovable(handle->base);
}

long OverlayStore::RegDeleteTreeA(HKey key, const std::string& subkey) {
  HKey victim = kNullKey;
  if (const long rc = OpenVictim(key, subkey, &victim); rc != kSuccess) return rc;
  const Handle victim_handle = *Find(victim);
  const bool removable = base_.TreeRemovable(victim_handle.base);
  if (removable) MarkDeleted(victim_handle);
  RegCloseKey(victim);
  return removable ? kSuccess : kAccessDenied;
}

long OverlayStore::RegCloseKey(HKey key) {
  if (key == kCurrentUser || key == kLocalMachine) return kSuccess;
  auto it = handles_.find(key);
  if (it == handles_.end()) return kInvalidHandle;
  if (it->second.base != kNullKey) base_.RegCloseKey(it->second.base);
  handles_.erase(it);
  return kSuccess;
}

long OverlayStore::RegQueryKeyIsLink(HKey key, bool* is_link) {
  const Handle* handle = Find(key);
  if (handle == nullptr) return kInvalidHandle;
  if (IsDeleted(*handle)) return kKeyDeleted;
  if (key == kCurrentUser || key == kLocalMachine || handle->base == kNullKey) {
    *is_link = false;
    return kSuccess;
  }
  return base_.RegQueryKeyIsLink(handle->base, is_link);
}

Plan PlanOf(const OverlayState& state, HKey root) {
  Plan plan;
  // By id: a key comes before the keys below it.
  for (const auto& [id, path] : state.created) plan.created_keys.push_back(Plan::Key{root, GbkToUtf8(path), false});
  for (const auto& [id, key] : state.values) {
    for (const auto& [folded, value] : key.by_name) {
      Plan::Value change{root, GbkToUtf8(key.path), "", std::nullopt};
      if (value) {
        change.name = GbkToUtf8(value->name);
        change.value = *value;
        change.value->name = change.name;
      } else {
        change.name = GbkToUtf8(folded);
      }
      plan.values.push_back(std::move(change));
    }
  }
  for (const auto& [id, path] : state.deleted) {
    // Only the topmost: a deleted key's subkeys go with it.
    if (!DeletedAlong(state, id, path, 0, DepthOf(path) - 1)) plan.deleted_keys.push_back(Plan::Key{root, GbkToUtf8(path), state.links.count(id) != 0});
  }
  return plan;
}

Plan CarryOut(const Plan& plan, RegTarget& target) {
  Plan refused;
  for (const Plan::Key& key : plan.created_keys) {
    if (!target.CreateKey(key.root, key.path)) refused.created_keys.push_back(key);
  }
  for (const Plan::Value& change : plan.values) {
    const bool done = change.value ? target.SetValue(change.root, change.path, *change.value)
                                   : target.DeleteValue(change.root, change.path, change.name);
    if (!done) refused.values.push_back(change);
  }
  for (const Plan::Key& key : plan.deleted_keys) {
    if (!target.DeleteTree(key.root, key.path)) refused.deleted_keys.push_back(key);
  }
  return refused;
}

}  // namespace torvane::registry
