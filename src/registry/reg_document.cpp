#include "registry/reg_document.h"

#include <algorithm>

#include "registry/codepage.h"
#include "registry/utf.h"

namespace torvane::registry {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Root, user and path of a key line's name; false for a root it does not know.
bool ParseKey(std::string_view name, HKey* root, std::string* user, std::vector<std::string>* parts) {
  *parts = SplitUtf8Path(name);
  if (parts->empty()) return false;
  const std::string first = FoldUtf8(parts->front());
  std::size_t skip = 1;
  user->clear();
  if (first == "HKEY_LOCAL_MACHINE" || first == "HKLM") {
    *root = kLocalMachine;
  } else if (first == "HKEY_CURRENT_USER" || first == "HKCU") {
    *root = kCurrentUser;
  } else if ((first == "HKEY_USERS" || first == "HKU") && parts->size() >= 2) {
    *root = kCurrentUser;
    *user = (*parts)[1];
    skip = 2;
  } else {
    return false;
  }
  parts->erase(parts->begin(), parts->begin() + static_cast<std::ptrdiff_t>(skip));
  return true;
}

// True when `key` is `prefix` or lies below it.
bool AtOrBelow(const std::vector<std::string>& key, const std::vector<std::string>& prefix) {
  if (key.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (!Utf8NamesEqual(key[i], prefix[i])) return false;
  }
  return true;
}

bool SameKey(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  return a.size() == b.size() && AtOrBelow(a, b);
}

}  // namespace

RegDocument::RegDocument(std::string_view bytes) {
  const bool utf16 = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                     static_cast<unsigned char>(bytes[1]) == 0xFE;
  const bool utf8 = !utf16 && bytes.substr(0, 3) == "\xEF\xBB\xBF";
  encoding_ = utf16 ? Encoding::kUtf16le : utf8 ? Encoding::kUtf8 : Encoding::kAnsi;
  prefix_ = std::string(bytes.substr(0, utf16 ? 2 : utf8 ? 3 : 0));
  bytes.remove_prefix(prefix_.size());
  const std::size_t unit = utf16 ? 2 : 1;
  auto is_newline = [&](std::size_t at) {
    return bytes[at] == '\n' && (unit == 1 || bytes[at + 1] == '\0');
  };
  auto decode = [&](std::string_view raw) {
    return utf16 ? Utf16leToUtf8(raw) : utf8 ? std::string(raw) : GbkToUtf8(raw);
  };
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = start;
    while (end + unit <= bytes.size() && !is_newline(end)) end += unit;
    const bool ended = end + unit <= bytes.size();
    std::string_view content = bytes.substr(start, end - start);
    const std::size_t next = ended ? end + unit : bytes.size();
    std::string text = decode(content);
    const bool cr = !text.empty() && text.back() == '\r';
    if (cr) text.pop_back();
    if (line_end_.empty() && ended) line_end_ = cr ? "\r\n" : "\n";
    lines_.push_back(Line{std::string(bytes.substr(start, next - start)), std::move(text)});
    start = next;
  }
  if (line_end_.empty()) line_end_ = "\r\n";
  for (const Line& line : lines_) {
    const std::string_view header = Trim(line.text);
    if (header.empty()) continue;
    format_ = header == "REGEDIT4" ? RegFormat::kRegedit4 : RegFormat::kVersion5;
    break;
  }
}

std::vector<RegDocument::Statement> RegDocument::Scan() const {
  std::vector<Statement> statements;
  std::size_t section = 0;  // the key line the values belong to, +1; 0: none
  bool header_seen = false;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    const std::string_view text = Trim(lines_[i].text);
    if (text.empty() || text.front() == ';' || text.front() == '#') continue;
    if (!header_seen) {
      header_seen = true;
      continue;
    }
    if (text.front() == '[' && text.back() == ']') {
      std::string_view name = text.substr(1, text.size() - 2);
      Statement key{Statement::Kind::kKey, i, 1, kLocalMachine, {}, {}, false, {}, false};
      if (!name.empty() && name.front() == '-') {
        key.kind = Statement::Kind::kDeleteKey;
        name.remove_prefix(1);
      }
      if (!ParseKey(name, &key.root, &key.user, &key.parts)) continue;
      statements.push_back(std::move(key));
      section = statements.size();
      continue;
    }
    if ((text.front() != '"' && text.front() != '@') || section == 0) continue;
    const Statement& key = statements[section - 1];
    Statement value{Statement::Kind::kValue, i, 1, key.root, key.user, key.parts, true, {}, false};
    std::size_t after = 1;
    if (text.front() == '"') {
      after = 0;
      if (!UnquoteRegText(text, &after, &value.name)) continue;
    }
    std::string_view data = text.substr(after);
    while (!data.empty() && IsBlank(data.front())) data.remove_prefix(1);
    if (!data.empty() && data.front() == '=') data.remove_prefix(1);
    data = Trim(data);
    value.deletes = data == "-";
    const bool hex = data.size() >= 3 && FoldUtf8(data.substr(0, 3)) == "HEX";
    for (std::string_view last = text; hex && !last.empty() && last.back() == '\\' && i + 1 < lines_.size();) {
      ++i;
      ++value.count;
      last = Trim(lines_[i].text);
    }
    // Values below a deleted key are ignored on import; they are no statement.
    if (statements[section - 1].kind == Statement::Kind::kKey) statements.push_back(std::move(value));
  }
  return statements;
}

RegDocument::Line RegDocument::MakeLine(const std::string& utf8) const {
  std::string text = utf8 + line_end_;
  std::string raw = encoding_ == Encoding::kUtf16le ? Utf8ToUtf16le(text)
                    : encoding_ == Encoding::kUtf8  ? text
                                                    : Utf8ToGbk(text);
  return Line{std::move(raw), utf8};
}

std::vector<RegDocument::Line> RegDocument::Format(const RegEntry& entry) const {
  std::string text = FormatRegStatement(entry, format_, encoding_ == Encoding::kAnsi);
  std::vector<Line> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find("\r\n", start);
    lines.push_back(MakeLine(text.substr(start, end - start)));
    start = end + 2;
  }
  return lines;
}

void RegDocument::EndLastLine() {
  if (lines_.empty()) return;
  Line& last = lines_.back();
  const bool ended = encoding_ == Encoding::kUtf16le
                         ? last.raw.size() >= 2 && last.raw.compare(last.raw.size() - 2, 2, std::string("\n\0", 2)) == 0
                         : !last.raw.empty() && last.raw.back() == '\n';
  if (!ended) last.raw += MakeLine("").raw;
}

void RegDocument::AppendKey(HKey root, const std::string& path) {
  EndLastLine();
  RegEntry key;
  key.kind = RegEntry::Kind::kKey;
  key.root = root;
  key.path = path;
  for (Line& line : Format(key)) lines_.push_back(std::move(line));
}

void RegDocument::CreateKey(HKey root, const std::string& path) {
  const auto parts = SplitUtf8Path(path);
  bool exists = false;
  for (const Statement& s : Scan()) {
    if (s.root != root || !s.user.empty()) continue;
    if (s.kind == Statement::Kind::kDeleteKey && AtOrBelow(parts, s.parts)) exists = false;
    if (s.kind == Statement::Kind::kKey && AtOrBelow(s.parts, parts)) exists = true;
  }
  if (!exists) AppendKey(root, path);
}

void RegDocument::RemoveStatements(const std::function<bool(const Statement&)>& doomed) {
  std::vector<bool> gone(lines_.size(), false);
  for (const Statement& s : Scan()) {
    if (!doomed(s)) continue;
    for (std::size_t k = 0; k < s.count; ++k) gone[s.first + k] = true;
  }
  std::vector<Line> kept;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (!gone[i]) kept.push_back(std::move(lines_[i]));
  }
  lines_ = std::move(kept);
}

void RegDocument::DeleteTree(HKey root, const std::string& path) {
  const auto parts = SplitUtf8Path(path);
  RemoveStatements([&](const Statement& s) {
    return s.kind != Statement::Kind::kDeleteKey && s.root == root && s.user.empty() && AtOrBelow(s.parts, parts);
  });
}

void RegDocument::DeleteValue(HKey root, const std::string& path, const std::string& name) {
  const auto parts = SplitUtf8Path(path);
  RemoveStatements([&](const Statement& s) {
    return s.kind == Statement::Kind::kValue && !s.deletes && s.root == root && s.user.empty() &&
           SameKey(s.parts, parts) && Utf8NamesEqual(s.name, name);
  });
}

void RegDocument::SetValue(HKey root, const std::string& path, const RegValue& value) {
  const auto parts = SplitUtf8Path(path);
  const Statement* last_set = nullptr;
  const Statement* last_section = nullptr;
  std::size_t section_end = 0;  // the line after the last statement of that section
  bool reset = false;            // a later line deletes the value or its key
  const std::vector<Statement> statements = Scan();  // outlives the pointers into it
  for (const Statement& s : statements) {
    if (s.root != root || !s.user.empty()) continue;
    if (s.kind == Statement::Kind::kDeleteKey && AtOrBelow(parts, s.parts)) {
      last_set = last_section = nullptr;
      reset = true;
    } else if (s.kind == Statement::Kind::kKey && SameKey(s.parts, parts)) {
      last_section = &s;
      section_end = s.first + s.count;
    } else if (s.kind == Statement::Kind::kValue && SameKey(s.parts, parts)) {
      if (last_section != nullptr && s.first >= section_end) section_end = s.first + s.count;
      if (Utf8NamesEqual(s.name, value.name)) {
        last_set = s.deletes ? nullptr : &s;
        reset = s.deletes;
      }
    }
  }
  RegEntry entry;
  entry.kind = RegEntry::Kind::kValue;
  entry.root = root;
  entry.path = path;
  entry.value = value;
  std::vector<Line> replacement = Format(entry);
  const auto at = [&](std::size_t index) { return lines_.begin() + static_cast<std::ptrdiff_t>(index); };
  if (last_set != nullptr && !reset) {
    const std::size_t first = last_set->first, count = last_set->count;
    lines_.erase(at(first), at(first + count));
    lines_.insert(at(first), std::make_move_iterator(replacement.begin()), std::make_move_iterator(replacement.end()));
    return;
  }
  if (last_section == nullptr) {
    AppendKey(root, path);
    section_end = lines_.size();
  }
  if (section_end == lines_.size()) EndLastLine();
  lines_.insert(at(section_end), std::make_move_iterator(replacement.begin()), std::make_move_iterator(replacement.end()));
}

bool RegDocument::ReadsBack(HKey root, const std::string& path, const RegValue* value) const {
  RegFile file{format_, {}};
  RegEntry key;
  key.root = root;
  key.path = path;
  file.entries.push_back(key);
  if (value != nullptr) {
    RegEntry entry = key;
    entry.kind = RegEntry::Kind::kValue;
    entry.value = *value;
    file.entries.push_back(entry);
  }
  std::string text = format_ == RegFormat::kRegedit4 ? "REGEDIT4\r\n" : "Windows Registry Editor Version 5.00\r\n";
  for (const RegEntry& entry : file.entries) text += FormatRegStatement(entry, format_, encoding_ == Encoding::kAnsi);
  const std::string bytes = prefix_ + (encoding_ == Encoding::kUtf16le ? Utf8ToUtf16le(text)
                                       : encoding_ == Encoding::kUtf8  ? text
                                                                       : Utf8ToGbk(text));
  try {
    const RegFile again = ParseRegFile(bytes, "name check");
    if (again.entries.size() != file.entries.size() || again.entries[0].path != path) return false;
    if (value == nullptr) return true;
    // The data too: a REGEDIT4 file holds texts in GBK, which cannot spell
    // every character a stored text may hold.
    const RegValue& read = again.entries[1].value;
    return read.name == value->name && StoredForm(read).type == StoredForm(*value).type &&
           StoredForm(read).data == StoredForm(*value).data;
  } catch (const RegFileError&) {
    return false;
  }
}

std::string RegDocument::bytes() const {
  std::string out = prefix_;
  for (const Line& line : lines_) out += line.raw;
  return out;
}

}  // namespace torvane::registry
