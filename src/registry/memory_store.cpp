#include "registry/memory_store.h"

#include <algorithm>
#include <cstring>

#include "registry/codepage.h"
#include "registry/names.h"

namespace torvane::registry {

namespace {

// As many links as one open may pass through before it gives up.
constexpr int kMaxLinkHops = 32;

void MarkDeleted(MemoryStore::Key& key) {
  key.deleted = true;
  for (auto& [folded, child] : key.children) MarkDeleted(*child);
}

void DumpKey(const MemoryStore::Key& key, const std::string& path, std::string& out) {
  static const char* const kHex = "0123456789abcdef";
  out += '[' + FoldName(path) + "]\n";
  if (key.link) out += "->" + std::to_string(key.link->root) + ':' + FoldName(key.link->path) + '\n';
  std::vector<const RegValue*> values;
  for (const auto& value : key.values) values.push_back(&value);
  std::sort(values.begin(), values.end(), [](const RegValue* a, const RegValue* b) {
    return FoldName(a->name) < FoldName(b->name);
  });
  for (const RegValue* value : values) {
    out += FoldName(value->name) + '=' + std::to_string(value->type) + ':';
    for (std::uint8_t byte : StoredForm(*value).data) {
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
    out += '\n';
  }
  for (const MemoryStore::Key* child : key.Ordered()) DumpKey(*child, path + '\\' + child->name, out);
}

}  // namespace

const RegValue* MemoryStore::Key::FindValue(const std::string& value_name) const {
  if (indexed_values_ > values.size()) {
    value_at_.clear();
    indexed_values_ = 0;
  }
  for (; indexed_values_ < values.size(); ++indexed_values_) {
    value_at_.emplace(FoldName(values[indexed_values_].name), indexed_values_);  // the first of a name wins
  }
  const auto it = value_at_.find(FoldName(value_name));
  if (it == value_at_.end()) return nullptr;
  if (it->second < values.size() && NamesEqual(values[it->second].name, value_name)) return &values[it->second];
  // `values` was changed behind the index: look it up the long way.
  indexed_values_ = kUnindexed;
  for (const auto& value : values) {
    if (NamesEqual(value.name, value_name)) return &value;
  }
  return nullptr;
}

RegValue* MemoryStore::Key::FindValue(const std::string& value_name) {
  return const_cast<RegValue*>(static_cast<const Key*>(this)->FindValue(value_name));
}

const MemoryStore::Key* MemoryStore::Key::FindChild(const std::string& child_name) const {
  auto it = children.find(FoldName(child_name));
  return it == children.end() ? nullptr : it->second.get();
}

const std::vector<MemoryStore::Key*>& MemoryStore::Key::Ordered() const {
  if (!order_valid_) {
    order_.clear();
    order_.reserve(children.size());
    listed_names_.clear();
    listed_names_.reserve(children.size());
    for (const auto& [folded, child] : children) {
      order_.push_back(child.get());
      listed_names_.push_back(child->listed_as ? *child->listed_as : child->name);
    }
    order_valid_ = true;
  }
  return order_;
}

void MemoryStore::ListAs(HKey root, const std::string& path, const std::string& shown) {
  CreateKey(root, path).listed_as = shown;
  const auto slash = path.rfind('\\');
  CreateKey(root, slash == std::string::npos ? std::string() : path.substr(0, slash)).Invalidate();
}

MemoryStore::MemoryStore()
    : current_user_(std::make_shared<Key>()), local_machine_(std::make_shared<Key>()) {
  current_user_->name = "HKEY_CURRENT_USER";
  local_machine_->name = "HKEY_LOCAL_MACHINE";
  roots_[0] = {current_user_, kCurrentUser, kKeyAllAccess};
  roots_[1] = {local_machine_, kLocalMachine, kKeyAllAccess};
}

const MemoryStore::Handle* MemoryStore::Resolve(HKey key) const {
  if (key == kCurrentUser) return &roots_[0];
  if (key == kLocalMachine) return &roots_[1];
  auto it = handles_.find(key);
  return it == handles_.end() ? nullptr : &it->second;
}

std::shared_ptr<MemoryStore::Key> MemoryStore::Walk(const std::shared_ptr<Key>& from,
                                                    const std::string& path) const {
  std::shared_ptr<Key> node = from;
  for (const auto& part : SplitKeyPath(path)) {
    auto it = node->children.find(FoldName(part));
    if (it == node->children.end()) return nullptr;
    node = it->second;
  }
  return node;
}

std::shared_ptr<MemoryStore::Key> MemoryStore::Follow(std::shared_ptr<Key> from, HKey* root,
                                                      const std::string& path, bool follow_last,
                                                      int* hops) const {
  const auto parts = SplitKeyPath(path);
  for (std::size_t i = 0; i < parts.size(); ++i) {
    auto it = from->children.find(FoldName(parts[i]));
    if (it == from->children.end()) return nullptr;
    from = it->second;
    if (!from->link || (i + 1 == parts.size() && !follow_last)) continue;
    if (++*hops > kMaxLinkHops) return nullptr;
    const Key::Target target = *from->link;
    *root = target.root;
    from = Follow(target.root == kCurrentUser ? current_user_ : local_machine_, root, target.path, true, hops);
    if (!from) return nullptr;
  }
  return from;
}

std::shared_ptr<MemoryStore::Key>& MemoryStore::RootNode(HKey root) {
  return root == kCurrentUser ? current_user_ : local_machine_;
}

long MemoryStore::RegOpenKeyExA(HKey root, const std::string& path, std::uint32_t options,
                                std::uint32_t access, HKey* result) {
  if (result == nullptr) return kInvalidParameter;
  *result = kNullKey;
  const Handle* parent = Resolve(root);
  if (parent == nullptr) return kInvalidHandle;
  if (parent->key->deleted) return kKeyDeleted;
  HKey hive = parent->root;
  int hops = 0;
  std::shared_ptr<Key> node =
      Follow(parent->key, &hive, ViewPath(root, path, access), (options & kOpenLink) == 0, &hops);
  if (!node) return kFileNotFound;
  if (node->deny_access) return kAccessDenied;
  if (WantsWrite(access)) {
    if (!administrator_ && hive == kLocalMachine) return kAccessDenied;
    if (node->deny_full_access) return kAccessDenied;
  }
  const HKey handle = next_handle_;
  next_handle_ += 4;
  handles_.emplace(handle, Handle{std::move(node), hive, access});
  *result = handle;
  return kSuccess;
}

long MemoryStore::RegQueryValueExA(HKey key, const std::string& name, std::uint32_t* type,
                                   std::uint8_t* data, std::uint32_t* size) {
  const Handle* handle = Resolve(key);
  if (handle == nullptr) return kInvalidHandle;
  if (handle->key->deleted) return kKeyDeleted;
  if ((handle->access & kQueryValueBit) == 0) return kAccessDenied;
  if (data != nullptr && size == nullptr) return kInvalidParameter;
  const RegValue* value = handle->key->FindValue(name);
  if (value == nullptr) return kFileNotFound;
  return CopyValueOut(*value, type, data, size);
}

long MemoryStore::RegSetValueExA(HKey key, const std::string& name, std::uint32_t /*reserved*/,
                                 std::uint32_t type, const std::uint8_t* data,
                                 std::uint32_t size) {
  const Handle* handle = Resolve(key);
  if (handle == nullptr) return kInvalidHandle;
  if (handle->key->deleted) return kKeyDeleted;
  if ((handle->access & kSetValueBit) == 0 || handle->key->refuse_changes) return kAccessDenied;
  if (data == nullptr && size != 0) return kInvalidParameter;
  std::vector<std::uint8_t> bytes(data, data + size);
  if (RegValue* value = handle->key->FindValue(name)) {
    value->type = type;
    value->data = std::move(bytes);
    value->raw = false;
    return kSuccess;
  }
  handle->key->values.push_back(RegValue{name, type, std::move(bytes)});
  return kSuccess;
}

long MemoryStore::RegDeleteValueA(HKey key, const std::string& name) {
  const Handle* handle = Resolve(key);
  if (handle == nullptr) return kInvalidHandle;
  if (handle->key->deleted) return kKeyDeleted;
  if ((handle->access & kSetValueBit) == 0 || handle->key->refuse_changes) return kAccessDenied;
  auto& values = handle->key->values;
  auto it = std::find_if(values.begin(), values.end(),
                         [&](const RegValue& value) { return NamesEqual(value.name, name); });
  if (it == values.end()) return kFileNotFound;
  values.erase(it);
  handle->key->ValuesRemoved();
  return kSuccess;
}

long MemoryStore::RegEnumKeyA(HKey key, std::uint32_t index, char* name, std::uint32_t capacity) {
  const Handle* handle = Resolve(key);
  if (handle == nullptr) return kInvalidHandle;
  if (handle->key->deleted) return kKeyDeleted;
  if ((handle->access & kEnumerateBit) == 0) return kAccessDenied;
  if (index >= handle->key->Ordered().size()) return kNoMoreItems;
  const std::string& child = handle->key->ListedName(index);
  if (name == nullptr || child.size() + 1 > capacity) return kMoreData;
  std::memcpy(name, child.c_str(), child.size() + 1);
  return kSuccess;
}

long MemoryStore::RegEnumValueA(HKey key, std::uint32_t index, char* name, std::uint32_t capacity) {
  const Handle* handle = Resolve(key);
  if (handle == nullptr) return kInvalidHandle;
  if (handle->key->deleted) return kKeyDeleted;
  if ((handle->access & kQueryValueBit) == 0) return kAccessDenied;
  if (index >= handle->key->values.size()) return kNoMoreItems;
  const std::string& value = handle->key->values[index].name;
  if (name == nullptr || value.size() + 1 > capacity) return kMoreData;
  std::memcpy(name, value.c_str(), value.size() + 1);
  return kSuccess;
}

long MemoryStore::RegDeleteKeyA(HKey key, const std::string& subkey) {
  const Handle* handle = Resolve(key);
  if (handle == nullptr) return kInvalidHandle;
  if (handle->key->deleted) return kKeyDeleted;
  const auto parts = SplitKeyPath(subkey);
  if (parts.empty()) return kInvalidParameter;
  // Links on the way are followed; the key named last is removed itself.
  HKey hive = handle->root;
  int hops = 0;
  std::string parent_path;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) parent_path += parts[i] + "\\";
  std::shared_ptr<Key> parent = Follow(handle->key, &hive, parent_path, true, &hops);
  if (!parent) return kFileNotFound;
  auto it = parent->children.find(FoldName(parts.back()));
  if (it == parent->children.end()) return kFileNotFound;
  Key& victim = *it->second;
  if (victim.deny_access || !victim.children.empty() || victim.refuse_deletion) return kAccessDenied;
  if (!administrator_ && hive == kLocalMachine) return kAccessDenied;
  MarkDeleted(victim);
  parent->children.erase(it);
  parent->Invalidate();
  return kSuccess;
}

long MemoryStore::RegCloseKey(HKey key) {
  if (key == kCurrentUser || key == kLocalMachine) return kSuccess;
  return handles_.erase(key) == 1 ? kSuccess : kInvalidHandle;
}

long MemoryStore::RegQueryKeyIsLink(HKey key, bool* is_link) {
  const Handle* handle = Resolve(key);
  if (handle == nullptr) return kInvalidHandle;
  if (handle->key->deleted) return kKeyDeleted;
  // A key read from a .reg file keeps a link's "SymbolicLinkValue" (REG_LINK)
  // but not its being a link: such a key is taken for one, as the Win32
  // store does.
  const RegValue* target = handle->key->FindValue("SymbolicLinkValue");
  *is_link = handle->key->link.has_value() || (target != nullptr && target->type == kRegLink);
  return kSuccess;
}

long MemoryStore::RegCreateKeyExA(HKey key, const std::string& subkey, std::uint32_t access, HKey* result,
                                  bool* created) {
  if (result == nullptr || created == nullptr) return kInvalidParameter;
  *result = kNullKey;
  *created = false;
  const Handle* parent = Resolve(key);
  if (parent == nullptr) return kInvalidHandle;
  if (parent->key->deleted) return kKeyDeleted;
  const auto parts = SplitKeyPath(subkey);
  if (parts.size() != 1) return kInvalidParameter;
  const long rc = RegOpenKeyExA(key, subkey, 0, access, result);
  if (rc != kFileNotFound) return rc;
  if ((parent->access & kCreateSubKeyBit) == 0 || parent->key->refuse_changes || parent->key->deny_access) {
    return kAccessDenied;
  }
  if (!administrator_ && parent->root == kLocalMachine) return kAccessDenied;
  auto made = std::make_shared<Key>();
  made->name = parts[0];
  parent->key->children[FoldName(parts[0])] = made;
  parent->key->Invalidate();
  const HKey handle = next_handle_;
  next_handle_ += 4;
  handles_.emplace(handle, Handle{std::move(made), parent->root, access});
  *result = handle;
  *created = true;
  return kSuccess;
}

MemoryStore::Key& MemoryStore::CreateKey(HKey root, const std::string& path) {
  std::shared_ptr<Key> node = RootNode(root);
  for (const auto& part : SplitKeyPath(path)) {
    auto& slot = node->children[FoldName(part)];
    if (!slot) {
      slot = std::make_shared<Key>();
      slot->name = part;
      node->Invalidate();
    }
    node = slot;
  }
  return *node;
}

void MemoryStore::PutValue(HKey root, const std::string& path, const std::string& name,
                           std::uint32_t type, std::vector<std::uint8_t> data) {
  PutValue(root, path, RegValue{name, type, std::move(data)});
}

void MemoryStore::PutValue(HKey root, const std::string& path, const RegValue& value) {
  Key& key = CreateKey(root, path);
  if (RegValue* existing = key.FindValue(value.name)) {
    existing->type = value.type;
    existing->data = value.data;  // the stored name keeps its letter case
    existing->raw = value.raw;
    return;
  }
  key.values.push_back(value);
}

void MemoryStore::PutString(HKey root, const std::string& path, const std::string& name,
                            const std::string& text) {
  std::vector<std::uint8_t> data(text.begin(), text.end());
  data.push_back(0);
  PutValue(root, path, name, kRegSz, std::move(data));
}

void MemoryStore::PutDword(HKey root, const std::string& path, const std::string& name,
                           std::uint32_t number) {
  PutValue(root, path, name, kRegDword,
           {static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8),
            static_cast<std::uint8_t>(number >> 16), static_cast<std::uint8_t>(number >> 24)});
}

bool MemoryStore::RemoveTree(HKey root, const std::string& path) {
  auto parts = SplitKeyPath(path);
  if (parts.empty()) return false;
  const std::string last = parts.back();
  parts.pop_back();
  std::shared_ptr<Key> parent = RootNode(root);
  for (const auto& part : parts) {
    auto it = parent->children.find(FoldName(part));
    if (it == parent->children.end()) return false;
    parent = it->second;
  }
  auto it = parent->children.find(FoldName(last));
  if (it == parent->children.end()) return false;
  MarkDeleted(*it->second);
  parent->children.erase(it);
  parent->Invalidate();
  return true;
}

bool MemoryStore::RemoveValue(HKey root, const std::string& path, const std::string& name) {
  std::shared_ptr<Key> key = Walk(RootNode(root), path);
  if (!key) return false;
  auto& values = key->values;
  auto it = std::find_if(values.begin(), values.end(),
                         [&](const RegValue& value) { return NamesEqual(value.name, name); });
  if (it == values.end()) return false;
  values.erase(it);
  key->ValuesRemoved();
  return true;
}

const MemoryStore::Key* MemoryStore::FindKey(HKey root, const std::string& path) const {
  const std::shared_ptr<Key>& base = root == kCurrentUser ? current_user_ : local_machine_;
  return Walk(base, path).get();
}

std::optional<RegValue> MemoryStore::GetValue(HKey root, const std::string& path,
                                              const std::string& name) const {
  const Key* key = FindKey(root, path);
  if (key == nullptr) return std::nullopt;
  const RegValue* value = key->FindValue(name);
  if (value == nullptr) return std::nullopt;
  return *value;
}

const MemoryStore::Key& MemoryStore::Root(HKey root) const {
  return root == kCurrentUser ? *current_user_ : *local_machine_;
}

std::string MemoryStore::Dump() const {
  std::string out;
  DumpKey(*current_user_, "HKEY_CURRENT_USER", out);
  DumpKey(*local_machine_, "HKEY_LOCAL_MACHINE", out);
  return out;
}

void CopyTree(const MemoryStore::Key& from, MemoryStore& to, HKey root, const std::string& path) {
  to.CreateKey(root, path).link = from.link;
  for (const auto& value : from.values) to.PutValue(root, path, value);
  for (const MemoryStore::Key* child : from.Ordered()) {
    CopyTree(*child, to, root, path.empty() ? child->name : path + '\\' + child->name);
  }
}

}  // namespace torvane::registry
