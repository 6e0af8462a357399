// Three readings of one hive file that must agree: the store's, the store's
// after a commit that changes nothing, and libregf's (regfexport). A hive the
// store refuses to change needs only the first.
#pragma once

#include <string>

namespace torvane::testing {

// Whether regfexport can be run.
bool HaveRegfexport();

// Writes `bytes` to `folder`/hive and reads it the three ways; the first
// disagreement, or empty when they agree or the hive is refused for writing
// (then the file must be left as it was: a difference there is reported
// too). `folder` is the caller's own.
std::string HiveReadingsDisagree(const std::string& bytes, const std::string& folder);

}  // namespace torvane::testing
