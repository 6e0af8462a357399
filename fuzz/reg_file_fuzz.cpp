// The .reg parser on arbitrary bytes. Whatever it accepts must come back
// unchanged through the writer: the file it parsed, and the registry that
// file builds as a backup would save it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "registry/memory_store.h"
#include "registry/reg_file.h"

namespace {

using namespace torvane::registry;

[[noreturn]] void Fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "reg_file_fuzz: %s\n%s\n", what, detail.c_str());
  __builtin_trap();
}

std::string Describe(const RegFile& file) {
  std::string out;
  for (const RegEntry& entry : file.entries) {
    out += std::to_string(static_cast<int>(entry.kind)) + " " + RegKeyName(entry.root, entry.path, entry.user) +
           " [" + entry.value.name + "] type " + std::to_string(entry.value.type) + " data";
    for (std::uint8_t byte : entry.value.data) {
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02x", byte);
      out += hex;
    }
    out += "\n";
  }
  return out;
}

// Writes `file` and reads it back; the entries must be the same.
void CheckRoundTrip(const RegFile& file, const char* what) {
  const std::string bytes = FormatRegFile(file);
  RegFile again;
  try {
    again = ParseRegFile(bytes, "again.reg");
  } catch (const RegFileError& error) {
    Fail(what, std::string("the written file does not parse: ") + error.what() + "\n" + Describe(file));
  }
  if (again.format != file.format || again.entries != file.entries) {
    Fail(what, "the written file reads back differently:\n" + Describe(file) + "---\n" + Describe(again));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RegFile file;
  try {
    file = ParseRegFile(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz.reg");
  } catch (const RegFileError&) {
    return 0;
  }
  CheckRoundTrip(file, "parsed file");

  MemoryStore store;
  MemoryTarget target(store);
  if (!ApplyRegFile(file, target).empty()) Fail("the memory store refused a statement", Describe(file));
  CheckRoundTrip(RegFile{file.format, EntriesOf(store)}, "backup of the registry it built");
  if (store.open_handles() != 0) Fail("a key stayed open", "");
  return 0;
}
