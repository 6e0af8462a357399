// Offline registry hives (a SOFTWARE hive and a user's NTUSER.DAT) read in
// place and written by this tool's own cell writer (hive_cells.h),
// answering the seven operations as the A entry points would on the machine
// the hives come from.
//
// HKLM\SOFTWARE\... lies in the SOFTWARE hive (its root is the SOFTWARE
// key); HKCU\... in NTUSER.DAT. Texts in a hive are UTF-16LE; the store
// hands out and takes code page 936. Changes stay in memory until Commit,
// which replaces each changed file atomically.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "registry/file_io.h"
#include "registry/hive_cells.h"
#include "registry/reg_target.h"
#include "registry/registry.h"

namespace torvane::registry {

class RegfReader;

// A hive file that cannot be used; the message is one line naming the file.
class HiveError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A dirty hive whose transaction logs cannot be replayed (or cannot be
// found safely): what Windows would load from it is not known.
class DirtyHiveError : public HiveError {
 public:
  using HiveError::HiveError;
};

// One hive file, read in place. The changes a run makes are kept in memory:
// what a key holds is read from the file as it was opened, or from what
// this run wrote into it. The commit writes them all at once (WriteChanges)
// into a copy of the hive as it was read, which is read back and must
// differ from the old one by exactly the changes made. A hive that is mostly
// free space is loaded as a compact copy of its cells in use (CompactHive),
// which the reader then reads: the copy is what is changed and written.
class HiveFile {
 public:
  // Checks the header and opens the file; throws HiveError. A hive opened
  // `writable` takes changes in memory; only Commit writes the file. It is
  // locked first (FileLock: no symbolic link, waits for another run), and
  // its structure is checked: a hive the writer cannot change safely (a
  // cell reached twice, records running past their cells) is refused.
  // Bytes past the bins the header announces are not loaded. A dirty hive
  // is read with its logs replayed (see replayed()); one whose logs cannot
  // be replayed throws DirtyHiveError.
  static std::shared_ptr<HiveFile> Open(const FilePlace& place, bool writable);
  ~HiveFile();
  HiveFile(const HiveFile&) = delete;
  HiveFile& operator=(const HiveFile&) = delete;

  const std::string& path() const { return path_; }
  // The file was dirty (the header's two sequence numbers differ): it is
  // read with the transaction logs named here replayed over it, as Windows
  // loads it (see hive_log.h), and a commit writes that state as one clean
  // hive. Empty for a clean file.
  const std::vector<std::string>& replayed() const { return replayed_; }
  bool writable() const { return writable_; }
  bool modified() const { return modified_; }
  void MarkModified() {
    modified_ = true;
    ++generation_;
  }
  // Counts the changes made so far: what was read before a change may differ.
  std::uint64_t generation() const { return generation_; }
  // Counts the keys added and deleted: the names a store keeps of a key's
  // subkeys hold while it stays the same.
  std::uint64_t key_generation() const { return key_generation_; }
  void MarkKeysChanged() { ++key_generation_; }
  // The reader of the file as it was opened.
  const RegfReader& reader() const { return *reader_; }
  // The hive's minor format version (3 for 1.3).
  std::uint32_t minor_version() const { return minor_version_; }

  // What this run wrote, by node (nodes are named by their cell's file
  // offset, as the reader names them; keys this run adds are numbered past
  // any offset).
  bool Original(std::size_t node) const;
  const std::vector<RegValue>* WrittenValues(std::size_t node) const;
  bool ChildrenChanged(std::size_t node) const { return children_changed_.count(node) != 0; }
  const std::string* AddedName(std::size_t node) const;
  // A key this run adds: kept in memory, written at the commit, and named by
  // a number past any offset of the file.
  std::size_t NewNode() { return next_new_node_ += 8; }
  bool Added(std::size_t node) const { return added_names_.count(node) != 0; }
  // Deleted by this run, or below a key it deleted.
  bool Deleted(std::size_t node) const { return deleted_.count(node) != 0; }
  // The keys this run added below `node` and did not delete again.
  std::vector<std::size_t> AddedChildren(std::size_t node) const;
  void NoteValuesWritten(std::size_t node, std::vector<RegValue> values);
  // Sets one value of a key this run added or whose values it wrote, in
  // place, found by its name at once: a restore that fills a key with many
  // values writes each once.
  void SetWrittenValue(std::size_t node, RegValue value);
  // The value `name` of a key whose values this run wrote, found at once;
  // null when it has none.
  const RegValue* FindWrittenValue(std::size_t node, const std::string& name) const;
  void NoteChildAdded(std::size_t parent, std::size_t child, const std::string& utf8_name);
  void NoteDeleted(std::size_t parent, std::size_t node);

  // Writes the changed hive into `set` as the new version of the file (see
  // FileSet); Committed() once the set is committed. Throws HiveError (also
  // when a change broke off half-way); then nothing was written.
  void Prepare(FileSet& set);
  // The lock goes with the commit: a run waiting for it then takes the new
  // file, and the old one (on Windows moved aside, open while locked) can go.
  void Committed() {
    modified_ = false;
    lock_.reset();
  }
  // A file set of this hive alone. Does nothing when nothing changed.
  void Commit(const BeforeReplaceHook& hook = {});
  // Locks the committed file again, for a program that goes on changing
  // the hive after a commit: the next commit then again replaces only the
  // file it wrote. Throws HiveError.
  void LockAgain();
  // Why Prepare would refuse the changes made so far (HiveError's message),
  // found by writing the new version into memory only; empty when it would
  // not. What a dry run asks.
  std::string PrepareRefusal() const;

 private:
  HiveFile(FilePlace place, std::unique_ptr<RegfReader> reader, bool writable);
  // Why no changed version can be written at all, or empty.
  std::string Unwritable() const;
  // Writes the changed hive to the new, empty file `name` (open at `fd`,
  // or -1: opened again, never through a link) and proves it against the
  // plan; throws HiveError.
  void WriteProved(const std::string& name, int fd) const;
  // The keys this run added, by the key of the file each goes under.
  std::vector<NewSubkeys> NewKeys() const;
  // Everything this run changed in keys the file holds, for WriteChanges.
  HiveChanges Changes() const;
  NewKey NewKeyAt(std::size_t node) const;
  // Why the file open at `fd` is not the old one with this run's changes:
  // the first difference; empty when it is.
  std::string CheckWritten(int fd) const;

  FilePlace place_;  // where it was found when opened; a commit writes there
  std::string path_;
  // A hive opened for changes is locked from its first read to the end.
  std::unique_ptr<FileLock> lock_;
  std::unique_ptr<RegfReader> reader_;
  bool writable_;
  std::vector<std::string> replayed_;
  std::string unwritable_;  // why no changed version may be written, or empty
  std::uint32_t minor_version_ = 0;
  std::unordered_map<std::size_t, std::vector<RegValue>> written_values_;
  // Each value's place in written_values_, by its name as names compare;
  // made when first needed.
  mutable std::unordered_map<std::size_t, std::unordered_map<std::string, std::size_t>> value_places_;
  // Each value's place, by its name, in the key's written values.
  std::unordered_map<std::string, std::size_t>& PlacesOf(std::size_t node) const;
  std::unordered_map<std::size_t, std::vector<std::size_t>> added_;
  std::unordered_map<std::size_t, std::string> added_names_;
  std::unordered_set<std::size_t> children_changed_;
  std::unordered_set<std::size_t> deleted_;  // and every key below one deleted
  // The keys of the file deleted from keys of the file that stay, by parent.
  std::map<std::size_t, std::vector<std::size_t>> deleted_under_;
  // Past any offset of the file: 2^40 where offsets are 64-bit, 2^31 in a
  // 32-bit process, whose address space cannot hold a hive that large.
  std::size_t next_new_node_ = std::size_t{1} << (sizeof(std::size_t) >= 8 ? 40 : 31);
  bool modified_ = false;
  std::uint64_t generation_ = 0;
  // What PrepareRefusal found, and at which generation: a hive shared by
  // several profiles is written once.
  mutable std::optional<std::pair<std::uint64_t, std::string>> refusal_;
  std::uint64_t key_generation_ = 0;
};

class HiveStore final : public RegistryStore, public RegTarget {
 public:
  // Either hive may be null: its root then holds nothing.
  HiveStore(std::shared_ptr<HiveFile> software, std::shared_ptr<HiveFile> user);
  ~HiveStore() override = default;

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
  long RegQueryKeyIsLink(HKey key, bool* is_link) override;
  bool KeyRemovable(HKey key) override;
  bool TreeRemovable(HKey key) override;
  long RegDeleteTreeA(HKey key, const std::string& subkey) override;
  std::string RefusedLink() const override { return refused_; }

  bool CreateKey(HKey root, const std::string& path) override;
  bool DeleteTree(HKey root, const std::string& path) override;
  bool SetValue(HKey root, const std::string& path, const RegValue& value) override;
  bool DeleteValue(HKey root, const std::string& path, const std::string& name) override;
  std::optional<std::vector<RegValue>> ListValues(HKey root, const std::string& path) override;
  std::optional<RegValue> FindValue(HKey root, const std::string& path, const std::string& name,
                                    bool* readable) override;
  std::optional<std::vector<std::string>> ListSubkeys(HKey root, const std::string& path) override;
  std::optional<RegTree> ReadTree(HKey root, const std::string& path) override;
  std::string WriteRefusal(HKey root, const std::string& path, const RegValue& value) const override;
  bool HoldsChanges() const override { return true; }
  std::string CommitRefusal() const override;

  std::size_t open_handles() const { return handles_.size(); }

 private:
  struct Handle {
    HiveFile* hive = nullptr;  // null: the HKLM root above the SOFTWARE hive
    std::size_t node = 0;
    std::size_t parent = 0;
    std::uint32_t access = 0;
    bool deleted = false;
  };

  // Where `path` below `from` lies: kSuccess, kFileNotFound, kAccessDenied
  // when a subkey list on the way cannot be read, or kRefusedLink: a link's
  // target lies outside the file, so a path through a link cannot be read;
  // the last key may be a link only when `open_link`. `exact`: the path is
  // UTF-8 (RegTarget), else GBK (the seven operations).
  long Walk(const Handle& from, const std::string& path, Handle* found, bool create = false,
            bool open_link = false, bool exact = false);
  bool Resolve(HKey key, Handle* handle) const;
  // The subkey of `node` named `name` (UTF-8 when `exact`, else GBK); 0 when
  // none. kAccessDenied when the subkeys cannot be read, kDuplicateName
  // when two of them bear the name (which one Windows reaches is not known).
  long ChildNamed(const HiveFile& hive, std::size_t node, const std::string& name, bool exact, std::size_t* child);
  // Keeps what this store knows of `node`'s subkeys when its walk added one.
  void NoteChildAdded(HiveFile& hive, std::size_t node, const std::string& utf8_name, std::size_t child);
  // `value.name` and `name` in UTF-8; the value raw or as the A view.
  long SetNodeValue(HiveFile& hive, std::size_t node, const RegValue& value);
  long DeleteNodeValue(HiveFile& hive, std::size_t node, const std::string& name);
  void ForgetNode(const HiveFile* hive, std::size_t node);
  // The key `subkey` of `key` names, as itself, in a hive that may change.
  long FindVictim(HKey key, const std::string& subkey, Handle* victim);
  // Marks `victim` deleted with every key below it.
  void DeleteSubtree(const Handle& victim);

  std::shared_ptr<HiveFile> software_;
  std::shared_ptr<HiveFile> user_;
  std::unordered_map<HKey, Handle> handles_;
  std::string refused_;  // the link the last refused walk met
  HKey next_handle_ = 0x2000;

  // The subkeys of the key enumerated last. RegEnumKeyA is asked once per
  // index; reading the whole list each time would make a walk quadratic.
  struct EnumCache {
    const HiveFile* hive = nullptr;
    std::size_t node = 0;
    std::uint64_t generation = 0;
    std::vector<std::size_t> children;
  };
  EnumCache enum_cache_;
  // The value names (GBK) of the key whose values were listed last, for the
  // same reason; `readable` false when its list could not be read whole.
  struct ValueCache {
    const HiveFile* hive = nullptr;
    std::size_t node = 0;
    std::uint64_t generation = ~std::uint64_t{0};
    bool readable = false;
    std::vector<std::string> names;
  };
  ValueCache value_cache_;

  // The exact names of the subkeys of the key listed last. A restore lists
  // a key's subkeys before it adds each one: kept, and extended by the keys
  // this store adds, that stays linear.
  struct NamesCache {
    const HiveFile* hive = nullptr;
    std::size_t node = 0;
    std::uint64_t generation = ~std::uint64_t{0};
    std::vector<std::string> names;
  };
  NamesCache names_cache_;

  struct NodeId {
    const HiveFile* hive;
    std::size_t node;
    bool operator==(const NodeId& other) const { return hive == other.hive && node == other.node; }
  };
  struct NodeIdHash {
    std::size_t operator()(const NodeId& id) const {
      return std::hash<const void*>()(id.hive) ^ std::hash<std::size_t>()(id.node) * 31;
    }
  };
  // Subkeys by folded name, of the keys looked into since a key was last
  // added or deleted other than by this store's own walk.
  struct ChildIndex {
    const HiveFile* hive = nullptr;
    std::uint64_t generation = ~std::uint64_t{0};
    std::unordered_map<NodeId, std::unordered_map<std::string, std::size_t>, NodeIdHash> keys;
  };
  ChildIndex exact_index_, ansi_index_;
};

// The values of one hive node as the A entry points see them, or with
// `exact` raw with UTF-8 names; false when they cannot be read. A value
// whose name cannot be read is counted in `*unnamed`.
bool NodeValues(const HiveFile& hive, std::size_t node, bool exact, std::vector<RegValue>* out,
                std::size_t* unnamed);

// Writes every changed hive of `hives` (null ones skipped) into one file
// set, with whatever `more` adds to it, and renames them in together: all
// or none. Their locks go with the commit (LockAgain takes them again).
// Throws HiveError or FileError when nothing was changed, FileSetError (with
// the files replaced) when some were.
void CommitHives(const std::vector<HiveFile*>& hives, const std::function<void(FileSet&)>& more = {});

}  // namespace torvane::registry
