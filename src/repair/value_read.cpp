#include "repair/value_read.h"

#include <algorithm>

#include "repair/engine.h"

namespace torvane::repair {

using registry::HKey;
using registry::RegistryStore;

namespace {
// A value may grow between the size probe and the read; give up after a few
// rounds rather than chase a writer for ever.
constexpr int kReadAttempts = 4;
}  // namespace

std::optional<Bytes> ReadValue(RegistryStore& store, HKey key, const std::string& name,
                               std::uint32_t first_capacity, long* status) {
  long ignored = 0;
  long& rc = status != nullptr ? *status : ignored;
  rc = registry::kInvalidHandle;
  if (key == registry::kNullKey) return std::nullopt;
  Bytes buffer(std::max<std::uint32_t>(first_capacity, 1), 0);
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    auto size = static_cast<std::uint32_t>(buffer.size());
    rc = store.RegQueryValueExA(key, name, nullptr, buffer.data(), &size);
    if (rc == registry::kSuccess) {
      buffer.resize(std::min<std::size_t>(size, buffer.size()));
      return buffer;
    }
    if (rc != registry::kMoreData || size <= buffer.size()) return std::nullopt;
    buffer.assign(size, 0);
  }
  return std::nullopt;
}

std::string TextOf(const std::optional<Bytes>& data) {
  if (!data) return {};
  auto end = std::find(data->begin(), data->end(), std::uint8_t{0});
  return std::string(data->begin(), end);
}

std::uint8_t FirstByteOf(const std::optional<Bytes>& data) {
  return data && !data->empty() ? (*data)[0] : 0;
}

std::uint32_t NumberOf(const std::optional<Bytes>& data) {
  std::uint32_t number = 0;
  if (!data) return number;
  for (std::size_t i = 0; i < 4 && i < data->size(); ++i) {
    number |= static_cast<std::uint32_t>((*data)[i]) << (8 * i);
  }
  return number;
}

long WriteText(RegistryStore& store, HKey key, const std::string& name, const std::string& text) {
  Bytes data(text.begin(), text.end());
  data.push_back(0);
  return store.RegSetValueExA(key, name, 0, registry::kRegSz, data.data(),
                              static_cast<std::uint32_t>(data.size()));
}

long WriteNumber(RegistryStore& store, HKey key, const std::string& name, std::uint32_t number) {
  const std::uint8_t data[4] = {static_cast<std::uint8_t>(number),
                                static_cast<std::uint8_t>(number >> 8),
                                static_cast<std::uint8_t>(number >> 16),
                                static_cast<std::uint8_t>(number >> 24)};
  return store.RegSetValueExA(key, name, 0, registry::kRegDword, data, 4);
}

std::string SystemDirectoryOf(RegistryStore& store) {
  registry::ScopedKey key(store);
  key.Open(registry::kLocalMachine, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", registry::kKeyRead);
  const std::string root = TextOf(ReadValue(store, key.get(), "SystemRoot", 100));
  return root.empty() ? kDefaultSystemDirectory : root + "\\system32";
}

}  // namespace torvane::repair
