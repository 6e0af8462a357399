#include <windows.h>

#include "registry/codepage.h"

namespace torvane::registry {

namespace {

constexpr UINT kAnsi = 936;

std::wstring ToWide(std::string_view text, UINT code_page) {
  if (text.empty()) return {};
  const int length = MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

std::string FromWide(std::wstring_view wide, UINT code_page) {
  if (wide.empty()) return {};
  const int length = WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                         nullptr, nullptr);
  std::string text(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()), text.data(), length, nullptr,
                      nullptr);
  return text;
}

std::wstring FromUtf16le(std::string_view bytes) {
  std::wstring wide(bytes.size() / 2, L'\0');
  for (std::size_t i = 0; i < wide.size(); ++i) {
    wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                   (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
  return wide;
}

std::string ToUtf16le(std::wstring_view wide) {
  std::string bytes(wide.size() * 2, '\0');
  for (std::size_t i = 0; i < wide.size(); ++i) {
    bytes[2 * i] = static_cast<char>(wide[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<char>((wide[i] >> 8) & 0xFF);
  }
  return bytes;
}

}  // namespace

std::string GbkToUtf8(std::string_view gbk) { return FromWide(ToWide(gbk, kAnsi), CP_UTF8); }
std::string Utf8ToGbk(std::string_view utf8) { return FromWide(ToWide(utf8, CP_UTF8), kAnsi); }
std::string Utf16leToGbk(std::string_view utf16le) { return FromWide(FromUtf16le(utf16le), kAnsi); }
std::string GbkToUtf16le(std::string_view gbk) { return ToUtf16le(ToWide(gbk, kAnsi)); }

}  // namespace torvane::registry
