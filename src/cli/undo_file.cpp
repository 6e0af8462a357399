#include "cli/undo_file.h"

#include <cerrno>
#include <cstring>

#include "cli/sources.h"
#include "registry/file_io.h"
#include "registry/names.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace torvane::cli {

namespace {

[[noreturn]] void RefuseSource(const std::string& path, const std::string& source) {
  throw SourceError(path + ": --backup names the source file " + source +
                    "; a backup never overwrites what it backs up. Nothing was changed.");
}

[[noreturn]] void RefuseExisting(const std::string& path) {
  throw SourceError(path + ": --backup names a file that exists; a backup never overwrites a file. Choose a new "
                           "name. Nothing was changed.");
}

// A backup made beside a hive under a name that, in another letter case, is
// the hive's own or one of its transaction logs' would be a second file of
// that name on Windows' volume: Windows might load or replay it in place of
// the real one. (On Windows itself it would be the log: replayed all the same.)
void RefuseNamesakes(const std::string& path, const std::vector<std::string>& sources) {
  const registry::FilePlace wanted(path);
  if (!wanted.folder()) return;
  const std::string name = registry::FoldName(wanted.name());
  for (const std::string& source : sources) {
    const registry::FilePlace hive(source);
    if (!hive.folder() || hive.folder()->id() != wanted.folder()->id()) continue;
    for (const char* suffix : {"", ".LOG", ".LOG1", ".LOG2"}) {
      if (name != registry::FoldName(hive.name() + suffix)) continue;
      throw SourceError(path + ": --backup names " + (*suffix ? "a transaction log of " : "") + source +
                        " in another letter case, which Windows would take for it. Nothing was changed.");
    }
  }
}

}  // namespace

void CheckBackupPath(const std::string& path, const std::vector<std::string>& sources) {
  // A path that names anything at all (a dangling link too) is refused; one
  // that leads to a source file says so.
  RefuseNamesakes(path, sources);
#ifdef _WIN32
  const registry::FilePlace place(path);
  if (!place.folder() || place.folder()->Entry(place.name()).kind == registry::EntryInfo::kMissing) return;
  if (const auto wanted = place.id()) {
    for (const std::string& source : sources) {
      if (registry::FilePlace(source).id() == wanted) RefuseSource(path, source);
    }
  }
#else
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
