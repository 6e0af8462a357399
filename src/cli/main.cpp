// torvane: the repair core on the command line.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "registry/codepage.h"
#include "registry/demo.h"
#include "registry/memory_store.h"
#include "repair/catalogue.h"
#include "repair/engine.h"
#include "repair/run.h"

namespace {

using namespace torvane;

constexpr int kExitHealthy = 0;
constexpr int kExitDamage = 1;
constexpr int kExitError = 2;

int Usage() {
  std::fputs("usage: torvane scan --demo\n", stderr);
  return kExitError;
}

int Scan() {
  registry::MemoryStore store;
  registry::LoadDemoRegistry(store);
  repair::RepairEngine engine(store);
  repair::RunFlags flags;
  engine.ScanItems(flags.m_healthy);

  const bool colour = isatty(STDOUT_FILENO) != 0;
  bool damaged = false;
  for (int group = 0; group < repair::kGroupCount; ++group) {
    std::printf("%s\n", registry::GbkToUtf8(repair::Group(group).label).c_str());
    for (int i = 0; i < repair::kItemCount; ++i) {
      if (repair::GroupOf(i) != group) continue;
      const bool healthy = flags.m_healthy[i] != 0;
      damaged |= !healthy;
      const std::string name = registry::GbkToUtf8(repair::Item(i).name);
      std::printf("  %s%2d %s %s%s\n", colour && !healthy ? "\033[31m" : "", i,
                  healthy ? "ok     " : "DAMAGED", name.c_str(), colour && !healthy ? "\033[0m" : "");
    }
  }
  return damaged ? kExitDamage : kExitHealthy;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "scan" && (argc == 2 || (argc == 3 && std::string(argv[2]) == "--demo"))) {
    return Scan();
  }
  return Usage();
}
