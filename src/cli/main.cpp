// torvane: the repair core on the command line.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>

#include <cwchar>

#include "registry/system_dlls_win32.h"
#include "registry/utf.h"
#else
#include <unistd.h>
#endif

#ifdef _WIN32
// The arguments as Windows holds them, in UTF-16, taken to UTF-8 (WTF-8 for
// lone surrogates): every path and name reaches the program exactly, in
// whatever code page the console has.
int wmain(int argc, wchar_t** argv) {
  torvane::registry::RestrictDllSearch();
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    args.push_back(torvane::registry::Utf16leToUtf8(
        std::string_view(reinterpret_cast<const char*>(argv[i]), std::wcslen(argv[i]) * sizeof(wchar_t))));
  }
#else
int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
#endif
  using namespace torvane::cli;
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
