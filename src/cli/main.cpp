// torvane: the repair core on the command line.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>

#include "registry/system_dlls_win32.h"
#else
#include <unistd.h>
#endif

int main(int argc, char** argv) {
  using namespace torvane::cli;
#ifdef _WIN32
  torvane::registry::RestrictDllSearch();
#endif
  std::vector<std::string> args(argv + 1, argv + argc);
  Options options;
  try {
    options = ParseArguments(args);
  } catch (const UsageError& error) {
    std::fprintf(stderr, "torvane: %s\n%s", error.what(), kUsage);
    return kExitError;
  }
  Streams streams;
#ifdef _WIN32
  // Texts go out in UTF-8; a console shows them only in its UTF-8 page.
  if (_isatty(_fileno(stdout))) SetConsoleOutputCP(CP_UTF8);
#else
  streams.colour = isatty(STDOUT_FILENO) != 0;
#endif
  return Run(options, streams);
}
