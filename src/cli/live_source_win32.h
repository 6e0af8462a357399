// The machine's own registry as a source (Windows builds only).
#pragma once

#include <memory>

#include "cli/sources.h"

namespace torvane::cli {

std::unique_ptr<Source> OpenLiveSource();

}  // namespace torvane::cli
