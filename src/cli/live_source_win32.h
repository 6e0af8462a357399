// The machine's own registry as a source (Windows builds only): the user of
// the process, one profile, or every profile of the machine.
#pragma once

#include <memory>
#include <string>

#include "cli/options.h"
#include "cli/sources.h"

namespace torvane::cli {

// `only`: the SID or folder name of the one profile (LiveScope::kOneUser).
std::unique_ptr<Source> OpenLiveSource(LiveScope scope, const std::string& only = {});

// The process runs as LocalSystem (S-1-5-18).
bool RunningAsLocalSystem();

}  // namespace torvane::cli
