// Test helpers for texts: the tests are compiled as UTF-8 and compare against
// the program's GBK bytes through an independent conversion.
#pragma once

#include <string>

namespace torvane::testing {

// The GBK bytes of a UTF-8 literal.
std::string Gbk(const std::string& utf8);

}  // namespace torvane::testing
