#include "registry/utf.h"

#include "registry/codepage.h"

namespace torvane::registry {

std::size_t DecodeUtf8(std::string_view text, std::uint32_t* code, Surrogates surrogates) {
  if (text.empty()) return 0;
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  std::uint32_t min = 0;
  if (lead < 0x80) {
    *code = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, min = 0x80, *code = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, min = 0x800, *code = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, min = 0x10000, *code = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    *code = *code << 6 | (byte(i) & 0x3F);
  }
  if (*code < min || *code > 0x10FFFF) return 0;
  if (surrogates == Surrogates::kRefused && *code >= 0xD800 && *code <= 0xDFFF) return 0;
  return length;
}

std::string Utf16leToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  const std::size_t units = bytes.size() / 2;
  auto unit = [&](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                      (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  };
  for (std::size_t i = 0; i < units; ++i) {
    std::uint32_t code = unit(i);
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
      ++i;
    }
    AppendUtf8(out, code);
  }
  return out;
}

namespace {

// Decodes one (W)UTF-8 sequence at `text[*i]`; false when it is malformed.
bool NextCode(std::string_view text, std::size_t* i, std::uint32_t* code) {
  const std::size_t length = DecodeUtf8(text.substr(*i), code, Surrogates::kAllowed);
  *i += length;
  return length != 0;
}

void AppendUnit(std::string& out, std::uint32_t unit) {
  out.push_back(static_cast<char>(unit & 0xFF));
  out.push_back(static_cast<char>(unit >> 8));
}

}  // namespace

std::string Utf8ToUtf16le(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t code = 0;
    if (!NextCode(text, &i, &code)) {
      AppendUnit(out, 0xFFFD);
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      AppendUnit(out, 0xD800 + (code >> 10));
      AppendUnit(out, 0xDC00 + (code & 0x3FF));
    } else {
      AppendUnit(out, code);
    }
  }
  return out;
}

std::size_t Utf8FaultAt(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t code = 0;
    const std::size_t at = i;
    if (!NextCode(text, &i, &code)) return at;
  }
  return std::string_view::npos;
}

std::string ShowNuls(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  for (const char c : text) {
    if (c == '\0') {
      shown.append("\\x00");
    } else {
      shown.push_back(c);
    }
  }
  return shown;
}

bool IsExactUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t code = 0;
    if (!NextCode(text, &i, &code)) return false;
  }
  // A high surrogate followed by a low one would come back as one pair.
  return Utf16leToUtf8(Utf8ToUtf16le(text)) == text;
}

std::size_t GbkFaultAt(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte == 0xFF) return i;
    if (byte < 0x81) continue;
    if (i + 1 >= bytes.size()) return i;
    const auto trail = static_cast<unsigned char>(bytes[i + 1]);
    if (trail < 0x40 || trail == 0x7F || trail == 0xFF) return i;
    ++i;
  }
  return std::string_view::npos;
}

bool IsWellFormedGbk(std::string_view bytes) { return GbkFaultAt(bytes) == std::string_view::npos; }

std::string FoldUtf8(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return folded;
}

bool Utf8NamesEqual(std::string_view a, std::string_view b) {
  return a.size() == b.size() && FoldUtf8(a) == FoldUtf8(b);
}

std::vector<std::string> SplitUtf8Path(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) parts.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

}  // namespace torvane::registry
