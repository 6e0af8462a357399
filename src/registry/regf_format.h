// The registry hive file format ("regf"), as the reader, the structure
// check, the writer and the log replay share it: the header's fields, and
// the fields of each record counted from the start of its cell (the cell's
// 4-byte size comes first: negative for a cell in use). Offsets of cells in
// the file are the bins' offsets plus kBaseBlockSize.
#pragma once

#include <cstddef>
#include <cstdint>

namespace torvane::registry::regf {

constexpr std::size_t kBaseBlockSize = 0x1000;  // the header; the bins follow
constexpr std::size_t kBinHeaderSize = 0x20;
constexpr std::uint32_t kNoCell = 0xFFFFFFFF;

// The header (base block).
namespace header {
constexpr std::size_t kPrimarySequence = 0x04;
constexpr std::size_t kSecondarySequence = 0x08;
constexpr std::size_t kLastWritten = 0x0C;  // 8 bytes
constexpr std::size_t kMajorVersion = 0x14;
constexpr std::size_t kMinorVersion = 0x18;
constexpr std::size_t kFileType = 0x1C;
constexpr std::size_t kFileFormat = 0x20;
constexpr std::size_t kRootCell = 0x24;
constexpr std::size_t kBinsSize = 0x28;
constexpr std::size_t kFlags = 0x90;
constexpr std::size_t kChecksum = 0x1FC;  // of the 508 bytes before it
}  // namespace header

// A key ("nk").
namespace nk {
constexpr std::size_t kFlags = 0x06;
constexpr std::size_t kParent = 0x14;
constexpr std::size_t kSubkeyCount = 0x18;
constexpr std::size_t kVolatileSubkeyCount = 0x1C;
constexpr std::size_t kSubkeyList = 0x20;
constexpr std::size_t kVolatileSubkeyList = 0x24;
constexpr std::size_t kValueCount = 0x28;
constexpr std::size_t kValueList = 0x2C;
constexpr std::size_t kSecurity = 0x30;
constexpr std::size_t kClassName = 0x34;
constexpr std::size_t kLongestSubkeyName = 0x38;
constexpr std::size_t kLongestValueName = 0x40;
constexpr std::size_t kLargestValueData = 0x44;
constexpr std::size_t kClassNameLength = 0x4E;
constexpr std::size_t kNameLength = 0x4C;
constexpr std::size_t kName = 0x50;
constexpr std::uint16_t kSymbolicLink = 0x0010;
constexpr std::uint16_t kCompressedName = 0x0020;
}  // namespace nk

// A value ("vk").
namespace vk {
constexpr std::size_t kNameLength = 0x06;
constexpr std::size_t kDataSize = 0x08;
constexpr std::size_t kData = 0x0C;  // a cell, or the data itself
constexpr std::size_t kType = 0x10;
constexpr std::size_t kFlags = 0x14;
constexpr std::size_t kName = 0x18;
constexpr std::uint32_t kDataInRecord = 0x80000000u;  // in kDataSize: 4 bytes or less, in kData
constexpr std::uint16_t kCompressedName = 0x0001;
}  // namespace vk

// A security record ("sk"), one of a ring.
namespace sk {
constexpr std::size_t kNext = 0x08;
constexpr std::size_t kPrevious = 0x0C;
constexpr std::size_t kReferences = 0x10;
constexpr std::size_t kDescriptorSize = 0x14;
constexpr std::size_t kDescriptor = 0x18;
}  // namespace sk

// A big data record ("db"): its segments' list.
namespace db {
constexpr std::size_t kSegmentCount = 0x06;
constexpr std::size_t kSegmentList = 0x08;
}  // namespace db

// A subkey list ("lf", "lh", "li", "ri"): its count and first entry.
namespace list {
constexpr std::size_t kCount = 0x06;
constexpr std::size_t kEntries = 0x08;
}  // namespace list

// Data longer than this is kept in segments listed by a "db" record in
// hives of version 1.4 and later, each segment but the last this long.
constexpr std::size_t kLargestPlainData = 16344;
inline bool KeptInSegments(std::uint32_t minor_version, std::uint32_t length) {
  return minor_version >= 4 && length > kLargestPlainData;
}

}  // namespace torvane::registry::regf
