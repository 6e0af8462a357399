#include "support/hive_builder.h"

#include <hivex.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "registry/codepage.h"
#include "registry/little_endian.h"

namespace torvane::testing {

namespace {

constexpr std::size_t kHeaderSize = 0x1000;

void Put32(std::string& bytes, std::size_t at, std::uint32_t value) { registry::PutLe32(bytes, at, value); }

std::uint32_t Get32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  return value;
}



void AddTree(hive_h* h, hive_node_h node, const registry::MemoryStore::Key& key) {
  std::vector<std::string> names, datas;
  std::vector<hive_set_value> values;
  for (const auto& value : key.values) {
    names.push_back(registry::GbkToUtf8(value.name));
    const registry::RegValue stored = registry::StoredForm(value);
    datas.emplace_back(stored.data.begin(), stored.data.end());
  }
  for (std::size_t i = 0; i < key.values.size(); ++i) {
    hive_set_value value{names[i].data(), hive_t_REG_NONE, datas[i].size(), datas[i].data()};
    // Any 32-bit type, also those hivex's enum does not list: copied as bits.
    std::memcpy(&value.t, &key.values[i].type, sizeof value.t);
    values.push_back(value);
  }
  if (!values.empty() && hivex_node_set_values(h, node, values.size(), values.data(), 0) != 0) {
    throw std::runtime_error("hivex_node_set_values failed");
  }
  for (const auto* child : key.Ordered()) {
    const hive_node_h added = hivex_node_add_child(h, node, registry::GbkToUtf8(child->name).c_str());
    if (added == 0) throw std::runtime_error("hivex_node_add_child failed for " + child->name);
    AddTree(h, added, *child);
  }
}

}  // namespace

void AppendFreeBin(const std::string& path, std::uint64_t bytes, bool in_use) {
  const int fd = ::open(path.c_str(), O_RDWR);
  if (fd < 0) throw std::runtime_error(path + ": cannot open");
  std::string header(kHeaderSize, '\0');
  std::string bin(0x24, '\0');
  bool ok = ::pread(fd, header.data(), header.size(), 0) == static_cast<ssize_t>(header.size());
  const std::uint64_t at = kHeaderSize + Get32(header, 0x28);
  bin.replace(0, 4, "hbin");
  Put32(bin, 4, static_cast<std::uint32_t>(at - kHeaderSize));
  Put32(bin, 8, static_cast<std::uint32_t>(bytes));
  const auto cell = static_cast<std::int32_t>(bytes - 0x20);
  Put32(bin, 0x20, static_cast<std::uint32_t>(in_use ? -cell : cell));  // positive: free
  Put32(header, 0x28, static_cast<std::uint32_t>(at + bytes - kHeaderSize));
  FixChecksum(header);
  ok = ok && ::ftruncate(fd, static_cast<off_t>(at + bytes)) == 0 &&
       ::pwrite(fd, bin.data(), bin.size(), static_cast<off_t>(at)) == static_cast<ssize_t>(bin.size()) &&
       ::pwrite(fd, header.data(), header.size(), 0) == static_cast<ssize_t>(header.size());
  ::close(fd);
  if (!ok) throw std::runtime_error(path + ": cannot append a bin");
}

void WriteHive(const std::string& path, const registry::MemoryStore::Key& root) {
  WriteFile(path, EmptyHive());
  hive_h* h = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
  if (h == nullptr) throw std::runtime_error("hivex cannot open the empty hive " + path);
  try {
    AddTree(h, hivex_root(h), root);
    if (hivex_commit(h, path.c_str(), 0) != 0) throw std::runtime_error("hivex_commit failed");
  } catch (...) {
    hivex_close(h);
    throw;
  }
  hivex_close(h);
}

void SetSecondarySequence(const std::string& path, std::uint32_t sequence) {
  std::string bytes = ReadFile(path);
  Put32(bytes, 0x08, sequence);
  FixChecksum(bytes);
  WriteFile(path, bytes);
}

void SetMinorVersion(const std::string& path, std::uint32_t minor) {
  std::string bytes = ReadFile(path);
  Put32(bytes, 0x18, minor);
  FixChecksum(bytes);
  WriteFile(path, bytes);
}

std::string SplitIntoSegments(const std::string& path, const std::string& name) {
  std::string bytes = ReadFile(path);
  std::size_t vk = std::string::npos;
  for (std::size_t at = bytes.find(name); at != std::string::npos; at = bytes.find(name, at + 1)) {
    if (at >= 0x18 && bytes.compare(at - 0x18 + 4, 2, "vk") == 0 && Get32(bytes, at - 0x18 + 4 + 2) % 0x10000 == name.size()) {
      vk = at - 0x18;
      break;
    }
  }
  if (vk == std::string::npos) throw std::runtime_error(path + ": no value named " + name);
  const std::size_t cell = kHeaderSize + Get32(bytes, vk + 12);
  const std::size_t length = static_cast<std::size_t>(-static_cast<std::int32_t>(Get32(bytes, cell)));
  if (length < 16400) throw std::runtime_error(path + ": the data of " + name + " is too small to split");
  // [db][list of two][segment of 16344 bytes][segment with the rest]
  const std::size_t list = cell + 16, first = list + 16, second = first + 16352;
  const std::size_t second_length = cell + length - second;
  const auto put_cell = [&](std::size_t at, std::size_t size) {
    Put32(bytes, at, static_cast<std::uint32_t>(-static_cast<std::int32_t>(size)));  // in use
  };
  put_cell(cell, 16);
  bytes.replace(cell + 4, 2, "db");
  bytes[cell + 6] = 2;
  bytes[cell + 7] = 0;
  Put32(bytes, cell + 8, static_cast<std::uint32_t>(list - kHeaderSize));
  put_cell(list, 16);
  Put32(bytes, list + 4, static_cast<std::uint32_t>(first - kHeaderSize));
  Put32(bytes, list + 8, static_cast<std::uint32_t>(second - kHeaderSize));
  put_cell(first, 16352);
  put_cell(second, second_length);
  std::string data;
  for (std::size_t i = 0; i < 16344; ++i) data.push_back(static_cast<char>(i % 251));
  for (std::size_t i = 0; i < second_length - 8; ++i) data.push_back(static_cast<char>(i % 13));
  bytes.replace(first + 4, 16344, data.substr(0, 16344));
  bytes.replace(second + 4, second_length - 8, data.substr(16344));
  Put32(bytes, vk + 8, static_cast<std::uint32_t>(data.size()));
  Put32(bytes, 0x18, 5);
  FixChecksum(bytes);
  WriteFile(path, bytes);
  return data;
}

std::string ScratchDirectory(const std::string& name) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("torvane-" + name + "-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir.string();
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace torvane::testing
