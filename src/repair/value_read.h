// Reading values the way the checks and repairs need them: whole, whatever
// their size, and seen as a text, a first byte or a 32-bit number.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "registry/registry.h"

namespace torvane::repair {

using Bytes = std::vector<std::uint8_t>;

// The whole data of `name` under `key`, or nullopt when the value cannot be
// read (unopened key, missing value, refused read). `first_capacity` is the
// size of the first attempt; a value that needs more is read again with a
// buffer of its full size.
// `status`, when given, receives kSuccess, kFileNotFound for a value that
// is not there, or the code of the read that failed.
std::optional<Bytes> ReadValue(registry::RegistryStore& store, registry::HKey key,
                               const std::string& name, std::uint32_t first_capacity,
                               long* status = nullptr);

// The data up to its first NUL; an unread value is the empty text.
std::string TextOf(const std::optional<Bytes>& data);

// The system directory of the registry's Windows: its SystemRoot value +
// "\system32", or C:\WINDOWS\system32 when it has none.
std::string SystemDirectoryOf(registry::RegistryStore& store);

// The first byte of the data; 0 for an unread or empty value (the read
// buffer starts zero-filled).
std::uint8_t FirstByteOf(const std::optional<Bytes>& data);

// The first four bytes as a little-endian number; missing bytes are 0.
std::uint32_t NumberOf(const std::optional<Bytes>& data);

// Writes a REG_SZ text with its terminating zero byte.
long WriteText(registry::RegistryStore& store, registry::HKey key, const std::string& name,
               const std::string& text);

// Writes a REG_DWORD.
long WriteNumber(registry::RegistryStore& store, registry::HKey key, const std::string& name,
                 std::uint32_t number);

}  // namespace torvane::repair
