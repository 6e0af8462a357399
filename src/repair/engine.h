// The checks and repairs of the 23 items over any registry store.
//
// The engine decides; it keeps no per-item state of its own. The owner (the
// dialog, the command line) keeps the flags and hands them in.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <unordered_set>

#include "registry/registry.h"
#include "repair/catalogue.h"

namespace torvane::repair {

// The system directory of a stock Windows on drive C:.
inline constexpr const char* kDefaultSystemDirectory = "C:\\WINDOWS\\system32";

enum class HijackOutcome { kHijacked, kClean, kUndetermined };

// What one repair action did. An action that issued changes and had every one
// of them accepted repaired the item; one that had a change refused, or could
// not reach the place it must change, failed.
enum class RepairOutcome { kNothingToDo, kRepaired, kFailed };

using ItemBytes = std::array<std::uint8_t, kItemCount>;

// Which hives an item reads and changes.
inline constexpr int kTouchesCurrentUser = 1;
inline constexpr int kTouchesLocalMachine = 2;
int HivesTouched(int index);

class RepairEngine {
 public:
  explicit RepairEngine(registry::RegistryStore& store,
                        std::string system_directory = kDefaultSystemDirectory);

  // Evaluates every check into `healthy` (1 healthy, 0 damaged). Entry 3 is
  // left as it was when the image hijack check is undetermined.
  void ScanItems(ItemBytes& healthy);

  // One item's check; for item 3 an undetermined outcome counts as healthy.
  bool CheckItem(int index);
  HijackOutcome CheckImageHijack();

  // Re-reads the item's place and changes it only if its check shows damage:
  // a healthy item is never touched. An item is repaired when every change
  // took and its check then passes.
  RepairOutcome ApplyRepair(int index);
  RepairOutcome RepairImageHijack();

  // Whether `name` is one of the protected tools' names, as Windows matches
  // file names: without regard to ASCII case, and with or without an
  // entry's trailing blank.
  bool IsProtectedTool(const std::string& name) const;

  // The Userinit text of a healthy system: "<system dir>\userinit.exe,".
  std::string HealthyUserinit() const;
  const std::string& system_directory() const { return system_directory_; }
  registry::RegistryStore& store() { return store_; }

 private:
  RepairOutcome Act(int index);
  RepairOutcome RemoveValues(int index);
  RepairOutcome RestoreText(int index);
  RepairOutcome RestoreNumber();
  RepairOutcome RestorePrefixes();

  registry::RegistryStore& store_;
  std::string system_directory_;
  std::unordered_set<std::string> protected_tools_;
};

}  // namespace torvane::repair
