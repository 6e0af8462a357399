#include "registry/reg_file.h"

#include <algorithm>
#include <functional>

#include "registry/codepage.h"
#include "registry/digits.h"
#include "registry/file_io.h"
#include "registry/little_endian.h"
#include "registry/names.h"
#include "registry/utf.h"

namespace torvane::registry {

namespace {

constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
// regedit wraps hex data after this column.
constexpr std::size_t kWrapColumn = 76;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && FoldUtf8(text.substr(0, prefix.size())) == FoldUtf8(prefix);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool UnquoteRegText(std::string_view text, std::size_t* pos, std::string* out) {
  out->clear();
  for (std::size_t i = *pos + 1; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      *pos = i + 1;
      return true;
    }
    if (c == '\\' && i + 1 < text.size()) {
      const char next = text[++i];
      switch (next) {
        case '\\': out->push_back('\\'); break;
        case '"': out->push_back('"'); break;
        case 'n': out->push_back('\n'); break;
        case 'r': out->push_back('\r'); break;
        case '0': out->push_back('\0'); break;
        default:
          out->push_back('\\');
          out->push_back(next);
          break;
      }
      continue;
    }
    out->push_back(c);
  }
  return false;
}

namespace {

// The line of `text` that holds its byte `at`, from 1.
int LineAt(std::string_view text, std::size_t at) {
  return 1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n'));
}

// The text of a .reg file's bytes as UTF-8. Bytes that are not valid in the
// encoding the file is in would turn into other characters: such a file is
// refused, never guessed at.
std::string TextOf(std::string_view bytes, const std::string& file_name) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    return Utf16leToUtf8(bytes.substr(2));
  }
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    const std::string_view text = bytes.substr(3);
    if (const std::size_t at = Utf8FaultAt(text); at != std::string_view::npos) {
      throw RegFileError(file_name + ":" + std::to_string(LineAt(text, at)) +
                         ": bytes that are not valid UTF-8 in a file marked as UTF-8");
    }
    return std::string(text);
  }
  // Without a byte order mark the file is ANSI (code page 936); a UTF-8 file
  // saved without its mark, say, is no GBK.
  if (const std::size_t at = GbkFaultAt(bytes); at != std::string_view::npos) {
    throw RegFileError(file_name + ":" + std::to_string(LineAt(bytes, at)) +
                       ": bytes that are not valid in code page 936 (GBK), the encoding of a .reg file without a "
                       "byte order mark; save it as ANSI (GBK) or as Unicode (UTF-16 with a byte order mark)");
  }
  return GbkToUtf8(bytes);
}

class Parser {
 public:
  Parser(std::string text, const std::string& file_name) : file_name_(file_name), text_(std::move(text)) {}

  // Hands each statement to `take` as soon as it is read; returns the format.
  RegFormat Parse(const std::function<void(RegEntry&&)>& take) {
    RegFile file;
    std::string_view header;
    do {
      if (!NextLine(&header)) Fail(1, "empty file, not a .reg file");
      header = Trim(header);
    } while (header.empty());
    if (header == kHeader5) {
      file.format = RegFormat::kVersion5;
    } else if (header == kHeader4) {
      file.format = RegFormat::kRegedit4;
    } else {
      Fail(line_number_, "not a .reg file (the first line must be \"REGEDIT4\" or \"" + std::string(kHeader5) +
                             "\")");
    }
    format_ = file.format;
    bool in_key = false, deleted_key = false;
    HKey root = kLocalMachine;
    std::string path, user;
    std::string_view raw;
    while (NextLine(&raw)) {
      const int line_number = line_number_;
      const std::string_view line = Trim(raw);
      if (line.empty() || line.front() == ';' || line.front() == '#') continue;
      if (line.front() == '[') {
        if (line.back() != ']') Fail(line_number, "key line without its closing ']'");
        std::string_view name = line.substr(1, line.size() - 2);
        deleted_key = !name.empty() && name.front() == '-';
        if (deleted_key) name.remove_prefix(1);
        ParseKeyName(name, line_number, &root, &path, &user);
        if (deleted_key && path.empty()) Fail(line_number, "a root key cannot be deleted");
        RegEntry entry;
        entry.kind = deleted_key ? RegEntry::Kind::kDeleteKey : RegEntry::Kind::kKey;
        entry.root = root;
        entry.path = path;
        entry.user = user;
        entry.line = line_number;
        take(std::move(entry));
        in_key = true;
        continue;
      }
      if (line.front() == '"' || line.front() == '@') {
        if (!in_key) Fail(line_number, "value outside of any [key]");
        RegEntry entry = ParseValue(line);
        // regedit ignores values below a key it has just deleted.
        if (deleted_key) continue;
        entry.root = root;
        entry.path = path;
        entry.user = user;
        entry.line = line_number;
        take(std::move(entry));
        continue;
      }
      Fail(line_number, "unexpected text \"" + std::string(line.substr(0, 40)) + "\"");
    }
    return file.format;
  }

  RegFile Parse() {
    RegFile file;
    file.format = Parse([&](RegEntry&& entry) { file.entries.push_back(std::move(entry)); });
    return file;
  }

 private:
  [[noreturn]] void Fail(int line, const std::string& what) const {
    throw RegFileError(file_name_ + ":" + std::to_string(line) + ": " + what);
  }

  // The next line without its line end; false at the end of the text.
  bool NextLine(std::string_view* line) {
    if (position_ > text_.size()) return false;
    std::size_t end = text_.find('\n', position_);
    if (end == std::string::npos) end = text_.size();
    *line = std::string_view(text_).substr(position_, end - position_);
    if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
    position_ = end + 1;
    ++line_number_;
    // Readers disagree on a lone CR: Wine's regedit ends the line there.
    if (line->find('\r') != std::string_view::npos) {
      Fail(line_number_, "a carriage return without a line feed inside the line (regedit may read it as a line "
                         "break); refusing the file");
    }
    return true;
  }

  void ParseKeyName(std::string_view name, int line, HKey* root, std::string* path, std::string* user) const {
    auto parts = SplitUtf8Path(name);
    if (parts.empty()) Fail(line, "empty key name");
    const std::string first = FoldUtf8(parts.front());
    std::size_t skip = 1;
    user->clear();
    if (first == "HKEY_LOCAL_MACHINE" || first == "HKLM") {
      *root = kLocalMachine;
    } else if (first == "HKEY_CURRENT_USER" || first == "HKCU") {
      *root = kCurrentUser;
    } else if ((first == "HKEY_USERS" || first == "HKU") && parts.size() >= 2) {
      *root = kCurrentUser;
      *user = parts[1];
      skip = 2;
    } else {
      Fail(line, "unsupported root key \"" + parts.front() +
                     "\" (only HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER and HKEY_USERS\\NAME)");
    }
    // Windows keeps keys at most 512 levels deep; deeper is no registry.
    if (parts.size() - skip > static_cast<std::size_t>(kMaxKeyDepth)) {
      Fail(line, "key nested deeper than " + std::to_string(kMaxKeyDepth) + " levels");
    }
    path->clear();
    for (std::size_t i = skip; i < parts.size(); ++i) {
      if (!path->empty()) path->push_back('\\');
      path->append(parts[i]);
    }
  }

  // A quoted text starting at `text[*pos]` == '"'; leaves *pos after the closing quote.
  std::string ParseQuoted(std::string_view text, std::size_t* pos, int line) const {
    std::string out;
    if (!UnquoteRegText(text, pos, &out)) Fail(line, "text without its closing '\"'");
    return out;
  }

  // A value line: its name, '=', and data as text, dword, hex or "-".
  RegEntry ParseValue(std::string_view text) {
    const int line = line_number_;
    RegEntry entry;
    entry.kind = RegEntry::Kind::kValue;
    std::size_t pos = 0;
    if (text.front() == '@') {
      pos = 1;
    } else {
      entry.value.name = ParseQuoted(text, &pos, line);
    }
    while (pos < text.size() && IsBlank(text[pos])) ++pos;
    if (pos >= text.size() || text[pos] != '=') Fail(line, "expected '=' after the value name");
    ++pos;
    while (pos < text.size() && IsBlank(text[pos])) ++pos;
    const std::string_view data = text.substr(pos);
    if (data == "-") {
      entry.kind = RegEntry::Kind::kDeleteValue;
    } else if (!data.empty() && data.front() == '"') {
      ParseTextData(text, pos, line, &entry.value);
    } else if (StartsWithNoCase(data, "dword:")) {
      ParseDwordData(Trim(data.substr(6)), line, &entry.value);
    } else if (StartsWithNoCase(data, "hex")) {
      ParseHexData(data, line, &entry.value);
    } else {
      Fail(line, "unknown value data \"" + std::string(data.substr(0, 40)) + "\"");
    }
    return entry;
  }

  // 1 to 8 hexadecimal digits as a number; false for anything else.
  static bool HexNumber(std::string_view digits, std::uint32_t* number) {
    if (digits.empty() || digits.size() > 8) return false;
    *number = 0;
    for (char c : digits) {
      const int digit = HexDigit(c);
      if (digit < 0) return false;
      *number = *number << 4 | static_cast<std::uint32_t>(digit);
    }
    return true;
  }

  // "text" starting at text[pos]: REG_SZ, stored as UTF-16 by a version-5
  // file and as ANSI by a REGEDIT4 one.
  void ParseTextData(std::string_view text, std::size_t pos, int line, RegValue* out) const {
    std::string value = ParseQuoted(text, &pos, line);
    if (!Trim(text.substr(pos)).empty()) Fail(line, "unexpected text after the closing '\"'");
    out->type = kRegSz;
    if (format_ == RegFormat::kVersion5) {
      const std::string utf16 = Utf8ToUtf16le(value) + std::string(2, '\0');
      if (utf16.size() > kMaxValueBytes) Fail(line, TooLarge());
      out->data.assign(utf16.begin(), utf16.end());
      out->raw = true;
    } else {
      const std::string gbk = Utf8ToGbk(value);
      if (gbk.size() >= kMaxValueBytes) Fail(line, TooLarge());
      out->data.assign(gbk.begin(), gbk.end());
      out->data.push_back(0);
    }
  }

  void ParseDwordData(std::string_view digits, int line, RegValue* out) const {
    std::uint32_t number = 0;
    if (!HexNumber(digits, &number)) Fail(line, "dword: needs 1 to 8 hexadecimal digits");
    out->type = kRegDword;
    out->raw = format_ == RegFormat::kVersion5;
    for (int shift = 0; shift < 32; shift += 8) out->data.push_back(static_cast<std::uint8_t>(number >> shift));
  }

  // hex:xx,... or hex(N):xx,..., possibly continued over several lines.
  void ParseHexData(std::string_view data, int line, RegValue* out) {
    std::size_t at = 3;
    std::uint32_t type = kRegBinary;
    if (at < data.size() && data[at] == '(') {
      const std::size_t close = data.find(')', at);
      if (close == std::string_view::npos || !HexNumber(data.substr(at + 1, close - at - 1), &type)) {
        Fail(line, "hex(N): needs a hexadecimal type number");
      }
      at = close + 1;
    }
    if (at >= data.size() || data[at] != ':') Fail(line, "expected ':' after hex");
    out->type = type;
    out->data = ParseHexBytes(JoinContinuedLines(Trim(data.substr(at + 1)), line), line);
    // A version-5 file holds the bytes the registry stores; a REGEDIT4
    // file the ANSI view of texts.
    out->raw = format_ == RegFormat::kVersion5;
  }

  // A trailing backslash continues the data on the next line; each line is
  // appended once, so joining takes time in proportion to the data.
  std::string JoinContinuedLines(std::string_view part, int line) {
    std::string bytes_text;
    while (!part.empty() && part.back() == '\\') {
      part.remove_suffix(1);
      bytes_text.append(part);
      // Three characters ("xx,") a byte.
      if (bytes_text.size() / 3 >= kMaxValueBytes) Fail(line, TooLarge());
      std::string_view next;
      if (!NextLine(&next)) Fail(line, "hex data continues past the end of the file");
      part = Trim(next);
      if (part.empty()) Fail(line_number_, "hex data broken off by a blank line");
    }
    bytes_text.append(part);
    return bytes_text;
  }

  static std::string TooLarge() {
    return "value data larger than " + std::to_string(kMaxValueBytes / (1024 * 1024)) + " MB";
  }

  std::vector<std::uint8_t> ParseHexBytes(std::string_view text, int line) const {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 3 + 1);
    if (Trim(text).empty()) return bytes;
    std::size_t start = 0;
    while (start <= text.size()) {
      std::size_t comma = text.find(',', start);
      if (comma == std::string_view::npos) comma = text.size();
      const std::string_view item = Trim(text.substr(start, comma - start));
      if (item.empty()) {
        // regedit leaves no empty item, but a trailing comma is harmless.
        if (comma != text.size() || start == 0) Fail(line, "empty byte in hex data");
      } else {
        if (item.size() > 2 || HexDigit(item[0]) < 0 || (item.size() == 2 && HexDigit(item[1]) < 0)) {
          Fail(line, "bad byte \"" + std::string(item.substr(0, 8)) + "\" in hex data");
        }
        int byte = HexDigit(item[0]);
        if (item.size() == 2) byte = byte * 16 + HexDigit(item[1]);
        bytes.push_back(static_cast<std::uint8_t>(byte));
        if (bytes.size() > kMaxValueBytes) Fail(line, TooLarge());
      }
      start = comma + 1;
    }
    return bytes;
  }

  std::string file_name_;
  std::string text_;
  std::size_t position_ = 0;
  int line_number_ = 0;
  RegFormat format_ = RegFormat::kVersion5;
};

// Escapes '\' and '"' of a UTF-8 text (its multibyte characters hold no
// ASCII bytes).
std::string Escape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n' || c == '\r') {
      // Only names get here with a line break; a raw one would end the line.
      out.append(c == '\n' ? "\\n" : "\\r");
      continue;
    }
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

// The text of a REG_SZ that a quoted string gives back exactly (one final
// NUL, no other NUL, no line break, characters that survive the file's
// encoding), in UTF-8; nullopt when it must be written as hex.
std::optional<std::string> PlainText(const RegValue& value, RegFormat format, bool gbk_file) {
  if (value.type != kRegSz) return std::nullopt;
  const std::string bytes(value.data.begin(), value.data.end());
  if (format == RegFormat::kVersion5) {
    if (bytes.size() < 2 || bytes.size() % 2 != 0 || bytes.compare(bytes.size() - 2, 2, std::string(2, '\0')) != 0) {
      return std::nullopt;
    }
    const std::string text = Utf16leToUtf8(std::string_view(bytes).substr(0, bytes.size() - 2));
    if (text.find_first_of(std::string("\0\r\n", 3)) != std::string::npos) return std::nullopt;
    if (Utf8ToUtf16le(text) != bytes.substr(0, bytes.size() - 2)) return std::nullopt;
    if (gbk_file && GbkToUtf8(Utf8ToGbk(text)) != text) return std::nullopt;
    return text;
  }
  if (bytes.empty() || bytes.back() != 0) return std::nullopt;
  const std::string gbk = bytes.substr(0, bytes.size() - 1);
  if (gbk.find_first_of(std::string("\0\r\n", 3)) != std::string::npos) return std::nullopt;
  const std::string text = GbkToUtf8(gbk);
  if (Utf8ToGbk(text) != gbk) return std::nullopt;
  return text;
}

void AppendHex(std::string& line, std::string& out, const std::vector<std::uint8_t>& bytes) {
  static const char* const kDigits = "0123456789abcdef";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    line.push_back(kDigits[bytes[i] >> 4]);
    line.push_back(kDigits[bytes[i] & 15]);
    if (i + 1 == bytes.size()) break;
    line.push_back(',');
    if (line.size() > kWrapColumn) {
      out.append(line).append("\\\r\n");
      line = "  ";
    }
  }
}

// A value's lines in UTF-8, each ending in CR LF. A version-5 file gets the
// stored bytes; a REGEDIT4 file the ANSI view.
std::string FormatValue(const RegValue& given, RegFormat format, bool gbk_file) {
  const RegValue value = format == RegFormat::kVersion5 ? StoredForm(given) : AnsiForm(given);
  std::string line = value.name.empty() ? "@=" : "\"" + Escape(value.name) + "\"=";
  std::string out;
  if (const auto text = PlainText(value, format, gbk_file)) {
    line.append("\"").append(Escape(*text)).append("\"");
  } else if (value.type == kRegDword && value.data.size() == 4) {
    line.append("dword:").append(HexDigits(Le32(value.data.data()), 8));
  } else {
    if (value.type == kRegBinary) {
      line.append("hex:");
    } else {
      line.append("hex(").append(HexDigits(value.type)).append("):");
    }
    AppendHex(line, out, value.data);
  }
  out.append(line).append("\r\n");
  return out;
}

}  // namespace

RegFile ParseRegFile(std::string_view bytes, const std::string& file_name) {
  if (bytes.size() > kMaxRegFileBytes) {
    throw RegFileError(file_name + ": larger than " + std::to_string(kMaxRegFileBytes / (1024 * 1024)) +
                       " MB; refusing to read it");
  }
  return Parser(TextOf(bytes, file_name), file_name).Parse();
}

namespace {

std::string ReadRegText(const std::string& path) {
  try {
    // The bytes go as soon as they are converted.
    return TextOf(ReadWholeFile(path, kMaxRegFileBytes), path);
  } catch (const FileError& error) {
    throw RegFileError(error.what());
  }
}

}  // namespace

RegFile ReadRegFile(const std::string& path) { return Parser(ReadRegText(path), path).Parse(); }

RegFormat ReadRegFile(const std::string& path, const std::function<void(RegEntry&&)>& take) {
  return Parser(ReadRegText(path), path).Parse(take);
}

bool CanWriteKeyLine(HKey root, const std::string& path, const std::string& user) {
  // Line ends (regedit may take a lone CR as one) and NUL never go into a line.
  for (const std::string* name : {&path, &user}) {
    if (name->find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return false;
  }
  RegEntry key;
  key.root = root;
  key.path = path;
  key.user = user;
  try {
    const RegFile again = ParseRegFile(FormatRegFile(RegFile{RegFormat::kVersion5, {key}}), "key line");
    return again.entries.size() == 1 && again.entries[0] == key;
  } catch (const RegFileError&) {
    return false;
  }
}

std::string RegKeyName(HKey root, const std::string& path, const std::string& user) {
  std::string name = root == kLocalMachine ? "HKEY_LOCAL_MACHINE"
                     : user.empty()        ? "HKEY_CURRENT_USER"
                                           : "HKEY_USERS\\" + user;
  if (!path.empty()) name.append("\\").append(path);
  return name;
}

std::string FormatRegStatement(const RegEntry& entry, RegFormat format, bool gbk_file) {
  switch (entry.kind) {
    case RegEntry::Kind::kKey:
      return "\r\n[" + RegKeyName(entry.root, entry.path, entry.user) + "]\r\n";
    case RegEntry::Kind::kDeleteKey:
      return "\r\n[-" + RegKeyName(entry.root, entry.path, entry.user) + "]\r\n";
    case RegEntry::Kind::kValue:
      return FormatValue(entry.value, format, gbk_file);
    case RegEntry::Kind::kDeleteValue:
      return (entry.value.name.empty() ? std::string("@") : "\"" + Escape(entry.value.name) + "\"") + "=-\r\n";
  }
  return {};
}

std::string EncodeRegText(std::string_view utf8, RegFormat format) {
  return format == RegFormat::kVersion5 ? Utf8ToUtf16le(utf8) : Utf8ToGbk(utf8);
}

std::string FormatRegFile(const RegFile& file) {
  std::string text(file.format == RegFormat::kVersion5 ? kHeader5 : kHeader4);
  text.append("\r\n");
  for (const RegEntry& entry : file.entries) text.append(FormatRegStatement(entry, file.format));
  text.append("\r\n");
  if (file.format == RegFormat::kRegedit4) return EncodeRegText(text, file.format);
  return "\xFF\xFE" + EncodeRegText(text, file.format);
}

namespace {

// Every key below `top` with its values, each key before its subkeys, in
// enumeration order. A stack, not recursion: a tree may be any depth.
void AppendTree(const MemoryStore::Key& top, HKey root, std::vector<RegEntry>& out) {
  std::vector<std::pair<const MemoryStore::Key*, std::string>> pending{{&top, ""}};
  while (!pending.empty()) {
    auto [key, path] = std::move(pending.back());
    pending.pop_back();
    RegEntry entry;
    entry.kind = RegEntry::Kind::kKey;
    entry.root = root;
    entry.path = GbkToUtf8(path);
    out.push_back(entry);
    for (const RegValue& value : key->values) {
      RegEntry item = entry;
      item.kind = RegEntry::Kind::kValue;
      item.value = value;
      item.value.name = GbkToUtf8(value.name);
      out.push_back(std::move(item));
    }
    const auto& children = key->Ordered();
    for (auto child = children.rbegin(); child != children.rend(); ++child) {
      pending.emplace_back(*child, path.empty() ? (*child)->name : path + '\\' + (*child)->name);
    }
  }
}

}  // namespace

std::vector<RegEntry> EntriesOf(const MemoryStore& store) {
  std::vector<RegEntry> entries;
  for (HKey root : {kLocalMachine, kCurrentUser}) {
    const MemoryStore::Key& top = store.Root(root);
    // The root line is needed only for values on the root itself.
    std::vector<RegEntry> tree;
    AppendTree(top, root, tree);
    if (top.values.empty()) tree.erase(tree.begin());
    entries.insert(entries.end(), tree.begin(), tree.end());
  }
  return entries;
}

// The memory store holds names as the A entry points see them.
bool MemoryTarget::CreateKey(HKey root, const std::string& path) {
  store_.CreateKey(root, Utf8ToGbk(path));
  return true;
}

bool MemoryTarget::DeleteTree(HKey root, const std::string& path) {
  store_.RemoveTree(root, Utf8ToGbk(path));
  return true;
}

bool MemoryTarget::SetValue(HKey root, const std::string& path, const RegValue& value) {
  RegValue stored = value;
  stored.name = Utf8ToGbk(value.name);
  store_.PutValue(root, Utf8ToGbk(path), stored);
  return true;
}

bool MemoryTarget::DeleteValue(HKey root, const std::string& path, const std::string& name) {
  store_.RemoveValue(root, Utf8ToGbk(path), Utf8ToGbk(name));
  return true;
}

std::optional<std::vector<RegValue>> MemoryTarget::ListValues(HKey root, const std::string& path) {
  const MemoryStore::Key* key = store_.FindKey(root, Utf8ToGbk(path));
  if (key == nullptr) return std::nullopt;
  std::vector<RegValue> values;
  for (const RegValue& value : key->values) {
    values.push_back(StoredForm(value));
    values.back().name = GbkToUtf8(value.name);
  }
  return values;
}

std::optional<std::vector<std::string>> MemoryTarget::ListSubkeys(HKey root, const std::string& path) {
  const MemoryStore::Key* key = store_.FindKey(root, Utf8ToGbk(path));
  if (key == nullptr) return std::nullopt;
  std::vector<std::string> names;
  for (const MemoryStore::Key* child : key->Ordered()) names.push_back(GbkToUtf8(child->name));
  return names;
}

bool ApplyRegEntry(const RegEntry& entry, RegTarget& target) {
  switch (entry.kind) {
    case RegEntry::Kind::kKey:
      return target.CreateKey(entry.root, entry.path);
    case RegEntry::Kind::kDeleteKey:
      return target.DeleteTree(entry.root, entry.path);
    case RegEntry::Kind::kValue:
      return target.SetValue(entry.root, entry.path, entry.value);
    case RegEntry::Kind::kDeleteValue:
      return target.DeleteValue(entry.root, entry.path, entry.value.name);
  }
  return false;
}

std::vector<RegEntry> ApplyRegFile(const RegFile& file, RegTarget& target) {
  std::vector<RegEntry> refused;
  for (const RegEntry& entry : file.entries) {
    if (!ApplyRegEntry(entry, target)) refused.push_back(entry);
  }
  return refused;
}

}  // namespace torvane::registry
