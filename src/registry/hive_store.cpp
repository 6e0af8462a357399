#include "registry/hive_store.h"

#include <hivex.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include "registry/codepage.h"
#include "registry/names.h"

namespace torvane::registry {

namespace {

constexpr std::size_t kBaseBlockSize = 0x1000;
constexpr std::uint32_t kSetValueBit = 0x0002;
// Data above this size is split into "db" cells on hives of version 1.4 and
// later; hivex writes one cell, so a node holding such a value is not
// rewritten.
constexpr std::size_t kLargestPlainValue = 16344;
constexpr int kMaxDepth = 512;

std::uint32_t Le32(const std::string& bytes, std::size_t at) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 3])) << 24;
}

bool IsTextType(std::uint32_t type) { return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz; }

// Frees what hivex allocates.
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Malloced = std::unique_ptr<T, FreeDeleter>;

std::string NodeName(hive_h* h, hive_node_h node) {
  Malloced<char> name(hivex_node_name(h, node));
  return name ? Utf8ToGbk(name.get()) : std::string();
}

std::vector<hive_node_h> Children(hive_h* h, hive_node_h node) {
  std::vector<hive_node_h> out;
  Malloced<hive_node_h> list(hivex_node_children(h, node));
  if (!list) return out;
  for (hive_node_h* p = list.get(); *p != 0; ++p) out.push_back(*p);
  return out;
}

// A value as it is stored: UTF-8 name as hivex gives it, raw data.
struct RawValue {
  std::string key;
  hive_type type;
  std::string data;
};

bool RawValues(hive_h* h, hive_node_h node, std::vector<RawValue>* out) {
  Malloced<hive_value_h> list(hivex_node_values(h, node));
  if (!list) return false;
  for (hive_value_h* p = list.get(); *p != 0; ++p) {
    Malloced<char> key(hivex_value_key(h, *p));
    hive_type type{};
    std::size_t length = 0;
    Malloced<char> data(hivex_value_value(h, *p, &type, &length));
    if (!key || !data) return false;
    out->push_back(RawValue{key.get(), type, std::string(data.get(), length)});
  }
  return true;
}

RegValue ToAnsi(const RawValue& raw) {
  RegValue value;
  value.name = Utf8ToGbk(raw.key);
  value.type = static_cast<std::uint32_t>(raw.type);
  std::string data = raw.data;
  if (IsTextType(value.type)) data = Utf16leToGbk(std::string_view(data).substr(0, data.size() & ~std::size_t{1}));
  value.data.assign(data.begin(), data.end());
  return value;
}

void CollectSubtree(hive_h* h, hive_node_h node, int depth, std::vector<hive_node_h>* out) {
  out->push_back(node);
  if (depth >= kMaxDepth) return;
  for (hive_node_h child : Children(h, node)) CollectSubtree(h, child, depth + 1, out);
}

}  // namespace

std::string CheckHiveHeader(const std::string& header, std::uint64_t file_size, bool* dirty) {
  if (header.size() < 4 || header.compare(0, 4, "regf") != 0) {
    return "not a registry hive (no \"regf\" signature)";
  }
  if (header.size() < kBaseBlockSize) {
    return "truncated: " + std::to_string(file_size) + " bytes, less than the 4096-byte hive header";
  }
  std::uint32_t sum = 0;
  for (std::size_t at = 0; at < 0x1FC; at += 4) sum ^= Le32(header, at);
  if (sum != Le32(header, 0x1FC)) return "damaged hive header (checksum mismatch)";
  if (Le32(header, 0x14) != 1) return "unsupported hive version " + std::to_string(Le32(header, 0x14));
  const std::uint32_t data_size = Le32(header, 0x28);
  if (data_size == 0 || data_size % 0x1000 != 0) return "damaged hive header (bad data size)";
  if (file_size < kBaseBlockSize + data_size) {
    return "truncated: the header announces " + std::to_string(kBaseBlockSize + data_size) +
           " bytes, the file holds " + std::to_string(file_size);
  }
  if (Le32(header, 0x24) >= data_size) return "damaged hive header (root key outside the hive)";
  *dirty = Le32(header, 0x04) != Le32(header, 0x08);
  return {};
}

std::shared_ptr<HiveFile> HiveFile::Open(const std::string& path, bool writable) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) throw HiveError(path + ": cannot read: " + std::strerror(errno));
  const auto file_size = static_cast<std::uint64_t>(in.tellg());
  in.seekg(0);
  std::string header(static_cast<std::size_t>(std::min<std::uint64_t>(file_size, kBaseBlockSize)), '\0');
  in.read(header.data(), static_cast<std::streamsize>(header.size()));
  if (!in) throw HiveError(path + ": cannot read: " + std::strerror(errno));
  bool dirty = false;
  const std::string problem = CheckHiveHeader(header, file_size, &dirty);
  if (!problem.empty()) throw HiveError(path + ": " + problem);
  {
    std::string first_bin(4, '\0');
    in.seekg(static_cast<std::streamoff>(kBaseBlockSize));
    in.read(first_bin.data(), 4);
    if (!in || first_bin != "hbin") throw HiveError(path + ": damaged hive (no hive bin after the header)");
  }
  hive_h* hive = hivex_open(path.c_str(), writable ? HIVEX_OPEN_WRITE : 0);
  if (hive == nullptr) throw HiveError(path + ": damaged hive (" + std::strerror(errno) + ")");
  return std::shared_ptr<HiveFile>(new HiveFile(path, hive, writable, dirty));
}

HiveFile::~HiveFile() { hivex_close(hive_); }

void HiveFile::Commit(const BeforeReplaceHook& hook) {
  if (!modified_) return;
  if (!writable_) throw HiveError(path_ + ": opened for reading only");
  const std::string temporary = TemporaryBeside(path_);
  if (hivex_commit(hive_, temporary.c_str(), 0) != 0) {
    const std::string reason = std::strerror(errno);
    std::remove(temporary.c_str());
    throw HiveError(path_ + ": cannot write the changed hive: " + reason);
  }
  try {
    ReplaceFile(temporary, path_, hook);
  } catch (const FileError& error) {
    throw HiveError(error.what());
  }
  modified_ = false;
}

std::vector<RegValue> NodeValues(HiveFile& hive, std::size_t node) {
  std::vector<RawValue> raw;
  std::vector<RegValue> values;
  if (!RawValues(hive.handle(), node, &raw)) return values;
  for (const RawValue& value : raw) values.push_back(ToAnsi(value));
  return values;
}

HiveStore::HiveStore(std::shared_ptr<HiveFile> software, std::shared_ptr<HiveFile> user)
    : software_(std::move(software)), user_(std::move(user)) {}

bool HiveStore::Resolve(HKey key, Handle* handle) const {
  if (key == kLocalMachine) {
    *handle = Handle{nullptr, 0, kKeyAllAccess, false};
    return true;
  }
  if (key == kCurrentUser) {
    if (!user_) return false;
    *handle = Handle{user_.get(), hivex_root(user_->handle()), kKeyAllAccess, false};
    return true;
  }
  auto it = handles_.find(key);
  if (it == handles_.end()) return false;
  *handle = it->second;
  return true;
}

bool HiveStore::Walk(const Handle& from, const std::string& path, Handle* found, bool create) {
  Handle at = from;
  for (const std::string& part : SplitKeyPath(path)) {
    if (at.hive == nullptr) {
      if (!software_ || !NamesEqual(part, "SOFTWARE")) return false;
      at.hive = software_.get();
      at.node = hivex_root(software_->handle());
      continue;
    }
    hive_h* h = at.hive->handle();
    hive_node_h next = 0;
    for (hive_node_h child : Children(h, at.node)) {
      if (NamesEqual(NodeName(h, child), part)) {
        next = child;
        break;
      }
    }
    if (next == 0) {
      if (!create || !at.hive->writable()) return false;
      next = hivex_node_add_child(h, at.node, GbkToUtf8(part).c_str());
      if (next == 0) return false;
      at.hive->MarkModified();
    }
    at.node = next;
  }
  *found = at;
  return true;
}

long HiveStore::RegOpenKeyExA(HKey root, const std::string& path, std::uint32_t /*options*/,
                              std::uint32_t access, HKey* result) {
  if (result == nullptr) return kInvalidParameter;
  *result = kNullKey;
  Handle parent;
  if (!Resolve(root, &parent)) return root == kCurrentUser ? kFileNotFound : kInvalidHandle;
  if (parent.deleted) return kKeyDeleted;
  Handle found;
  if (!Walk(parent, path, &found)) return kFileNotFound;
  found.access = access;
  found.deleted = false;
  const HKey handle = next_handle_;
  next_handle_ += 4;
  handles_.emplace(handle, found);
  *result = handle;
  return kSuccess;
}

long HiveStore::RegQueryValueExA(HKey key, const std::string& name, std::uint32_t* type,
                                 std::uint8_t* data, std::uint32_t* size) {
  Handle handle;
  if (!Resolve(key, &handle)) return kInvalidHandle;
  if (handle.deleted) return kKeyDeleted;
  if (data != nullptr && size == nullptr) return kInvalidParameter;
  if (handle.hive == nullptr) return kFileNotFound;
  for (const RegValue& value : NodeValues(*handle.hive, handle.node)) {
    if (!NamesEqual(value.name, name)) continue;
    if (type != nullptr) *type = value.type;
    const auto needed = static_cast<std::uint32_t>(value.data.size());
    if (data == nullptr) {
      if (size != nullptr) *size = needed;
      return kSuccess;
    }
    if (*size < needed) {
      *size = needed;
      return kMoreData;
    }
    if (needed > 0) std::memcpy(data, value.data.data(), needed);
    *size = needed;
    return kSuccess;
  }
  return kFileNotFound;
}

long HiveStore::SetNodeValue(HiveFile& hive, std::size_t node, const RegValue& value) {
  if (!hive.writable()) return kAccessDenied;
  std::vector<RawValue> raw;
  if (!RawValues(hive.handle(), node, &raw)) return kAccessDenied;
  std::string data(value.data.begin(), value.data.end());
  if (IsTextType(value.type)) data = GbkToUtf16le(data);
  RawValue wanted{GbkToUtf8(value.name), static_cast<hive_type>(value.type), std::move(data)};
  bool replaced = false;
  for (RawValue& existing : raw) {
    if (!replaced && NamesEqual(Utf8ToGbk(existing.key), value.name)) {
      existing.type = wanted.type;
      existing.data = wanted.data;  // the stored name keeps its letter case
      replaced = true;
    }
  }
  if (!replaced) raw.push_back(std::move(wanted));
  for (const RawValue& existing : raw) {
    if (existing.data.size() > kLargestPlainValue) return kAccessDenied;
  }
  std::vector<hive_set_value> set(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    set[i] = hive_set_value{raw[i].key.data(), raw[i].type, raw[i].data.size(), raw[i].data.data()};
  }
  if (hivex_node_set_values(hive.handle(), node, set.size(), set.data(), 0) != 0) return kAccessDenied;
  hive.MarkModified();
  return kSuccess;
}

long HiveStore::DeleteNodeValue(HiveFile& hive, std::size_t node, const std::string& name) {
  std::vector<RawValue> raw;
  if (!RawValues(hive.handle(), node, &raw)) return kAccessDenied;
  std::vector<RawValue> kept;
  bool found = false;
  for (RawValue& existing : raw) {
    if (!found && NamesEqual(Utf8ToGbk(existing.key), name)) {
      found = true;
    } else {
      kept.push_back(std::move(existing));
    }
  }
  if (!found) return kFileNotFound;
  if (!hive.writable()) return kAccessDenied;
  for (const RawValue& existing : kept) {
    if (existing.data.size() > kLargestPlainValue) return kAccessDenied;
  }
  std::vector<hive_set_value> set(kept.size());
  for (std::size_t i = 0; i < kept.size(); ++i) {
    set[i] = hive_set_value{kept[i].key.data(), kept[i].type, kept[i].data.size(), kept[i].data.data()};
  }
  if (hivex_node_set_values(hive.handle(), node, set.size(), set.data(), 0) != 0) return kAccessDenied;
  hive.MarkModified();
  return kSuccess;
}

long HiveStore::RegSetValueExA(HKey key, const std::string& name, std::uint32_t /*reserved*/,
                               std::uint32_t type, const std::uint8_t* data, std::uint32_t size) {
  Handle handle;
  if (!Resolve(key, &handle)) return kInvalidHandle;
  if (handle.deleted) return kKeyDeleted;
  if (data == nullptr && size != 0) return kInvalidParameter;
  if (handle.hive == nullptr || (handle.access & kSetValueBit) == 0) return kAccessDenied;
  RegValue value{name, type, std::vector<std::uint8_t>(data, data + size)};
  return SetNodeValue(*handle.hive, handle.node, value);
}

long HiveStore::RegDeleteValueA(HKey key, const std::string& name) {
  Handle handle;
  if (!Resolve(key, &handle)) return kInvalidHandle;
  if (handle.deleted) return kKeyDeleted;
  if (handle.hive == nullptr || (handle.access & kSetValueBit) == 0) return kAccessDenied;
  return DeleteNodeValue(*handle.hive, handle.node, name);
}

long HiveStore::RegEnumKeyA(HKey key, std::uint32_t index, char* name, std::uint32_t capacity) {
  Handle handle;
  if (!Resolve(key, &handle)) return kInvalidHandle;
  if (handle.deleted) return kKeyDeleted;
  std::string child;
  if (handle.hive == nullptr) {
    if (!software_ || index > 0) return kNoMoreItems;
    child = "SOFTWARE";
  } else {
    const auto children = Children(handle.hive->handle(), handle.node);
    if (index >= children.size()) return kNoMoreItems;
    child = NodeName(handle.hive->handle(), children[index]);
  }
  if (name == nullptr || child.size() + 1 > capacity) return kMoreData;
  std::memcpy(name, child.c_str(), child.size() + 1);
  return kSuccess;
}

void HiveStore::ForgetNode(const HiveFile* hive, std::size_t node) {
  for (auto& [id, handle] : handles_) {
    if (handle.hive == hive && handle.node == node) handle.deleted = true;
  }
}

long HiveStore::RegDeleteKeyA(HKey key, const std::string& subkey) {
  Handle handle;
  if (!Resolve(key, &handle)) return kInvalidHandle;
  if (handle.deleted) return kKeyDeleted;
  if (SplitKeyPath(subkey).empty()) return kInvalidParameter;
  Handle victim;
  if (!Walk(handle, subkey, &victim)) return kFileNotFound;
  if (victim.hive == nullptr || !victim.hive->writable()) return kAccessDenied;
  hive_h* h = victim.hive->handle();
  if (victim.node == hivex_root(h) || hivex_node_nr_children(h, victim.node) > 0) return kAccessDenied;
  if (hivex_node_delete_child(h, victim.node) != 0) return kAccessDenied;
  victim.hive->MarkModified();
  ForgetNode(victim.hive, victim.node);
  return kSuccess;
}

long HiveStore::RegCloseKey(HKey key) {
  if (key == kCurrentUser || key == kLocalMachine) return kSuccess;
  return handles_.erase(key) == 1 ? kSuccess : kInvalidHandle;
}

bool HiveStore::CreateKey(HKey root, const std::string& path) {
  Handle top, found;
  return Resolve(root, &top) && Walk(top, path, &found, true) && found.hive != nullptr;
}

bool HiveStore::DeleteTree(HKey root, const std::string& path) {
  Handle top, victim;
  if (!Resolve(root, &top)) return false;
  if (!Walk(top, path, &victim)) return true;
  if (victim.hive == nullptr || !victim.hive->writable()) return false;
  hive_h* h = victim.hive->handle();
  if (victim.node == hivex_root(h)) return false;
  std::vector<hive_node_h> doomed;
  CollectSubtree(h, victim.node, 0, &doomed);
  if (hivex_node_delete_child(h, victim.node) != 0) return false;
  victim.hive->MarkModified();
  for (hive_node_h node : doomed) ForgetNode(victim.hive, node);
  return true;
}

bool HiveStore::SetValue(HKey root, const std::string& path, const RegValue& value) {
  Handle top, key;
  if (!Resolve(root, &top) || !Walk(top, path, &key, true) || key.hive == nullptr) return false;
  return SetNodeValue(*key.hive, key.node, value) == kSuccess;
}

bool HiveStore::DeleteValue(HKey root, const std::string& path, const std::string& name) {
  Handle top, key;
  if (!Resolve(root, &top)) return false;
  if (!Walk(top, path, &key) || key.hive == nullptr) return true;
  const long rc = DeleteNodeValue(*key.hive, key.node, name);
  return rc == kSuccess || rc == kFileNotFound;
}

std::optional<std::vector<RegValue>> HiveStore::ListValues(HKey root, const std::string& path) {
  Handle top, key;
  if (!Resolve(root, &top) || !Walk(top, path, &key)) return std::nullopt;
  if (key.hive == nullptr) return std::vector<RegValue>{};
  return NodeValues(*key.hive, key.node);
}

}  // namespace torvane::registry
