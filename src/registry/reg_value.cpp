#include "registry/reg_value.h"

#include <cstring>

#include "registry/codepage.h"

namespace torvane::registry {

RegValue StoredForm(const RegValue& value) {
  if (value.raw) return value;
  RegValue stored = value;
  stored.raw = true;
  if (IsTextType(value.type)) {
    const std::string utf16 = GbkToUtf16le(std::string(value.data.begin(), value.data.end()));
    stored.data.assign(utf16.begin(), utf16.end());
  }
  return stored;
}

RegValue AnsiForm(const RegValue& value) {
  if (!value.raw) return value;
  RegValue ansi = value;
  ansi.raw = false;
  if (IsTextType(value.type)) {
    const std::string_view utf16(reinterpret_cast<const char*>(value.data.data()), value.data.size() & ~std::size_t{1});
    const std::string gbk = Utf16leToGbk(utf16);
    ansi.data.assign(gbk.begin(), gbk.end());
  }
  return ansi;
}

long CopyValueOut(const RegValue& stored, std::uint32_t* type, std::uint8_t* data, std::uint32_t* size) {
  const RegValue value = AnsiForm(stored);
  if (type != nullptr) *type = value.type;
  const auto needed = static_cast<std::uint32_t>(value.data.size());
  if (data == nullptr) {
    if (size != nullptr) *size = needed;
    return kSuccess;
  }
  if (*size < needed) {
    *size = needed;
    return kMoreData;
  }
  if (needed > 0) std::memcpy(data, value.data.data(), needed);
  *size = needed;
  return kSuccess;
}

}  // namespace torvane::registry
