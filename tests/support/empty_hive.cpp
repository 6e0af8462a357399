// The empty hive and the header's checksum: plain bytes, built for every
// system (the Windows tests make their hives from it with our own writer).
#include <cstdint>
#include <string>

#include "registry/little_endian.h"
#include "support/hive_builder.h"

namespace torvane::testing {

namespace {

constexpr std::size_t kHeaderSize = 0x1000;
constexpr std::size_t kBinSize = 0x1000;

void Put16(std::string& bytes, std::size_t at, std::uint16_t value) { registry::PutLe16(bytes, at, value); }
void Put32(std::string& bytes, std::size_t at, std::uint32_t value) { registry::PutLe32(bytes, at, value); }
std::uint32_t Get32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  return value;
}
std::size_t RoundUp8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

}  // namespace

void FixChecksum(std::string& bytes) {
  std::uint32_t sum = 0;
  for (std::size_t at = 0; at < 0x1FC; at += 4) sum ^= Get32(bytes, at);
  Put32(bytes, 0x1FC, sum);
}

std::string EmptyHive(const std::string& root_name) {
  std::string hive(kHeaderSize + kBinSize, '\0');
  // Base block.
  hive.replace(0, 4, "regf");
  Put32(hive, 0x04, 1);     // primary sequence number
  Put32(hive, 0x08, 1);     // secondary sequence number
  Put32(hive, 0x14, 1);     // major version
  Put32(hive, 0x18, 3);     // minor version: 1.3 keeps every value in one cell
  Put32(hive, 0x1C, 0);     // primary file
  Put32(hive, 0x20, 1);     // direct memory load format
  Put32(hive, 0x24, 0x20);  // root cell, relative to the first bin
  Put32(hive, 0x28, static_cast<std::uint32_t>(kBinSize));
  Put32(hive, 0x2C, 1);     // clustering factor

  // The bin and its header.
  const std::size_t bin = kHeaderSize;
  hive.replace(bin, 4, "hbin");
  Put32(hive, bin + 0x04, 0);
  Put32(hive, bin + 0x08, static_cast<std::uint32_t>(kBinSize));

  // Root key cell (cell size negative: in use).
  const std::size_t nk = bin + 0x20;
  const std::size_t nk_size = RoundUp8(4 + 0x4C + root_name.size());
  const std::size_t sk = nk + nk_size;
  const std::size_t sk_rel = sk - bin;
  Put32(hive, nk, static_cast<std::uint32_t>(-static_cast<std::int32_t>(nk_size)));
  hive.replace(nk + 4, 2, "nk");
  Put16(hive, nk + 4 + 0x02, 0x2C);  // hive entry, no delete, ASCII name
  Put32(hive, nk + 4 + 0x10, 0xFFFFFFFF);  // parent: none
  Put32(hive, nk + 4 + 0x1C, 0xFFFFFFFF);  // subkey list
  Put32(hive, nk + 4 + 0x20, 0xFFFFFFFF);  // volatile subkey list
  Put32(hive, nk + 4 + 0x28, 0xFFFFFFFF);  // value list
  Put32(hive, nk + 4 + 0x2C, static_cast<std::uint32_t>(sk_rel));
  Put32(hive, nk + 4 + 0x30, 0xFFFFFFFF);  // class name
  Put16(hive, nk + 4 + 0x48, static_cast<std::uint16_t>(root_name.size()));
  hive.replace(nk + 4 + 0x4C, root_name.size(), root_name);

  // Security cell: a self-relative descriptor with no owner, group or lists.
  const std::size_t descriptor = 20;
  const std::size_t sk_size = RoundUp8(4 + 0x14 + descriptor);
  Put32(hive, sk, static_cast<std::uint32_t>(-static_cast<std::int32_t>(sk_size)));
  hive.replace(sk + 4, 2, "sk");
  Put32(hive, sk + 4 + 0x04, static_cast<std::uint32_t>(sk_rel));  // list of one: itself
  Put32(hive, sk + 4 + 0x08, static_cast<std::uint32_t>(sk_rel));
  Put32(hive, sk + 4 + 0x0C, 1);  // reference count
  Put32(hive, sk + 4 + 0x10, static_cast<std::uint32_t>(descriptor));
  hive[sk + 4 + 0x14] = 1;                      // revision
  Put16(hive, sk + 4 + 0x16, 0x8000);           // self-relative

  // The rest of the bin is one free cell (positive size).
  const std::size_t free_cell = sk + sk_size;
  Put32(hive, free_cell, static_cast<std::uint32_t>(bin + kBinSize - free_cell));

  FixChecksum(hive);
  return hive;
}

}  // namespace torvane::testing
