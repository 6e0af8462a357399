// Writes a SOFTWARE hive whose image-options key holds a listed tool's
// subkey with many subkeys of its own, for the backup benchmark:
//   make_hijack_hive FILE [SUBKEYS] [FREE_MB] [VALUES]   (default 10000 0 0)
// FREE_MB appends one hive bin of that many megabytes holding a single free
// cell, as a hostile hive may (its zeros unwritten: the file is sparse);
// VALUES gives the tool's subkey that many values beside its Debugger.
// hivex adds the first 10,000 subkeys; any more are added through the hive
// store (hivex rewrites the subkey list on each insertion and leaves the old
// one behind: 100,000 subkeys would take some 40 GB of lists).
#include <hivex.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "registry/hive_store.h"
#include "support/hive_builder.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: make_hijack_hive FILE [SUBKEYS] [FREE_MB] [VALUES]\n");
    return 2;
  }
  const std::string path = argv[1];
  const long count = argc > 2 ? std::atol(argv[2]) : 10000;
  torvane::testing::WriteFile(path, torvane::testing::EmptyHive("SOFTWARE"));
  hive_h* h = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
  if (h == nullptr) return 1;
  hive_node_h node = hivex_root(h);
  for (const char* part : {"Microsoft", "Windows NT", "CurrentVersion", "Image File Execution Options", "IceSword.exe"}) {
    node = hivex_node_add_child(h, node, part);
  }
  std::string debugger = "C\0:\0\\\0e\0v\0i\0l\0.\0e\0x\0e\0\0\0";
  const long extra = argc > 4 ? std::atol(argv[4]) : 0;
  std::vector<std::string> names(static_cast<std::size_t>(extra)), contents(names.size());
  std::vector<hive_set_value> values{{const_cast<char*>("Debugger"), hive_t_REG_SZ, debugger.size(), debugger.data()}};
  for (std::size_t i = 0; i < names.size(); ++i) {
    names[i] = "value" + std::to_string(i);
    contents[i] = std::to_string(i);
    values.push_back({names[i].data(), hive_t_REG_BINARY, contents[i].size(), contents[i].data()});
  }
  hivex_node_set_values(h, node, values.size(), values.data(), 0);
  constexpr long kByHivex = 10000;
  for (long i = 0; i < count && i < kByHivex; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "k%06ld", i);
    const hive_node_h child = hivex_node_add_child(h, node, name);
    std::string data = std::to_string(i);
    hive_set_value v{const_cast<char*>("v"), hive_t_REG_BINARY, data.size(), data.data()};
    hivex_node_set_values(h, child, 1, &v, 0);
  }
  const int rc = hivex_commit(h, path.c_str(), 0);
  hivex_close(h);
  if (rc != 0) return 1;
  if (count > kByHivex) {
    using namespace torvane::registry;
    auto hive = HiveFile::Open(path, true);
    HiveStore store(nullptr, hive);
    const std::string key = "Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options\\IceSword.exe\\";
    for (long i = kByHivex; i < count; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "k%06ld", i);
      const std::string data = std::to_string(i);
      if (!store.SetValue(kCurrentUser, key + name, RegValue{"v", kRegBinary, {data.begin(), data.end()}, true})) {
        return 1;
      }
    }
    hive->Commit();
  }
  if (argc > 3 && std::atol(argv[3]) > 0) torvane::testing::AppendFreeBin(path, std::uint64_t(std::atol(argv[3])) << 20);
  return 0;
}
