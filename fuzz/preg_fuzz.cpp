// The Group Policy file reader on arbitrary bytes. A file it accepts reads
// the same again, is exactly the bytes its entries write, and the indexed
// effect on every value it names agrees with replaying its entries one by
// one; a file it refuses names a byte inside the file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "registry/preg.h"

namespace {

using namespace torvane::registry;

[[noreturn]] void Fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "preg_fuzz: %s\n%s\n", what, detail.c_str());
  __builtin_trap();
}

std::string Show(std::u16string_view units) {
  std::string out;
  for (char16_t unit : units) {
    char hex[8];
    std::snprintf(hex, sizeof hex, unit >= 0x20 && unit < 0x7F ? "%c" : "\\u%04x", static_cast<unsigned>(unit));
    out += hex;
  }
  return out;
}

// The oracle below compares names by its own rule, ASCII letters only.
char16_t Upper(char16_t unit) { return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - 32) : unit; }

bool Same(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

bool HasPrefix(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && Same(text.substr(0, prefix.size()), prefix);
}

std::vector<std::u16string> Items(const std::vector<std::uint8_t>& data) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) text.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  while (!text.empty() && text.back() == 0) text.pop_back();
  std::vector<std::u16string> items;
  std::u16string item;
  for (char16_t unit : text) {
    if (unit != u';') {
      item.push_back(unit);
    } else if (!item.empty()) {
      items.push_back(item);
      item.clear();
    }
  }
  if (!item.empty()) items.push_back(item);
  return items;
}

std::u16string Below(const std::u16string& key, const std::u16string& subkey) {
  return key.empty() ? subkey : key + u"\\" + subkey;
}

// Every entry applied in order to the one value, as the instructions read;
// `lists` holds the items of each entry's data.
PregEffect Replay(const std::vector<PregEntry>& entries, const std::vector<std::vector<std::u16string>>& lists,
                  std::u16string_view key, std::u16string_view name) {
  using Kind = PregEffect::Kind;
  PregEffect effect;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const PregEntry& e = entries[i];
    const std::u16string_view value = e.value;
    const bool here = Same(e.key, key);
    const PregEffect deleted{Kind::kDeletes, 0, {}, i};
    if (value.substr(0, 2) != u"**") {
      if (here && Same(value, name) && !value.empty() && e.type != 0 && !e.data.empty()) {
        effect = {Kind::kSets, e.type, e.data, i};
      }
    } else if (HasPrefix(value, u"**del.")) {
      if (here && Same(value.substr(6), name)) effect = deleted;
    } else if (Same(value, u"**delvals.") || Same(value, u"**delvals")) {
      if (here) effect = deleted;
    } else if (Same(value, u"**deletevalues")) {
      for (const std::u16string& item : lists[i]) {
        if (here && Same(item, name)) effect = deleted;
      }
    } else if (Same(value, u"**deletekeys") || HasPrefix(value, u"**deletekeys ")) {
      for (const std::u16string& item : lists[i]) {
        const std::u16string gone = Below(e.key, item);
        if (Same(key, gone) || (HasPrefix(key, gone) && key.size() > gone.size() && key[gone.size()] == u'\\')) {
          effect = deleted;
        }
      }
    } else if (HasPrefix(value, u"**soft.")) {
      const std::u16string_view target = value.substr(7);
      if (here && Same(target, name) && !target.empty() && e.type != 0 && !e.data.empty()) {
        if (effect.kind == Kind::kSilent) effect = {Kind::kSetsIfAbsent, e.type, e.data, i};
        if (effect.kind == Kind::kDeletes) effect = {Kind::kSets, e.type, e.data, i};
      }
    }
  }
  return effect;
}

std::u16string SwapCase(std::u16string text) {
  for (char16_t& unit : text) {
    if (unit >= u'a' && unit <= u'z') {
      unit = static_cast<char16_t>(unit - 32);
    } else if (unit >= u'A' && unit <= u'Z') {
      unit = static_cast<char16_t>(unit + 32);
    }
  }
  return text;
}

void CheckEffects(const std::vector<PregEntry>& entries) {
  const PregFile file(entries);
  std::vector<std::vector<std::u16string>> lists;
  std::set<std::u16string> keys, names = {u""};
  for (const PregEntry& e : entries) {
    lists.push_back(Items(e.data));
    keys.insert(e.key);
    keys.insert(e.key + u"\\z");
    names.insert(e.value);
    if (e.value.size() > 6) names.insert(e.value.substr(6));
    if (e.value.size() > 7) names.insert(e.value.substr(7));
    for (const std::u16string& item : lists.back()) {
      names.insert(item);
      keys.insert(Below(e.key, item));
      keys.insert(Below(e.key, item) + u"\\z");
    }
  }
  std::vector<std::u16string> probe_keys, probe_names;
  for (const std::u16string& key : keys) probe_keys.insert(probe_keys.end(), {key, SwapCase(key)});
  for (const std::u16string& name : names) probe_names.insert(probe_names.end(), {name, SwapCase(name)});
  if (probe_keys.size() > 32) probe_keys.resize(32);
  if (probe_names.size() > 32) probe_names.resize(32);
  for (const std::u16string& key : probe_keys) {
    for (const std::u16string& name : probe_names) {
      const PregEffect indexed = file.Effect(key, name);
      const PregEffect replayed = Replay(entries, lists, key, name);
      if (indexed != replayed) {
        Fail("the indexed effect differs from replaying the entries",
             "key " + Show(key) + " name " + Show(name) + ": indexed kind " +
                 std::to_string(static_cast<int>(indexed.kind)) + " entry " + std::to_string(indexed.entry) +
                 ", replayed kind " + std::to_string(static_cast<int>(replayed.kind)) + " entry " +
                 std::to_string(replayed.entry));
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  std::vector<PregEntry> entries;
  try {
    entries = ParsePreg(bytes);
  } catch (const PregError& error) {
    if (error.offset() > size || std::string_view(error.what()).substr(0, 8) != "at byte ") {
      Fail("a refusal names no byte of the file", error.what());
    }
    return 0;
  }
  if (ParsePreg(bytes) != entries) Fail("the same file reads differently a second time", "");
  const std::string written = FormatPreg(entries);
  if (written != std::string_view(reinterpret_cast<const char*>(data), size)) {
    Fail("the entries read do not write the file they came from", std::to_string(entries.size()) + " entries");
  }
  if (entries.size() <= 48) CheckEffects(entries);
  return 0;
}
