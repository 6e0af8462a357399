// The fixed list of security tools whose names an image hijack takes.
#pragma once

#include <array>

namespace torvane::repair {

inline constexpr int kProtectedToolCount = 115;

// In the fixed order; entries 9, 14, 75 and 91 end with a blank.
extern const std::array<const char*, kProtectedToolCount> kProtectedTools;

}  // namespace torvane::repair
