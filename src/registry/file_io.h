// Whole-file reads and crash-safe replacement of a file.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

namespace torvane::registry {

// A file that cannot be read or written; the message names it.
class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string ReadWholeFile(const std::string& path);

// Called with the temporary file's name once it is written and flushed, just
// before it replaces the target. Tests use it to act out a crash.
using BeforeReplaceHook = std::function<void(const std::string& temporary)>;

// The name of a temporary file beside `path` in the same directory, so that
// the final rename never crosses a file system.
std::string TemporaryBeside(const std::string& path);

// Flushes `temporary` to disk and renames it over `path` (then flushes the
// directory), so a crash at any moment leaves either the old or the new file.
// The temporary file is removed when anything fails.
void ReplaceFile(const std::string& temporary, const std::string& path,
                 const BeforeReplaceHook& hook = {});

// Writes `bytes` to a temporary file beside `path` and replaces `path` with it.
void WriteFileAtomically(const std::string& path, const std::string& bytes,
                         const BeforeReplaceHook& hook = {});

}  // namespace torvane::registry
