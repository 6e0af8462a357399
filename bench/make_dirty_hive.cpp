// Makes a dirty copy of a SOFTWARE hive for the offline benchmark, with the
// new-format log pair Windows would leave beside it:
//   make_dirty_hive SOURCE DIRTY   → DIRTY, DIRTY.LOG1, DIRTY.LOG2
//
// DIRTY holds SOURCE's bins, its header marked dirty. DIRTY.LOG1's entry
// sets DisableTaskMgr and NoAutoUpdate in the policies key (the scan reads
// the second: item 8 reads damaged only with the logs replayed); DIRTY.LOG2's
// entry, which follows it, sets a value in a few keys far apart in the file. Both changes are
// made by hivex, so only the logs hold the newest state.
#include <hivex.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "registry/little_endian.h"
#include "support/hive_builder.h"
#include "support/hive_log_writer.h"

namespace {

using torvane::testing::ReadFile;
using torvane::testing::WriteFile;

// The hive at `path` after `change`, made by hivex and committed over it.
std::string Changed(const std::string& path, const std::function<void(hive_h*, hive_node_h)>& change) {
  hive_h* h = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
  if (h == nullptr) throw std::runtime_error("hivex cannot open " + path);
  try {
    change(h, hivex_root(h));
    if (hivex_commit(h, path.c_str(), 0) != 0) throw std::runtime_error("hivex_commit failed on " + path);
  } catch (...) {
    hivex_close(h);
    throw;
  }
  hivex_close(h);
  return ReadFile(path);
}

hive_node_h Path(hive_h* h, hive_node_h node, const std::string& path) {
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    const std::string name = path.substr(start, end - start);
    node = hivex_node_get_child(h, node, name.c_str());
    if (node == 0) throw std::runtime_error("the hive has no key " + path);
    start = end + 1;
  }
  return node;
}

void SetDword(hive_h* h, hive_node_h node, const char* name, std::uint32_t n) {
  char data[4] = {static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                  static_cast<char>(n >> 24)};
  hive_set_value value{const_cast<char*>(name), hive_t_REG_DWORD, sizeof data, data};
  if (hivex_node_set_value(h, node, &value, 0) != 0) throw std::runtime_error(std::string("cannot set ") + name);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_dirty_hive SOURCE DIRTY\n");
    return 2;
  }
  const std::string dirty_path = argv[2];
  const std::string scratch = dirty_path + ".making";
  try {
    const std::string before = ReadFile(argv[1]);
    WriteFile(scratch, before);
    const std::string policy = Changed(scratch, [](hive_h* h, hive_node_h root) {
      const hive_node_h system = Path(h, root, "Microsoft\\Windows\\CurrentVersion\\Policies\\System");
      SetDword(h, system, "DisableTaskMgr", 1);
      SetDword(h, system, "NoAutoUpdate", 1);
    });
    const std::string after = Changed(scratch, [](hive_h* h, hive_node_h root) {
      for (const char* key : {"Microsoft\\Windows NT\\CurrentVersion", "Classes\\CLSID", "Classes\\Interface",
                              "Microsoft\\Windows\\CurrentVersion\\Uninstall", "Wow6432Node"}) {
        SetDword(h, Path(h, root, key), "LastChecked", 20260101);
      }
    });
    std::filesystem::remove(scratch);

    // The first entry takes the dirty header's primary sequence number; the
    // second log's base block continues from it.
    const std::uint32_t secondary = torvane::registry::Le32(reinterpret_cast<const unsigned char*>(before.data()) + 8);
    std::string dirty = before;
    torvane::testing::MakeDirty(dirty, secondary);
    WriteFile(dirty_path + ".LOG1", torvane::testing::NewFormatLog(before, {policy}, secondary + 1));
    WriteFile(dirty_path + ".LOG2", torvane::testing::NewFormatLog(policy, {after}, secondary + 2));
    WriteFile(dirty_path, dirty);
  } catch (const std::exception& error) {
    std::error_code ignored;
    std::filesystem::remove(scratch, ignored);
    std::fprintf(stderr, "make_dirty_hive: %s\n", error.what());
    return 1;
  }
  std::printf("%s: dirty, with %s.LOG1 and %s.LOG2\n", dirty_path.c_str(), dirty_path.c_str(), dirty_path.c_str());
  return 0;
}
