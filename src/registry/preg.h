// Group Policy registry files ("PReg", the Registry.pol and ntuser.pol
// files): the registry values a policy sets or deletes, read without
// applying them, to tell a value Group Policy set from one malware set.
//
// A file is the signature "PReg", the version 1 (both 32-bit little-endian)
// and a sequence of entries [key;value;type;size;data]: '[', ';' and ']' are
// UTF-16LE characters, the key path and the value name UTF-16LE text ending
// in a NUL, type and size 32-bit little-endian, data `size` raw bytes. Key
// paths carry no hive: where the file lies says whether they are below
// HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER.
//
// A value name starting with "**" is an instruction, not a value:
//   **del.NAME       delete the value NAME
//   **delvals.       delete every value of the key ("**DelVals" as well)
//   **DeleteValues   delete each value named in the data (a ';' list, REG_SZ)
//   **DeleteKeys     delete each subkey named in the data, with all below it
//                    (the name may end in a space)
//   **SecureKey      set the key's permissions (no value changes)
//   **soft.NAME      set NAME only where it does not exist yet
// Any other "**" name is a code the Group Policy client skips.
//
// Names are kept as the 16-bit units the file stores: an unpaired surrogate
// or a NUL inside a name stays, so no two different stored names read as
// one. Names compare as the registry compares them: ASCII letters without
// regard to case, every other unit exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace torvane::registry {

// What a policy file may hold; a larger file, or one with more entries, is
// refused. Group Policy writes a few thousand entries at most.
inline constexpr std::size_t kMaxPregFileBytes = std::size_t{64} << 20;
inline constexpr std::size_t kMaxPregEntries = std::size_t{1} << 20;

inline constexpr std::uint32_t kPregSignature = 0x67655250;  // "PReg"
inline constexpr std::uint32_t kPregVersion = 1;

// One [key;value;type;size;data] entry, as stored.
struct PregEntry {
  std::u16string key;    // the key path, its closing NUL left out
  std::u16string value;  // the value name or instruction, its closing NUL left out
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;

  bool operator==(const PregEntry&) const = default;
};

// A file that is refused; the message is one line, "at byte N: what".
class PregError : public std::runtime_error {
 public:
  PregError(std::size_t offset, const std::string& what);
  std::size_t offset() const { return offset_; }

 private:
  std::size_t offset_;
};

// The entries of a whole file in file order; a file that breaks the format
// anywhere is refused whole with a PregError.
std::vector<PregEntry> ParsePreg(std::span<const std::uint8_t> bytes);
// The bytes of a file holding `entries` (ParsePreg gives them back).
std::string FormatPreg(const std::vector<PregEntry>& entries);

// UTF-8 (WTF-8) text as the 16-bit units a policy file stores, and back.
std::u16string PregText(std::string_view utf8);
std::string PregTextUtf8(std::u16string_view units);

// What a file does to one value, its instructions applied in file order.
struct PregEffect {
  enum class Kind {
    kSilent,        // the file neither sets nor deletes it
    kSets,          // the file sets it: `type`, `data`
    kSetsIfAbsent,  // "**soft.": sets `type`, `data` only where the value is missing
    kDeletes,       // the file deletes it (by name, with all values, or with its key)
  };
  Kind kind = Kind::kSilent;
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
  std::size_t entry = 0;  // the entry that decided it (kSilent: none)

  bool operator==(const PregEffect&) const = default;
};

// The entries of a policy file, indexed once: the effect on a value is found
// from the last entry that set or deleted it by name, the last that deleted
// its key's values or its key or a key above, and the "**soft." entries
// after them, whatever the size of the file.
class PregFile {
 public:
  explicit PregFile(std::vector<PregEntry> entries);
  // Parses `bytes` (see ParsePreg).
  static PregFile Parse(std::span<const std::uint8_t> bytes);

  const std::vector<PregEntry>& entries() const { return entries_; }

  // The effect on the value `name` of the key `key` (a path without hive).
  PregEffect Effect(std::u16string_view key, std::u16string_view name) const;

 private:
  static constexpr std::uint32_t kNone = 0xFFFFFFFF;
  // The entries that name one value. A set or a delete decides the value
  // whatever came before it, so only the last one is kept, and the
  // "**soft." entries after it.
  struct Named {
    std::uint32_t last = kNone;
    bool last_sets = false;
    std::vector<std::uint32_t> soft;
  };
  PregEffect Sets(std::uint32_t position, PregEffect::Kind kind) const;

  // Names below the key that lists them, never joined to it: a long key
  // with a long list would otherwise be copied once for each name.
  template <typename T>
  using ByKey = std::unordered_map<std::u16string, std::unordered_map<std::u16string, T>>;

  std::vector<PregEntry> entries_;
  ByKey<Named> by_value_;                                          // folded key, folded value name
  std::unordered_map<std::u16string, std::uint32_t> all_values_;  // folded key: its last **delvals.
  ByKey<std::uint32_t> deleted_keys_;  // folded key, folded subkey path: its last **DeleteKeys
};

}  // namespace torvane::registry
