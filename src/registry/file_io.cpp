#include "registry/file_io.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <ctime>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

#include "registry/owned.h"

namespace torvane::registry {

namespace {

std::string Reason(int error) { return std::strerror(error); }
std::string Reason() { return Reason(errno); }

std::atomic<long> g_lock_wait_ms{30000};

// Eight characters no one can guess, for the names of private folders.
std::string RandomSuffix() {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device random;
  std::string suffix;
  for (int i = 0; i < 8; ++i) suffix.push_back(kAlphabet[random() % (sizeof kAlphabet - 1)]);
  return suffix;
}

#ifndef _WIN32
using Fd = UniqueFd;

void WriteAll(int fd, std::string_view bytes, const std::string& name) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw FileError(name + ": write failed: " + Reason());
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void Flush(int fd, const std::string& name) {
  if (::fsync(fd) != 0) throw FileError(name + ": cannot flush: " + Reason());
}

// Gives `to` the extended attributes of `from` where the file system keeps
// them (POSIX ACLs and security labels included).
void CopyAttributes(int from, int to, const std::string& name) {
  ssize_t length = ::flistxattr(from, nullptr, 0);
  if (length < 0) {
    if (errno == ENOTSUP) return;
    throw FileError(name + ": cannot list extended attributes: " + Reason());
  }
  std::string names(static_cast<std::size_t>(length), '\0');
  length = ::flistxattr(from, names.data(), names.size());
  if (length < 0) throw FileError(name + ": cannot list extended attributes: " + Reason());
  names.resize(static_cast<std::size_t>(length));
  for (std::size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) {
    const char* attribute = names.c_str() + at;
    const ssize_t size = ::fgetxattr(from, attribute, nullptr, 0);
    if (size < 0) throw FileError(name + ": cannot read extended attribute " + attribute + ": " + Reason());
    std::string value(static_cast<std::size_t>(size), '\0');
    const ssize_t got = ::fgetxattr(from, attribute, value.data(), value.size());
    if (got < 0) throw FileError(name + ": cannot read extended attribute " + attribute + ": " + Reason());
    if (::fsetxattr(to, attribute, value.data(), static_cast<std::size_t>(got), 0) != 0 && errno != ENOTSUP) {
      throw FileError(name + ": cannot keep extended attribute " + attribute + ": " + Reason());
    }
  }
}

mode_t CreationMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}
#endif

}  // namespace

namespace {

// `path` cut at its last separator; no folder part: ".".
void SplitPath(const std::string& path, std::string* directory, std::string* name) {
#ifdef _WIN32
  const auto slash = path.find_last_of("/\\");
#else
  const auto slash = path.rfind('/');
#endif
  if (slash == std::string::npos) {
    *directory = ".";
    *name = path;
  } else {
    *directory = slash == 0 ? "/" : path.substr(0, slash);
    *name = path.substr(slash + 1);
  }
}

std::string Joined(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

}  // namespace

FilePlace::FilePlace(const std::string& path) : path_(path), follow_link_(true) {
  std::string directory;
  SplitPath(path, &directory, &name_);
  try {
    folder_ = Folder::Open(directory);
  } catch (const FileError& error) {
    open_error_ = error.what();
  }
}

FilePlace::FilePlace(std::shared_ptr<const Folder> folder, std::string name)
    : folder_(std::move(folder)), name_(std::move(name)) {
  path_ = Joined(folder_->path(), name_);
}

#ifndef _WIN32

std::shared_ptr<const Folder> Folder::Open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throw FileError(path + ": cannot open the folder: " + Reason());
  return std::shared_ptr<const Folder>(new Folder(path, fd));
}

Folder::~Folder() { ::close(fd_); }

std::shared_ptr<const Folder> Folder::Child(const std::string& name) const {
  const std::string path = Joined(path_, name);
  const int fd = ::openat(fd_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    struct stat info {};
    if (::fstatat(fd_, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode)) {
      throw FileError(path + ": is a symbolic link; refusing to follow it on the volume");
    }
    throw FileError(path + ": cannot open the folder: " + Reason(error));
  }
  return std::shared_ptr<const Folder>(new Folder(path, fd));
}

std::vector<std::string> Folder::Names() const {
  // A descriptor of its own: reading the folder moves its position.
  const int fd = ::openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = fd < 0 ? nullptr : ::fdopendir(fd);
  if (listing == nullptr) {
    const std::string reason = Reason();
    if (fd >= 0) ::close(fd);
    throw FileError(path_ + ": cannot list the folder: " + reason);
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(listing);
  return names;
}

std::string KindOfFile(unsigned mode) {
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a pipe";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "no regular file";
}

int OpenRegularFile(const FilePlace& place) {
  if (!place.folder()) throw FileError(place.path() + ": cannot read: " + place.open_error());
  const int dir = place.folder()->fd();
  const int nofollow = place.follow_link() ? 0 : AT_SYMLINK_NOFOLLOW;
  // Looked at before it is opened: opening a pipe or a device can block
  // or act on it.
  struct stat found {};
  if (::fstatat(dir, place.name().c_str(), &found, nofollow) != 0) {
    throw FileError(place.path() + ": cannot read: " + Reason());
  }
  if (!S_ISREG(found.st_mode)) {
    throw FileError(place.path() + ": not a regular file (" + KindOfFile(found.st_mode) + "); refusing to read it");
  }
  const int fd = ::openat(dir, place.name().c_str(),
                          O_RDONLY | O_NONBLOCK | O_CLOEXEC | (place.follow_link() ? 0 : O_NOFOLLOW));
  if (fd < 0) throw FileError(place.path() + ": cannot read: " + Reason());
  struct stat opened {};
  if (::fstat(fd, &opened) != 0 || opened.st_dev != found.st_dev || opened.st_ino != found.st_ino) {
    ::close(fd);
    throw FileError(place.path() + ": changed while being opened; refusing to read it");
  }
  return fd;
}

#else  // _WIN32

std::shared_ptr<const Folder> Folder::Open(const std::string& path) {
  return std::shared_ptr<const Folder>(new Folder(path, -1));
}

Folder::~Folder() = default;

std::shared_ptr<const Folder> Folder::Child(const std::string& name) const {
  return std::shared_ptr<const Folder>(new Folder(Joined(path_, name), -1));
}

std::vector<std::string> Folder::Names() const { return {}; }

std::string KindOfFile(unsigned) { return "no regular file"; }

int OpenRegularFile(const FilePlace&) { return -1; }

#endif

long LockWaitMilliseconds() { return g_lock_wait_ms.load(); }
void SetLockWaitMilliseconds(long milliseconds) { g_lock_wait_ms.store(milliseconds); }

std::string ReadWholeFile(const std::string& path, std::size_t limit) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) throw FileError(path + ": cannot read: " + Reason());
  std::string bytes;
  const auto too_large = [&] {
    std::fclose(file);
    return FileError(path + ": larger than " + std::to_string(limit / (1024 * 1024)) + " MB; refusing to read it");
  };
#ifndef _WIN32
  struct stat info {};
  if (::fstat(::fileno(file), &info) == 0 && S_ISREG(info.st_mode)) {
    if (static_cast<std::uint64_t>(info.st_size) > limit) throw too_large();
    bytes.reserve(static_cast<std::size_t>(info.st_size));
  }
#endif
  char buffer[1 << 16];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    if (n > limit - bytes.size()) throw too_large();
    bytes.append(buffer, n);
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) throw FileError(path + ": read failed");
  return bytes;
}

#ifndef _WIN32

struct FileSet::Entry {
  std::string target, name, folder;
  std::shared_ptr<const Folder> directory;  // the target's folder, opened once
  Fd folder_fd;

  int directory_fd() const { return directory->fd(); }
  bool had_original = false;
  bool only_new = false;       // never replaces a file under its name
  dev_t made_device = 0;       // the new version, once written
  ino_t made_number = 0;

  std::string NewPath() const {
    // Through the folder's descriptor: the name cannot be redirected.
    const std::string proc = "/proc/self/fd/" + std::to_string(folder_fd.get());
    if (::access(proc.c_str(), F_OK) == 0) return proc + "/new";
    return directory->path() + "/" + folder + "/new";
  }
  // Each returns what went wrong, or empty.
  std::string RenameIn() {
    if (!only_new) {
      if (::renameat(folder_fd.get(), "new", directory_fd(), name.c_str()) != 0) return Reason();
      return {};
    }
    // Fails when the name was taken meanwhile; a second link where the
    // file system cannot rename so.
    if (::renameat2(folder_fd.get(), "new", directory_fd(), name.c_str(), RENAME_NOREPLACE) == 0) return {};
    if (errno != EINVAL && errno != ENOSYS) return Reason();
    if (::linkat(folder_fd.get(), "new", directory_fd(), name.c_str(), 0) != 0) return Reason();
    return {};
  }
  std::string PutBack() {
    if (had_original) {
      if (::renameat(folder_fd.get(), "old", directory_fd(), name.c_str()) != 0) return Reason();
    } else {
      // Only the file this set put there goes.
      struct stat now {};
      if (::fstatat(directory_fd(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) return Reason();
      if (now.st_dev != made_device || now.st_ino != made_number) return "it was replaced meanwhile";
      if (::unlinkat(directory_fd(), name.c_str(), 0) != 0) return Reason();
    }
    ::fsync(directory_fd());
    return {};
  }
  std::string FlushFolder() { return ::fsync(directory_fd()) == 0 ? std::string() : Reason(); }

  ~Entry() {
    if (folder_fd.get() < 0) return;
    ::unlinkat(folder_fd.get(), "new", 0);
    ::unlinkat(folder_fd.get(), "old", 0);
    ::unlinkat(directory_fd(), folder.c_str(), AT_REMOVEDIR);
  }
};

FileSet::FileSet() = default;
FileSet::~FileSet() = default;

namespace {

// Writes `bytes` into the new version `path` of `target`.
void WriteNew(const FilePlace& target, const std::string& path, std::string_view bytes) {
  Fd out(::open(path.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC));
  if (out.get() < 0) throw FileError(target.path() + ": cannot open its new version: " + Reason());
  WriteAll(out.get(), bytes, target.path());
}

}  // namespace

void FileSet::Add(const FilePlace& target, std::string_view bytes) {
  AddEntry(target, [&](const std::string& path) { WriteNew(target, path, bytes); }, false);
}

void FileSet::AddNew(const FilePlace& target, std::string_view bytes) {
  AddEntry(target, [&](const std::string& path) { WriteNew(target, path, bytes); }, true);
}

void FileSet::AddWrittenBy(const FilePlace& place, const std::function<void(const std::string& path)>& write) {
  AddEntry(place, write, false);
}

namespace {

// Whether `name` in the folder `dir` is a file to replace (its status in
// `*original`); false when there is none. A link or anything but a regular
// file is refused.
bool StatOriginal(int dir, const std::string& name, const std::string& target, struct stat* original) {
  if (::fstatat(dir, name.c_str(), original, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) throw FileError(target + ": " + Reason());
    return false;
  }
  if (S_ISLNK(original->st_mode)) {
    throw FileError(target + ": is a symbolic link; refusing to write through it (name the file it leads to)");
  }
  if (!S_ISREG(original->st_mode)) throw FileError(target + ": not a regular file; refusing to replace it");
  return true;
}

// A private folder beside `name`, made by us alone; its name.
std::string MakePrivateFolder(int dir, const std::string& name, const std::string& target) {
  for (int attempt = 0;; ++attempt) {
    std::string folder = name + ".torvane-" + RandomSuffix();
    if (::mkdirat(dir, folder.c_str(), 0700) == 0) return folder;
    if (errno != EEXIST || attempt == 100) {
      throw FileError(target + ": cannot make a private folder beside it: " + Reason());
    }
  }
}

// The new version `out` gets the owner, mode and attributes the original
// `from` has.
void TakeOwnerAndMode(int from, int out, const struct stat& original, const std::string& target) {
  if (::fchown(out, original.st_uid, original.st_gid) != 0) {
    struct stat check {};
    if (::fstat(out, &check) != 0 || check.st_uid != original.st_uid || check.st_gid != original.st_gid) {
      throw FileError(target + ": cannot give its new version the owner it has: " + Reason());
    }
  }
  // After the owner: a change of owner clears the set-id bits.
  if (::fchmod(out, original.st_mode & 07777) != 0) {
    throw FileError(target + ": cannot give its new version the mode it has: " + Reason());
  }
  CopyAttributes(from, out, target);
}

// The original stays in the private folder as "old" until the commit is
// over: a second link to it, or a copy where the file system has none.
void KeepOriginal(int dir, const std::string& name, int folder, int from, const struct stat& original,
                  const std::string& target) {
  if (::linkat(dir, name.c_str(), folder, "old", 0) == 0) return;
  Fd copy(::openat(folder, "old", O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (copy.get() < 0) throw FileError(target + ": cannot keep a copy of it: " + Reason());
  char buffer[1 << 16];
  ssize_t n;
  while ((n = ::read(from, buffer, sizeof buffer)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw FileError(target + ": cannot read it to keep a copy: " + Reason());
    WriteAll(copy.get(), std::string_view(buffer, static_cast<std::size_t>(n)), target + " (kept copy)");
  }
  ::fchown(copy.get(), original.st_uid, original.st_gid);
  ::fchmod(copy.get(), original.st_mode & 07777);
  CopyAttributes(from, copy.get(), target);
  Flush(copy.get(), target + " (kept copy)");
}

}  // namespace

void FileSet::AddEntry(const FilePlace& place, const std::function<void(const std::string& path)>& write,
                       bool only_new) {
  const std::string& target = place.path();
  for (const auto& other : entries_) {
    if (other->target == target) throw FileError(target + ": named twice in one commit");
  }
  if (!place.folder()) throw FileError(place.open_error());
  if (place.name().empty() || place.name() == "." || place.name() == "..") {
    throw FileError(target + ": not a file name");
  }
  auto entry = std::make_unique<Entry>();
  entry->target = target;
  entry->name = place.name();
  entry->directory = place.folder();
  const int dir = entry->directory_fd();

  struct stat original {};
  entry->only_new = only_new;
  entry->had_original = StatOriginal(dir, entry->name, target, &original);
  if (only_new && entry->had_original) throw FileError(target + ": exists already; refusing to replace it");
  entry->folder = MakePrivateFolder(dir, entry->name, target);
  entry->folder_fd = Fd(::openat(dir, entry->folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (entry->folder_fd.get() < 0) {
    const std::string reason = Reason();
    ::unlinkat(dir, entry->folder.c_str(), AT_REMOVEDIR);
    throw FileError(target + ": cannot open the private folder beside it: " + reason);
  }
  Entry& e = *entry;
  Fd created(::openat(e.folder_fd.get(), "new", O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (created.get() < 0) throw FileError(target + ": cannot create its new version: " + Reason());
  created.Reset();

  write(e.NewPath());

  Fd out(::openat(e.folder_fd.get(), "new", O_RDWR | O_NOFOLLOW | O_CLOEXEC));
  struct stat written {};
  if (out.get() < 0 || ::fstat(out.get(), &written) != 0 || !S_ISREG(written.st_mode)) {
    throw FileError(target + ": its new version is gone or no regular file");
  }
  if (e.had_original) {
    Fd from(::openat(dir, e.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat now {};
    if (from.get() < 0 || ::fstat(from.get(), &now) != 0 || now.st_ino != original.st_ino ||
        now.st_dev != original.st_dev) {
      throw FileError(target + ": changed while being replaced; nothing was changed");
    }
    TakeOwnerAndMode(from.get(), out.get(), original, target);
    KeepOriginal(dir, e.name, e.folder_fd.get(), from.get(), original, target);
  } else if (::fchmod(out.get(), only_new ? 0600 : CreationMode()) != 0) {
    throw FileError(target + ": cannot set the mode of its new version: " + Reason());
  }
  e.made_device = written.st_dev;
  e.made_number = written.st_ino;
  Flush(out.get(), target);
  Flush(e.folder_fd.get(), target + " (private folder)");
  entries_.push_back(std::move(entry));
}

FileLock::FileLock(const FilePlace& place) {
  const std::string& path = place.path();
  if (!place.folder()) throw FileError(path + ": cannot open: " + place.open_error());
  const int dir = place.folder()->fd();
  const char* name = place.name().c_str();
  long waited_ms = 0;
  while (true) {
    // Looked at first: a pipe or a device under the name is never opened.
    struct stat found {};
    if (::fstatat(dir, name, &found, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISLNK(found.st_mode) &&
        !S_ISREG(found.st_mode)) {
      throw FileError(path + ": not a regular file; refusing to replace it");
    }
    Fd fd(::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
      if (errno == ELOOP) {
        throw FileError(path + ": is a symbolic link; refusing to write through it (name the file it leads to)");
      }
      throw FileError(path + ": cannot open: " + Reason());
    }
    struct stat held {};
    if (::fstat(fd.get(), &held) != 0 || !S_ISREG(held.st_mode)) {
      throw FileError(path + ": not a regular file; refusing to replace it");
    }
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      // A file system that keeps no locks at all cannot be waited on.
      if (errno == ENOLCK || errno == EOPNOTSUPP) break;
      if (errno != EWOULDBLOCK && errno != EINTR) throw FileError(path + ": cannot lock: " + Reason());
      if (waited_ms >= LockWaitMilliseconds()) {
        throw FileError(path + ": another run is changing it (it stays locked); try again when it has finished");
      }
      const timespec pause{0, 20 * 1000 * 1000};
      ::nanosleep(&pause, nullptr);
      waited_ms += 20;
    }
    // The holder before us may have renamed a new version in: lock that one.
    struct stat named {};
    if (::fstatat(dir, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == held.st_dev &&
        named.st_ino == held.st_ino) {
      fd_ = fd.Release();
      return;
    }
  }
}

FileLock::~FileLock() {
  if (fd_ >= 0) ::close(fd_);
}

#else  // _WIN32

struct FileSet::Entry {
  std::string target, fresh, kept;
  bool had_original = false;
  bool only_new = false;  // never replaces a file under its name

  std::string NewPath() const { return fresh; }
  std::string RenameIn() {
    const DWORD replace = only_new ? 0 : MOVEFILE_REPLACE_EXISTING;
    if (!MoveFileExA(fresh.c_str(), target.c_str(), replace | MOVEFILE_WRITE_THROUGH)) {
      return "error " + std::to_string(GetLastError());
    }
    fresh.clear();
    return {};
  }
  std::string PutBack() {
    const BOOL ok = had_original
                        ? MoveFileExA(kept.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
                        : DeleteFileA(target.c_str());
    if (!ok) return "error " + std::to_string(GetLastError());
    kept.clear();
    return {};
  }
  std::string FlushFolder() { return {}; }  // the renames were written through

  ~Entry() {
    if (!fresh.empty()) DeleteFileA(fresh.c_str());
    if (!kept.empty()) DeleteFileA(kept.c_str());
  }
};

FileSet::FileSet() = default;
FileSet::~FileSet() = default;

namespace {

// A file beside `target` under a fresh name, created exclusively (a link
// already at that name makes the creation fail).
HANDLE CreateBeside(const std::string& target, const char* kind, std::string* name) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    *name = target + ".torvane-" + RandomSuffix() + kind;
    HANDLE file = CreateFileA(name->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  name->clear();
  throw FileError(target + ": cannot create a file beside it (error " + std::to_string(GetLastError()) + ")");
}

}  // namespace

namespace {

// Writes `bytes` into the new version of `target` named to it.
std::function<void(const std::string&)> WriterOf(const std::string& target, std::string_view bytes) {
  return [target, bytes](const std::string& path) {
    UniqueHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    if (!file.valid()) throw FileError(target + ": cannot open its new version");
    DWORD written = 0;
    const BOOL ok = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                    written == bytes.size() && FlushFileBuffers(file.get());
    file.Reset();
    if (!ok) throw FileError(target + ": write failed (error " + std::to_string(GetLastError()) + ")");
  };
}

}  // namespace

void FileSet::Add(const FilePlace& place, std::string_view bytes) {
  AddEntry(place, WriterOf(place.path(), bytes), false);
}

void FileSet::AddNew(const FilePlace& place, std::string_view bytes) {
  AddEntry(place, WriterOf(place.path(), bytes), true);
}

void FileSet::AddWrittenBy(const FilePlace& place, const std::function<void(const std::string& path)>& write) {
  AddEntry(place, write, false);
}

void FileSet::AddEntry(const FilePlace& place, const std::function<void(const std::string& path)>& write,
                       bool only_new) {
  const std::string& target = place.path();
  for (const auto& other : entries_) {
    if (other->target == target) throw FileError(target + ": named twice in one commit");
  }
  auto entry = std::make_unique<Entry>();
  entry->target = target;
  entry->only_new = only_new;
  const DWORD attributes = GetFileAttributesA(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      throw FileError(target + ": is a symbolic link; refusing to write through it (name the file it leads to)");
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) throw FileError(target + ": not a regular file; refusing to replace it");
    if (only_new) throw FileError(target + ": exists already; refusing to replace it");
    entry->had_original = true;
  }
  UniqueHandle(CreateBeside(target, ".tmp", &entry->fresh)).Reset();  // only its name is kept
  write(entry->fresh);
  if (entry->had_original) {
    UniqueHandle(CreateBeside(target, ".old", &entry->kept)).Reset();
    if (!CopyFileA(target.c_str(), entry->kept.c_str(), FALSE)) {
      throw FileError(target + ": cannot keep a copy of it (error " + std::to_string(GetLastError()) + ")");
    }
  }
  entries_.push_back(std::move(entry));
}

FileLock::FileLock(const FilePlace& place) {
  const std::string& path = place.path();
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    throw FileError(path + ": is a symbolic link; refusing to write through it (name the file it leads to)");
  }
}

FileLock::~FileLock() = default;

#endif

void FileSet::Commit() {
  std::size_t done = 0;
  std::string failure;
  try {
    for (; done < entries_.size(); ++done) {
      Entry& e = *entries_[done];
      if (hook_) hook_(e.NewPath());
      if (const std::string reason = e.RenameIn(); !reason.empty()) {
        failure = e.target + ": cannot replace it: " + reason;
        break;
      }
    }
  } catch (const std::exception& error) {
    failure = error.what();
  }
  if (failure.empty()) {
    for (const auto& e : entries_) {
      if (const std::string reason = e->FlushFolder(); !reason.empty()) {
        std::vector<std::string> all;
        for (const auto& each : entries_) all.push_back(each->target);
        throw FileSetError(e->target + ": cannot flush its folder: " + reason +
                               " (every file was replaced, but may not be on the disk yet)",
                           std::move(all));
      }
    }
    return;
  }
  // Put back what was renamed, last first.
  std::vector<std::string> stuck;
  for (std::size_t i = done; i-- > 0;) {
    if (!entries_[i]->PutBack().empty()) stuck.insert(stuck.begin(), entries_[i]->target);
  }
  if (stuck.empty()) throw FileSetError(failure + "; every file was left as it was", {});
  std::string names;
  for (const std::string& name : stuck) names += (names.empty() ? "" : ", ") + name;
  throw FileSetError(failure + "; could not put back " + names + ", which now hold" +
                         (stuck.size() == 1 ? "s" : "") + " the new version",
                     stuck);
}

void WriteFileAtomically(const FilePlace& path, std::string_view bytes, const BeforeReplaceHook& hook) {
  FileSet set;
  set.SetBeforeReplace(hook);
  set.Add(path, bytes);
  set.Commit();
}

}  // namespace torvane::registry
