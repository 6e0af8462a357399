#include "support/hive_log_writer.h"

#include <stdexcept>

#include "registry/hive_log.h"
#include "registry/regf_format.h"
#include "registry/little_endian.h"

namespace torvane::testing {

namespace {

using registry::regf::kBaseBlockSize;
using registry::kLogSector;

constexpr std::size_t kLogPage = 4096;  // new-format logs name whole pages of the bins

const unsigned char* Bytes(const std::string& bytes) {
  return reinterpret_cast<const unsigned char*>(bytes.data());
}

std::uint32_t Get32(const std::string& bytes, std::size_t at) { return registry::Le32(Bytes(bytes) + at); }

void Put64(std::string& bytes, std::size_t at, std::uint64_t value) {
  registry::PutLe32(bytes, at, static_cast<std::uint32_t>(value));
  registry::PutLe32(bytes, at + 4, static_cast<std::uint32_t>(value >> 32));
}

// The size of a hive's bins, from its header; the file must hold them.
std::size_t BinsSize(const std::string& hive) {
  if (hive.size() < registry::regf::kBaseBlockSize) throw std::invalid_argument("a hive shorter than its header");
  const std::size_t bins = Get32(hive, 0x28);
  if (bins % kLogPage != 0 || hive.size() < registry::regf::kBaseBlockSize + bins) {
    throw std::invalid_argument("a hive whose file does not hold the bins its header announces");
  }
  return bins;
}

// Whether `size` bytes at `at` of the bins differ between the two hives; bytes
// past the end of a hive's bins differ from anything.
bool Differs(const std::string& a, const std::string& b, std::size_t at, std::size_t size) {
  const std::size_t end = registry::regf::kBaseBlockSize + at + size;
  if (end > registry::regf::kBaseBlockSize + BinsSize(a) || end > registry::regf::kBaseBlockSize + BinsSize(b)) return true;
  return a.compare(registry::regf::kBaseBlockSize + at, size, b, registry::regf::kBaseBlockSize + at, size) != 0;
}

// The first 512 bytes of `hive`'s header as a log's base block.
std::string LogBaseBlock(const std::string& hive, std::uint32_t file_type, std::uint32_t sequence) {
  std::string block = hive.substr(0, kLogSector);
  registry::PutLe32(block, 0x04, sequence);
  registry::PutLe32(block, 0x08, sequence);
  registry::PutLe32(block, 0x1C, file_type);
  registry::PutLe32(block, 0x1FC, registry::BaseBlockChecksum(Bytes(block)));
  return block;
}

std::size_t RoundUp(std::size_t n, std::size_t unit) { return (n + unit - 1) / unit * unit; }

}  // namespace

std::string NewFormatLog(const std::string& before, const std::vector<std::string>& states,
                         std::uint32_t first_sequence) {
  std::string log = LogBaseBlock(before, 6, first_sequence);
  const std::string* previous = &before;
  for (std::size_t i = 0; i < states.size(); ++i) {
    const std::string& state = states[i];
    const std::size_t bins = BinsSize(state);
    std::vector<std::size_t> dirty;
    for (std::size_t page = 0; page < bins; page += kLogPage) {
      if (Differs(*previous, state, page, kLogPage)) dirty.push_back(page);
    }
    // The header and the page references, the pages right after them, and
    // zeros up to the entry's size.
    std::string entry(40 + 8 * dirty.size(), '\0');
    entry.replace(0, 4, "HvLE");
    registry::PutLe32(entry, 8, Get32(state, 0x90));
    registry::PutLe32(entry, 12, static_cast<std::uint32_t>(first_sequence + i));
    registry::PutLe32(entry, 16, static_cast<std::uint32_t>(bins));
    registry::PutLe32(entry, 20, static_cast<std::uint32_t>(dirty.size()));
    for (std::size_t k = 0; k < dirty.size(); ++k) {
      registry::PutLe32(entry, 40 + 8 * k, static_cast<std::uint32_t>(dirty[k]));
      registry::PutLe32(entry, 44 + 8 * k, static_cast<std::uint32_t>(kLogPage));
    }
    for (const std::size_t page : dirty) entry.append(state, registry::regf::kBaseBlockSize + page, kLogPage);
    entry.resize(RoundUp(entry.size(), kLogSector), '\0');
    registry::PutLe32(entry, 4, static_cast<std::uint32_t>(entry.size()));
    Put64(entry, 24, registry::LogEntryHash(Bytes(entry) + 40, entry.size() - 40));
    Put64(entry, 32, registry::LogEntryHash(Bytes(entry), 32));
    log += entry;
    previous = &state;
  }
  return log;
}

std::string OldFormatLog(const std::string& before, const std::string& after) {
  const std::size_t bins = BinsSize(after);
  std::string log = LogBaseBlock(after, 1, Get32(after, 0x04));
  log.replace(0x0C, 8, before, 0x0C, 8);  // last written
  registry::PutLe32(log, 0x1FC, registry::BaseBlockChecksum(Bytes(log)));

  // One bit per 512-byte page of the bins, the lowest bit of each byte first.
  std::string bitmap(bins / (8 * kLogSector), '\0');
  std::string pages;
  for (std::size_t page = 0; page < bins / kLogSector; ++page) {
    if (!Differs(before, after, page * kLogSector, kLogSector)) continue;
    bitmap[page / 8] = static_cast<char>(bitmap[page / 8] | 1 << (page % 8));
    pages.append(after, registry::regf::kBaseBlockSize + page * kLogSector, kLogSector);
  }
  log += "DIRT" + bitmap;
  log.resize(RoundUp(log.size(), kLogSector), '\0');
  return log + pages;
}

void MakeDirty(std::string& hive, std::uint32_t secondary) {
  registry::PutLe32(hive, 0x04, secondary + 1);
  registry::PutLe32(hive, 0x08, secondary);
  registry::PutLe32(hive, 0x1FC, registry::BaseBlockChecksum(Bytes(hive)));
}

}  // namespace torvane::testing
