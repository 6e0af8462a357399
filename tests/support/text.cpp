#include "support/text.h"

#include <iconv.h>

#include <cstdio>

#include <stdexcept>
#include <vector>

namespace torvane::testing {

// A conversion of its own, so that a fault in the library's cannot hide in
// both the expectation and the result.
std::string Gbk(const std::string& utf8) {
  iconv_t cd = iconv_open("GBK", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("no GBK converter");
  std::vector<char> out(utf8.size() * 2 + 4);
  char* src = const_cast<char*>(utf8.data());
  std::size_t src_left = utf8.size();
  char* dst = out.data();
  std::size_t dst_left = out.size();
  const std::size_t rc = iconv(cd, &src, &src_left, &dst, &dst_left);
  iconv_close(cd);
  if (rc == static_cast<std::size_t>(-1)) throw std::runtime_error("not convertible to GBK: " + utf8);
  return std::string(out.data(), static_cast<std::size_t>(dst - out.data()));
}

std::optional<std::string> CommandOutput(const std::string& command) {
  std::FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string bytes;
  char buffer[65536];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) bytes.append(buffer, n);
  if (::pclose(pipe) != 0) return std::nullopt;
  return bytes;
}

}  // namespace torvane::testing
