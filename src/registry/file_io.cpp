#include "registry/file_io.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <random>
#include <ctime>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <sddl.h>
#include <winternl.h>

#include "registry/system_dlls_win32.h"
#include "registry/win32_store.h"
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

#include "registry/names.h"
#include "registry/owned.h"
#include "registry/utf.h"

namespace torvane::registry {

namespace {

#ifdef _WIN32
std::string Narrow(const wchar_t* wide, std::size_t length) {
  return Utf16leToUtf8(std::string_view(reinterpret_cast<const char*>(wide), length * 2));
}

// A whole path of a drive ("D:\\...") in the form that takes any length and
// is never reinterpreted; any other as it is.
std::wstring LongPath(const std::string& path) {
  std::wstring wide = Utf8ToWide(path);
  for (wchar_t& c : wide) {
    if (c == L'/') c = L'\\';
  }
  if (wide.size() >= 3 && wide[1] == L':' && wide[2] == L'\\') return L"\\\\?\\" + wide;
  return wide;
}

std::string Reason(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return "No such file or directory";
    case ERROR_ACCESS_DENIED:
      return "Permission denied";
    case ERROR_SHARING_VIOLATION:
      return "it is in use by another program";
    case ERROR_LOCK_VIOLATION:
      return "it is locked by another program";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return "No space left on device";
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return "File exists";
    case ERROR_DIRECTORY:
      return "Not a directory";
    case ERROR_WRITE_PROTECT:
      return "the volume is write-protected";
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return "Cannot allocate memory";
    default:
      return "Windows error " + std::to_string(code);
  }
}
#endif

#ifdef _WIN32
std::string Reason() { return Reason(::GetLastError()); }
#else
std::string Reason(int error) { return std::strerror(error); }
std::string Reason() { return Reason(errno); }
#endif

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

// Refuses `place` as a file of a commit that already holds `entries`: named
// twice, in a folder that did not open, or no file name.
template <typename Entries>
void RefuseEntry(const Entries& entries, const FilePlace& place) {
  const std::string& target = place.path();
  for (const auto& other : entries) {
    if (other->target == target) throw FileError(target + ": named twice in one commit");
  }
  if (!place.folder()) throw FileError(place.open_error());
  if (place.name().empty() || place.name() == "." || place.name() == "..") {
    throw FileError(target + ": not a file name");
  }
}

}  // namespace

std::string JoinPath(const std::string& folder, const std::string& name) {
#ifdef _WIN32
  if (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) return folder + name;
  return folder + "\\" + name;
#else
  return folder == "/" ? "/" + name : folder + "/" + name;
#endif
}

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
  path_ = JoinPath(folder_->path(), name_);
}

FilePlace FilePlace::WithoutLinks(const std::string& path) {
  FilePlace place;
  place.path_ = path;
  place.follow_link_ = false;
  std::string directory;
  SplitPath(path, &directory, &place.name_);
  try {
    place.folder_ = Folder::OpenVolume(directory);
  } catch (const FileError& error) {
    place.open_error_ = error.what();
  }
  return place;
}

#ifndef _WIN32

namespace {

FileId IdOf(const struct stat& info) {
  return FileId{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

}  // namespace

Folder::Folder(std::string path, int fd, void* handle, std::shared_ptr<const Folder> parent)
    : path_(std::move(path)), fd_(fd), handle_(handle), parent_(std::move(parent)) {
  struct stat info {};
  if (::fstat(fd_, &info) == 0) id_ = IdOf(info);
}

std::shared_ptr<const Folder> Folder::Open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throw FileError(path + ": cannot open the folder: " + Reason());
  return std::shared_ptr<const Folder>(new Folder(path, fd));
}

std::shared_ptr<const Folder> Folder::OpenVolume(const std::string& path) { return Open(path); }

Folder::~Folder() { ::close(fd_); }

EntryInfo Folder::Entry(const std::string& name) const {
  EntryInfo entry;
  struct stat info {};
  if (::fstatat(fd_, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) {
      entry.kind = EntryInfo::kUnreadable;
      entry.what = "cannot be looked at: " + Reason();
    }
    return entry;
  }
  entry.kind = S_ISREG(info.st_mode)   ? EntryInfo::kRegular
               : S_ISDIR(info.st_mode) ? EntryInfo::kFolder
               : S_ISLNK(info.st_mode) ? EntryInfo::kLink
                                       : EntryInfo::kOther;
  entry.id = IdOf(info);
  entry.size = static_cast<std::uint64_t>(info.st_size);
  entry.what = KindOfFile(info.st_mode);
  return entry;
}

std::optional<FileId> Folder::FolderBehind(const std::string& name) const {
  struct stat target {};
  if (::fstatat(fd_, name.c_str(), &target, 0) != 0 || !S_ISDIR(target.st_mode)) return std::nullopt;
  return IdOf(target);
}

std::optional<std::pair<std::string, FileId>> RunningWindowsFolder() { return std::nullopt; }

bool RemoveIfSame(const FilePlace& place, const FileId& id) {
  if (!place.folder()) return false;
  const EntryInfo now = place.folder()->Entry(place.name());
  return now.kind == EntryInfo::kRegular && now.id == id &&
         ::unlinkat(place.folder()->fd(), place.name().c_str(), 0) == 0;
}

std::optional<FileId> FilePlace::id() const {
  struct stat info {};
  if (!folder_ || ::fstatat(folder_->fd(), name_.c_str(), &info, follow_link_ ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
    return std::nullopt;
  }
  return IdOf(info);
}

std::shared_ptr<const Folder> Folder::Child(const std::string& name) const {
  const std::string path = JoinPath(path_, name);
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
  if (S_ISREG(mode)) return "a regular file";
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

std::optional<std::uint64_t> SizeOfFile(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
}

bool ReadAt(int fd, void* out, std::size_t size, std::uint64_t at) {
  auto* bytes = static_cast<char*>(out);
  while (size > 0) {
    const ssize_t n = ::pread(fd, bytes, size, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;  // cut short
      return false;
    }
    bytes += n;
    size -= static_cast<std::size_t>(n);
    at += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool WriteAt(int fd, const void* data, std::size_t size, std::uint64_t at) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, bytes, size, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
    at += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool TruncateFile(int fd, std::uint64_t size) { return ::ftruncate(fd, static_cast<off_t>(size)) == 0; }

std::string ReadToEnd(int fd, std::uint64_t limit, const std::string& path, const std::string& what) {
  std::string bytes;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw FileError(path + ": cannot read: " + Reason());
    if (n == 0) return bytes;
    bytes.append(buffer, static_cast<std::size_t>(n));
    if (bytes.size() > limit) throw FileError(path + ": larger than " + what + " can be");
  }
}

int OpenScratchFile() { return ::memfd_create("hive", MFD_CLOEXEC); }

int OpenNewVersion(const std::string& path) { return ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC); }

std::string LastSystemError() { return Reason(); }

#endif

long LockWaitMilliseconds() { return g_lock_wait_ms.load(); }
void SetLockWaitMilliseconds(long milliseconds) { g_lock_wait_ms.store(milliseconds); }


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
  // A failed rename in leaves the original under its name.
  bool LeftAside() const { return false; }

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
void WriteNew(const FilePlace& target, const std::string& path, int fd, std::string_view bytes) {
  Fd opened;
  if (fd < 0) {
    opened = Fd(::open(path.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC));
    fd = opened.get();
  }
  if (fd < 0) throw FileError(target.path() + ": cannot open its new version: " + Reason());
  WriteAll(fd, bytes, target.path());
}

}  // namespace

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

void FileSet::AddEntry(const FilePlace& place, const std::function<void(const std::string& path, int fd)>& write,
                       bool only_new) {
  const std::string& target = place.path();
  RefuseEntry(entries_, place);
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

  write(e.NewPath(), -1);

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
      throw FileError(target + ": changed while being replaced");
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
      id_ = IdOf(held);
      return;
    }
  }
}

FileLock::~FileLock() {
  if (fd_ >= 0) ::close(fd_);
}

#else  // _WIN32

// Folders and files on Windows: each opened by its whole path, never through
// a reparse point (FILE_FLAG_OPEN_REPARSE_POINT, then its attributes looked
// at); every folder on the way held open without sharing deletion, so that
// the path, once walked, stays the one walked.

namespace {

constexpr DWORD kNoFollow = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// ntdll's words for the same (NtCreateFile's dispositions and options).
constexpr ULONG kOpen = 1;             // FILE_OPEN
constexpr ULONG kCreate = 2;           // FILE_CREATE
constexpr ULONG kDirectory = 0x1;      // FILE_DIRECTORY_FILE
constexpr ULONG kSynchronous = 0x20;   // FILE_SYNCHRONOUS_IO_NONALERT
constexpr ULONG kNonDirectory = 0x40;  // FILE_NON_DIRECTORY_FILE
constexpr ULONG kBackupIntent = 0x4000;         // FILE_OPEN_FOR_BACKUP_INTENT
constexpr ULONG kOpenReparsePoint = 0x200000;   // FILE_OPEN_REPARSE_POINT
constexpr int kFileRenameInformation = 10;
// A folder on the way: anyone may read it and add to it, no one rename it.
constexpr DWORD kShareFolder = FILE_SHARE_READ | FILE_SHARE_WRITE;
// A file being read or changed: no one else may write it meanwhile.
constexpr DWORD kShareHeld = FILE_SHARE_READ | FILE_SHARE_DELETE;

FileId IdOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return FileId{info.dwVolumeSerialNumber, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

HANDLE OpenNoFollow(const std::string& path, DWORD access, DWORD share) {
  return ::CreateFileW(LongPath(path).c_str(), access, share, nullptr, OPEN_EXISTING, kNoFollow, nullptr);
}

// What the object open at `handle` is, as a folder entry.
EntryInfo InfoOf(HANDLE handle) {
  EntryInfo entry;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle, &info)) return entry;
  entry.id = IdOf(info);
  entry.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    entry.kind = EntryInfo::kLink;
    entry.what = "a symbolic link";
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    entry.kind = EntryInfo::kFolder;
    entry.what = "a folder";
  } else if (::GetFileType(handle) != FILE_TYPE_DISK) {
    entry.kind = EntryInfo::kOther;
    entry.what = "a device";
  } else {
    entry.kind = EntryInfo::kRegular;
    entry.what = "a regular file";
  }
  return entry;
}

// Whether the name `path` itself is a reparse point, as its folder lists it.
// Asked besides the handle's own attributes: a system that opens a link's
// target whatever the flags (Wine, for the links of its Unix folders) still
// lists the name as one.
bool ListedAsReparsePoint(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesW(LongPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// What the object open at `handle`, found under `path`, is.
EntryInfo InfoOf(HANDLE handle, const std::string& path) {
  EntryInfo entry = InfoOf(handle);
  if (entry.kind != EntryInfo::kMissing && entry.kind != EntryInfo::kLink && ListedAsReparsePoint(path)) {
    entry.kind = EntryInfo::kLink;
    entry.what = "a symbolic link";
  }
  return entry;
}

// What a name listed on a volume cannot be opened as: one a path would read
// as more than one name, a stream, or characters Windows reserves.
constexpr char kOddName[] = "a name Windows cannot open as it stands";

bool OpensAsItStands(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (const unsigned char c : name) {
    if (c < 0x20 || std::strchr("\\/:*?\"<>|", c) != nullptr) return false;
  }
  return true;
}

// Where a place is opened: its folder's whole path and its name (the path
// it was named by may hold "." or "..", which a long path cannot).
std::string Within(const FilePlace& place) { return JoinPath(place.folder()->path(), place.name()); }

std::string RefusedLink(const std::string& path) {
  return path + ": is a symbolic link; refusing to follow it on the volume";
}

// A C library descriptor over `handle`, which it then owns; -1 (the
// handle closed) when none can be had.
int DescriptorOf(HANDLE handle, int flags) {
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
  if (fd < 0) {
    ::CloseHandle(handle);
    ::SetLastError(ERROR_TOO_MANY_OPEN_FILES);
  }
  return fd;
}

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

}  // namespace

Folder::Folder(std::string path, int fd, void* handle, std::shared_ptr<const Folder> parent)
    : path_(std::move(path)), fd_(fd), handle_(handle), parent_(std::move(parent)) {
  id_ = InfoOf(static_cast<HANDLE>(handle_)).id;
}

Folder::~Folder() { ::CloseHandle(static_cast<HANDLE>(handle_)); }

namespace {

// `path` made whole ("." and ".." taken out) where it names a drive, as a
// path behind the long-path prefix must be. Only a path the user gave is
// made so: names found on a volume are joined as they are.
std::string WholePath(const std::string& path) {
  const std::wstring asked = Utf8ToWide(path);
  if (asked.size() < 3 || asked[1] != L':' || (asked[2] != L'\\' && asked[2] != L'/')) return path;
  const DWORD length = ::GetFullPathNameW(asked.c_str(), 0, nullptr, nullptr);
  if (length == 0) return path;
  std::wstring full(length, L'\0');
  const DWORD written = ::GetFullPathNameW(asked.c_str(), length, full.data(), nullptr);
  if (written == 0 || written >= length) return path;
  full.resize(written);
  return Narrow(full.data(), full.size());
}

}  // namespace

std::shared_ptr<const Folder> Folder::Open(const std::string& named) {
  const std::string path = WholePath(named);
  HANDLE handle = ::CreateFileW(LongPath(path).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                kShareFolder, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) throw FileError(path + ": cannot open the folder: " + Reason());
  if (InfoOf(handle).kind != EntryInfo::kFolder) {
    ::CloseHandle(handle);
    throw FileError(path + ": cannot open the folder: " + Reason(ERROR_DIRECTORY));
  }
  return std::shared_ptr<const Folder>(new Folder(path, -1, handle));
}

std::shared_ptr<const Folder> Folder::OpenVolume(const std::string& path) {
  // The whole path first ("D:" alone is that drive's current folder), then
  // each part of it from the root down.
  const std::wstring asked = Utf8ToWide(path);
  std::wstring full(MAX_PATH, L'\0');
  DWORD length = ::GetFullPathNameW(asked.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (length >= full.size()) {
    full.resize(length + 1);
    length = ::GetFullPathNameW(asked.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  }
  if (length == 0 || length >= full.size()) throw FileError(path + ": cannot open the folder: " + Reason());
  full.resize(length);
  for (wchar_t& c : full) {
    if (c == L'/') c = L'\\';
  }
  // The root: "D:\" or "\\server\share\".
  std::size_t root_end = 0;
  if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') {
    root_end = 3;
  } else if (full.rfind(L"\\\\", 0) == 0) {
    const std::size_t share = full.find(L'\\', 2);
    const std::size_t end = share == std::wstring::npos ? std::wstring::npos : full.find(L'\\', share + 1);
    root_end = end == std::wstring::npos ? full.size() : end + 1;
  } else {
    throw FileError(path + ": cannot open the folder: not a path on a drive");
  }
  std::string walked = Narrow(full.data(), root_end);
  auto folder = Open(walked);
  std::size_t at = root_end;
  while (at < full.size()) {
    std::size_t end = full.find(L'\\', at);
    if (end == std::wstring::npos) end = full.size();
    if (end > at) folder = folder->Child(Narrow(full.data() + at, end - at));
    at = end + 1;
  }
  return folder;
}

std::shared_ptr<const Folder> Folder::Child(const std::string& name) const {
  const std::string path = JoinPath(path_, name);
  if (!OpensAsItStands(name)) throw FileError(path + ": " + kOddName);
  HANDLE handle = OpenNoFollow(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareFolder);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    if (Entry(name).kind == EntryInfo::kLink) throw FileError(RefusedLink(path));
    throw FileError(path + ": cannot open the folder: " + Reason(error));
  }
  // Asked once the folder is held: its name cannot lead elsewhere now.
  const EntryInfo found = InfoOf(handle, path);
  if (found.kind != EntryInfo::kFolder) {
    ::CloseHandle(handle);
    if (found.kind == EntryInfo::kLink) throw FileError(RefusedLink(path));
    throw FileError(path + ": cannot open the folder: " + Reason(ERROR_DIRECTORY));
  }
  return std::shared_ptr<const Folder>(new Folder(path, -1, handle, shared_from_this()));
}

std::vector<std::string> Folder::Names() const {
  WIN32_FIND_DATAW found{};
  HANDLE search = ::FindFirstFileW(LongPath(JoinPath(path_, "*")).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    if (::GetLastError() == ERROR_FILE_NOT_FOUND) return {};
    throw FileError(path_ + ": cannot list the folder: " + Reason());
  }
  std::vector<std::string> names;
  do {
    const std::string name = Narrow(found.cFileName, std::wcslen(found.cFileName));
    if (name != "." && name != "..") names.push_back(name);
  } while (::FindNextFileW(search, &found));
  const DWORD error = ::GetLastError();
  ::FindClose(search);
  if (error != ERROR_NO_MORE_FILES) throw FileError(path_ + ": cannot list the folder: " + Reason(error));
  return names;
}

EntryInfo Folder::Entry(const std::string& name) const {
  EntryInfo entry;
  if (!OpensAsItStands(name)) {
    entry.kind = EntryInfo::kUnreadable;
    entry.what = kOddName;
    return entry;
  }
  HANDLE handle = OpenNoFollow(JoinPath(path_, name), FILE_READ_ATTRIBUTES, kShareAll);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
      entry.kind = EntryInfo::kUnreadable;
      entry.what = "cannot be looked at: " + Reason(error);
    }
    return entry;
  }
  entry = InfoOf(handle, JoinPath(path_, name));
  ::CloseHandle(handle);
  return entry;
}

std::optional<FileId> Folder::FolderBehind(const std::string& name) const {
  if (!OpensAsItStands(name)) return std::nullopt;
  HANDLE handle = ::CreateFileW(LongPath(JoinPath(path_, name)).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  const EntryInfo entry = InfoOf(handle);
  ::CloseHandle(handle);
  if (entry.kind != EntryInfo::kFolder) return std::nullopt;
  return entry.id;
}

std::optional<std::pair<std::string, FileId>> RunningWindowsFolder() {
  wchar_t folder[MAX_PATH + 1] = {};
  const UINT length = ::GetSystemWindowsDirectoryW(folder, MAX_PATH);
  if (length == 0 || length > MAX_PATH) return std::nullopt;
  const std::string path = Narrow(folder, length);
  HANDLE handle = ::CreateFileW(folder, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  const EntryInfo entry = InfoOf(handle);
  ::CloseHandle(handle);
  if (entry.kind != EntryInfo::kFolder) return std::nullopt;
  return std::make_pair(path, entry.id);
}

std::string KindOfFile(unsigned) { return "no regular file"; }

bool RemoveIfSame(const FilePlace& place, const FileId& id) {
  if (!place.folder()) return false;
  HANDLE handle = OpenNoFollow(Within(place), DELETE | FILE_READ_ATTRIBUTES, kShareAll);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const EntryInfo now = InfoOf(handle);
  FILE_DISPOSITION_INFO dispose{TRUE};
  const bool removed = now.kind == EntryInfo::kRegular && now.id == id &&
                       ::SetFileInformationByHandle(handle, FileDispositionInfo, &dispose, sizeof dispose);
  ::CloseHandle(handle);
  return removed;
}

std::optional<FileId> FilePlace::id() const {
  if (!folder_) return std::nullopt;
  HANDLE handle = ::CreateFileW(LongPath(Within(*this)).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                follow_link_ ? FILE_FLAG_BACKUP_SEMANTICS : kNoFollow, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  const EntryInfo entry = InfoOf(handle);
  ::CloseHandle(handle);
  return entry.id;
}

int OpenRegularFile(const FilePlace& place) {
  if (!place.folder()) throw FileError(place.path() + ": cannot read: " + place.open_error());
  HANDLE handle = ::CreateFileW(LongPath(Within(place)).c_str(), GENERIC_READ, kShareHeld, nullptr, OPEN_EXISTING,
                                place.follow_link() ? FILE_FLAG_BACKUP_SEMANTICS : kNoFollow, nullptr);
  if (handle == INVALID_HANDLE_VALUE) throw FileError(place.path() + ": cannot read: " + Reason());
  const EntryInfo found = place.follow_link() ? InfoOf(handle) : InfoOf(handle, Within(place));
  if (found.kind != EntryInfo::kRegular) {
    ::CloseHandle(handle);
    throw FileError(place.path() + ": not a regular file (" + found.what + "); refusing to read it");
  }
  const int fd = DescriptorOf(handle, _O_RDONLY);
  if (fd < 0) throw FileError(place.path() + ": cannot read: " + Reason());
  return fd;
}

std::optional<std::uint64_t> SizeOfFile(int fd) {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(HandleOf(fd), &size)) return std::nullopt;
  return static_cast<std::uint64_t>(size.QuadPart);
}

bool ReadAt(int fd, void* out, std::size_t size, std::uint64_t at) {
  auto* bytes = static_cast<char*>(out);
  while (size > 0) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD got = 0;
    const DWORD asked = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!::ReadFile(HandleOf(fd), bytes, asked, &got, &where)) return false;
    if (got == 0) {
      ::SetLastError(ERROR_HANDLE_EOF);
      return false;
    }
    bytes += got;
    size -= got;
    at += got;
  }
  return true;
}

bool WriteAt(int fd, const void* data, std::size_t size, std::uint64_t at) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD written = 0;
    const DWORD asked = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!::WriteFile(HandleOf(fd), bytes, asked, &written, &where) || written == 0) return false;
    bytes += written;
    size -= written;
    at += written;
  }
  return true;
}

bool TruncateFile(int fd, std::uint64_t size) {
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(size);
  return ::SetFilePointerEx(HandleOf(fd), at, nullptr, FILE_BEGIN) && ::SetEndOfFile(HandleOf(fd));
}

std::string ReadToEnd(int fd, std::uint64_t limit, const std::string& path, const std::string& what) {
  std::string bytes;
  char buffer[1 << 16];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(HandleOf(fd), buffer, sizeof buffer, &got, nullptr)) {
      throw FileError(path + ": cannot read: " + Reason());
    }
    if (got == 0) return bytes;
    bytes.append(buffer, got);
    if (bytes.size() > limit) throw FileError(path + ": larger than " + what + " can be");
  }
}

int OpenScratchFile() {
  wchar_t folder[MAX_PATH + 1] = {};
  const DWORD length = ::GetTempPathW(MAX_PATH, folder);
  if (length == 0 || length > MAX_PATH) return -1;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring name = std::wstring(folder, length) + Utf8ToWide("torvane-" + RandomSuffix() + ".tmp");
    HANDLE handle = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle != INVALID_HANDLE_VALUE) return DescriptorOf(handle, _O_RDWR);
    if (::GetLastError() != ERROR_FILE_EXISTS) return -1;
  }
  return -1;
}

int OpenNewVersion(const std::string& path) {
  HANDLE handle = OpenNoFollow(path, GENERIC_READ | GENERIC_WRITE, 0);
  if (handle == INVALID_HANDLE_VALUE) return -1;
  if (InfoOf(handle).kind != EntryInfo::kRegular) {
    ::CloseHandle(handle);
    ::SetLastError(ERROR_ACCESS_DENIED);
    return -1;
  }
  return DescriptorOf(handle, _O_RDWR);
}

std::string LastSystemError() { return Reason(); }

namespace {

// A name in the folder open at `root`, opened or made there the way ntdll
// does it: relative to the handle, so a folder swapped on the way since it
// was opened redirects nothing, and a reparse point opened as itself.
HANDLE OpenAt(HANDLE root, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition,
              ULONG options, PSECURITY_DESCRIPTOR security = nullptr) {
  using NtCreateFileFn = LONG(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                                      ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
  static const auto create = NtdllEntry<NtCreateFileFn>("NtCreateFile");
  static const auto to_error = NtdllEntry<ULONG(NTAPI*)(LONG)>("RtlNtStatusToDosError");
  if (create == nullptr || to_error == nullptr) {
    ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return INVALID_HANDLE_VALUE;
  }
  UNICODE_STRING text;
  text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  text.MaximumLength = text.Length;
  text.Buffer = const_cast<wchar_t*>(name.data());
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, root, security);
  IO_STATUS_BLOCK io{};
  HANDLE handle = nullptr;
  const LONG status = create(&handle, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                             disposition, options | kSynchronous | kOpenReparsePoint | kBackupIntent, nullptr, 0);
  if (status < 0) {
    ::SetLastError(to_error(status));
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

// Renames the file open at `file` to `name` in the folder open at `root`,
// never over another file.
bool RenameAt(HANDLE file, HANDLE root, const std::wstring& name) {
  using NtSetInformationFileFn = LONG(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, int);
  static const auto set = NtdllEntry<NtSetInformationFileFn>("NtSetInformationFile");
  static const auto to_error = NtdllEntry<ULONG(NTAPI*)(LONG)>("RtlNtStatusToDosError");
  if (set == nullptr || to_error == nullptr) {
    ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return false;
  }
  std::string buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t), '\0');
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = root;
  rename->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
  std::memcpy(rename->FileName, name.data(), name.size() * sizeof(wchar_t));
  IO_STATUS_BLOCK io{};
  const LONG status = set(file, &io, rename, static_cast<ULONG>(buffer.size()), kFileRenameInformation);
  if (status < 0) {
    ::SetLastError(to_error(status));
    return false;
  }
  return true;
}

// Deletes the file or empty folder open at `handle` (opened for DELETE and
// FILE_WRITE_ATTRIBUTES) once every handle to it is closed; read-only or not.
// False when it cannot be.
bool DeleteWhenClosed(HANDLE handle) {
  FILE_BASIC_INFO plain{};
  plain.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  ::SetFileInformationByHandle(handle, FileBasicInfo, &plain, sizeof plain);
  FILE_DISPOSITION_INFO dispose{TRUE};
  return ::SetFileInformationByHandle(handle, FileDispositionInfo, &dispose, sizeof dispose) != FALSE;
}

}  // namespace

// Every step goes through handles: the target's folder (held from the
// volume's root down), the private folder made in it, the new version made
// in that, and the original once it is shown to be the file that was read.
struct FileSet::Entry {
  std::string target;         // as named, for messages
  std::string fresh_name;     // the new version's path, for the hook and messages
  std::string folder;         // the private folder's path, for messages
  std::wstring name;          // the target's name in its folder
  std::shared_ptr<const Folder> directory;  // the target's folder, held
  UniqueHandle private_dir;   // the private folder beside it
  UniqueHandle fresh;         // the new version, from its making on
  UniqueHandle kept;          // the original, once moved aside as "old"
  bool had_original = false;
  bool only_new = false;      // never replaces a file under its name
  bool moved_away = false;    // the original is "old" in the private folder
  bool moved_in = false;      // the new version is under the target's name
  FileId original, made;

  HANDLE dir() const { return static_cast<HANDLE>(directory->handle()); }
  std::string NewPath() const { return fresh_name; }
  // The original under the target's name, opened as itself.
  HANDLE OpenOriginal(ACCESS_MASK access) const {
    return OpenAt(dir(), name, access, kShareAll, kOpen, kNonDirectory);
  }
  // Each returns what went wrong, or empty.
  std::string RenameIn() {
    if (had_original) {
      // The original goes aside by its handle, once it is shown to be the
      // file that was read: a file swapped in meanwhile is never taken.
      UniqueHandle handle(OpenOriginal(DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES));
      if (!handle.valid()) return Reason();
      const EntryInfo now = InfoOf(handle.get());
      if (now.kind != EntryInfo::kRegular || now.id != original) return "it was replaced meanwhile";
      if (!RenameAt(handle.get(), private_dir.get(), L"old")) return Reason();
      kept = std::move(handle);
      moved_away = true;
    }
    // The name is free now: a file that took it meanwhile is never replaced.
    if (!RenameAt(fresh.get(), dir(), name)) {
      std::string reason = Reason();
      if (moved_away) {
        if (RenameAt(kept.get(), dir(), name)) {
          moved_away = false;
        } else {
          reason += "; the original stays as " + JoinPath(folder, "old");
        }
      }
      return reason;
    }
    moved_in = true;
    ::FlushFileBuffers(fresh.get());
    return {};
  }
  std::string PutBack() {
    if (had_original) {
      // The new version goes back into the private folder first: a file
      // with the read-only attribute (the original's) cannot be replaced.
      if (moved_in) {
        if (!RenameAt(fresh.get(), private_dir.get(), L"new")) return Reason();
        moved_in = false;
      }
      if (moved_away) {
        if (!RenameAt(kept.get(), dir(), name)) return Reason();
        moved_away = false;
      }
    } else if (moved_in) {
      // Only the file this set put there goes: the one its handle holds.
      if (!DeleteWhenClosed(fresh.get())) return Reason();
      fresh.Reset();
    }
    moved_in = false;
    return {};
  }
  std::string FlushFolder() { return {}; }  // each moved file was flushed
  // The original moved aside and could not be put back under its name.
  bool LeftAside() const { return moved_away && !moved_in; }

  ~Entry() {
    if (!private_dir.valid()) return;
    if (!moved_in && fresh.valid()) DeleteWhenClosed(fresh.get());
    if (moved_in && moved_away && kept.valid()) DeleteWhenClosed(kept.get());
    fresh.Reset();
    kept.Reset();
    DeleteWhenClosed(private_dir.get());
  }
};

FileSet::FileSet() = default;
FileSet::~FileSet() = default;

namespace {

// Writes `bytes` into the new version `path` of `target`.
void WriteNew(const FilePlace& target, const std::string& path, int fd, std::string_view bytes) {
  UniqueFd opened;
  if (fd < 0) {
    opened.Reset(OpenNewVersion(path));
    fd = opened.get();
  }
  if (fd < 0) throw FileError(target.path() + ": cannot open its new version: " + Reason());
  if (!WriteAt(fd, bytes.data(), bytes.size(), 0)) throw FileError(target.path() + ": write failed: " + Reason());
}

// Enables the restore privilege of this process (administrators and SYSTEM
// hold it, disabled), which lets a file be given any owner; false when it
// cannot be.
bool EnableRestorePrivilege() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  const bool enabled = ::LookupPrivilegeValueW(nullptr, L"SeRestorePrivilege", &privileges.Privileges[0].Luid) &&
                       ::AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
                       ::GetLastError() == ERROR_SUCCESS;
  ::CloseHandle(token);
  return enabled;
}

// The new version open at `out` gets the security descriptor (owner, group,
// access list, each as stored) and the attributes of the original at
// `from`. Setting an owner other than oneself takes the restore privilege.
void TakeSecurity(HANDLE from, HANDLE out, const std::string& target) {
  const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD needed = 0;
  ::GetKernelObjectSecurity(from, parts, nullptr, 0, &needed);
  if (needed > 0) {
    std::string descriptor(needed, '\0');
    if (::GetKernelObjectSecurity(from, parts, descriptor.data(), needed, &needed) &&
        !::SetKernelObjectSecurity(out, parts, descriptor.data()) &&
        !(EnableRestorePrivilege() && ::SetKernelObjectSecurity(out, parts, descriptor.data()))) {
      throw FileError(target + ": cannot give its new version the owner and access it has: " + Reason());
    }
  }
  FILE_BASIC_INFO basic{};
  if (::GetFileInformationByHandleEx(from, FileBasicInfo, &basic, sizeof basic)) {
    FILE_BASIC_INFO attributes{};
    attributes.FileAttributes = basic.FileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                                        FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                                        FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    if (attributes.FileAttributes == 0) attributes.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!::SetFileInformationByHandle(out, FileBasicInfo, &attributes, sizeof attributes)) {
      throw FileError(target + ": cannot give its new version the attributes it has: " + Reason());
    }
  }
}

}  // namespace

void FileSet::AddEntry(const FilePlace& place, const std::function<void(const std::string& path, int fd)>& write,
                       bool only_new) {
  const std::string& target = place.path();
  RefuseEntry(entries_, place);
  auto entry = std::make_unique<Entry>();
  Entry& e = *entry;
  e.target = target;
  e.name = Utf8ToWide(place.name());
  e.directory = place.folder();
  e.only_new = only_new;
  const EntryInfo found = place.folder()->Entry(place.name());
  if (found.kind == EntryInfo::kLink) {
    throw FileError(target + ": is a symbolic link; refusing to write through it (name the file it leads to)");
  }
  if (found.kind != EntryInfo::kMissing && found.kind != EntryInfo::kRegular) {
    throw FileError(target + ": not a regular file; refusing to replace it");
  }
  e.had_original = found.kind == EntryInfo::kRegular;
  e.original = found.id;
  if (only_new && e.had_original) throw FileError(target + ": exists already; refusing to replace it");
  // Private: SYSTEM, the administrators and its owner only, nothing
  // inherited from the target's folder. A new file made in it keeps that
  // (a backup: as a file of mode 0600); one replacing another takes the
  // original's security.
  PSECURITY_DESCRIPTOR private_descriptor = nullptr;
  ::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;OW)",
                                                         SDDL_REVISION_1, &private_descriptor, nullptr);
  struct FreeDescriptor {
    PSECURITY_DESCRIPTOR descriptor;
    ~FreeDescriptor() { ::LocalFree(descriptor); }
  } free_descriptor{private_descriptor};
  for (int attempt = 0;; ++attempt) {
    const std::string folder = place.name() + ".torvane-" + RandomSuffix();
    e.private_dir = UniqueHandle(OpenAt(e.dir(), Utf8ToWide(folder),
                                        FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE | DELETE |
                                            FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, kCreate, kDirectory, private_descriptor));
    if (e.private_dir.valid()) {
      e.folder = JoinPath(place.folder()->path(), folder);
      break;
    }
    if (::GetLastError() != ERROR_ALREADY_EXISTS || attempt == 100) {
      throw FileError(target + ": cannot make a private folder beside it: " + Reason());
    }
  }
  e.fresh_name = JoinPath(e.folder, "new");
  e.fresh = UniqueHandle(OpenAt(e.private_dir.get(), L"new",
                                GENERIC_READ | GENERIC_WRITE | DELETE | WRITE_DAC | WRITE_OWNER, FILE_SHARE_READ,
                                kCreate, kNonDirectory));
  if (!e.fresh.valid()) throw FileError(target + ": cannot create its new version: " + Reason());

  {
    // The writer writes through a descriptor of its own over the same file.
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), e.fresh.get(), ::GetCurrentProcess(), &copy, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
      throw FileError(target + ": cannot open its new version: " + Reason());
    }
    const UniqueFd out(DescriptorOf(copy, _O_RDWR));
    if (out.get() < 0) throw FileError(target + ": cannot open its new version: " + Reason());
    write(e.NewPath(), out.get());
  }

  const EntryInfo written = InfoOf(e.fresh.get());
  if (written.kind != EntryInfo::kRegular) throw FileError(target + ": its new version is gone or no regular file");
  if (e.had_original) {
    UniqueHandle from(e.OpenOriginal(READ_CONTROL | FILE_READ_ATTRIBUTES));
    const EntryInfo now = from.valid() ? InfoOf(from.get()) : EntryInfo{};
    if (now.kind != EntryInfo::kRegular || now.id != e.original) {
      throw FileError(target + ": changed while being replaced");
    }
    TakeSecurity(from.get(), e.fresh.get(), target);
  }
  e.made = written.id;
  if (!::FlushFileBuffers(e.fresh.get())) throw FileError(target + ": cannot flush: " + Reason());
  entries_.push_back(std::move(entry));
}

FileLock::FileLock(const FilePlace& place) {
  const std::string& path = place.path();
  if (!place.folder()) throw FileError(path + ": cannot open: " + place.open_error());
  long waited_ms = 0;
  while (true) {
    const EntryInfo named = place.folder()->Entry(place.name());
    if (named.kind == EntryInfo::kLink) {
      throw FileError(path + ": is a symbolic link; refusing to write through it (name the file it leads to)");
    }
    if (named.kind != EntryInfo::kMissing && named.kind != EntryInfo::kRegular) {
      throw FileError(path + ": not a regular file; refusing to replace it");
    }
    UniqueHandle file(OpenNoFollow(Within(place), GENERIC_READ, kShareHeld));
    if (!file.valid()) throw FileError(path + ": cannot open: " + Reason());
    const EntryInfo held = InfoOf(file.get(), Within(place));
    if (held.kind == EntryInfo::kLink) {
      throw FileError(path + ": is a symbolic link; refusing to write through it (name the file it leads to)");
    }
    if (held.kind != EntryInfo::kRegular) throw FileError(path + ": not a regular file; refusing to replace it");
    // One byte far past any hive's end: runs take turns, readers meet nothing.
    for (;;) {
      OVERLAPPED where{};
      where.Offset = 0xFFFFFFF0u;
      where.OffsetHigh = 0x7FFFFFFFu;
      if (::LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where)) break;
      const DWORD error = ::GetLastError();
      if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) {
        throw FileError(path + ": cannot lock: " + Reason(error));
      }
      if (waited_ms >= LockWaitMilliseconds()) {
        throw FileError(path + ": another run is changing it (it stays locked); try again when it has finished");
      }
      ::Sleep(20);
      waited_ms += 20;
    }
    // The holder before us may have moved a new version in: lock that one.
    if (place.folder()->Entry(place.name()).id == held.id) {
      id_ = held.id;
      fd_ = DescriptorOf(file.Release(), _O_RDONLY);
      if (fd_ < 0) throw FileError(path + ": cannot open: " + Reason());
      return;
    }
  }
}

FileLock::~FileLock() {
  if (fd_ >= 0) ::_close(fd_);
}
#endif

void FileSet::Add(const FilePlace& target, std::string_view bytes) {
  AddEntry(target, [&](const std::string& path, int fd) { WriteNew(target, path, fd, bytes); }, false);
}

void FileSet::AddNew(const FilePlace& target, std::string_view bytes) {
  AddEntry(target, [&](const std::string& path, int fd) { WriteNew(target, path, fd, bytes); }, true);
}

void FileSet::AddWrittenBy(const FilePlace& place,
                           const std::function<void(const std::string& path, int fd)>& write) {
  AddEntry(place, write, false);
}

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
  // The file that failed may itself be left aside (its failure says where).
  const bool aside = done < entries_.size() && entries_[done]->LeftAside();
  if (stuck.empty() && !aside) throw FileSetError(failure + "; every file was left as it was", {});
  std::vector<std::string> changed = stuck;
  if (aside) changed.push_back(entries_[done]->target);
  std::string text = failure;
  if (!stuck.empty()) {
    std::string names;
    for (const std::string& name : stuck) names += (names.empty() ? "" : ", ") + name;
    text += "; could not put back " + names + ", which now hold" + (stuck.size() == 1 ? "s" : "") + " the new version";
  }
  throw FileSetError(text, changed);
}

void WriteFileAtomically(const FilePlace& path, std::string_view bytes, const BeforeReplaceHook& hook) {
  FileSet set;
  set.SetBeforeReplace(hook);
  set.Add(path, bytes);
  set.Commit();
}

std::optional<std::string> FindNoCase(const Folder& folder, const std::string& name) {
  std::optional<std::string> found;
  for (const std::string& entry : folder.Names()) {
    if (FoldName(entry) != FoldName(name)) continue;
    if (found) {
      throw FileError(JoinPath(folder.path(), name) + ": there are two, \"" + std::min(*found, entry) + "\" and \"" +
                      std::max(*found, entry) + "\"; refusing to guess which one Windows uses");
    }
    found = entry;
  }
  return found;
}

std::shared_ptr<const Folder> FolderOf(const std::shared_ptr<const Folder>& dir, const std::string& name) {
  if (!dir) return nullptr;
  const auto found = FindNoCase(*dir, name);
  return found ? dir->Child(*found) : nullptr;
}

std::optional<std::string> ReadBelow(std::shared_ptr<const Folder> folder, const std::vector<std::string>& path,
                                     std::size_t limit, std::string* where, std::optional<FilePlace>* found) {
  for (std::size_t i = 0; i + 1 < path.size() && folder; ++i) folder = FolderOf(folder, path[i]);
  if (!folder) return std::nullopt;
  const auto name = FindNoCase(*folder, path.back());
  if (!name) return std::nullopt;
  const FilePlace place(folder, *name);
  *where = place.path();
  if (found) *found = place;
  const UniqueFd fd(OpenRegularFile(place));
  return ReadToEnd(fd.get(), limit, place.path(), "a policy file");
}

}  // namespace torvane::registry
