// A .reg file edited in place. A repair or a restore of a .reg file changes
// only the lines of the values and keys it touches; every other byte (the
// encoding and its byte order mark, line endings, comments, deletion lines,
// the spelling of every statement left alone) stays as it was.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/reg_file.h"

namespace torvane::registry {

class RegDocument {
 public:
  // `bytes` is a file ParseRegFile accepts.
  explicit RegDocument(std::string_view bytes);

  // The same operations as RegTarget (UTF-8 paths and names). Each edits the
  // statements that decide the key or value when the file is imported.
  void CreateKey(HKey root, const std::string& path);
  void DeleteTree(HKey root, const std::string& path);
  void SetValue(HKey root, const std::string& path, const RegValue& value);
  void DeleteValue(HKey root, const std::string& path, const std::string& name);

  std::string bytes() const;

  // Whether the key's path (and the value: its name, type and stored data)
  // written into this file read back exactly: a GBK file cannot hold every
  // name or text.
  bool ReadsBack(HKey root, const std::string& path, const RegValue* value = nullptr) const;

 private:
  enum class Encoding { kUtf16le, kUtf8, kAnsi };
  struct Line {
    std::string raw;   // the bytes of the line, its ending included
    std::string text;  // the line in UTF-8, without its ending
  };
  // One statement: a key line or a value with its continuation lines.
  struct Statement {
    enum class Kind { kKey, kDeleteKey, kValue } kind;
    std::size_t first, count;
    HKey root;
    std::string user;
    std::vector<std::string> parts;  // the key's path
    bool has_name = false;           // a value: its name (UTF-8)
    std::string name;
    bool deletes = false;  // a value line "name"=-
  };

  std::vector<Statement> Scan() const;
  // Removes the lines of every statement `doomed` picks; comments and blank
  // lines stay.
  void RemoveStatements(const std::function<bool(const Statement&)>& doomed);
  Line MakeLine(const std::string& utf8) const;
  std::vector<Line> Format(const RegEntry& entry) const;
  // Gives the last line a line end when the file has none at its end.
  void EndLastLine();
  // Appends a blank line and a key line for the key at the end of the file.
  void AppendKey(HKey root, const std::string& path);

  Encoding encoding_ = Encoding::kAnsi;
  RegFormat format_ = RegFormat::kRegedit4;
  std::string prefix_;     // the byte order mark
  std::string line_end_;   // in UTF-8: "\r\n" or "\n"
  std::vector<Line> lines_;
};

}  // namespace torvane::registry
