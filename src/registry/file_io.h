// Whole-file reads, and replacing files safely on a volume that may be
// hostile: no write ever goes through a link, lands outside the target's own
// folder, or leaves a file half written.
#pragma once

#include <cstddef>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace torvane::registry {

// A file that cannot be read or written; the message names it.
class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads a regular file (or what a link names) whole. A file larger than
// `limit` bytes is refused before it is read; one that is no regular file
// (a device, a pipe) is read up to `limit` + 1 bytes and refused past it.
std::string ReadWholeFile(const std::string& path,
                          std::size_t limit = std::numeric_limits<std::size_t>::max());

// Called with a new file's name once it is written and flushed, just before
// it is renamed over its target. Tests use it to act out a crash; what it
// throws fails the commit.
using BeforeReplaceHook = std::function<void(const std::string& temporary)>;

// Several files replaced together: all of them, or none.
//
//   FileSet set;
//   set.Add("/mnt/win/.../SOFTWARE", bytes);       // prepared at once
//   set.AddWrittenBy("/mnt/win/.../NTUSER.DAT", [&](const std::string& path) {
//     ... write the new version to `path` ...      // for writers that take a name
//   });
//   set.Commit();                                  // renamed in together
//
// Add prepares each new file before anything is replaced: a private folder
// "<target>.torvane-XXXXXXXX" (random name, created exclusively, mode 0700)
// beside the target holds the new file, created exclusively and never
// through a link, given the target's owner, group, mode and extended
// attributes, written and flushed; and it holds the original, kept as a hard
// link (a flushed copy where links cannot be made). A target that is a
// symbolic link or no regular file is refused. Commit renames every new file
// over its target in the order added, then flushes the folders; when a
// rename fails, the files already renamed get their originals back, and the
// FileSetError says which targets (if any) could not be put back. The
// private folders go when the set does; after a crash, one that remains
// holds the original ("old") or the new version ("new") and is never reused.
//
// On Windows the new file and the kept copy are plain files beside the
// target, created exclusively; they take the folder's inherited security.
class FileSet {
 public:
  FileSet();
  ~FileSet();
  FileSet(const FileSet&) = delete;
  FileSet& operator=(const FileSet&) = delete;

  // Prepares the new version of `target` holding `bytes`. Throws FileError;
  // then nothing of this target was prepared and nothing was changed.
  void Add(const std::string& target, std::string_view bytes);
  // The same, for a writer that takes a file name: `write` gets the name of
  // the new, empty file and fills it.
  void AddWrittenBy(const std::string& target, const std::function<void(const std::string& path)>& write);
  void SetBeforeReplace(BeforeReplaceHook hook) { hook_ = std::move(hook); }

  // Replaces every target. Throws FileSetError.
  void Commit();

  std::size_t size() const { return entries_.size(); }

 private:
  struct Entry;
  std::vector<std::unique_ptr<Entry>> entries_;
  BeforeReplaceHook hook_;
};

// A commit that failed. `replaced()` lists the targets that hold their new
// version after it (empty: every file is as it was before the commit).
class FileSetError : public FileError {
 public:
  FileSetError(const std::string& what, std::vector<std::string> replaced)
      : FileError(what), replaced_(std::move(replaced)) {}
  const std::vector<std::string>& replaced() const { return replaced_; }

 private:
  std::vector<std::string> replaced_;
};

// Writes `bytes` as the new version of `path`: a file set of one.
void WriteFileAtomically(const std::string& path, std::string_view bytes, const BeforeReplaceHook& hook = {});

// An advisory lock on one existing file, held from the first read of it to
// the commit of its new version, so that two runs on the same file take
// turns and neither update is lost. The file must be a regular file and no
// symbolic link. When the holder renames a new version in, a waiter finds
// the name no longer leads to the file it locked and locks the new one.
class FileLock {
 public:
  // Waits up to LockWaitMilliseconds() for the lock; throws FileError when it stays
  // taken (the message says another run holds it).
  explicit FileLock(const std::string& path);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // The locked file, open for reading; -1 on Windows.
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// How long a run waits for another run's lock, in milliseconds (tests
// shorten it).
long LockWaitMilliseconds();
void SetLockWaitMilliseconds(long milliseconds);

}  // namespace torvane::registry
