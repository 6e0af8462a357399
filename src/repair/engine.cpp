// The engine itself: what it keeps between checks and repairs, and the
// pieces the scan and the repairs share.
#include <algorithm>
#include <string>

#include "registry/names.h"
#include "repair/engine.h"
#include "repair/protected_tools.h"

namespace torvane::repair {

using registry::HKey;
using registry::kLocalMachine;

RepairEngine::RepairEngine(registry::RegistryStore& store, std::string system_directory)
    : store_(store), system_directory_(std::move(system_directory)) {
  protected_tools_.reserve(kProtectedToolCount * 2);
  for (const char* tool : kProtectedTools) {
    std::string name(tool);
    // Four entries carry a trailing blank that no program's file name has:
    // the name matches without it, and a subkey spelt with it still counts.
    protected_tools_.insert(registry::FoldName(name));
    longest_tool_ = std::max(longest_tool_, name.size());
    while (!name.empty() && name.back() == ' ') name.pop_back();
    protected_tools_.insert(registry::FoldName(name));
  }
}

// Called once for every subkey of the image options: folded on the stack,
// without making a string.
bool RepairEngine::IsProtectedTool(std::string_view name) const {
  char folded[128];
  if (name.size() > longest_tool_ || name.size() > sizeof folded) return false;
  registry::FoldNameInto(name, folded);
  return protected_tools_.find(std::string_view(folded, name.size())) != protected_tools_.end();
}

std::string RepairEngine::HealthyUserinit() const {
  return system_directory_ + "\\userinit.exe,";
}

std::uint32_t RepairEngine::Viewed(HKey root, std::uint32_t access) const {
  return root == kLocalMachine ? access | view_ : access;
}

}  // namespace torvane::repair
