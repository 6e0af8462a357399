// The machine's own registry as a source (Windows builds only): the user of
// the process, one profile, or every profile of the machine.
#pragma once

#include <memory>
#include <string>

#include "cli/options.h"
#include "cli/sources.h"

namespace torvane::cli {

// `only`: the SID or folder name of the one profile (LiveScope::kOneUser).
std::unique_ptr<Source> OpenLiveSource(LiveScope scope, const std::string& only = {});

// Why a standard user could have written a file with this owner (a SID) and
// these permissions (an ACL; null: everyone may): someone other than the
// system, the administrators or TrustedInstaller owns it or may change it.
// Empty when no one else could. Only such a file is evidence of policy.
std::string ForgeableBy(void* owner_sid, void* dacl_list);

// The process runs as LocalSystem (S-1-5-18).
bool RunningAsLocalSystem();

}  // namespace torvane::cli
