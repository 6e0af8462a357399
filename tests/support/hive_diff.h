// Readings of one hive file that must agree: the store's, the store's after
// a commit that changes nothing, and libregf's (regfexport). Then a change
// made through the store and committed (values set and deleted, a key added,
// a key deleted with everything below it) must read back from the store as
// made, and as the store reads it from libregf, from hivex's library and
// from reglookup (each of the last two when it read the hive as it was as
// the store did). A hive the store refuses to change needs only the first.
#pragma once

#include <string>

namespace torvane::testing {

// Whether regfexport can be run.
bool HaveRegfexport();

// Writes `bytes` to `folder`/hive, reads it the three ways, then changes it
// and reads the result the four ways; the first disagreement, or empty when
// they agree or the hive or the change is refused for writing (then the
// file must be left as it was: a difference there is reported too). The
// change is chosen by the bytes: the same hive is changed the same way.
// `folder` is the caller's own.
std::string HiveReadingsDisagree(const std::string& bytes, const std::string& folder);

}  // namespace torvane::testing
