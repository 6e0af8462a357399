#include "registry/hive_log.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "registry/little_endian.h"
#include "registry/regf_format.h"

namespace torvane::registry {

namespace {

using namespace regf::header;

constexpr std::uint32_t kPrimaryFile = 0;
constexpr std::uint32_t kOldLog = 1;
constexpr std::uint32_t kOldLogVariant = 2;
constexpr std::uint32_t kNewLog = 6;

// A log entry's header.
constexpr std::size_t kEntryHeader = 40;
constexpr std::uint64_t kEntrySeed = 0x82EF4D887A4E55C5ULL;
constexpr std::size_t kBinAlignment = 0x1000;

std::uint64_t Le64(const unsigned char* p) { return Le32(p) | static_cast<std::uint64_t>(Le32(p + 4)) << 32; }

void Put32(std::string& bytes, std::size_t at, std::uint32_t value) { PutLe32(bytes, at, value); }

std::uint32_t Rotl(std::uint32_t x, int n) { return x << n | x >> (32 - n); }

void MarvinBlock(std::uint32_t& p0, std::uint32_t& p1) {
  p1 ^= p0;
  p0 = Rotl(p0, 20);
  p0 += p1;
  p1 = Rotl(p1, 9);
  p1 ^= p0;
  p0 = Rotl(p0, 27);
  p0 += p1;
  p1 = Rotl(p1, 19);
}

const unsigned char* Bytes(std::string_view view) { return reinterpret_cast<const unsigned char*>(view.data()); }

// The sequence number `a` comes before `b`, as sequence numbers wrap.
bool Before(std::uint32_t a, std::uint32_t b) { return a != b && static_cast<std::uint32_t>(b - a) <= 0x7FFFFFFF; }

// A log whose base block is valid: its type, its sequence number and bytes.
struct Log {
  const LogFile* file;
  std::uint32_t type;
  std::uint32_t sequence;
};

// Whether `bytes` start with a valid base block of a log (512 bytes are
// written there: the checksum they hold covers them).
std::optional<Log> UsableLog(const LogFile& file) {
  const unsigned char* p = Bytes(file.bytes);
  if (file.bytes.size() < kLogSector || std::memcmp(p, "regf", 4) != 0) return std::nullopt;
  if (BaseBlockChecksum(p) != Le32(p + kChecksum)) return std::nullopt;
  if (Le32(p + kPrimarySequence) != Le32(p + kSecondarySequence)) return std::nullopt;
  const std::uint32_t type = Le32(p + kFileType);
  if (type != kOldLog && type != kOldLogVariant && type != kNewLog) return std::nullopt;
  return Log{&file, type, Le32(p + kPrimarySequence)};
}

class Replay {
 public:
  Replay(std::string_view primary, HiveRecovery& out) : primary_(primary), out_(out) {
    limit_ = std::max<std::size_t>(primary.size(), regf::kBaseBlockSize);
  }

  void AddLogBytes(std::size_t size) { limit_ += size; }

  // Replays the entries of a new-format log from its first, whose sequence
  // number must be `expected`; returns how many were replayed.
  std::size_t ReplayNew(const Log& log, std::uint32_t expected) {
    const std::string_view bytes = log.file->bytes;
    const unsigned char* p = Bytes(bytes);
    std::size_t replayed = 0;
    for (std::size_t at = kLogSector; bytes.size() - at >= kEntryHeader; ++expected) {
      const unsigned char* entry = p + at;
      if (std::memcmp(entry, "HvLE", 4) != 0) break;
      const std::uint32_t size = Le32(entry + 4);
      if (size < kLogSector || size % kLogSector != 0 || size > bytes.size() - at) break;
      const std::uint32_t bins = Le32(entry + 16);
      const std::uint32_t count = Le32(entry + 20);
      if (bins < kBinAlignment || bins % kBinAlignment != 0 || count == 0) break;
      if (Le32(entry + 12) != expected) break;
      if (LogEntryHash(entry, 32) != Le64(entry + 32)) break;
      if (LogEntryHash(entry + kEntryHeader, size - kEntryHeader) != Le64(entry + 24)) break;
      if (count > (size - kEntryHeader) / 8) break;
      // The pages follow their references back to back, inside the entry
      // and inside the bins this entry announces.
      std::vector<LogPage> pages;
      std::size_t data = kEntryHeader + std::size_t{count} * 8;
      bool sound = true;
      for (std::uint32_t i = 0; i < count && sound; ++i) {
        const std::uint32_t offset = Le32(entry + kEntryHeader + 8 * i);
        const std::uint32_t length = Le32(entry + kEntryHeader + 8 * i + 4);
        sound = length <= size - data && offset <= bins && length <= bins - offset;
        if (sound) pages.push_back(LogPage{regf::kBaseBlockSize + offset, entry + data, length});
        data += length;
      }
      if (!sound) break;
      if (regf::kBaseBlockSize + std::size_t{bins} > limit_) {
        Refuse("a log entry grows the hive past what its files hold");
        return replayed;
      }
      out_.size = regf::kBaseBlockSize + bins;
      flags_ = Le32(entry + 8);
      last_sequence_ = expected;
      out_.pages.insert(out_.pages.end(), pages.begin(), pages.end());
      ++replayed;
      at += size;
    }
    if (replayed > 0) {
      base_ = log.file;
      out_.applied.push_back(log.file->name);
      out_.entries += replayed;
    }
    return replayed;
  }

  // Writes every page an old-format log marks; false when it stops short.
  bool ReplayOld(const Log& log) {
    const std::string_view bytes = log.file->bytes;
    const unsigned char* p = Bytes(bytes);
    const std::uint32_t bins = Le32(p + kBinsSize);
    if (bins < kBinAlignment || bins % kBinAlignment != 0 || regf::kBaseBlockSize + std::size_t{bins} > limit_) {
      Refuse("the log's hive size is not one a hive can have");
      return false;
    }
    const std::size_t bitmap = bins / kBinAlignment;  // bytes: a bit per 512 bytes
    if (bytes.size() < kLogSector + 4 + bitmap || std::memcmp(p + kLogSector, "DIRT", 4) != 0) {
      Refuse("the log has no dirty page bitmap");
      return false;
    }
    std::size_t page = (kLogSector + 4 + bitmap + kLogSector - 1) / kLogSector * kLogSector;
    std::vector<LogPage> pages;
    for (std::size_t bit = 0; bit < bitmap * 8; ++bit) {
      if ((p[kLogSector + 4 + bit / 8] >> (bit % 8) & 1) == 0) continue;
      if (page > bytes.size() || bytes.size() - page < kLogSector) {
        Refuse("the log stops short of the pages it marks");
        return false;
      }
      pages.push_back(LogPage{regf::kBaseBlockSize + bit * kLogSector, p + page, kLogSector});
      page += kLogSector;
    }
    out_.size = regf::kBaseBlockSize + bins;
    out_.pages = std::move(pages);
    out_.applied.push_back(log.file->name);
    out_.entries = 1;
    base_ = log.file;
    flags_ = Le32(p + kFlags);
    return true;
  }

  void Refuse(std::string why) {
    if (out_.refusal.empty()) out_.refusal = std::move(why);
  }
  bool refused() const { return !out_.refusal.empty(); }
  std::optional<std::uint32_t> last_sequence() const { return last_sequence_; }

  // The recovered header: the primary's, with what the last log replayed
  // says of the hive, marked clean.
  void Finish(std::uint32_t highest) {
    std::string header(primary_.substr(0, regf::kBaseBlockSize));
    const unsigned char* log = Bytes(base_->bytes);
    if (Le32(log + kRootCell) >= out_.size - regf::kBaseBlockSize) {
      Refuse("the log's root key lies outside the hive it replays");
      return;
    }
    for (std::size_t field : {kLastWritten, kLastWritten + 4, kMinorVersion, kRootCell}) {
      Put32(header, field, Le32(log + field));
    }
    Put32(header, kPrimarySequence, highest);
    Put32(header, kSecondarySequence, highest);
    Put32(header, kFileType, kPrimaryFile);
    Put32(header, kBinsSize, static_cast<std::uint32_t>(out_.size - regf::kBaseBlockSize));
    Put32(header, kFlags, flags_);
    Put32(header, kChecksum, BaseBlockChecksum(Bytes(header)));
    out_.base_block = std::move(header);
    // An entry that shrank the bins leaves the pages of earlier ones past
    // their end: no part of the hive any more.
    std::vector<LogPage> kept;
    for (LogPage page : out_.pages) {
      if (page.offset >= out_.size) continue;
      page.size = std::min(page.size, out_.size - page.offset);
      kept.push_back(page);
    }
    out_.pages = std::move(kept);
  }

 private:
  std::string_view primary_;
  HiveRecovery& out_;
  std::size_t limit_;
  const LogFile* base_ = nullptr;
  std::uint32_t flags_ = 0;
  std::optional<std::uint32_t> last_sequence_;
};

// The highest sequence number a log names anywhere: its base block, and the
// header of every entry at a sector boundary (replayed or not).
std::uint32_t HighestSequence(const LogFile& file, std::uint32_t highest) {
  const unsigned char* p = Bytes(file.bytes);
  const auto note = [&](std::uint32_t sequence) { highest = std::max(highest, sequence); };
  if (file.bytes.size() >= kLogSector && std::memcmp(p, "regf", 4) == 0) {
    note(Le32(p + kPrimarySequence));
    note(Le32(p + kSecondarySequence));
  }
  for (std::size_t at = kLogSector; at + kEntryHeader <= file.bytes.size(); at += kLogSector) {
    if (std::memcmp(p + at, "HvLE", 4) == 0) note(Le32(p + at + 12));
  }
  return highest;
}

}  // namespace

std::uint32_t BaseBlockChecksum(const unsigned char* base_block) {
  std::uint32_t sum = 0;
  for (std::size_t at = 0; at < kChecksum; at += 4) sum ^= Le32(base_block + at);
  if (sum == 0xFFFFFFFF) return 0xFFFFFFFE;
  if (sum == 0) return 1;
  return sum;
}

std::uint64_t LogEntryHash(const unsigned char* p, std::size_t size) {
  std::uint32_t p0 = static_cast<std::uint32_t>(kEntrySeed);
  std::uint32_t p1 = static_cast<std::uint32_t>(kEntrySeed >> 32);
  for (; size >= 8; p += 8, size -= 8) {
    p0 += Le32(p);
    MarvinBlock(p0, p1);
    p0 += Le32(p + 4);
    MarvinBlock(p0, p1);
  }
  if (size >= 4) {
    p0 += Le32(p);
    MarvinBlock(p0, p1);
    p += 4;
    size -= 4;
  }
  // The last 0 to 3 bytes, then a 0x80 byte.
  std::uint32_t tail = 0x80;
  for (std::size_t i = size; i-- > 0;) tail = tail << 8 | p[i];
  p0 += tail;
  MarvinBlock(p0, p1);
  MarvinBlock(p0, p1);
  return static_cast<std::uint64_t>(p1) << 32 | p0;
}

HiveRecovery RecoverHive(std::string_view primary, const std::vector<LogFile>& logs) {
  HiveRecovery out;
  const unsigned char* header = Bytes(primary);
  if (primary.size() < regf::kBaseBlockSize || std::memcmp(header, "regf", 4) != 0 ||
      BaseBlockChecksum(header) != Le32(header + kChecksum)) {
    out.refusal = "its own header is damaged";
    return out;
  }
  Replay replay(primary, out);
  std::vector<Log> usable;
  std::uint32_t highest = std::max(Le32(header + kPrimarySequence), Le32(header + kSecondarySequence));
  for (const LogFile& file : logs) {
    replay.AddLogBytes(file.bytes.size());
    highest = HighestSequence(file, highest);
    if (auto log = UsableLog(file)) usable.push_back(*log);
  }
  out.highest_sequence = highest;
  out.writable = highest != 0xFFFFFFFF;

  const std::uint32_t secondary = Le32(header + kSecondarySequence);
  std::vector<Log> fresh, old;
  for (const Log& log : usable) (log.type == kNewLog ? fresh : old).push_back(log);
  if (fresh.size() > 2) {
    replay.Refuse("three transaction logs of the new format; which two Windows uses is not known");
  } else if (!fresh.empty()) {
    // The log that starts the sequence goes first (LOG1 and LOG2 take
    // turns). A log whose base block comes before the primary's secondary
    // sequence number holds only what the primary has already; the second
    // log follows the first only where it continues it.
    std::stable_sort(fresh.begin(), fresh.end(),
                     [](const Log& a, const Log& b) { return Before(a.sequence, b.sequence); });
    const auto applies = [&](const Log& log) { return !Before(log.sequence, secondary); };
    if (fresh.size() == 2 && fresh[0].sequence == fresh[1].sequence && applies(fresh[0]) &&
        fresh[0].file->bytes != fresh[1].file->bytes) {
      // Two logs that start alike give no order.
      replay.Refuse("two transaction logs start at one sequence number; which Windows replays is not known");
    } else if (applies(fresh[0])) {
      replay.ReplayNew(fresh[0], fresh[0].sequence);
      const auto last = replay.last_sequence();
      if (fresh.size() == 2 && last && !replay.refused() && fresh[1].sequence == *last + 1) {
        replay.ReplayNew(fresh[1], fresh[1].sequence);
      }
    } else if (fresh.size() == 2 && applies(fresh[1])) {
      replay.ReplayNew(fresh[1], fresh[1].sequence);
    }
    if (!replay.refused() && !replay.last_sequence()) {
      replay.Refuse("no transaction log holds changes that follow the hive's own state");
    }
  } else {
    // An old-format log applies when it was written with the primary.
    const Log* match = nullptr;
    for (const Log& log : old) {
      if (std::memcmp(Bytes(log.file->bytes) + kLastWritten, header + kLastWritten, 8) == 0) {
        match = &log;
        break;
      }
    }
    if (match == nullptr) {
      replay.Refuse(usable.empty() ? "no usable transaction log beside it"
                                   : "no transaction log was written with it (their times differ)");
    } else {
      replay.ReplayOld(*match);
    }
  }
  if (!replay.refused()) replay.Finish(highest);
  if (replay.refused()) {
    out.base_block.clear();
    out.pages.clear();
    out.applied.clear();
    out.size = 0;
    out.entries = 0;
  }
  return out;
}

void ApplyRecovery(const HiveRecovery& recovery, unsigned char* image) {
  for (const LogPage& page : recovery.pages) std::memcpy(image + page.offset, page.data, page.size);
  std::memcpy(image, recovery.base_block.data(), regf::kBaseBlockSize);
}

std::string RecoveredImage(std::string_view primary, const HiveRecovery& recovery) {
  std::string image(recovery.size, '\0');
  std::memcpy(image.data(), primary.data(), std::min(primary.size(), recovery.size));
  ApplyRecovery(recovery, reinterpret_cast<unsigned char*>(image.data()));
  return image;
}

}  // namespace torvane::registry
