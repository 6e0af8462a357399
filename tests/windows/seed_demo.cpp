// Writes the built-in demo registry (a stock system after a typical
// infection) into the registry of the Wine prefix it runs in.
#include <windows.h>

#include <cstdio>
#include <string>

#include "registry/demo.h"
#include "support/registry_seed.h"

int main() {
  torvane::registry::MemoryStore demo;
  torvane::registry::LoadDemoRegistry(demo);
  torvane::wintest::MakeAllHealthy();
  torvane::wintest::CopyToRegistry(demo);
  // The demo's Userinit names a stock C:\WINDOWS; this system's directory is
  // spelled its own way, and only the demo's damage should show.
  char directory[MAX_PATH] = {};
  GetSystemDirectoryA(directory, MAX_PATH);
  torvane::wintest::PutString(HKEY_LOCAL_MACHINE, torvane::wintest::kWinlogon, "Userinit",
                              std::string(directory) + "\\userinit.exe,");
  std::puts("seed_demo: demo damage written to the registry");
  return 0;
}
