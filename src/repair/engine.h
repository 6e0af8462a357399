// The checks and repairs of the 23 items over any registry store.
//
// The engine decides; it keeps no per-item state of its own. The owner (the
// dialog, the command line) keeps the flags and hands them in.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
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

// The two views of HKLM\SOFTWARE on 64-bit Windows. A machine item is
// looked at in each view the registry has; HKCU places have one view and are
// looked at with the 64-bit one.
enum class View { k64 = 0, k32 = 1 };
inline constexpr int kViewCount = 2;

// What one view of an item showed.
enum class ViewState : std::uint8_t { kNotExamined, kHealthy, kDamaged, kUndetermined };
using ItemViews = std::array<ViewState, kViewCount>;  // indexed by View

// Which hives an item reads and changes.
inline constexpr int kTouchesCurrentUser = 1;
inline constexpr int kTouchesLocalMachine = 2;
int HivesTouched(int index);

// How the scan judges a place (defined with the scan's table).
enum class Rule : std::uint8_t;
// A value a repair changes (defined with the rows).
struct Place;

class RepairEngine {
 public:
  explicit RepairEngine(registry::RegistryStore& store,
                        std::string system_directory = kDefaultSystemDirectory);

  // Evaluates every check into `healthy` (1 healthy, 0 damaged or not
  // read). `undetermined`, when given, gets 1 for each item a place of which
  // could not be read.
  void ScanItems(ItemBytes& healthy, ItemBytes* undetermined = nullptr);

  // One item's check, in every view: healthy only when each view was read
  // and is healthy.
  bool CheckItem(int index);
  // Hijacked when either view is; undetermined when a view could not be
  // looked at and none is hijacked.
  HijackOutcome CheckImageHijack();

  // What each view of the item shows. Views the registry lacks, and the
  // 32-bit view of an item with no machine place, are kNotExamined. A view
  // with a place that exists but could not be read is kUndetermined.
  ItemViews CheckViews(int index);

  // Why the item was undetermined at its last check: the key and the error
  // (UTF-8, one line); empty when every place was read.
  const std::string& Unread(int index) const { return unread_items_[index]; }

  // The views the registry has: two on 64-bit Windows (and for an offline or
  // in-memory registry), one on 32-bit Windows.
  int ViewsPresent() const { return store_.HasView32() ? 2 : 1; }

  // Re-reads the item's place and changes it only if its check shows damage:
  // a healthy item is never touched. Each view is looked at again just before
  // it is mended, so that a key the two views share is mended once. An item
  // is repaired when every change in every view took and its check then
  // passes; it failed when any view's change failed.
  RepairOutcome ApplyRepair(int index);
  RepairOutcome RepairImageHijack();

  // Whether `name` is one of the protected tools' names, as Windows matches
  // file names: without regard to ASCII case, and with or without an
  // entry's trailing blank.
  bool IsProtectedTool(std::string_view name) const;

  // The Userinit text of a healthy system: "<system dir>\userinit.exe,".
  std::string HealthyUserinit() const;
  const std::string& system_directory() const { return system_directory_; }
  registry::RegistryStore& store() { return store_; }

 private:
  // Runs `step` once per view the item is looked at in, with view_ set.
  template <typename Step>
  void ForEachView(int index, Step step);
  // The access of an open below `root`: HKLM opens carry the current view.
  std::uint32_t Viewed(registry::HKey root, std::uint32_t access) const;
  bool LooksAtUser() const { return view_ != registry::kView32; }
  // In the 32-bit view a place that must hold a value may lack it: programs
  // fall back on what Windows itself reads, the 64-bit one. Only a value
  // that is there and wrong is damage.
  bool MissingIsHealthy() const { return view_ == registry::kView32; }
  // Whether a place read with `opened` (the key's open) and `status` (the
  // value's read) holds no value at all; a place that refused reading does
  // not count as empty.
  static bool Absent(long opened, long status) {
    return opened == registry::kFileNotFound || status == registry::kFileNotFound;
  }

  bool CheckInView(int index);
  // Notes a place the current check could not read (any result but success
  // and not-found): the item cannot be called healthy.
  void NoteUnread(registry::HKey root, const char* path, long rc);
  // The view's state from its check and what it could not read.
  ViewState ViewStateOf(int index);
  // One value place read as the scan reads it, judged by `rule`; notes what
  // could not be read.
  bool CheckPlace(registry::HKey root, const char* path, const char* value, std::uint32_t access, Rule rule);
  HijackOutcome CheckImageHijackInView();
  RepairOutcome RepairImageHijackInView();
  RepairOutcome Act(int index);
  RepairOutcome RemoveValues(int index);
  RepairOutcome RestoreText(int index);
  RepairOutcome RestoreNumber(int index);
  RepairOutcome RestorePrefixes(int index);
  // Makes the missing key of `place` again, with its default values.
  RepairOutcome MakeKeyAgain(const Place& place);

  registry::RegistryStore& store_;
  std::string system_directory_;
  std::uint32_t view_ = 0;  // view bits of the HKLM opens: 0 or kView32
  // The listed names folded, looked up by a view of a folded subkey name.
  struct ViewHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
  };
  std::unordered_set<std::string, ViewHash, std::equal_to<>> protected_tools_;
  std::size_t longest_tool_ = 0;
  std::string unread_;  // of the view being checked
  std::array<std::string, kItemCount> unread_items_;
};

template <typename Step>
void RepairEngine::ForEachView(int index, Step step) {
  // The 64-bit view again afterwards, however the steps end.
  struct BackToNativeView {
    std::uint32_t& view;
    ~BackToNativeView() { view = 0; }
  } back{view_};
  const int passes = (HivesTouched(index) & kTouchesLocalMachine) != 0 ? ViewsPresent() : 1;
  for (int pass = 0; pass < passes; ++pass) {
    view_ = pass == 0 ? 0 : registry::kView32;
    step(static_cast<View>(pass));
  }
}

}  // namespace torvane::repair
