// A registry value: its name, type and data, and the two forms the data
// takes (as the registry stores it, and as the A entry points show it).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "registry/registry.h"

namespace torvane::registry {

struct RegValue {
  std::string name;  // as first written; the empty name is the default value
  std::uint32_t type = kRegNone;
  std::vector<std::uint8_t> data;
  // The data is what the registry stores (text types in UTF-16LE), not the
  // A entry points' GBK view of it. Backups and restores carry raw values;
  // the seven operations still see the GBK view.
  bool raw = false;

  bool operator==(const RegValue& other) const = default;
};

// The value as the registry stores it: a GBK text converted as RegSetValueExA
// converts it; a raw value as it is.
RegValue StoredForm(const RegValue& value);
// The value as RegQueryValueExA returns it.
RegValue AnsiForm(const RegValue& value);

// Answers RegQueryValueExA from `value` (its GBK view) as Win32 does: the size alone when
// `data` is null, kMoreData and the size needed when it does not fit.
long CopyValueOut(const RegValue& value, std::uint32_t* type, std::uint8_t* data, std::uint32_t* size);

}  // namespace torvane::registry
