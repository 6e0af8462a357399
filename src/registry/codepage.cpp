#include "registry/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <stdexcept>

namespace torvane::registry {

namespace {

// Windows code page 936 is GBK with the euro sign at 0x80.
constexpr const char* kAnsi = "CP936";

class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) {
      throw std::runtime_error(std::string("iconv cannot convert ") + from + " to " + to);
    }
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  ~Converter() { iconv_close(cd_); }

  // Converts `in`; a sequence that does not convert becomes `replacement`
  // and the conversion goes on `skip` bytes later.
  std::string Convert(std::string_view in, std::string_view replacement, std::size_t skip) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    std::string out;
    out.reserve(in.size() * 2 + 8);
    char* src = const_cast<char*>(in.data());
    std::size_t src_left = in.size();
    char buffer[4096];
    while (src_left > 0) {
      char* dst = buffer;
      std::size_t dst_left = sizeof buffer;
      const std::size_t rc = iconv(cd_, &src, &src_left, &dst, &dst_left);
      out.append(buffer, static_cast<std::size_t>(dst - buffer));
      if (rc != static_cast<std::size_t>(-1)) continue;
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL (truncated sequence at the end): replace and step on.
      out.append(replacement);
      const std::size_t step = skip < src_left ? skip : src_left;
      src += step;
      src_left -= step;
    }
    return out;
  }

 private:
  iconv_t cd_;
};

}  // namespace

std::string GbkToUtf8(std::string_view gbk) {
  thread_local Converter converter("UTF-8", kAnsi);
  return converter.Convert(gbk, "?", 1);
}

std::string Utf8ToGbk(std::string_view utf8) {
  thread_local Converter converter(kAnsi, "UTF-8");
  return converter.Convert(utf8, "?", 1);
}

std::string Utf16leToGbk(std::string_view utf16le) {
  thread_local Converter converter(kAnsi, "UTF-16LE");
  return converter.Convert(utf16le, "?", 2);
}

std::string GbkToUtf16le(std::string_view gbk) {
  thread_local Converter converter("UTF-16LE", kAnsi);
  return converter.Convert(gbk, std::string_view("?\0", 2), 1);
}

}  // namespace torvane::registry
