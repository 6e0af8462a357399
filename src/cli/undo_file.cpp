#include "cli/undo_file.h"

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <unordered_set>

#include "cli/sources.h"
#include "registry/file_io.h"
#include "registry/names.h"
#include "registry/owned.h"
#include "registry/reg_tree.h"
#include "registry/utf.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace torvane::cli {

using registry::HKey;
using registry::RegEntry;
using registry::RegFile;
using registry::RegFormat;
using registry::RegTarget;
using registry::RegValue;

namespace {

[[noreturn]] void RefuseSource(const std::string& path, const std::string& source) {
  throw SourceError(path + ": --backup names the source file " + source +
                    "; a backup never overwrites what it backs up. Nothing was changed.");
}

[[noreturn]] void RefuseExisting(const std::string& path) {
  throw SourceError(path + ": --backup names a file that exists; a backup never overwrites a file. Choose a new "
                           "name. Nothing was changed.");
}

#ifdef _WIN32
// The volume and file index of what `path` leads to; false when it cannot
// be opened.
bool FileIdOf(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
  const registry::UniqueHandle file(CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return file.valid() && GetFileInformationByHandle(file.get(), info) != FALSE;
}
#else
// A backup made beside a hive under a name that, in another letter case, is
// the hive's own or one of its transaction logs' would be a second file of
// that name on Windows' volume: Windows might load or replay it in place of
// the real one.
void RefuseNamesakes(const std::string& path, const std::vector<std::string>& sources) {
  namespace fs = std::filesystem;
  const fs::path wanted(path);
  struct stat folder{};
  if (::stat((wanted.has_parent_path() ? wanted.parent_path() : fs::path(".")).c_str(), &folder) != 0) return;
  const std::string name = registry::FoldName(wanted.filename().string());
  for (const std::string& source : sources) {
    const fs::path hive(source);
    struct stat hive_folder{};
    if (::stat((hive.has_parent_path() ? hive.parent_path() : fs::path(".")).c_str(), &hive_folder) != 0 ||
        hive_folder.st_dev != folder.st_dev || hive_folder.st_ino != folder.st_ino) {
      continue;
    }
    for (const char* suffix : {"", ".LOG", ".LOG1", ".LOG2"}) {
      if (name != registry::FoldName(hive.filename().string() + suffix)) continue;
      throw SourceError(path + ": --backup names " + (*suffix ? "a transaction log of " : "") + source +
                        " in another letter case, which Windows would take for it. Nothing was changed.");
    }
  }
}
#endif

}  // namespace

void CheckBackupPath(const std::string& path, const std::vector<std::string>& sources) {
  // A path that names anything at all (a dangling link too) is refused; one
  // that leads to a source file says so.
#ifdef _WIN32
  if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return;
    throw SourceError(path + ": cannot look at the --backup path: error " + std::to_string(code) +
                      ". Nothing was changed.");
  }
  BY_HANDLE_FILE_INFORMATION wanted{};
  if (FileIdOf(path, &wanted)) {
    for (const std::string& source : sources) {
      BY_HANDLE_FILE_INFORMATION info{};
      if (FileIdOf(source, &info) && info.dwVolumeSerialNumber == wanted.dwVolumeSerialNumber &&
          info.nFileIndexHigh == wanted.nFileIndexHigh && info.nFileIndexLow == wanted.nFileIndexLow) {
        RefuseSource(path, source);
      }
    }
  }
#else
  RefuseNamesakes(path, sources);
  struct stat link{};
  if (::lstat(path.c_str(), &link) != 0) {
    if (errno == ENOENT) return;
    throw SourceError(path + ": cannot look at the --backup path: " + std::strerror(errno) + ". Nothing was changed.");
  }
  struct stat wanted{};
  if (::stat(path.c_str(), &wanted) == 0) {
    for (const std::string& source : sources) {
      struct stat info{};
      if (::stat(source.c_str(), &info) == 0 && info.st_dev == wanted.st_dev && info.st_ino == wanted.st_ino) {
        RefuseSource(path, source);
      }
    }
  }
#endif
  RefuseExisting(path);
}

}  // namespace torvane::cli
