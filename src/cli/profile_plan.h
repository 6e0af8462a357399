// Which profiles of a live machine a run examines, and how each is reached:
// the hive already loaded under HKEY_USERS, or the profile's NTUSER.DAT to
// mount. Decided from plain names and paths, so that it is tested natively.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace torvane::cli {

// A user account's SID: S-1-5-21-… (local and domain accounts) or S-1-12-1-…
// (cloud accounts). Service SIDs, .DEFAULT, *_Classes and ProfileList's
// leftovers such as "S-1-5-21-….bak" are not.
bool IsUserSid(const std::string& name);

// A ProfileList entry: the subkey's name and its ProfileImagePath expanded
// (UTF-8); nullopt when it has none.
struct ListedProfile {
  std::string sid;
  std::optional<std::string> image_path;
};

struct PlannedProfile {
  std::string sid;
  std::string name;     // the profile folder's name (UTF-8); the SID when unknown
  bool loaded = false;  // HKEY_USERS\<sid> is there
  std::string hive;     // signed out: the file to mount
  std::string problem;  // why the hive cannot be reached (one line); then nothing is mounted
};

// The profiles of `loaded` (the subkey names of HKEY_USERS) and `listed`,
// each SID once (a loaded hive wins over mounting its file), in the order of
// their names. `only`: a SID or a folder name, in any letter case; empty for
// every profile.
std::vector<PlannedProfile> PlanProfiles(const std::vector<std::string>& loaded,
                                         const std::vector<ListedProfile>& listed, const std::string& only = {});

}  // namespace torvane::cli
