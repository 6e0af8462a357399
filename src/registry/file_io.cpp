#include "registry/file_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace torvane::registry {

namespace {

std::string Reason() { return std::strerror(errno); }

#ifndef _WIN32
void SyncPath(const std::string& path, bool directory) {
  const int fd = ::open(path.c_str(), directory ? O_RDONLY | O_DIRECTORY : O_RDWR);
  if (fd < 0) throw FileError(path + ": cannot open to flush: " + Reason());
  const int rc = ::fsync(fd);
  const std::string reason = Reason();
  ::close(fd);
  if (rc != 0) throw FileError(path + ": cannot flush: " + reason);
}

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}
#endif

}  // namespace

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FileError(path + ": cannot read: " + Reason());
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) throw FileError(path + ": read failed");
  return bytes.str();
}

std::string TemporaryBeside(const std::string& path) {
#ifdef _WIN32
  return path + ".torvane-" + std::to_string(GetCurrentProcessId()) + ".tmp";
#else
  return path + ".torvane-" + std::to_string(::getpid()) + ".tmp";
#endif
}

void ReplaceFile(const std::string& temporary, const std::string& path, const BeforeReplaceHook& hook) {
  try {
#ifdef _WIN32
    HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw FileError(temporary + ": cannot open to flush");
    const BOOL flushed = FlushFileBuffers(file);
    CloseHandle(file);
    if (!flushed) throw FileError(temporary + ": cannot flush");
    if (hook) hook(temporary);
    if (!MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      throw FileError(path + ": cannot replace (error " + std::to_string(GetLastError()) + ")");
    }
#else
    SyncPath(temporary, false);
    if (hook) hook(temporary);
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
      throw FileError(path + ": cannot replace: " + Reason());
    }
    SyncPath(DirectoryOf(path), true);
#endif
  } catch (...) {
    std::remove(temporary.c_str());
    throw;
  }
}

void WriteFileAtomically(const std::string& path, const std::string& bytes, const BeforeReplaceHook& hook) {
  const std::string temporary = TemporaryBeside(path);
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) throw FileError(temporary + ": cannot create: " + Reason());
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      std::remove(temporary.c_str());
      throw FileError(temporary + ": write failed");
    }
  }
  ReplaceFile(temporary, path, hook);
}

}  // namespace torvane::registry
