// Runs the command line in process and captures what it prints.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"

namespace torvane::testing {

struct CliResult {
  int code;
  std::string out, err;
};

inline std::string Slurp(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  std::fclose(file);
  return text;
}

// As `torvane ARGS` would end: a usage error is exit 2 with its message.
inline CliResult Cli(const std::vector<std::string>& args) {
  cli::Streams streams;
  streams.out = std::tmpfile();
  streams.err = std::tmpfile();
  int code;
  try {
    code = cli::Run(cli::ParseArguments(args), streams);
  } catch (const cli::UsageError& error) {
    std::fprintf(streams.err, "torvane: %s\n", error.what());
    code = cli::kExitError;
  }
  return CliResult{code, Slurp(streams.out), Slurp(streams.err)};
}

}  // namespace torvane::testing
