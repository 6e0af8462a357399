// Transaction logs written for tests the way Windows writes them, so that a
// test can put a change into a hive's logs only: replayed, the log turns the
// hive it was written for into another hive made by another writer (hivex).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace torvane::testing {

// A new-format log (file type 6): a 512-byte base block copied from
// `before`'s header (file type 6, both sequence numbers `first_sequence`,
// checksum), then one "HvLE" entry per state. Entry i carries, as 4096-byte
// pages, every page of the bins in which states[i] differs from the state
// before it (`before` for the first), and states[i]'s bins size; its
// sequence number is first_sequence + i, its hashes are the Marvin32 hashes
// Windows writes. The states are whole hive files (header and bins).
std::string NewFormatLog(const std::string& before, const std::vector<std::string>& states,
                         std::uint32_t first_sequence);

// An old-format log (file type 1) that turns `before` into `after`: a
// 512-byte base block copied from `after`'s header (file type 1, both
// sequence numbers equal, its last-written time `before`'s), the "DIRT"
// bitmap of the 512-byte pages in which they differ, then those pages.
std::string OldFormatLog(const std::string& before, const std::string& after);

// Makes the clean hive `hive` dirty as Windows leaves it between writing a
// log and the primary: its secondary sequence number `secondary`, its
// primary one `secondary + 1`, the checksum fixed.
void MakeDirty(std::string& hive, std::uint32_t secondary);

}  // namespace torvane::testing
