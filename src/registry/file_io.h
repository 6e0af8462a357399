// Whole-file reads, and replacing files safely on a volume that may be
// hostile: no write ever goes through a link, lands outside the target's own
// folder, or leaves a file half written.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "registry/utf.h"

namespace torvane::registry {

// A file that cannot be read or written; the message names it.
class FileError : public std::runtime_error {
 public:
  explicit FileError(const std::string& what) : std::runtime_error(ShowNuls(what)) {}
};

// Which file a name leads to: its volume and its number there (st_dev and
// st_ino; on Windows the volume serial number and the file index).
struct FileId {
  std::uint64_t volume = 0, number = 0;
  auto operator<=>(const FileId&) const = default;
};

// What a name in a folder is, the name itself looked at (a link is never
// followed).
struct EntryInfo {
  // kUnreadable: something is listed there that could not be looked at
  // (`what` says why).
  enum Kind { kMissing, kRegular, kFolder, kLink, kOther, kUnreadable };
  Kind kind = kMissing;
  FileId id;
  std::uint64_t size = 0;
  std::string what;  // for messages: "a pipe", "a symbolic link", ...
};

// A folder opened once, never through a link: what lies in it is reached
// through this handle, so a folder swapped on the way after it was opened
// redirects nothing. On Windows every folder on the way stays open, shared
// for reading and writing but not for deleting, from the volume's root down:
// none of them can be renamed or replaced while it is held.
class Folder : public std::enable_shared_from_this<Folder> {
 public:
  // The folder `path` names (a link the caller named is followed).
  static std::shared_ptr<const Folder> Open(const std::string& path);
  // The root of a Windows volume the caller named. On Windows no part of
  // the path may be a reparse point (a junction, a symbolic link, a mount
  // point: "is a symbolic link; refusing to follow it on the volume");
  // elsewhere the path is followed as named, like Open.
  static std::shared_ptr<const Folder> OpenVolume(const std::string& path);
  ~Folder();
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  // The folder `name` in this one, not through a link; throws FileError
  // (a link: "is a symbolic link; refusing to follow it on the volume").
  std::shared_ptr<const Folder> Child(const std::string& name) const;
  // The names of the entries in it, "." and ".." left out.
  std::vector<std::string> Names() const;
  // What `name` in it is, not following a link; kMissing when nothing is
  // there or it cannot be looked at.
  EntryInfo Entry(const std::string& name) const;
  // The folder a link `name` in it leads to, only looked at; nullopt when
  // it leads to no folder.
  std::optional<FileId> FolderBehind(const std::string& name) const;
  FileId id() const { return id_; }
  const std::string& path() const { return path_; }
  // Open for reading (O_DIRECTORY); -1 on Windows.
  int fd() const { return fd_; }
  // Windows: the folder's handle; null elsewhere.
  void* handle() const { return handle_; }

 private:
  Folder(std::string path, int fd, void* handle = nullptr, std::shared_ptr<const Folder> parent = nullptr);
  std::string path_;
  int fd_;
  void* handle_;  // Windows: the folder's handle
  std::shared_ptr<const Folder> parent_;  // Windows: held while this one is
  FileId id_;
};

// `name` in `folder`, for messages: joined with the system's separator.
std::string JoinPath(const std::string& folder, const std::string& name);

// The running Windows' own folder (C:\Windows), as the system names it,
// and which folder that is; nullopt outside Windows.
std::optional<std::pair<std::string, FileId>> RunningWindowsFolder();

// A file by its name in a folder opened once. Made from a path, it opens the
// path's folder at once; the file's own name is then followed for reading
// only where the caller named it (`follow_link`).
class FilePlace {
 public:
  FilePlace(const std::string& path);  // NOLINT: a path names a place
  FilePlace(const char* path) : FilePlace(std::string(path)) {}  // NOLINT
  FilePlace(std::shared_ptr<const Folder> folder, std::string name);
  // `path` with no link followed on the way: its folder opened as
  // Folder::OpenVolume opens a volume's root.
  static FilePlace WithoutLinks(const std::string& path);

  // Null when the folder could not be opened; `open_error()` says why.
  const std::shared_ptr<const Folder>& folder() const { return folder_; }
  const std::string& open_error() const { return open_error_; }
  const std::string& name() const { return name_; }
  // The whole path, for messages.
  const std::string& path() const { return path_; }
  bool follow_link() const { return follow_link_; }
  // The file it leads to (its name followed where follow_link()); nullopt
  // when there is none or it cannot be looked at.
  std::optional<FileId> id() const;

 private:
  FilePlace() = default;
  std::shared_ptr<const Folder> folder_;
  std::string name_, path_, open_error_;
  bool follow_link_ = false;
};

// What a file of this mode (st_mode) that is no regular file is, for
// messages: "a pipe", "a folder", "a device" ...
std::string KindOfFile(unsigned mode);

// Opens a regular file for reading; throws FileError. A file found on a
// volume is never reached through a link, and one that is no regular file
// (a pipe, a device, a folder) is refused before it is opened. On Windows
// the descriptor is the C library's, over a handle that shares reading and
// deleting, never writing.
int OpenRegularFile(const FilePlace& place);

// Removes the regular file at `place` when it is still the file `id`
// (never through a link); false when it is left.
bool RemoveIfSame(const FilePlace& place, const FileId& id);

// Descriptors, the same on every system (on Windows the C library's, over a
// handle): the functions the hive engine reads and writes files with. Each
// returns false (nullopt, -1) on failure, LastSystemError() then saying why.
std::optional<std::uint64_t> SizeOfFile(int fd);
bool ReadAt(int fd, void* out, std::size_t size, std::uint64_t at);
bool WriteAt(int fd, const void* data, std::size_t size, std::uint64_t at);
bool TruncateFile(int fd, std::uint64_t size);
// The rest of the file open at `fd`, up to `limit` bytes; throws FileError
// naming `path` ("larger than `what` can be" past the limit).
std::string ReadToEnd(int fd, std::uint64_t limit, const std::string& path, const std::string& what);
// A file that lives in memory only (or in the temporary folder, deleted
// when closed), open for reading and writing; -1 when none can be made.
int OpenScratchFile();
// Opens the new version a FileSet made for a writer (`path` as given to
// it) for reading and writing, never through a link; -1 on failure.
int OpenNewVersion(const std::string& path);
// Why the last call above failed, in words.
std::string LastSystemError();

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
// On Windows the private folder is the same; the new file gets the
// target's security descriptor (owner, group, access list, as stored) and
// attributes, and is flushed. Commit moves each original into its private
// folder as "old" (by its handle, once its identity is checked) and the new
// version in under the target's name (MoveFileExW, written through): an
// original is never deleted, and Windows cannot rename over a file that
// is open, as a locked one is.
class FileSet {
 public:
  FileSet();
  ~FileSet();
  FileSet(const FileSet&) = delete;
  FileSet& operator=(const FileSet&) = delete;

  // Prepares the new version of `target` holding `bytes`. Throws FileError;
  // then nothing of this target was prepared and nothing was changed.
  void Add(const FilePlace& target, std::string_view bytes);
  // The same, for a writer that takes a file name: `write` gets the name of
  // the new, empty file and fills it.
  // Where the set holds the new file open already (Windows), `fd` is that
  // file, to be written through and left open; otherwise -1.
  void AddWrittenBy(const FilePlace& target, const std::function<void(const std::string& path, int fd)>& write);
  // The same for a file that must not exist: a name taken already (a
  // dangling link too) is refused now, and one taken meanwhile fails the
  // commit, which never replaces it. The new file is made readable by its
  // owner only.
  void AddNew(const FilePlace& target, std::string_view bytes);
  void SetBeforeReplace(BeforeReplaceHook hook) { hook_ = std::move(hook); }

  // Replaces every target. Throws FileSetError.
  void Commit();

  std::size_t size() const { return entries_.size(); }

 private:
  struct Entry;
  void AddEntry(const FilePlace& target, const std::function<void(const std::string& path, int fd)>& write,
                bool only_new);
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
void WriteFileAtomically(const FilePlace& path, std::string_view bytes, const BeforeReplaceHook& hook = {});

// An advisory lock on one existing file, held from the first read of it to
// the commit of its new version, so that two runs on the same file take
// turns and neither update is lost. The file must be a regular file and no
// symbolic link. When the holder renames a new version in, a waiter finds
// the name no longer leads to the file it locked and locks the new one.
// On Windows the file is held open sharing reading and deleting only (no
// other program writes it meanwhile), and runs take turns by an exclusive
// byte-range lock past its end (LockFileEx), which no reader meets.
class FileLock {
 public:
  // Waits up to LockWaitMilliseconds() for the lock; throws FileError when it stays
  // taken (the message says another run holds it).
  explicit FileLock(const FilePlace& place);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // The locked file, open for reading, and which file it is.
  int fd() const { return fd_; }
  FileId id() const { return id_; }

 private:
  int fd_ = -1;
  FileId id_;
};

// How long a run waits for another run's lock, in milliseconds (tests
// shorten it).
long LockWaitMilliseconds();
void SetLockWaitMilliseconds(long milliseconds);

// The entry of `folder` named `name` in any letter case, as Windows finds
// it on NTFS; nullopt when there is none. Throws FileError when there are
// two (a volume mounted case-sensitively): which one Windows uses cannot be
// told.
std::optional<std::string> FindNoCase(const Folder& folder, const std::string& name);

// The folder `name` of `dir` in any letter case, opened once and never
// through a link; null when `dir` is null or holds no such entry.
std::shared_ptr<const Folder> FolderOf(const std::shared_ptr<const Folder>& dir, const std::string& name);

// A file `path` (folder names, then the file's) below `folder`, found in
// any letter case and never through a link, read whole up to `limit` bytes;
// nullopt when it is not there. `where` receives its path, `found` its
// place. Throws FileError for one that cannot be read, is a link or no
// regular file, or is larger.
std::optional<std::string> ReadBelow(std::shared_ptr<const Folder> folder, const std::vector<std::string>& path,
                                     std::size_t limit, std::string* where, std::optional<FilePlace>* found = nullptr);

}  // namespace torvane::registry
