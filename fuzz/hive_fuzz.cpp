// A hive file of arbitrary bytes, opened through the hive store as both the
// SOFTWARE hive and a user's hive (the seeds hold both parts under one root):
// a full scan, a walk over its keys and values, then a repair-all run on
// writable copies, committed and read back.
//
// Nothing may crash or leave a key open; a hive the store commits must open
// again and show every item the run reported repaired as healthy; a commit
// that fails must leave the file as it was.
//
// Then the same bytes become a Windows volume on which a hostile disk could
// have laid traps (a hive that is a link out of the volume, an empty or a
// truncated profile hive, a profile folder that is a link, links planted at
// temporary names), repaired whole through the command line: nothing may be
// written outside the volume, nothing but the hives may change inside it,
// and the exit code must agree with what changed (2: nothing did).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/sources.h"
#include "repair/value_read.h"
#include "registry/codepage.h"
#include "registry/hive_store.h"
#include "registry/names.h"
#include "registry/utf.h"
#include "repair/engine.h"
#include "repair/run.h"

namespace {

using namespace torvane::registry;
using torvane::repair::RepairEngine;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "hive_fuzz: %s\n", what.c_str());
  __builtin_trap();
}

#define CHECK(condition) \
  do {                   \
    if (!(condition)) Fail(#condition); \
  } while (0)

const std::string& Scratch() {
  // Left to the end of the process on purpose: the exit handler needs it.
  static const std::string* const dir = [] {
    // /dev/shm when there is one: every run writes and renames a few files.
    std::filesystem::path base = std::filesystem::exists("/dev/shm") ? std::filesystem::path("/dev/shm")
                                                                     : std::filesystem::temp_directory_path();
    auto path = base / ("torvane-hive-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(path);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(Scratch(), ignored);
    });
    return new std::string(path.string());
  }();
  return *dir;
}

void Write(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) Fail("cannot write " + path);
}

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Mutations rarely keep the header checksum right; fixing it lets them reach
// the header fields and the bins behind it.
void FixChecksum(std::string& bytes) {
  if (bytes.size() < 0x200 || bytes.compare(0, 4, "regf") != 0) return;
  auto get = [&](std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    return v;
  };
  std::uint32_t sum = 0;
  for (std::size_t at = 0; at < 0x1FC; at += 4) sum ^= get(at);
  for (int i = 0; i < 4; ++i) bytes[0x1FC + i] = static_cast<char>((sum >> (8 * i)) & 0xFF);
}

// Every key down to a bound, opened by name and enumerated through the seven
// operations; each value the store lists must read back the same by name.
void Walk(HiveStore& store, HKey root, const std::string& path, int depth, int* budget) {
  if (--*budget < 0 || depth > 12) return;
  HKey key = kNullKey;
  if (store.RegOpenKeyExA(root, path, 0, kKeyRead, &key) != kSuccess) return;
  if (auto exact = store.ListValues(root, GbkToUtf8(path))) {
    // The A entry points see GBK names and the GBK view of texts; a name
    // given in GBK reaches the first value stored under it, and one the
    // code page cannot spell (listed with '?') reaches none.
    for (const RegValue& value : *exact) {
      const std::string listed = Utf8ToGbk(value.name);
      const std::string wanted = GbkToUtf8(listed);
      const RegValue* first = nullptr;
      for (const RegValue& v : *exact) {
        if (Utf8NamesEqual(v.name, wanted)) {
          first = &v;
          break;
        }
      }
      std::uint32_t type = 0, size = 0;
      const long rc = store.RegQueryValueExA(key, listed, &type, nullptr, &size);
      if (first == nullptr) {
        CHECK(rc == kFileNotFound);
        continue;
      }
      const RegValue ansi = AnsiForm(*first);
      CHECK(rc == kSuccess);
      CHECK(size == ansi.data.size() && type == ansi.type);
      std::string data(size + 1, '\0');
      std::uint32_t capacity = size + 1;
      CHECK(store.RegQueryValueExA(key, listed, nullptr, reinterpret_cast<std::uint8_t*>(data.data()), &capacity) ==
            kSuccess);
      CHECK(capacity == size && (size == 0 || std::memcmp(data.data(), ansi.data.data(), size) == 0));
    }
  }
  char name[1024];
  for (std::uint32_t i = 0; *budget > 0; ++i) {
    const long rc = store.RegEnumKeyA(key, i, name, sizeof name);
    if (rc == kNoMoreItems) break;
    if (rc == kMoreData) continue;
    // A list that cannot be read fails the same way at every index.
    if (rc != kSuccess) break;
    if (name[0] == '\0' || std::strchr(name, '\\') != nullptr) continue;  // not reachable by path
    Walk(store, root, path.empty() ? name : path + "\\" + name, depth + 1, budget);
  }
  CHECK(store.RegCloseKey(key) == kSuccess);
}

void ScanAndWalk(HiveStore& store, const std::string& system_directory) {
  RepairEngine engine(store, system_directory);
  torvane::repair::ItemBytes healthy;
  healthy.fill(1);
  engine.ScanItems(healthy);
  CHECK(store.open_handles() == 0);
  int budget = 300;
  Walk(store, kLocalMachine, "SOFTWARE", 0, &budget);
  budget = 300;
  Walk(store, kCurrentUser, "", 0, &budget);
  CHECK(store.open_handles() == 0);
}

void RepairAll(const std::string& input, const std::string& system_directory) {
  const std::string software_path = Scratch() + "/SOFTWARE";
  const std::string user_path = Scratch() + "/NTUSER.DAT";
  Write(software_path, input);
  Write(user_path, input);
  torvane::repair::RunFlags flags;
  {
    std::shared_ptr<HiveFile> software, user;
    try {
      software = HiveFile::Open(software_path, true);
      user = HiveFile::Open(user_path, true);
    } catch (const HiveError&) {
      return;
    }
    HiveStore store(software, user);
    RepairEngine engine(store, system_directory);
    engine.ScanItems(flags.m_healthy);
    torvane::repair::TickState ticked;
    ticked.fill(true);
    torvane::repair::RunTexts texts;
    RunRepairs(engine, flags, texts, ticked);
    CHECK(store.open_handles() == 0);
    for (HiveFile* hive : {software.get(), user.get()}) {
      try {
        hive->Commit();
      } catch (const HiveError&) {
        CHECK(Read(hive->path()) == input);
        return;
      }
    }
  }
  std::shared_ptr<HiveFile> software, user;
  try {
    software = HiveFile::Open(software_path, false);
    user = HiveFile::Open(user_path, false);
  } catch (const HiveError& error) {
    Fail(std::string("a committed hive does not open again: ") + error.what());
  }
  HiveStore store(software, user);
  RepairEngine engine(store, system_directory);
  for (int i = 0; i < torvane::repair::kItemCount; ++i) {
    if (flags.m_repaired[i] && !engine.CheckItem(i)) {
      Fail("item " + std::to_string(i) + " was reported repaired but reads damaged from the committed hive");
    }
  }
  CHECK(store.open_handles() == 0);
}

namespace fs = std::filesystem;

// Every entry below `root` (links not followed): its kind and its bytes or
// where it leads.
std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> entries;
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; it != end; it.increment(error)) {
    const std::string name = fs::relative(it->path(), root).string();
    if (it->is_symlink()) {
      entries[name] = "link:" + fs::read_symlink(it->path()).string();
    } else if (it->is_regular_file()) {
      entries[name] = "file:" + Read(it->path().string());
    } else {
      entries[name] = "other";
    }
  }
  return entries;
}

std::uint32_t Hash(const std::string& bytes) {
  std::uint32_t hash = 2166136261u;
  for (char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  return hash;
}

void VolumeRun(const std::string& input) {
  const fs::path volume = fs::path(Scratch()) / "volume";
  const fs::path outside = fs::path(Scratch()) / "outside";
  fs::remove_all(volume);
  fs::remove_all(outside);
  const fs::path config = volume / "Windows" / "System32" / "config";
  fs::create_directories(config);
  fs::create_directories(outside / "jump");
  Write((outside / "canary").string(), "outside the volume");
  Write((outside / "SOFTWARE").string(), input);
  Write((outside / "NTUSER.DAT").string(), input);
  Write((outside / "jump" / "NTUSER.DAT").string(), input);

  const std::uint32_t layout = Hash(input);
  if (layout & 1) {
    fs::create_symlink(outside / "SOFTWARE", config / "SOFTWARE");
  } else {
    Write((config / "SOFTWARE").string(), input);
  }
  auto profile = [&](const std::string& name, const std::string& bytes) {
    fs::create_directories(volume / "Users" / name);
    Write((volume / "Users" / name / "NTUSER.DAT").string(), bytes);
  };
  profile("user", input);
  if (layout & 2) profile("empty", "");
  if (layout & 4) {
    fs::create_directories(volume / "Users" / "linked");
    fs::create_symlink(outside / "NTUSER.DAT", volume / "Users" / "linked" / "NTUSER.DAT");
  }
  if (layout & 8) fs::create_symlink(outside / "jump", volume / "Users" / "jump");
  if (layout & 16) {
    for (const fs::path& hive : {config / "SOFTWARE", volume / "Users" / "user" / "NTUSER.DAT"}) {
      for (int pid = ::getpid() - 1; pid <= ::getpid() + 1; ++pid) {
        fs::create_symlink(outside / "canary", hive.string() + ".torvane-" + std::to_string(pid) + ".tmp");
      }
    }
  }
  if (layout & 32) profile("trunc", input.substr(0, input.size() / 2));

  const auto inside_before = Snapshot(volume);
  const auto outside_before = Snapshot(outside);
  torvane::cli::Options options =
      torvane::cli::ParseArguments({"repair", "--windows", volume.string(), "--all"});
  torvane::cli::Streams streams;
  streams.out = streams.err = std::fopen("/dev/null", "w");
  const int code = torvane::cli::Run(options, streams);
  std::fclose(streams.out);

  CHECK(code == torvane::cli::kExitOk || code == torvane::cli::kExitDamage || code == torvane::cli::kExitError);
  if (Snapshot(outside) != outside_before) Fail("a write reached outside the volume");
  const auto inside_after = Snapshot(volume);
  if (code == torvane::cli::kExitError && inside_after != inside_before) {
    Fail("exit 2, but the volume changed");
  }
  CHECK(inside_after.size() == inside_before.size());
  for (const auto& [name, before] : inside_before) {
    const auto after = inside_after.find(name);
    if (after == inside_after.end()) Fail("the repair removed " + name);
    if (after->second == before) continue;
    const bool hive = name == "Windows/System32/config/SOFTWARE" || fs::path(name).filename() == "NTUSER.DAT";
    if (!hive || before.rfind("file:", 0) != 0 || after->second.rfind("file:", 0) != 0) {
      Fail("the repair changed " + name + ", which is no hive file");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  FixChecksum(input);
  const std::string path = Scratch() + "/input";
  Write(path, input);
  std::shared_ptr<HiveFile> software, user;
  try {
    software = HiveFile::Open(path, false);
    user = HiveFile::Open(path, false);
  } catch (const HiveError&) {
    VolumeRun(input);
    return 0;
  }
  HiveStore store(software, user);
  const std::string system_directory = torvane::repair::SystemDirectoryOf(store);
  ScanAndWalk(store, system_directory);
  RepairAll(input, system_directory);
  VolumeRun(input);
  return 0;
}
