// Restore on arbitrary files, over a registry that may refuse any change: a
// file either applies whole, touching nothing outside the places an undo of
// the repairs may hold, or leaves the registry exactly as it was.
//
// Input: one byte choosing which change the registry refuses (0: none), then
// the bytes of a .reg file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "repair/backup.h"
#include "registry/codepage.h"
#include "registry/demo.h"
#include "registry/memory_store.h"
#include "registry/reg_file.h"
#include "repair/undo_scope.h"

namespace {

using namespace torvane::registry;
using torvane::repair::UndoRefusal;

[[noreturn]] void Fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "restore_fuzz: %s\n%s\n", what, detail.c_str());
  __builtin_trap();
}

// Refuses the `refuse`-th change asked of it (counting from 1).
class RefusingTarget final : public RegTarget {
 public:
  RefusingTarget(RegTarget& inner, unsigned refuse) : inner_(inner), refuse_(refuse) {}
  bool CreateKey(HKey root, const std::string& path) override { return Take() && inner_.CreateKey(root, path); }
  bool DeleteTree(HKey root, const std::string& path) override { return Take() && inner_.DeleteTree(root, path); }
  bool SetValue(HKey root, const std::string& path, const RegValue& value) override {
    return Take() && inner_.SetValue(root, path, value);
  }
  bool DeleteValue(HKey root, const std::string& path, const std::string& name) override {
    return Take() && inner_.DeleteValue(root, path, name);
  }
  std::optional<std::vector<RegValue>> ListValues(HKey root, const std::string& path) override {
    return inner_.ListValues(root, path);
  }
  std::optional<std::vector<std::string>> ListSubkeys(HKey root, const std::string& path) override {
    return inner_.ListSubkeys(root, path);
  }

 private:
  // Once the refusal has been given, the undo of what went before must go
  // through.
  bool Take() { return ++count_ != refuse_; }
  RegTarget& inner_;
  unsigned refuse_, count_ = 0;
};

// Removes from `key` (at `path`, UTF-8) everything a restore may change;
// true when nothing is left of it.
bool StripAllowed(MemoryStore& store, HKey root, const std::string& path) {
  RegEntry entry;
  entry.root = root;
  entry.path = path;
  entry.kind = RegEntry::Kind::kDeleteKey;
  if (!path.empty() && UndoRefusal(entry).empty()) {
    store.RemoveTree(root, Utf8ToGbk(path));
    return true;
  }
  const MemoryStore::Key* key = store.FindKey(root, Utf8ToGbk(path));
  entry.kind = RegEntry::Kind::kValue;
  std::vector<std::string> values, children;
  for (const RegValue& value : key->values) values.push_back(value.name);
  for (const MemoryStore::Key* child : key->Ordered()) children.push_back(child->name);
  for (const std::string& name : values) {
    entry.value.name = GbkToUtf8(name);
    if (UndoRefusal(entry).empty()) store.RemoveValue(root, Utf8ToGbk(path), name);
  }
  bool empty = store.FindKey(root, Utf8ToGbk(path))->values.empty();
  for (const std::string& child : children) {
    const std::string child_path = (path.empty() ? "" : path + "\\") + GbkToUtf8(child);
    if (StripAllowed(store, root, child_path)) {
      store.RemoveTree(root, Utf8ToGbk(child_path));
    } else {
      empty = false;
    }
  }
  return empty;
}

std::string Outside(const MemoryStore& store) {
  MemoryStore copy;
  for (HKey root : {kLocalMachine, kCurrentUser}) {
    CopyTree(store.Root(root), copy, root, "");
    StripAllowed(copy, root, "");
  }
  return copy.Dump();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  RegFile file;
  try {
    file = ParseRegFile(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1), "fuzz.reg");
  } catch (const RegFileError&) {
    return 0;
  }
  for (const RegEntry& entry : file.entries) {
    // The command refuses the whole file here, before it opens the source.
    if (!UndoRefusal(entry).empty() || !entry.user.empty()) return 0;
  }
  MemoryStore store;
  LoadDemoRegistry(store);
  store.PutDword(kLocalMachine,
                 "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options\\OllyDBG.exe\\Sub",
                 "Kept", 7);
  const std::string before = store.Dump(), outside = Outside(store);
  MemoryTarget memory(store);
  RefusingTarget target(memory, data[0]);
  std::vector<torvane::repair::Placed> statements;
  for (const RegEntry& entry : file.entries) statements.push_back({&entry, &target});
  const auto outcome = torvane::repair::ApplyAllOrNothing(statements);
  if (outcome.refused) {
    if (!outcome.rolled_back) Fail("undoing a refused restore failed", "");
    if (store.Dump() != before) Fail("a refused restore changed the registry", before + "---\n" + store.Dump());
  } else if (Outside(store) != outside) {
    Fail("a restore changed something outside the places", outside + "---\n" + Outside(store));
  }
  if (store.open_handles() != 0) Fail("a key stayed open", "");
  return 0;
}
