// .reg files as regedit writes them: "REGEDIT4" (ANSI, here GBK) and
// "Windows Registry Editor Version 5.00" (UTF-16LE with a byte order mark).
//
// Statements carry key paths and value names in UTF-8 (exact: see utf.h).
// Values read from a version-5 file are raw (text types in UTF-16LE, as the
// registry stores them); values of a REGEDIT4 file hold the ANSI (GBK) view.
// Either kind is written to either format: a version-5 file gets the stored
// bytes, a REGEDIT4 file the ANSI view.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "registry/memory_store.h"
#include "registry/reg_target.h"
#include "registry/registry.h"
#include "registry/utf.h"

namespace torvane::registry {

enum class RegFormat { kRegedit4, kVersion5 };

// One statement of a .reg file.
struct RegEntry {
  enum class Kind { kKey, kDeleteKey, kValue, kDeleteValue };
  Kind kind = Kind::kKey;
  HKey root = kLocalMachine;
  std::string path;   // below the root, UTF-8; empty for the root itself
  RegValue value;     // kValue: name, type, data; kDeleteValue: name only
  int line = 0;       // first line of the statement in its file
  // A key under "HKEY_USERS\NAME": the user's name, with root kCurrentUser.
  // Backups of several profiles name each profile this way.
  std::string user;

  bool operator==(const RegEntry& other) const {
    return kind == other.kind && root == other.root && path == other.path && value == other.value &&
           user == other.user;
  }
};

struct RegFile {
  RegFormat format = RegFormat::kVersion5;
  std::vector<RegEntry> entries;
};

// A file that is not a .reg file or has a line that cannot be read. The
// message is one line: "FILE:LINE: what is wrong".
class RegFileError : public std::runtime_error {
 public:
  explicit RegFileError(const std::string& what) : std::runtime_error(ShowNuls(what)) {}
};

// What a .reg file may hold: larger files, larger values and deeper keys
// (Windows' own limit) are refused with a RegFileError.
inline constexpr std::size_t kMaxRegFileBytes = std::size_t{256} << 20;
inline constexpr std::size_t kMaxValueBytes = std::size_t{64} << 20;

// Parses the bytes of a .reg file; `file_name` names it in errors.
RegFile ParseRegFile(std::string_view bytes, const std::string& file_name);
RegFile ReadRegFile(const std::string& path);
// The same, handing each statement to `take` as soon as it is read, so that
// a file that is applied at once is never held whole; returns the format.
RegFormat ReadRegFile(const std::string& path, const std::function<void(RegEntry&&)>& take);

// Whether the key line of this key reads back as the same key: false for a
// name with a line break, with characters GBK cannot hold, with empty parts
// or too deep. A backup refuses such a key before it writes anything.
bool CanWriteKeyLine(HKey root, const std::string& path, const std::string& user = {});

// The bytes of a .reg file in its format (version 5: UTF-16LE with BOM).
std::string FormatRegFile(const RegFile& file);
// The text of a quoted string starting at `text[*pos]` == '"', its escapes
// resolved as regedit resolves them; *pos is left after the closing quote.
// False when there is none.
bool UnquoteRegText(std::string_view text, std::size_t* pos, std::string* out);

// One statement's lines in UTF-8, each ending in CR LF (a key line with a
// blank line before it). `gbk_file`: the lines will be written in GBK, so a
// text GBK cannot hold is written as hex.
std::string FormatRegStatement(const RegEntry& entry, RegFormat format, bool gbk_file = false);
// UTF-8 text in the file's encoding (version 5: UTF-16LE, REGEDIT4: GBK).
std::string EncodeRegText(std::string_view utf8, RegFormat format);

// "HKEY_LOCAL_MACHINE\path" as a .reg file names a key.
std::string RegKeyName(HKey root, const std::string& path, const std::string& user = {});

// Statements that rebuild every key and value of `store`, roots included.
std::vector<RegEntry> EntriesOf(const MemoryStore& store);

// RegTarget over a memory store.
class MemoryTarget final : public RegTarget {
 public:
  explicit MemoryTarget(MemoryStore& store) : store_(store) {}
  bool CreateKey(HKey root, const std::string& path) override;
  bool DeleteTree(HKey root, const std::string& path) override;
  bool SetValue(HKey root, const std::string& path, const RegValue& value) override;
  bool DeleteValue(HKey root, const std::string& path, const std::string& name) override;
  std::optional<std::vector<RegValue>> ListValues(HKey root, const std::string& path) override;
  std::optional<std::vector<std::string>> ListSubkeys(HKey root, const std::string& path) override;

 private:
  MemoryStore& store_;
};

// Applies every statement in order; returns the statements the target
// refused (empty when all took).
std::vector<RegEntry> ApplyRegFile(const RegFile& file, RegTarget& target);
// One statement; false when the target refused it.
bool ApplyRegEntry(const RegEntry& entry, RegTarget& target);

}  // namespace torvane::registry
