// Where a key of the 32-bit view lies, links on the way followed.
#pragma once

#include <string>

#include "registry/registry.h"

namespace torvane::registry {

// The stored path of `path` below `root` opened with `access` (see
// ViewPath), with every registry link on the way replaced by the key it
// points at, as far as the store shows it: a key that both views share
// through a link (Windows and Wine link some) gets one name. A link whose
// target is not an HKLM path of plain ASCII is left as it stands. Only
// 32-bit view opens of HKLM\SOFTWARE are looked at; others are ViewPath's.
std::string StoredViewPath(RegistryStore& store, HKey root, const std::string& path, std::uint32_t access);

}  // namespace torvane::registry
