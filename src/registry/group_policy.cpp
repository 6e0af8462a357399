#include "registry/group_policy.h"

#include <algorithm>
#include <charconv>
#include <utility>

#include "registry/codepage.h"

namespace torvane::registry {

void PolicyEvidence::Add(HKey root, PolicyOrigin origin, PregFile file, bool trusted) {
  files_.push_back(File{root, std::move(origin), std::move(file), trusted});
}

std::optional<PolicyOrigin> PolicyEvidence::SetBy(HKey root, std::string_view path, std::string_view name,
                                                  std::uint32_t type, std::span<const std::uint8_t> data) const {
  const std::u16string key = PregText(GbkToUtf8(path)), value = PregText(GbkToUtf8(name));
  for (auto file = files_.rbegin(); file != files_.rend(); ++file) {
    if (file->root != root || !file->trusted) continue;
    const PregEffect effect = file->file.Effect(key, value);
    if (effect.kind == PregEffect::Kind::kSilent) continue;
    // The last file with a word on the value decides it: a later delete, or
    // other data, is not the policy that put this value there.
    const bool sets = effect.kind == PregEffect::Kind::kSets || effect.kind == PregEffect::Kind::kSetsIfAbsent;
    if (!sets || effect.type != type || !std::equal(effect.data.begin(), effect.data.end(), data.begin(), data.end())) {
      return std::nullopt;
    }
    return file->origin;
  }
  return std::nullopt;
}

std::optional<std::string> RaisedGptVersion(std::string_view gpt_ini, bool machine, std::string* why) {
  const auto refuse = [&](const char* reason) -> std::optional<std::string> {
    if (why != nullptr) *why = reason;
    return std::nullopt;
  };
  std::size_t line = 0;
  while (line <= gpt_ini.size()) {
    const std::size_t end = std::min(gpt_ini.find('\n', line), gpt_ini.size());
    std::string_view text = gpt_ini.substr(line, end - line);
    constexpr std::string_view kKey = "version=";
    if (text.size() > kKey.size() &&
        std::equal(kKey.begin(), kKey.end(), text.begin(), [](char a, char b) {
          return a == (b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : b);
        })) {
      std::string_view number = text.substr(kKey.size());
      if (!number.empty() && number.back() == '\r') number.remove_suffix(1);
      std::uint32_t version = 0;
      const auto [at, error] = std::from_chars(number.data(), number.data() + number.size(), version);
      if (error != std::errc() || at != number.data() + number.size()) return refuse("no version to raise");
      std::uint32_t part = machine ? (version & 0xFFFF) : (version >> 16);
      if (part == 0xFFFF) {
        return refuse(machine ? "the version of its machine part is at its top (65535) and cannot be raised"
                              : "the version of its user part is at its top (65535) and cannot be raised");
      }
      ++part;
      version = machine ? ((version & 0xFFFF0000u) | part) : ((version & 0xFFFFu) | (part << 16));
      const std::size_t start = line + kKey.size();
      return std::string(gpt_ini.substr(0, start)) + std::to_string(version) +
             std::string(gpt_ini.substr(start + (at - number.data())));
    }
    if (end == gpt_ini.size()) break;
    line = end + 1;
  }
  return refuse("no version to raise");
}

}  // namespace torvane::registry
