// A dirty hive and up to three transaction logs of arbitrary bytes, replayed
// by RecoverHive, then opened beside one another through the hive store.
//
// The input is a switch byte, then the primary file and the logs (NAME.LOG1,
// NAME.LOG2, NAME.LOG in that order), each part after the first preceded by
// kPartMark; an empty part is an empty file. Unless a switch says otherwise, the checksums of the primary's
// and the logs' base blocks and the hashes of each "HvLE" entry are set
// right, so that mutations reach the replay behind them.
//
// The replay must read nothing outside its inputs (ASan), give the same
// answer twice, and return pages that lie inside one log's bytes, each what
// that log holds for its offset, apart from one another, and inside the
// recovered file. Unless it refuses, the image it makes is `size` bytes of
// the primary (zeros past its end) with the pages written over it in order
// and a clean header first, which the hive store's header check accepts
// (for a primary whose own header it accepts). Opened for writing, the hive either is refused or
// reads as that image does, and a small change committed to it gives a clean
// hive that reads back with the change, the rest as it was, and that
// regfexport, hivexml and reglookup read; a refused commit leaves every file
// as it was.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "registry/hive_log.h"
#include "registry/regf_format.h"
#include "registry/hive_store.h"
#include "registry/little_endian.h"
#include "registry/regf_reader.h"
#include "registry/utf.h"
#include "support/hive_builder.h"

namespace {

using namespace torvane::registry;
using torvane::testing::ReadFile;
using torvane::testing::WriteFile;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "hive_log_fuzz: %s\n", what.c_str());
  __builtin_trap();
}

#define CHECK(condition) \
  do {                   \
    if (!(condition)) Fail(#condition); \
  } while (0)

constexpr std::string_view kPartMark = "\nLOG-FILE\n";
constexpr int kLogs = 3;

// The switch byte.
constexpr unsigned kRawPrimary = 1;  // the primary's checksum left as it is
constexpr unsigned kRawLogs = 2;     // the logs' checksums left as they are
constexpr unsigned kRawEntries = 4;  // the entries' hashes left as they are
constexpr unsigned kLowerCase = 8;   // the logs named in lower case

std::uint32_t Get32(const std::string& bytes, std::size_t at) {
  return Le32(reinterpret_cast<const unsigned char*>(bytes.data()) + at);
}

void Put64(std::string& bytes, std::size_t at, std::uint64_t v) {
  PutLe32(bytes, at, static_cast<std::uint32_t>(v));
  PutLe32(bytes, at + 4, static_cast<std::uint32_t>(v >> 32));
}

void FixBaseBlock(std::string& bytes) {
  if (bytes.size() < kLogSector || bytes.compare(0, 4, "regf") != 0) return;
  PutLe32(bytes, 0x1FC, BaseBlockChecksum(reinterpret_cast<const unsigned char*>(bytes.data())));
}

// Sets the two hashes of each "HvLE" entry that lies whole in the log, in
// the order Windows checks them: the first covers the entry from its page
// references on, the second the entry's first 32 bytes (the first hash
// included).
void FixEntries(std::string& log) {
  std::size_t at = kLogSector;
  while (at + 40 <= log.size() && log.compare(at, 4, "HvLE") == 0) {
    const std::uint32_t size = Get32(log, at + 4);
    if (size < 40 || size > log.size() - at) break;
    const auto* entry = reinterpret_cast<const unsigned char*>(log.data()) + at;
    Put64(log, at + 24, LogEntryHash(entry + 40, size - 40));
    Put64(log, at + 32, LogEntryHash(entry, 32));
    at += size;
  }
}

struct Input {
  unsigned switches = 0;
  std::string primary;
  std::vector<std::string> logs;
};

Input Split(const std::uint8_t* data, std::size_t size) {
  Input input;
  if (size == 0) return input;
  input.switches = data[0];
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::vector<std::string> parts;
  std::size_t from = 0;
  while (parts.size() < kLogs) {
    const std::size_t mark = rest.find(kPartMark, from);
    if (mark == std::string_view::npos) break;
    parts.emplace_back(rest.substr(from, mark - from));
    from = mark + kPartMark.size();
  }
  parts.emplace_back(rest.substr(from));
  input.primary = std::move(parts[0]);
  input.logs.assign(parts.begin() + 1, parts.end());
  if (!(input.switches & kRawPrimary)) FixBaseBlock(input.primary);
  for (std::string& log : input.logs) {
    if (!(input.switches & kRawEntries)) FixEntries(log);
    if (!(input.switches & kRawLogs)) FixBaseBlock(log);
  }
  return input;
}

std::string LogName(const std::string& hive, int index, bool lower) {
  static const char* const kSuffixes[kLogs] = {".LOG1", ".LOG2", ".LOG"};
  std::string suffix = kSuffixes[index];
  if (lower) std::transform(suffix.begin(), suffix.end(), suffix.begin(), [](char c) { return std::tolower(c); });
  return hive + suffix;
}

bool SameRecovery(const HiveRecovery& a, const HiveRecovery& b) {
  if (a.refusal != b.refusal || a.base_block != b.base_block || a.size != b.size || a.applied != b.applied ||
      a.entries != b.entries || a.highest_sequence != b.highest_sequence || a.writable != b.writable ||
      a.pages.size() != b.pages.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.pages.size(); ++i) {
    if (a.pages[i].offset != b.pages[i].offset || a.pages[i].data != b.pages[i].data ||
        a.pages[i].size != b.pages[i].size) {
      return false;
    }
  }
  return true;
}

// Whether `page`, lying in `log`, is what the log says is written at its
// offset, read here again from the log: in a new-format log, the data of one
// of the page references of the entry it lies in (cut short where a later
// entry shrank the bins); in an old-format one, the 512 bytes at the place
// that follows from the bit its offset has in the dirty page bitmap.
bool FromLog(const LogFile& log, const LogPage& page) {
  const auto* p = reinterpret_cast<const unsigned char*>(log.bytes.data());
  const std::size_t size = log.bytes.size();
  const std::size_t at = static_cast<std::size_t>(page.data - p);
  if (size < kLogSector || page.offset < regf::kBaseBlockSize) return false;
  const std::size_t offset = page.offset - regf::kBaseBlockSize;
  const std::uint32_t type = Le32(p + 0x1C);
  if (type == 1 || type == 2) {
    const std::size_t bitmap = Le32(p + 0x28) / 0x1000;
    const std::size_t first = (kLogSector + 4 + bitmap + kLogSector - 1) / kLogSector * kLogSector;
    if (page.size != kLogSector || offset % kLogSector != 0 || offset / kLogSector >= bitmap * 8) return false;
    std::size_t before = 0;  // pages the bitmap marks ahead of this one
    for (std::size_t bit = 0; bit < offset / kLogSector; ++bit) before += p[kLogSector + 4 + bit / 8] >> (bit % 8) & 1;
    const std::size_t bit = offset / kLogSector;
    return (p[kLogSector + 4 + bit / 8] >> (bit % 8) & 1) != 0 && at == first + before * kLogSector;
  }
  for (std::size_t entry = kLogSector; entry + 40 <= size && std::memcmp(p + entry, "HvLE", 4) == 0;) {
    const std::size_t entry_size = Le32(p + entry + 4);
    if (entry_size < 40 || entry_size > size - entry) return false;
    if (at >= entry + entry_size) {
      entry += entry_size;
      continue;
    }
    const std::size_t count = Le32(p + entry + 20);
    if (count > (entry_size - 40) / 8) return false;
    std::size_t data = entry + 40 + 8 * count;
    for (std::size_t k = 0; k < count && data <= entry + entry_size; ++k) {
      const std::size_t reference = Le32(p + entry + 40 + 8 * k);
      const std::size_t length = Le32(p + entry + 44 + 8 * k);
      if (data == at && reference == offset && page.size <= length) return true;
      data += length;
    }
    return false;
  }
  return false;
}

// The replay's answer against the rules its header states.
void CheckRecovery(const std::string& primary, const std::vector<LogFile>& logs, const HiveRecovery& recovery) {
  CHECK(SameRecovery(recovery, RecoverHive(primary, logs)));

  // Pages point into the logs, each byte of a log read for one page at most
  // (replaying an entry twice is a loop), so their total is bounded.
  std::vector<std::pair<const unsigned char*, std::size_t>> spans;
  for (const LogPage& page : recovery.pages) {
    const LogFile* from = nullptr;
    for (const LogFile& log : logs) {
      const auto* begin = reinterpret_cast<const unsigned char*>(log.bytes.data());
      if (page.data >= begin && page.data <= begin + log.bytes.size() &&
          page.size <= static_cast<std::size_t>(begin + log.bytes.size() - page.data)) {
        from = &log;
        break;
      }
    }
    if (from == nullptr) Fail("a page lies outside every log");
    if (!FromLog(*from, page)) {
      Fail("the page for offset " + std::to_string(page.offset) + " is not what " + from->name + " holds for it");
    }
    if (page.size != 0) spans.emplace_back(page.data, page.size);
  }
  std::sort(spans.begin(), spans.end());
  for (std::size_t i = 1; i < spans.size(); ++i) {
    if (spans[i - 1].first + spans[i - 1].second > spans[i].first) Fail("two pages share a log's bytes");
  }
  std::size_t log_bytes = 0;
  for (const LogFile& log : logs) log_bytes += log.bytes.size();
  CHECK(recovery.entries <= log_bytes / kLogSector);
  if (!recovery.refusal.empty()) return;

  CHECK(recovery.entries >= 1 && !recovery.applied.empty());
  for (const std::string& name : recovery.applied) {
    CHECK(std::any_of(logs.begin(), logs.end(), [&](const LogFile& log) { return log.name == name; }));
  }
  CHECK(recovery.base_block.size() == regf::kBaseBlockSize);
  CHECK(recovery.size >= regf::kBaseBlockSize);
  CHECK(recovery.size - regf::kBaseBlockSize == Get32(recovery.base_block, 0x28));
  for (const LogPage& page : recovery.pages) {
    if (page.offset < regf::kBaseBlockSize || page.offset > recovery.size || page.size > recovery.size - page.offset) {
      Fail("a page at " + std::to_string(page.offset) + " of " + std::to_string(page.size) +
           " bytes lies outside the bins of a hive of " + std::to_string(recovery.size));
    }
  }
  // The primary's header is sound (or the replay refuses): its sequence
  // numbers count towards the highest.
  CHECK(primary.size() >= 12);
  CHECK(recovery.highest_sequence >= std::max(Get32(primary, 4), Get32(primary, 8)));
  CHECK(Get32(recovery.base_block, 4) == recovery.highest_sequence);
  CHECK(Get32(recovery.base_block, 8) == recovery.highest_sequence);
  if (recovery.highest_sequence == 0xFFFFFFFFu) CHECK(!recovery.writable);

  std::string expected = primary.substr(0, std::min(primary.size(), recovery.size));
  expected.resize(recovery.size, '\0');
  for (const LogPage& page : recovery.pages) {
    std::copy(page.data, page.data + page.size, expected.begin() + static_cast<std::ptrdiff_t>(page.offset));
  }
  expected.replace(0, regf::kBaseBlockSize, recovery.base_block);
  const std::string image = RecoveredImage(primary, recovery);
  if (image != expected) Fail("the recovered image is not the primary with the pages written over it");
  std::string applied = primary.substr(0, std::min(primary.size(), recovery.size));
  applied.resize(recovery.size, '\0');
  ApplyRecovery(recovery, reinterpret_cast<unsigned char*>(applied.data()));
  if (applied != image) Fail("ApplyRecovery and RecoveredImage differ");

  // The store replays only a primary whose header its check accepts (and
  // finds dirty); what it recovers from one must pass the same check clean.
  bool dirty = false;
  if (!CheckHiveHeader(primary.substr(0, regf::kBaseBlockSize), primary.size(), &dirty).empty()) return;
  const std::string problem = CheckHiveHeader(recovery.base_block, recovery.size, &dirty);
  if (!problem.empty()) Fail("the recovered header is refused: " + problem);
  CHECK(!dirty);
}

bool SameTree(const RegTree& a, const RegTree& b) {
  if (a.name != b.name || a.link != b.link || a.values != b.values || a.children.size() != b.children.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.children.size(); ++i) {
    if (!SameTree(a.children[i], b.children[i])) return false;
  }
  return true;
}

// The whole hive as the store reads it, its root the user root; false when
// any of it cannot be read.
bool WholeTree(const std::shared_ptr<HiveFile>& hive, RegTree* tree) {
  HiveStore store(nullptr, hive);
  auto read = store.ReadTree(kCurrentUser, "");
  if (!read) return false;
  *tree = std::move(*read);
  return true;
}

const RegValue kMark{"TorvaneLogFuzz", kRegDword, {1, 0, 0, 0}, true};

// The hive and its logs in the scratch folder, opened for writing; a small
// change committed and read back.
void OpenAndCommit(const Input& input, const HiveRecovery& recovery) {
  const std::string hive = "hive";
  std::vector<std::string> names;
  WriteFile(hive, input.primary);
  for (int i = 0; i < kLogs; ++i) {
    std::error_code ignored;
    std::filesystem::remove(LogName(hive, i, false), ignored);
    std::filesystem::remove(LogName(hive, i, true), ignored);
  }
  for (std::size_t i = 0; i < input.logs.size(); ++i) {
    names.push_back(LogName(hive, static_cast<int>(i), input.switches & kLowerCase));
    WriteFile(names.back(), input.logs[i]);
  }
  bool dirty = false;
  const bool sound = input.primary.size() >= regf::kBaseBlockSize &&
                     CheckHiveHeader(input.primary.substr(0, regf::kBaseBlockSize), input.primary.size(), &dirty).empty();
  const bool recovered = sound && dirty && recovery.refusal.empty();

  RegTree before;
  bool whole = false;
  {
    std::shared_ptr<HiveFile> file;
    try {
      file = HiveFile::Open(hive, true);
    } catch (const HiveError&) {
      return;
    }
    // A dirty hive whose logs cannot be replayed is not read as if it were clean.
    if (sound && dirty && !recovery.refusal.empty()) Fail("a hive whose logs were refused opened for writing");
    whole = WholeTree(file, &before);
    if (recovered) {
      // What the store reads is what the replay recovered.
      WriteFile("recovered", RecoveredImage(input.primary, recovery));
      RegTree image;
      bool image_whole = false;
      try {
        image_whole = WholeTree(HiveFile::Open("recovered", false), &image);
      } catch (const HiveError& error) {
        Fail(std::string("the recovered image does not open: ") + error.what());
      }
      CHECK(whole == image_whole);
      if (whole && !SameTree(before, image)) Fail("the dirty hive reads otherwise than its recovered image");
    }
    HiveStore store(nullptr, file);
    if (!store.SetValue(kCurrentUser, "", kMark) || !file->modified()) return;
    try {
      file->Commit();
    } catch (const HiveError&) {
      CHECK(ReadFile(hive) == input.primary);
      for (std::size_t i = 0; i < names.size(); ++i) CHECK(ReadFile(names[i]) == input.logs[i]);
      return;
    }
  }
  const std::string written = ReadFile(hive);
  CHECK(written.size() >= regf::kBaseBlockSize);
  const std::string problem = CheckHiveHeader(written.substr(0, regf::kBaseBlockSize), written.size(), &dirty);
  if (!problem.empty()) Fail("the committed hive's header is refused: " + problem);
  CHECK(!dirty);
  // No log entry Windows would replay over the committed hive.
  if (recovered) CHECK(Get32(written, 4) > recovery.highest_sequence);
  RegTree after;
  try {
    if (!WholeTree(HiveFile::Open(hive, false), &after)) Fail("the committed hive is not read whole");
  } catch (const HiveError& error) {
    Fail(std::string("the committed hive does not open: ") + error.what());
  }
  const auto named = [](const RegValue& value) { return Utf8NamesEqual(value.name, kMark.name); };
  auto mark = std::find_if(after.values.begin(), after.values.end(), named);
  if (mark == after.values.end() || mark->type != kMark.type || mark->data != kMark.data) {
    Fail("the committed change does not read back");
  }
  if (whole) {
    // The mark replaced a value of its name, or joined the root's values.
    auto old = std::find_if(before.values.begin(), before.values.end(), named);
    if (old != before.values.end()) {
      *old = *mark;
    } else {
      after.values.erase(mark);
    }
    if (!SameTree(before, after)) Fail("the commit changed more than the one value");
  }
  // Three other readers read it too: libregf's, hivex's and reglookup.
  for (const char* reader : {"regfexport", "hivexml", "reglookup"}) {
    const std::string command = std::string(reader);
    if (std::system(("command -v " + command + " >/dev/null 2>&1").c_str()) != 0) continue;
    if (std::system((command + " " + hive + " >/dev/null 2>&1").c_str()) != 0) {
      Fail(command + " cannot read the committed hive");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Its own folder, made the working directory: the files' names are the
  // same on every run, so the seeded smoke run tries the same inputs.
  static const bool in_folder = [] {
    std::string path = (std::filesystem::temp_directory_path() / "torvane-hive-log-XXXXXX").string();
    if (::mkdtemp(path.data()) == nullptr || ::chdir(path.c_str()) != 0) std::abort();
    static const std::string folder = path;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(folder, ignored);
    });
    return true;
  }();
  (void)in_folder;
  const Input input = Split(data, size);
  // In the order the store finds them (NAME.LOG first): which of two
  // old-format logs written with the hive is replayed depends on it.
  std::vector<LogFile> logs;
  for (int i : {2, 0, 1}) {
    if (static_cast<std::size_t>(i) >= input.logs.size()) continue;
    logs.push_back({LogName("hive", i, input.switches & kLowerCase), input.logs[i]});
  }
  const HiveRecovery recovery = RecoverHive(input.primary, logs);
  CheckRecovery(input.primary, logs, recovery);
  OpenAndCommit(input, recovery);
  return 0;
}
