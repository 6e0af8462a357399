// Where --backup may write: never over a source or any file that exists.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "repair/backup.h"

namespace torvane::cli {

// Refuses (SourceError) a backup path that names one of `sources` (after
// symbolic links) or anything that exists, a dangling link included.
void CheckBackupPath(const std::string& path, const std::vector<std::string>& sources);

}  // namespace torvane::cli
