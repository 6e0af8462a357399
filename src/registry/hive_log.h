// A dirty hive read as Windows reads it: its transaction logs replayed over
// the primary file, in memory.
//
// Windows 8.1 and later write a hive's changes to its logs first (NAME.LOG1
// and NAME.LOG2, "new format": a base block, then "HvLE" entries of dirty
// pages, each entry hashed with Marvin32) and bring the primary file up to
// date later. Until then the primary is dirty (its header's two sequence
// numbers differ) and its newest state sits in the logs. Older Windows kept
// one log per hive ("old format": a base block, a "DIRT" bitmap of dirty
// 512-byte pages, then the pages). The rules followed here are those of the
// published "Windows registry file format specification" (M. Suhanov):
//
// - a log is usable when its base block is valid (signature, checksum, its
//   two sequence numbers equal) and of the log's own file type;
// - new format: of two logs, the one whose base block has the lower sequence
//   number (as sequence numbers wrap) goes first; a log applies when its base
//   block's sequence number is at least the primary's secondary one; its
//   entries follow one another with sequence numbers one apart from the base
//   block's, and replay stops at the first entry that is not the next one,
//   whose hashes or sizes are wrong, or that runs past the file; the second
//   log follows only when its base block continues the first's last entry;
//   each entry sets the size of the hive's bins (the hive grows or shrinks)
//   and the header's flags;
// - old format: a log applies when its base block's last-written time is the
//   primary's; every page its bitmap marks is written.
//
// What this replay refuses where Windows would go on (the caller reads the
// hive as undetermined): a primary whose own header is damaged, no log that
// applies or one that applies but holds nothing to replay, an old-format log
// that stops short of its pages, and an entry that would grow the bins past
// what the primary file and the logs hold together (the rest could only be
// zeros, which Windows would "heal" into empty bins).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace torvane::registry {

constexpr std::size_t kLogSector = 512;

// The header checksum Windows writes at 0x1FC: the XOR of the 127 double
// words before it, 0xFFFFFFFF written as 0xFFFFFFFE and 0 as 1.
std::uint32_t BaseBlockChecksum(const unsigned char* base_block);

// Marvin32 of `size` bytes with the log entries' seed (82 EF 4D 88 7A 4E 55 C5).
std::uint64_t LogEntryHash(const unsigned char* p, std::size_t size);

// A log found beside the hive: its file name (for messages) and bytes.
struct LogFile {
  std::string name;
  std::string_view bytes;
};

// `size` bytes at `offset` of the recovered hive file, from a log.
struct LogPage {
  std::size_t offset;
  const unsigned char* data;
  std::size_t size;
};

struct HiveRecovery {
  // Why the hive cannot be read as Windows would read it (one phrase, no
  // path), or empty.
  std::string refusal;
  // The recovered header (4096 bytes): clean, with both sequence numbers set
  // to the highest any log names, so that a hive written from it leaves no
  // log entry that Windows would replay over it.
  std::string base_block;
  std::size_t size = 0;  // of the recovered file: the header and its bins
  // What the logs write over the primary, in order (later over earlier).
  std::vector<LogPage> pages;
  std::vector<std::string> applied;  // the names of the logs replayed
  std::size_t entries = 0;           // log entries (or old-format logs) replayed
  // The highest sequence number any log's base block or entry header names
  // (or the primary's); a written hive's must be above it. 0xFFFFFFFF
  // leaves none above: `writable` is then false.
  std::uint32_t highest_sequence = 0;
  bool writable = true;
};

// Replays `logs` (the files found beside the hive, any of them possibly not
// a log at all) over the dirty primary file `primary` (its bytes as far as
// the file holds them). The pages point into the logs' bytes.
HiveRecovery RecoverHive(std::string_view primary, const std::vector<LogFile>& logs);

// The recovered hive file: `primary` up to the recovered size (zeros past
// its end), the pages written over it, the recovered header first.
std::string RecoveredImage(std::string_view primary, const HiveRecovery& recovery);

// Writes the recovery into `image`, which holds `recovery.size` bytes
// starting with the primary's (zeros past its end).
void ApplyRecovery(const HiveRecovery& recovery, unsigned char* image);

}  // namespace torvane::registry
