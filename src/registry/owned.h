// Owners of what the system hands out: a descriptor, a read-only mapping of
// a file, a Windows handle. Each gives back what it holds when it goes, on
// every path out, so that no function closes by hand.
#pragma once

#include <cstddef>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace torvane::registry {

// An open file descriptor (on Windows the C library's, over a handle); -1
// holds none.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = other.Release();
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1) {
#ifdef _WIN32
    if (fd_ >= 0) ::_close(fd_);
#else
    if (fd_ >= 0) ::close(fd_);
#endif
    fd_ = fd;
  }

 private:
  int fd_;
};

#ifndef _WIN32

// A whole file mapped for reading; empty (null data) when it could not be,
// or when the file is shorter than `at_least`. The mapping outlives the
// descriptor it was made from.
class Mapping {
 public:
  explicit Mapping(int fd, std::size_t at_least = 1) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || info.st_size <= 0 || static_cast<std::size_t>(info.st_size) < at_least) return;
    void* at = ::mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ, MAP_SHARED, fd, 0);
    if (at == MAP_FAILED) return;
    data_ = static_cast<const unsigned char*>(at);
    size_ = static_cast<std::size_t>(info.st_size);
  }
  // A private copy of the file's first `file_bytes` bytes, `size` bytes long
  // (zeros past them), that this process may write into: a page is copied
  // only when it is written, and nothing reaches the file. Empty when it
  // cannot be made.
  static Mapping PrivateCopy(int fd, std::size_t file_bytes, std::size_t size) {
    Mapping copy;
    if (size == 0) return copy;
    void* at = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (at == MAP_FAILED) return copy;
    copy.data_ = static_cast<const unsigned char*>(at);
    copy.size_ = size;
    const std::size_t from_file = file_bytes < size ? file_bytes : size;
    if (from_file > 0 &&
        ::mmap(at, from_file, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED, fd, 0) == MAP_FAILED) {
      return Mapping();
    }
    return copy;
  }
  Mapping(Mapping&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
  }
  ~Mapping() {
    if (data_ != nullptr) ::munmap(const_cast<unsigned char*>(data_), size_);
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;

  const unsigned char* data() const { return data_; }
  std::size_t size() const { return size_; }
  // The bytes of a private copy, to write into.
  unsigned char* private_data() const { return const_cast<unsigned char*>(data_); }

 private:
  Mapping() = default;
  const unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
};

#else  // _WIN32

// The same on Windows, where the bytes are read into memory of this
// process: a file mapped there could not be renamed or replaced while the
// mapping stays, and a commit replaces a hive its run still reads.
class Mapping {
 public:
  explicit Mapping(int fd, std::size_t at_least = 1) {
    LARGE_INTEGER size{};
    HANDLE file = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (!::GetFileSizeEx(file, &size) || size.QuadPart <= 0) return;
    // More than this process can address (a 32-bit one, a file past 4 GB).
    if (static_cast<unsigned long long>(size.QuadPart) > static_cast<std::size_t>(-1)) {
      ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return;
    }
    if (static_cast<std::size_t>(size.QuadPart) < at_least) return;
    if (Allocate(static_cast<std::size_t>(size.QuadPart)) && !ReadInto(file, size_)) Free();
  }
  // A copy of the file's first `file_bytes` bytes, `size` bytes long (zeros
  // past them), that this process may write into. Empty when it cannot be
  // made.
  static Mapping PrivateCopy(int fd, std::size_t file_bytes, std::size_t size) {
    Mapping copy;
    if (size == 0 || !copy.Allocate(size)) return copy;
    const std::size_t from_file = file_bytes < size ? file_bytes : size;
    if (from_file > 0 && !copy.ReadInto(reinterpret_cast<HANDLE>(::_get_osfhandle(fd)), from_file)) copy.Free();
    return copy;
  }
  Mapping(Mapping&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
  }
  ~Mapping() { Free(); }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;

  const unsigned char* data() const { return data_; }
  std::size_t size() const { return size_; }
  unsigned char* private_data() const { return const_cast<unsigned char*>(data_); }

 private:
  Mapping() = default;
  bool Allocate(std::size_t size) {
    void* at = ::VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (at == nullptr) {
      // Whatever the call says (a size past the address space is an
      // "invalid parameter"), the memory is not there.
      ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return false;
    }
    data_ = static_cast<const unsigned char*>(at);
    size_ = size;
    return true;
  }
  // The file's first `count` bytes, read from its start.
  bool ReadInto(HANDLE file, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
      OVERLAPPED where{};
      where.Offset = static_cast<DWORD>(static_cast<unsigned long long>(done));
      where.OffsetHigh = static_cast<DWORD>(static_cast<unsigned long long>(done) >> 32);
      const std::size_t left = count - done;
      DWORD got = 0;
      if (!::ReadFile(file, private_data() + done, static_cast<DWORD>(left < (1u << 30) ? left : (1u << 30)), &got,
                      &where) ||
          got == 0) {
        return false;
      }
      done += got;
    }
    return true;
  }
  void Free() {
    if (data_ != nullptr) ::VirtualFree(const_cast<unsigned char*>(data_), 0, MEM_RELEASE);
    data_ = nullptr;
    size_ = 0;
  }
  const unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
};

// A kernel handle; null and INVALID_HANDLE_VALUE hold none.
class UniqueHandle {
 public:
  explicit UniqueHandle(HANDLE handle = nullptr) : handle_(handle) {}
  ~UniqueHandle() { Reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      handle_ = other.Release();
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }
  void Reset(HANDLE handle = nullptr) {
    if (valid()) ::CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_;
};

#endif

}  // namespace torvane::registry
