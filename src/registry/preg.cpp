#include "registry/preg.h"

#include <algorithm>

#include "registry/little_endian.h"
#include "registry/names.h"
#include "registry/utf.h"

namespace torvane::registry {

namespace {

constexpr char16_t kOpen = u'[';
constexpr char16_t kSeparator = u';';
constexpr char16_t kClose = u']';
constexpr std::size_t kHeaderBytes = 8;

// The ASCII letters of `units` upper-cased by the registry's one folding rule.
std::u16string Folded(std::u16string_view units) {
  std::u16string out(units);
  for (char16_t& unit : out) {
    if (unit >= 0x80) continue;
    char ascii = static_cast<char>(unit);
    FoldNameInto(std::string_view(&ascii, 1), &ascii);
    unit = static_cast<unsigned char>(ascii);
  }
  return out;
}

bool StartsWith(std::u16string_view text, std::u16string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// What one entry instructs, read from its folded value name.
struct Instruction {
  enum class Kind {
    kSet, kKeyOnly, kSoftSet, kDeleteValue, kDeleteAllValues, kDeleteValues, kDeleteKeys, kSecureKey, kSkipped
  };
  Kind kind = Kind::kSet;
  std::u16string_view target;  // kSet, kSoftSet, kDeleteValue: the value named
};

// Group Policy creates only the key for an entry with no value name, no type
// or no data.
bool SetsNothing(std::u16string_view name, const PregEntry& entry) {
  return name.empty() || entry.type == 0 || entry.data.empty();
}

Instruction InstructionOf(const PregEntry& entry) {
  using Kind = Instruction::Kind;
  const std::u16string_view name = entry.value;
  if (!StartsWith(name, u"**")) {
    return {SetsNothing(name, entry) ? Kind::kKeyOnly : Kind::kSet, name};
  }
  const std::u16string folded = Folded(name);
  if (StartsWith(folded, u"**DEL.")) return {Kind::kDeleteValue, name.substr(6)};
  if (folded == u"**DELVALS." || folded == u"**DELVALS") return {Kind::kDeleteAllValues, {}};
  if (folded == u"**DELETEVALUES") return {Kind::kDeleteValues, {}};
  // "**DeleteKeys" may end in a space rather than its NUL.
  if (folded == u"**DELETEKEYS" || StartsWith(folded, u"**DELETEKEYS ")) return {Kind::kDeleteKeys, {}};
  if (StartsWith(folded, u"**SECUREKEY")) return {Kind::kSecureKey, {}};
  if (StartsWith(folded, u"**SOFT.")) {
    const std::u16string_view target = name.substr(7);
    return {SetsNothing(target, entry) ? Kind::kKeyOnly : Kind::kSoftSet, target};
  }
  return {Kind::kSkipped, {}};
}

// The names of a **DeleteValues or **DeleteKeys list: UTF-16LE text split at
// ';', its closing NULs and empty items left out. `offset` is where the data
// lies in the file, for the refusal of a list of odd length.
std::vector<std::u16string> ListItems(const PregEntry& entry, std::size_t offset) {
  if (entry.data.size() % 2 != 0) {
    const bool values = InstructionOf(entry).kind == Instruction::Kind::kDeleteValues;
    throw PregError(offset + entry.data.size() - 1, std::string("the list of ") +
                                                        (values ? "**DeleteValues" : "**DeleteKeys") +
                                                        " has an odd number of bytes; UTF-16 text has two per character");
  }
  std::u16string text;
  text.reserve(entry.data.size() / 2);
  for (std::size_t i = 0; i < entry.data.size(); i += 2) text.push_back(static_cast<char16_t>(Le16(&entry.data[i])));
  while (!text.empty() && text.back() == u'\0') text.pop_back();
  std::vector<std::u16string> items;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(kSeparator, start);
    if (end == std::u16string::npos) end = text.size();
    if (end > start) items.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return items;
}

bool IsList(const PregEntry& entry) {
  const Instruction::Kind kind = InstructionOf(entry).kind;
  return kind == Instruction::Kind::kDeleteValues || kind == Instruction::Kind::kDeleteKeys;
}

// Reads a policy file front to back; every refusal names the byte at fault.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::vector<PregEntry> Entries() {
    if (bytes_.size() > kMaxPregFileBytes) {
      throw PregError(kMaxPregFileBytes, "the file is " + std::to_string(bytes_.size()) +
                                              " bytes; a policy file may hold at most 64 MiB");
    }
    if (bytes_.size() < kHeaderBytes) {
      throw PregError(bytes_.size(), "the file ends inside its 8-byte header");
    }
    if (Le32(&bytes_[0]) != kPregSignature) throw PregError(0, "not a policy file (no \"PReg\" signature)");
    if (const std::uint32_t version = Le32(&bytes_[4]); version != kPregVersion) {
      throw PregError(4, "version " + std::to_string(version) + "; only version 1 is known");
    }
    pos_ = kHeaderBytes;
    std::vector<PregEntry> entries;
    while (pos_ < bytes_.size()) {
      if (entries.size() == kMaxPregEntries) {
        throw PregError(pos_, "more than " + std::to_string(kMaxPregEntries) + " entries");
      }
      entries.push_back(Entry());
    }
    return entries;
  }

 private:
  PregEntry Entry() {
    const std::size_t start = pos_;
    Expect(kOpen, "expected '[' to open an entry");
    PregEntry entry;
    entry.key = Name("key path");
    entry.value = Name("value name");
    entry.type = Number("type");
    Expect(kSeparator, "expected ';' after the type");
    const std::size_t size_at = pos_;
    const std::uint32_t size = Number("data size");
    Expect(kSeparator, "expected ';' after the data size");
    const std::size_t data_at = pos_;
    if (size > bytes_.size() - pos_) {
      throw PregError(size_at, "the data size " + std::to_string(size) + " is larger than the rest of the file (" +
                                 std::to_string(bytes_.size() - pos_) + " bytes)");
    }
    entry.data.assign(bytes_.begin() + static_cast<std::ptrdiff_t>(pos_),
                      bytes_.begin() + static_cast<std::ptrdiff_t>(pos_ + size));
    pos_ += size;
    Expect(kClose, "expected ']' to close the entry that starts at byte " + std::to_string(start));
    if (IsList(entry)) ListItems(entry, data_at);
    return entry;
  }

  // A NUL-terminated name and the ';' after it. The name runs to the first
  // ';': NULs before its last unit are part of it, kept as stored.
  std::u16string Name(const char* what) {
    const std::size_t start = pos_;
    std::u16string units;
    while (true) {
      if (bytes_.size() - pos_ < 2) {
        throw PregError(start, std::string("the ") + what + " runs to the end of the file without its ';'");
      }
      const char16_t unit = static_cast<char16_t>(Le16(&bytes_[pos_]));
      pos_ += 2;
      if (unit == kSeparator) break;
      units.push_back(unit);
    }
    if (units.empty() || units.back() != u'\0') {
      throw PregError(pos_ - 2, std::string("the ") + what + " does not end in a NUL before its ';'");
    }
    units.pop_back();
    return units;
  }

  std::uint32_t Number(const char* what) {
    if (bytes_.size() - pos_ < 4) throw PregError(pos_, std::string("the file ends inside the ") + what);
    const std::uint32_t number = Le32(&bytes_[pos_]);
    pos_ += 4;
    return number;
  }

  void Expect(char16_t unit, const std::string& what) {
    if (bytes_.size() - pos_ < 2) throw PregError(pos_, "the file ends inside an entry: " + what);
    if (Le16(&bytes_[pos_]) != unit) throw PregError(pos_, what);
    pos_ += 2;
  }

  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

void AppendUnits(std::string& out, std::u16string_view units) {
  for (char16_t unit : units) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
  }
}

void AppendNumber(std::string& out, std::uint32_t number) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((number >> shift) & 0xFF));
}

// The bytes of one entry before its data: where the data lies in the file.
std::size_t BytesBeforeData(const PregEntry& entry) { return 2 * (entry.key.size() + entry.value.size()) + 22; }

}  // namespace

PregError::PregError(std::size_t offset, const std::string& what)
    : std::runtime_error("at byte " + std::to_string(offset) + ": " + ShowNuls(what)), offset_(offset) {}

std::vector<PregEntry> ParsePreg(std::span<const std::uint8_t> bytes) { return Reader(bytes).Entries(); }

std::string FormatPreg(const std::vector<PregEntry>& entries) {
  std::string out;
  AppendNumber(out, kPregSignature);
  AppendNumber(out, kPregVersion);
  for (const PregEntry& entry : entries) {
    AppendUnits(out, u"[");
    AppendUnits(out, entry.key);
    AppendUnits(out, std::u16string_view(u"\0;", 2));
    AppendUnits(out, entry.value);
    AppendUnits(out, std::u16string_view(u"\0;", 2));
    AppendNumber(out, entry.type);
    AppendUnits(out, u";");
    AppendNumber(out, static_cast<std::uint32_t>(entry.data.size()));
    AppendUnits(out, u";");
    out.append(entry.data.begin(), entry.data.end());
    AppendUnits(out, u"]");
  }
  return out;
}

std::u16string PregText(std::string_view utf8) {
  const std::string bytes = Utf8ToUtf16le(utf8);
  std::u16string units;
  units.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    units.push_back(static_cast<char16_t>(Le16(reinterpret_cast<const unsigned char*>(&bytes[i]))));
  }
  return units;
}

std::string PregTextUtf8(std::u16string_view units) {
  std::string bytes;
  AppendUnits(bytes, units);
  return Utf16leToUtf8(bytes);
}

PregFile::PregFile(std::vector<PregEntry> entries) : entries_(std::move(entries)) {
  using Kind = Instruction::Kind;
  std::size_t offset = kHeaderBytes;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const PregEntry& entry = entries_[i];
    const auto position = static_cast<std::uint32_t>(i);
    const std::u16string key = Folded(entry.key);
    // The key's names, looked up once for the entry: a list of many names
    // under a long key hashes the key once.
    std::unordered_map<std::u16string, Named>* names = nullptr;
    std::unordered_map<std::u16string, std::uint32_t>* subkeys = nullptr;
    const auto decide = [&](std::u16string_view name, bool sets) {
      if (names == nullptr) names = &by_value_[key];
      Named& named = (*names)[Folded(name)];
      named.last = position;
      named.last_sets = sets;
      named.soft.clear();
    };
    const Instruction instruction = InstructionOf(entry);
    switch (instruction.kind) {
      case Kind::kSet:
        decide(instruction.target, true);
        break;
      case Kind::kDeleteValue:
        decide(instruction.target, false);
        break;
      case Kind::kSoftSet:
        by_value_[key][Folded(instruction.target)].soft.push_back(position);
        break;
      case Kind::kDeleteAllValues:
        all_values_[key] = position;
        break;
      case Kind::kDeleteValues:
        for (const std::u16string& name : ListItems(entry, offset + BytesBeforeData(entry))) decide(name, false);
        break;
      case Kind::kDeleteKeys:
        for (const std::u16string& subkey : ListItems(entry, offset + BytesBeforeData(entry))) {
          if (subkeys == nullptr) subkeys = &deleted_keys_[key];
          (*subkeys)[Folded(subkey)] = position;
        }
        break;
      case Kind::kKeyOnly:
      case Kind::kSecureKey:
      case Kind::kSkipped:
        break;
    }
    offset += BytesBeforeData(entry) + entry.data.size() + 2;
  }
}

PregFile PregFile::Parse(std::span<const std::uint8_t> bytes) { return PregFile(ParsePreg(bytes)); }

PregEffect PregFile::Sets(std::uint32_t position, PregEffect::Kind kind) const {
  return {kind, entries_[position].type, entries_[position].data, position};
}

PregEffect PregFile::Effect(std::u16string_view key, std::u16string_view name) const {
  using Kind = PregEffect::Kind;
  // The last entry that deleted the value with all values of its key, or
  // with its key or a key above it (deleting a key deletes its subtree).
  std::uint32_t deleted = kNone;
  const auto later = [&](std::uint32_t position) {
    if (deleted == kNone || position > deleted) deleted = position;
  };
  const std::u16string folded_key = Folded(key);
  if (const auto found = all_values_.find(folded_key); found != all_values_.end()) later(found->second);
  // A key deleted by a list is the listing key, a backslash and the listed
  // path (the listed path alone below the root): try each way the key, or a
  // key above it, splits at a backslash, for the listing keys there are.
  std::vector<std::size_t> splits;  // where folded_key[i] is a backslash
  for (std::size_t i = 0; i < folded_key.size(); ++i) {
    if (folded_key[i] == u'\\') splits.push_back(i);
  }
  const auto deleted_below = [&](const std::unordered_map<std::u16string, std::uint32_t>& listed, std::size_t from) {
    for (std::size_t end : splits) {
      if (end < from) continue;
      if (const auto found = listed.find(folded_key.substr(from, end - from)); found != listed.end()) {
        later(found->second);
      }
    }
    if (const auto found = listed.find(folded_key.substr(from)); found != listed.end()) later(found->second);
  };
  if (!deleted_keys_.empty()) {
    if (const auto root = deleted_keys_.find(u""); root != deleted_keys_.end()) deleted_below(root->second, 0);
    for (std::size_t split : splits) {
      const auto parent = deleted_keys_.find(folded_key.substr(0, split));
      if (parent != deleted_keys_.end()) deleted_below(parent->second, split + 1);
    }
  }
  static const Named kUnnamed;
  const Named* found_named = &kUnnamed;
  if (const auto in_key = by_value_.find(folded_key); in_key != by_value_.end()) {
    if (const auto named = in_key->second.find(Folded(name)); named != in_key->second.end()) {
      found_named = &named->second;
    }
  }
  const Named& named = *found_named;
  // The first "**soft." entry after `position` (kNone: any); a soft value
  // is set where the value is missing, and never replaces one.
  const auto first_soft = [&](std::uint32_t position) {
    const auto soft = position == kNone ? named.soft.begin()
                                        : std::upper_bound(named.soft.begin(), named.soft.end(), position);
    return soft == named.soft.end() ? kNone : *soft;
  };

  if (deleted != kNone && (named.last == kNone || deleted > named.last)) {
    const std::uint32_t soft = first_soft(deleted);
    return soft != kNone ? Sets(soft, Kind::kSets) : PregEffect{Kind::kDeletes, 0, {}, deleted};
  }
  if (named.last != kNone) {
    if (named.last_sets) return Sets(named.last, Kind::kSets);
    const std::uint32_t soft = first_soft(named.last);
    return soft != kNone ? Sets(soft, Kind::kSets) : PregEffect{Kind::kDeletes, 0, {}, named.last};
  }
  const std::uint32_t soft = first_soft(kNone);
  return soft != kNone ? Sets(soft, Kind::kSetsIfAbsent) : PregEffect{};
}

}  // namespace torvane::registry
