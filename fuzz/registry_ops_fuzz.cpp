// Random sequences of the seven registry operations on the memory store,
// each result checked against a plain model of what Win32 answers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "registry/memory_store.h"
#include "registry/names.h"

namespace {

using namespace torvane::registry;

#define CHECK(condition)                                   \
  do {                                                     \
    if (!(condition)) {                                    \
      __builtin_trap();                                    \
    }                                                      \
  } while (0)

struct ModelKey {
  long id;
  std::map<std::string, std::vector<std::uint8_t>> values;  // folded name → data
};

// Keys by folded full path, components joined by kSep (a byte no name here
// holds, unlike the backslash, which a GBK trail byte can be); a key's
// identity survives only as long as it is not deleted, as with real handles.
constexpr char kSep = '\x01';

struct Model {
  std::map<std::string, ModelKey> keys;
  long next_id = 1;
  bool Alive(long id, std::string* path) const {
    for (const auto& [key_path, key] : keys) {
      if (key.id == id) {
        *path = key_path;
        return true;
      }
    }
    return false;
  }
  std::vector<std::string> Children(const std::string& path) const {
    std::vector<std::string> children;
    const std::string prefix = path + kSep;
    for (const auto& [key_path, key] : keys) {
      if (key_path.rfind(prefix, 0) == 0 && key_path.find(kSep, prefix.size()) == std::string::npos) {
        children.push_back(key_path.substr(prefix.size()));
      }
    }
    return children;  // std::map order: sorted by folded name
  }
};

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

const char* const kNames[] = {"a", "A", "b", "Policies", "POLICIES", "x\xED\\y", "long-name-of-a-key"};
constexpr int kNameCount = sizeof kNames / sizeof kNames[0];

std::string Name(Input& in) { return kNames[in.Byte() % kNameCount]; }

struct Handle {
  HKey key;
  long id;
  std::uint32_t access;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  MemoryStore store;
  Model model;
  model.keys["HKCU"] = ModelKey{0, {}};
  std::vector<Handle> handles;
  handles.push_back({kCurrentUser, 0, kKeyAllAccess});

  for (int step = 0; step < 256 && !in.empty(); ++step) {
    Handle& h = handles[in.Byte() % handles.size()];
    std::string path;
    const bool alive = model.Alive(h.id, &path);
    const std::string name = Name(in);
    const std::string folded = FoldName(name);
    switch (in.Byte() % 8) {
      case 0: {  // create (outside the seven operations, to grow the tree)
        if (!alive) break;
        std::string full = path == "HKCU" ? name : path.substr(5) + kSep + name;
        for (char& c : full) if (c == kSep) c = '\\';
        store.CreateKey(kCurrentUser, full);
        if (!model.keys.count(path + kSep + folded)) model.keys[path + kSep + folded] = ModelKey{model.next_id++, {}};
        break;
      }
      case 1: {  // open
        const std::uint32_t access = in.Byte() % 2 ? kKeyAllAccess : kKeyRead;
        HKey key = kNullKey;
        const long rc = store.RegOpenKeyExA(h.key, name, 0, access, &key);
        if (!alive) {
          CHECK(rc == kKeyDeleted);
        } else if (!model.keys.count(path + kSep + folded)) {
          CHECK(rc == kFileNotFound && key == kNullKey);
        } else {
          CHECK(rc == kSuccess && key != kNullKey);
          if (handles.size() < 16) {
            handles.push_back({key, model.keys[path + kSep + folded].id, access});
          } else {
            CHECK(store.RegCloseKey(key) == kSuccess);
          }
        }
        break;
      }
      case 2: {  // query
        std::uint8_t buffer[8] = {};
        std::uint32_t capacity = in.Byte() % 9;
        const long rc = store.RegQueryValueExA(h.key, name, nullptr, buffer, &capacity);
        if (!alive) { CHECK(rc == kKeyDeleted); break; }
        const auto& values = model.keys[path].values;
        auto it = values.find(folded);
        if (it == values.end()) { CHECK(rc == kFileNotFound); break; }
        CHECK(capacity == it->second.size());
        if (rc == kSuccess) {
          CHECK(it->second.empty() || std::memcmp(buffer, it->second.data(), it->second.size()) == 0);
        } else {
          CHECK(rc == kMoreData);
        }
        break;
      }
      case 3: {  // set
        std::vector<std::uint8_t> bytes(in.Byte() % 12, in.Byte());
        const long rc = store.RegSetValueExA(h.key, name, 0, kRegBinary, bytes.data(),
                                             static_cast<std::uint32_t>(bytes.size()));
        if (!alive) { CHECK(rc == kKeyDeleted); break; }
        if ((h.access & 2) == 0) { CHECK(rc == kAccessDenied); break; }
        CHECK(rc == kSuccess);
        model.keys[path].values[folded] = bytes;
        break;
      }
      case 4: {  // delete value
        const long rc = store.RegDeleteValueA(h.key, name);
        if (!alive) { CHECK(rc == kKeyDeleted); break; }
        if ((h.access & 2) == 0) { CHECK(rc == kAccessDenied); break; }
        CHECK(rc == (model.keys[path].values.erase(folded) ? kSuccess : kFileNotFound));
        break;
      }
      case 5: {  // enumerate
        char buffer[32];
        const std::uint32_t index = in.Byte() % 8;
        const std::uint32_t capacity = in.Byte() % 33;
        const long rc = store.RegEnumKeyA(h.key, index, buffer, capacity);
        if (!alive) { CHECK(rc == kKeyDeleted); break; }
        const auto children = model.Children(path);
        if (index >= children.size()) { CHECK(rc == kNoMoreItems); break; }
        if (children[index].size() + 1 > capacity) { CHECK(rc == kMoreData); break; }
        CHECK(rc == kSuccess && FoldName(buffer) == children[index]);
        break;
      }
      case 6: {  // delete key
        const long rc = store.RegDeleteKeyA(h.key, name);
        if (!alive) { CHECK(rc == kKeyDeleted); break; }
        const std::string child = path + kSep + folded;
        if (!model.keys.count(child)) { CHECK(rc == kFileNotFound); break; }
        if (!model.Children(child).empty()) { CHECK(rc == kAccessDenied); break; }
        CHECK(rc == kSuccess);
        model.keys.erase(child);
        break;
      }
      default: {  // close
        if (h.key == kCurrentUser) break;
        CHECK(store.RegCloseKey(h.key) == kSuccess);
        CHECK(store.RegCloseKey(h.key) == kInvalidHandle);
        h = handles.back();
        handles.pop_back();
        break;
      }
    }
  }
  for (const Handle& h : handles) {
    if (h.key != kCurrentUser) CHECK(store.RegCloseKey(h.key) == kSuccess);
  }
  CHECK(store.open_handles() == 0);
  return 0;
}
