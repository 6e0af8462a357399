// ReadWholeFile, apart from the rest of file_io.cpp: the .reg parser needs
// it, and programs that parse .reg files but never change files on a volume
// should not carry the file sets, locks and folders.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include "registry/file_io.h"
#include "registry/utf.h"

namespace torvane::registry {

std::string ReadWholeFile(const std::string& path, std::size_t limit) {
#ifdef _WIN32
  // The path is UTF-8, as every path the programs carry.
  const std::string units = Utf8ToUtf16le(path);
  std::wstring wide(units.size() / 2, L'\0');
  std::memcpy(wide.data(), units.data(), wide.size() * 2);
  std::FILE* file = ::_wfopen(wide.c_str(), L"rb");
#else
  std::FILE* file = std::fopen(path.c_str(), "rb");
#endif
  if (file == nullptr) throw FileError(path + ": cannot read: " + std::strerror(errno));
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

}  // namespace torvane::registry
