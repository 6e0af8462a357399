// Any hive: the store's reading, its reading after a commit that changes
// nothing, and libregf's (regfexport, when installed) agree; then a change
// committed through the store reads back as made, and libregf, hivex and
// reglookup read the result as the store does; or the store refuses to
// change the hive and leaves it as it was.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/hive_builder.h"
#include "support/hive_diff.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Its own folder, made the working directory: the files' names are the
  // same on every run, so the seeded smoke run tries the same inputs.
  static const std::string folder = [] {
    std::string path = (std::filesystem::temp_directory_path() / "torvane-hive-diff-XXXXXX").string();
    if (::mkdtemp(path.data()) == nullptr || ::chdir(path.c_str()) != 0) std::abort();
    return std::string(".");
  }();
  std::string input(reinterpret_cast<const char*>(data), size);
  if (input.size() >= 0x200) torvane::testing::FixChecksum(input);
  const std::string difference = torvane::testing::HiveReadingsDisagree(input, folder);
  if (!difference.empty()) {
    std::fprintf(stderr, "hive_diff_fuzz: %s\n", difference.c_str());
    std::abort();
  }
  return 0;
}
