// Test helpers for texts: the tests are compiled as UTF-8 and compare against
// the program's GBK bytes through an independent conversion.
#pragma once

#include <optional>
#include <string>

namespace torvane::testing {

// The GBK bytes of a UTF-8 literal.
std::string Gbk(const std::string& utf8);

// What the shell command writes to its standard output (its standard error
// dropped); nullopt when it cannot be run or exits other than with 0.
std::optional<std::string> CommandOutput(const std::string& command);

}  // namespace torvane::testing
