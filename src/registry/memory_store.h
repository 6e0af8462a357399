// A registry held in memory, answering the seven operations with Win32
// semantics. Used by the tests, the demo and the .reg source.
//
// Besides the operations it can act out what a real machine does to the
// repair tool: an account without administrative rights (full-access opens
// under HKLM refused), keys whose values refuse changes, keys that refuse
// deletion, keys no one may open, registry links, and it counts open handles
// so tests can prove every key closed.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "registry/reg_value.h"
#include "registry/registry.h"

namespace torvane::registry {

class MemoryStore final : public RegistryStore {
 public:
  // One key of the tree. Children are keyed by their folded name, so they
  // enumerate sorted without regard to case, as a hive stores them.
  struct Key {
    std::string name;
    std::vector<RegValue> values;  // in the order they were first written
    std::map<std::string, std::shared_ptr<Key>> children;
    bool deleted = false;
    bool deny_full_access = false;  // opens asking for more than reading fail
    bool refuse_changes = false;    // value writes and deletions fail
    bool refuse_deletion = false;   // RegDeleteKeyA of this key fails
    bool deny_access = false;       // every open fails, even for reading
    // A registry link: opening it (unless with kOpenLink) opens this key.
    struct Target {
      HKey root;
      std::string path;
    };
    std::optional<Target> link;
    // A name the ANSI code page cannot spell: RegEnumKeyA lists it as this
    // text (as Windows does, with '?' for what it cannot spell), which opens
    // nothing or another key.
    std::optional<std::string> listed_as;

    // The value of that name (letter case aside); null when there is none.
    const RegValue* FindValue(const std::string& value_name) const;
    RegValue* FindValue(const std::string& value_name);
    // After a value was removed from `values`.
    void ValuesRemoved() { indexed_values_ = kUnindexed; }
    const Key* FindChild(const std::string& child_name) const;

    // Children in enumeration order; rebuilt when the set changes.
    const std::vector<Key*>& Ordered() const;
    // The name RegEnumKeyA lists for the child at `index` of Ordered(): kept
    // beside the order, so that enumerating reads one array and not every
    // child's node.
    const std::string& ListedName(std::size_t index) const {
      Ordered();
      return listed_names_[index];
    }
    // After the children, or how one is listed, changed.
    void Invalidate() const { order_valid_ = false; }

   private:
    static constexpr std::size_t kUnindexed = ~std::size_t{0};
    // Each value's place in `values` by its folded name, so that a key with
    // many values is filled in linear time; values appended since are
    // indexed on the next look-up, a removal rebuilds it.
    mutable std::unordered_map<std::string, std::size_t> value_at_;
    mutable std::size_t indexed_values_ = kUnindexed;
    mutable std::vector<Key*> order_;
    mutable std::vector<std::string> listed_names_;
    mutable bool order_valid_ = false;
  };

  MemoryStore();

  long RegOpenKeyExA(HKey root, const std::string& path, std::uint32_t options,
                     std::uint32_t access, HKey* result) override;
  long RegQueryValueExA(HKey key, const std::string& name, std::uint32_t* type,
                        std::uint8_t* data, std::uint32_t* size) override;
  long RegSetValueExA(HKey key, const std::string& name, std::uint32_t reserved,
                      std::uint32_t type, const std::uint8_t* data,
                      std::uint32_t size) override;
  long RegDeleteValueA(HKey key, const std::string& name) override;
  long RegEnumValueA(HKey key, std::uint32_t index, char* name, std::uint32_t capacity) override;
  long RegEnumKeyA(HKey key, std::uint32_t index, char* name,
                   std::uint32_t capacity) override;
  long RegDeleteKeyA(HKey key, const std::string& subkey) override;
  long RegCloseKey(HKey key) override;
  long RegQueryKeyIsLink(HKey key, bool* is_link) override;
  long RegCreateKeyExA(HKey key, const std::string& subkey, std::uint32_t access, HKey* result,
                       bool* created) override;

  // --- Building and inspecting, outside the seven operations ---

  // Creates the key and any missing parents; returns it.
  Key& CreateKey(HKey root, const std::string& path);
  void PutValue(HKey root, const std::string& path, const std::string& name,
                std::uint32_t type, std::vector<std::uint8_t> data);
  // Keeps the value's form (raw or GBK view).
  void PutValue(HKey root, const std::string& path, const RegValue& value);
  void PutString(HKey root, const std::string& path, const std::string& name,
                 const std::string& text);  // REG_SZ with its NUL
  void PutDword(HKey root, const std::string& path, const std::string& name,
                std::uint32_t number);
  // Removes a key with everything below it; false when it does not exist.
  bool RemoveTree(HKey root, const std::string& path);
  bool RemoveValue(HKey root, const std::string& path, const std::string& name);

  const Key* FindKey(HKey root, const std::string& path) const;
  std::optional<RegValue> GetValue(HKey root, const std::string& path,
                                   const std::string& name) const;
  const Key& Root(HKey root) const;

  // Every key and value in a canonical text, for comparing two registries.
  std::string Dump() const;

  // --- Acting out a real machine ---

  // Without administrative rights, opens of HKLM keys that ask for more than
  // reading fail with kAccessDenied.
  void SetAdministrator(bool administrator) { administrator_ = administrator; }
  void DenyFullAccess(HKey root, const std::string& path) { CreateKey(root, path).deny_full_access = true; }
  void RefuseChanges(HKey root, const std::string& path) { CreateKey(root, path).refuse_changes = true; }
  void RefuseDeletion(HKey root, const std::string& path) { CreateKey(root, path).refuse_deletion = true; }
  void DenyAccess(HKey root, const std::string& path) { CreateKey(root, path).deny_access = true; }
  void ListAs(HKey root, const std::string& path, const std::string& shown);
  // Makes `path` a link to `target_path` (which need not exist yet).
  void CreateLink(HKey root, const std::string& path, HKey target_root, const std::string& target_path) {
    CreateKey(root, path).link = Key::Target{target_root, target_path};
  }

  // Handles opened and not yet closed.
  std::size_t open_handles() const { return handles_.size(); }

 private:
  struct Handle {
    std::shared_ptr<Key> key;
    HKey root;  // which hive it lies in
    std::uint32_t access;
  };

  // Resolves a root or an opened handle; null when unknown.
  const Handle* Resolve(HKey key) const;
  std::shared_ptr<Key> Walk(const std::shared_ptr<Key>& from, const std::string& path) const;
  // Walks as the registry opens: links on the way are followed, the last key
  // only when `follow_last`; `*root` becomes the hive the key lies in. Null
  // when a key is missing or links go round too often.
  std::shared_ptr<Key> Follow(std::shared_ptr<Key> from, HKey* root, const std::string& path,
                              bool follow_last, int* hops) const;
  std::shared_ptr<Key>& RootNode(HKey root);

  std::shared_ptr<Key> current_user_;
  std::shared_ptr<Key> local_machine_;
  std::unordered_map<HKey, Handle> handles_;
  Handle roots_[2];
  HKey next_handle_ = 0x1000;
  bool administrator_ = true;
};

// Copies every key and value of `from` into `to`, below the same roots.
void CopyTree(const MemoryStore::Key& from, MemoryStore& to, HKey root,
              const std::string& path);

}  // namespace torvane::registry
