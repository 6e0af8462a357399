// Decorators over a registry store for the command line: one that keeps
// changes in memory over an untouched store, and one that notes every change,
// with what it replaces, before passing it on (the dry run's list of changes).
//
// A repair runs over the overlay first: what the overlay then holds is the
// plan. The undo of the plan is read from the real store and written before
// the plan is carried out, so a backup covers exactly what changes.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "registry/reg_target.h"
#include "registry/reg_value.h"
#include "registry/registry.h"

namespace torvane::registry {


// One change a repair would make, as the A entry points see it (GBK), for
// the dry run's list.
struct Change {
  enum class Kind { kSetValue, kDeleteValue, kDeleteKey, kCreateKey };
  Kind kind = Kind::kSetValue;
  HKey root = kLocalMachine;
  std::string path;  // the key (for kDeleteKey and kCreateKey the key deleted or created)
  RegValue value;    // kSetValue: the new value; kDeleteValue: its name
  // What was there before: the old value (nullopt: none), or for a deleted
  // key its values.
  std::optional<RegValue> old_value;
  std::vector<RegValue> old_values;
  bool link = false;  // kDeleteKey: a registry link, removed as a link
  // The profile (GBK) an HKCU change belongs to when there are several.
  std::string user;
};

// Full paths of the keys a caller opens, by handle.
class PathBook {
 public:
  // The root and full path of `key` (a root or a handle noted before).
  bool Find(HKey key, HKey* root, std::string* path) const;
  void Note(HKey handle, HKey root, std::string path) { paths_[handle] = {root, std::move(path)}; }
  void Forget(HKey handle) { paths_.erase(handle); }
  // `relative` below `base`, a path Join made (or empty), as one path.
  static std::string Join(const std::string& base, const std::string& relative);

 private:
  std::unordered_map<HKey, std::pair<HKey, std::string>> paths_;
};

// An operation the store refused for want of rights: the key and the access.
struct Refusal {
  HKey root = kLocalMachine;
  std::string path;
  std::string access;
  bool operator==(const Refusal& other) const = default;
};

// Passes every operation to `base`, and calls `before_change` with each
// change (old state filled from `base` and `inspect`) just before passing it
// on. An exception from `before_change` stops the change. Notes every
// operation refused with kAccessDenied.
class RecordingStore final : public RegistryStore {
 public:
  RecordingStore(RegistryStore& base, RegTarget* inspect,
                 std::function<void(const Change&)> before_change)
      : base_(base), inspect_(inspect), before_change_(std::move(before_change)) {}

  long RegOpenKeyExA(HKey root, const std::string& path, std::uint32_t options,
                     std::uint32_t access, HKey* result) override;
  long RegQueryValueExA(HKey key, const std::string& name, std::uint32_t* type,
                        std::uint8_t* data, std::uint32_t* size) override;
  long RegSetValueExA(HKey key, const std::string& name, std::uint32_t reserved,
                      std::uint32_t type, const std::uint8_t* data, std::uint32_t size) override;
  long RegDeleteValueA(HKey key, const std::string& name) override;
  long RegEnumKeyA(HKey key, std::uint32_t index, char* name, std::uint32_t capacity) override;
  long RegEnumValueA(HKey key, std::uint32_t index, char* name, std::uint32_t capacity) override;
  long RegDeleteKeyA(HKey key, const std::string& subkey) override;
  long RegCloseKey(HKey key) override;
  long RegCreateKeyExA(HKey key, const std::string& subkey, std::uint32_t access, HKey* result,
                       bool* created) override;
  long RegQueryKeyIsLink(HKey key, bool* is_link) override;
  bool TreeRemovable(HKey key) override { return base_.TreeRemovable(key); }
  long RegDeleteTreeA(HKey key, const std::string& subkey) override;
  bool HasView32() const override { return base_.HasView32(); }
  std::string RefusedLink() const override { return base_.RefusedLink(); }
  std::string RootName(HKey root) const override { return base_.RootName(root); }

  // Each refused key and access once, in the order first refused.
  const std::vector<Refusal>& refusals() const { return refusals_; }

 private:
  std::optional<RegValue> OldValue(HKey key, const std::string& name);
  // Calls before_change with the deletion of `subkey` (with everything
  // below it: `tree`) about to be made.
  void NoteDeletion(HKey key, const std::string& subkey, bool tree);
  long Noted(long rc, HKey key, const std::string& subkey, std::string access);
  std::vector<Refusal> refusals_;
  // What the caller last learnt of a key's being a link: a walk that
  // deletes asks just before each deletion, and the key it is about to
  // delete needs no second look. Only the last answer is kept (a walk asks
  // of every key in a tree, and keeping all would grow with it).
  struct LinkSeen {
    HKey root = kNullKey;
    std::string path;
    bool is_link = false;
  };
  std::optional<LinkSeen> last_link_;

  RegistryStore& base_;
  RegTarget* inspect_;
  std::function<void(const Change&)> before_change_;
  PathBook paths_;
};

// Changes an overlay holds: deleted keys and written or deleted values, by
// key id, with the path (GBK) as the caller named it. Overlays of several
// profiles share the machine part.
struct OverlayState {
  std::map<std::string, std::string, std::less<>> deleted;  // by id: path
  std::map<std::size_t, std::size_t> deleted_depths;  // components: how many keys deleted there
  struct KeyValues {
    std::string path;
    std::map<std::string, std::optional<RegValue>> by_name;  // nullopt: deleted
  };
  std::map<std::string, KeyValues> values;
  std::set<std::string> links;   // deleted keys that were registry links
  std::map<std::string, std::string> created;  // keys made here, by id: their paths
  std::uint64_t generation = 0;  // counts key deletions and creations
};

// Answers as `base` would after the changes made through it, without
// changing `base`: writes and deletions stay here.
class OverlayStore final : public RegistryStore {
 public:
  OverlayStore(RegistryStore& base, std::shared_ptr<OverlayState> machine)
      : base_(base), machine_(std::move(machine)) {}

  long RegOpenKeyExA(HKey root, const std::string& path, std::uint32_t options,
                     std::uint32_t access, HKey* result) override;
  long RegQueryValueExA(HKey key, const std::string& name, std::uint32_t* type,
                        std::uint8_t* data, std::uint32_t* size) override;
  long RegSetValueExA(HKey key, const std::string& name, std::uint32_t reserved,
                      std::uint32_t type, const std::uint8_t* data, std::uint32_t size) override;
  long RegDeleteValueA(HKey key, const std::string& name) override;
  long RegEnumKeyA(HKey key, std::uint32_t index, char* name, std::uint32_t capacity) override;
  long RegEnumValueA(HKey key, std::uint32_t index, char* name, std::uint32_t capacity) override;
  long RegDeleteKeyA(HKey key, const std::string& subkey) override;
  long RegCloseKey(HKey key) override;
  // A key made here has no key of the base behind its handles.
  long RegCreateKeyExA(HKey key, const std::string& subkey, std::uint32_t access, HKey* result,
                       bool* created) override;
  bool KeyRemovable(HKey key) override;
  bool TreeRemovable(HKey key) override;
  long RegDeleteTreeA(HKey key, const std::string& subkey) override;
  long RegQueryKeyIsLink(HKey key, bool* is_link) override;
  bool HasView32() const override { return base_.HasView32(); }
  std::string RefusedLink() const override { return base_.RefusedLink(); }
  std::string RootName(HKey root) const override { return base_.RootName(root); }

  // The changes to this profile's user part (the machine part is shared).
  const OverlayState& user_state() const { return user_; }
  // The id under which OverlayState keeps a key.
  static std::string Id(HKey root, const std::string& path);

 private:
  struct Handle {
    HKey base = kNullKey;
    HKey root = kLocalMachine;
    std::string path;
    std::string id;         // Id(root, path)
    std::size_t depth = 0;  // components of path
    std::uint32_t access = 0;
    // The deletion count of its state when it was last found not deleted.
    mutable std::uint64_t live_at = ~std::uint64_t{0};
  };
  const Handle* Find(HKey key) const;
  bool IsDeleted(const Handle& handle) const;
  // Opens `subkey` of `key` as itself (kOpenLink), to be deleted.
  long OpenVictim(HKey key, const std::string& subkey, HKey* victim);
  // Notes `victim` deleted with all below it, while its handle is open.
  void MarkDeleted(const Handle& victim);
  bool IsCreated(HKey root, const std::string& path) const {
    return StateOf(root).created.count(Id(root, path)) != 0;
  }
  HKey NewHandle(Handle handle);
  // Subkey names of an existing key as they now stand; false on a read error.
  bool Subkeys(const Handle& handle, std::vector<std::string>* names);
  std::optional<std::optional<RegValue>> Pending(const Handle& handle, const std::string& name) const;

  OverlayState& StateOf(HKey root) { return root == kLocalMachine ? *machine_ : user_; }
  const OverlayState& StateOf(HKey root) const { return root == kLocalMachine ? *machine_ : user_; }

  RegistryStore& base_;
  std::shared_ptr<OverlayState> machine_;
  OverlayState user_;
  std::unordered_map<HKey, Handle> handles_;
  HKey next_handle_ = 0x40000;
  // The subkeys of the key enumerated last: RegEnumKeyA is asked once per
  // index, and listing them each time would make a walk quadratic.
  struct EnumCache {
    HKey key = kNullKey;
    std::uint64_t generation = 0;
    std::vector<std::string> names;
  };
  EnumCache enum_cache_;
  // The value names of the key whose values were listed last (a change
  // through this store lists them again from index 0).
  struct ValueCache {
    HKey key = kNullKey;
    std::vector<std::string> names;
  };
  ValueCache value_cache_;
};

// What a plan changes below one root, in RegTarget terms (UTF-8 paths and
// names): keys created, values written or deleted, and the topmost keys
// deleted (each with everything below it).
struct Plan {
  struct Value {
    HKey root;
    std::string path, name;
    std::optional<RegValue> value;  // nullopt: deleted
  };
  struct Key {
    HKey root;
    std::string path;
    bool link = false;  // a registry link, removed as a link
  };
  std::vector<Key> created_keys;  // missing before the run, parents first
  std::vector<Value> values;
  std::vector<Key> deleted_keys;
  bool empty() const { return created_keys.empty() && values.empty() && deleted_keys.empty(); }
};

// The plan an overlay's `state` holds for `root`.
Plan PlanOf(const OverlayState& state, HKey root);

// Carries `plan` out on `target`; returns the changes refused.
Plan CarryOut(const Plan& plan, RegTarget& target);

}  // namespace torvane::registry
