// Hive files for tests, made here: an empty hive written byte by byte from
// the published regf layout, then filled through hivex.
#pragma once

#include <cstdint>
#include <string>

#include "registry/memory_store.h"

namespace torvane::testing {

// A valid hive holding only its root key (with a security cell, which hivex
// needs to add keys): the 4096-byte header with its checksum and one bin.
std::string EmptyHive(const std::string& root_name = "ROOT");

// Writes at `path` a hive whose root holds what `root` holds below it
// (names and texts given in GBK, stored as a hive stores them).
void WriteHive(const std::string& path, const registry::MemoryStore::Key& root);

// Sets the header's secondary sequence number (and fixes the checksum), so
// that the hive reads as dirty when it differs from the primary one.
void SetSecondarySequence(const std::string& path, std::uint32_t sequence);
// Sets the header's checksum to what its first 508 bytes give.
void FixChecksum(std::string& bytes);

// Appends to the hive file at `path` one hive bin of `bytes` (a multiple of
// 4096) holding a single free cell (or, `in_use`, a cell marked in use that
// nothing refers to), its zeros left unwritten (the file is sparse there),
// and fixes the header.
void AppendFreeBin(const std::string& path, std::uint64_t bytes, bool in_use = false);
// Sets the header's minor format version (and fixes the checksum): hives
// are made as version 1.3.
void SetMinorVersion(const std::string& path, std::uint32_t minor);
// Keeps the data of the value `name` (one cell of at least 16,400 bytes, as
// hivex writes it) as hives of version 1.4 and later do: a "db" record, its
// list and two segments, the first of 16,344 bytes, carved out of that cell;
// and makes the hive version 1.5. Returns the data the value now holds.
std::string SplitIntoSegments(const std::string& path, const std::string& name);

// A fresh empty directory under the system's temporary directory.
std::string ScratchDirectory(const std::string& name);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

}  // namespace torvane::testing
