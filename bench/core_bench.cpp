// Scan and image hijack check on the memory store.
#include <benchmark/benchmark.h>

#include <string>

#include "registry/memory_store.h"
#include "registry/reg_file.h"
#include "repair/engine.h"

namespace {

using namespace torvane;
using registry::kCurrentUser;
using registry::kLocalMachine;

const std::string kIfeo = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options";

void PutStockSystem(registry::MemoryStore& store) {
  store.CreateKey(kCurrentUser, "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer");
  store.CreateKey(kCurrentUser, "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System");
  store.PutDword(kLocalMachine,
                 "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\\SHOWALL",
                 "CheckedValue", 1);
  store.PutString(kLocalMachine, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", "Userinit",
                  "C:\\WINDOWS\\system32\\userinit.exe,");
  store.PutString(kLocalMachine, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", "Shell",
                  "Explorer.exe");
  store.PutString(kLocalMachine, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\URL\\DefaultPrefix", "",
                  "http://");
  const std::string prefixes = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\URL\\Prefixes";
  store.PutString(kLocalMachine, prefixes, "ftp", "ftp://");
  store.PutString(kLocalMachine, prefixes, "gopher", "gopher://");
  store.PutString(kLocalMachine, prefixes, "home", "http://");
  store.PutString(kLocalMachine, prefixes, "mosaic", "http://");
  store.PutString(kLocalMachine, prefixes, "www", "http://");
  store.CreateKey(kLocalMachine, kIfeo);
}

void BM_FullScanEmptyImageOptions(benchmark::State& state) {
  registry::MemoryStore store;
  PutStockSystem(store);
  repair::RepairEngine engine(store);
  repair::ItemBytes healthy{};
  for (auto _ : state) {
    engine.ScanItems(healthy);
    benchmark::DoNotOptimize(healthy);
  }
}
BENCHMARK(BM_FullScanEmptyImageOptions)->Unit(benchmark::kMicrosecond);

// N unlisted subkeys and one listed one that sorts last, so the check reads
// every name before it finds the hijack.
void BM_ImageHijackCheck(benchmark::State& state) {
  registry::MemoryStore store;
  PutStockSystem(store);
  const auto unlisted = state.range(0);
  for (long i = 0; i < unlisted; ++i) store.CreateKey(kLocalMachine, kIfeo + "\\app" + std::to_string(i) + ".exe");
  store.CreateKey(kLocalMachine, kIfeo + "\\WoptiClean.exe");
  repair::RepairEngine engine(store);
  for (auto _ : state) {
    if (engine.CheckImageHijack() != repair::HijackOutcome::kHijacked) state.SkipWithError("not found");
  }
  state.SetComplexityN(unlisted);
}
BENCHMARK(BM_ImageHijackCheck)
    ->Arg(1000)->Arg(10000)->Arg(100000)
    ->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);

}  // namespace

// A value of state.range(0) bytes of hex data wrapped as regedit wraps it: one
// continuation line every 25 bytes. Joining the lines must take time in
// proportion to the data (the complexity line reads O(N)).
void BM_ParseContinuationLines(benchmark::State& state) {
  std::string text = "REGEDIT4\r\n[HKEY_CURRENT_USER\\Big]\r\n\"blob\"=hex:";
  for (std::int64_t i = 0; i < state.range(0); ++i) text += (i % 25 == 24) ? "5a,\\\r\n  " : "5a,";
  text += "00\r\n";
  for (auto _ : state) benchmark::DoNotOptimize(registry::ParseRegFile(text, "bench.reg"));
  state.SetComplexityN(static_cast<std::int64_t>(text.size()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
// 0.6 to 4.8 MB of text.
BENCHMARK(BM_ParseContinuationLines)
    ->RangeMultiplier(2)
    ->Range(200 << 10, 1600 << 10)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

// A .reg file whose policy key holds state.range(0) values, read into a
// memory store and scanned, as `torvane scan --reg` does: linear in the
// values (the complexity line reads O(N)).
void BM_ScanRegKeyWithManyValues(benchmark::State& state) {
  std::string text = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System]\r\n";
  for (std::int64_t i = 0; i < state.range(0); ++i) text += "\"v" + std::to_string(i) + "\"=dword:00000001\r\n";
  for (auto _ : state) {
    registry::MemoryStore store;
    registry::MemoryTarget target(store);
    for (const registry::RegEntry& entry : registry::ParseRegFile(text, "bench.reg").entries) {
      registry::ApplyRegEntry(entry, target);
    }
    repair::RepairEngine engine(store);
    repair::ItemBytes states{};
    engine.ScanItems(states);
    benchmark::DoNotOptimize(states);
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ScanRegKeyWithManyValues)
    ->RangeMultiplier(4)
    ->Range(6250, 100000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

BENCHMARK_MAIN();
