// The commands of `torvane`; each returns the process exit code.
#pragma once

#include <cstdio>

#include "cli/options.h"

namespace torvane::cli {

struct Streams {
  std::FILE* out = stdout;
  std::FILE* err = stderr;
  bool colour = false;  // damaged items in red
};

int Run(const Options& options, const Streams& streams);

}  // namespace torvane::cli
