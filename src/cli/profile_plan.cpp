#include "cli/profile_plan.h"

#include <algorithm>

namespace torvane::cli {

namespace {

bool StartsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

std::string Folded(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// "X:\…" : a folder on a local drive. A UNC path would have the account that
// runs us (often SYSTEM) connect to whatever server the entry names.
bool IsLocalFolder(const std::string& path) {
  return path.size() >= 3 && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
         path[1] == ':' && path[2] == '\\';
}

std::string LastPart(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 3 && trimmed.back() == '\\') trimmed.pop_back();
  const auto slash = trimmed.rfind('\\');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

}  // namespace

bool IsUserSid(const std::string& name) {
  std::string rest;
  if (StartsWith(name, "S-1-5-21-")) {
    rest = name.substr(9);
  } else if (StartsWith(name, "S-1-12-1-")) {
    rest = name.substr(9);
  } else {
    return false;
  }
  // Sub-authorities: decimal numbers of at most ten digits, separated by one dash.
  if (rest.empty() || rest.size() > 150 || rest.front() == '-' || rest.back() == '-') return false;
  int digits = 0;
  for (char c : rest) {
    if (c == '-') {
      if (digits == 0) return false;
      digits = 0;
    } else if (c >= '0' && c <= '9') {
      if (++digits > 10) return false;
    } else {
      return false;
    }
  }
  return true;
}

std::vector<PlannedProfile> PlanProfiles(const std::vector<std::string>& loaded,
                                         const std::vector<ListedProfile>& listed, const std::string& only) {
  std::vector<PlannedProfile> plan;
  auto find = [&](const std::string& sid) {
    return std::find_if(plan.begin(), plan.end(), [&](const PlannedProfile& p) { return Folded(p.sid) == Folded(sid); });
  };
  for (const std::string& sid : loaded) {
    if (!IsUserSid(sid) || find(sid) != plan.end()) continue;
    PlannedProfile profile;
    profile.sid = sid;
    profile.name = sid;
    profile.loaded = true;
    plan.push_back(profile);
  }
  for (const ListedProfile& entry : listed) {
    if (!IsUserSid(entry.sid)) continue;
    auto known = find(entry.sid);
    const bool has_path = entry.image_path && !entry.image_path->empty();
    if (known != plan.end()) {
      // Loaded: the folder only names it.
      if (has_path && known->name == known->sid) known->name = LastPart(*entry.image_path);
      continue;
    }
    PlannedProfile profile;
    profile.sid = entry.sid;
    profile.name = has_path ? LastPart(*entry.image_path) : entry.sid;
    if (!entry.image_path) {
      profile.problem = "its ProfileList entry has no ProfileImagePath";
    } else if (entry.image_path->empty()) {
      profile.problem = "its ProfileList entry has an empty ProfileImagePath";
    } else if (!IsLocalFolder(*entry.image_path)) {
      profile.problem = "its ProfileImagePath \"" + *entry.image_path + "\" is not a folder on a local drive";
    } else {
      profile.hive = *entry.image_path + (entry.image_path->back() == '\\' ? "" : "\\") + "NTUSER.DAT";
    }
    plan.push_back(profile);
  }
  if (!only.empty()) {
    plan.erase(std::remove_if(plan.begin(), plan.end(),
                              [&](const PlannedProfile& p) {
                                return Folded(p.sid) != Folded(only) && Folded(p.name) != Folded(only);
                              }),
               plan.end());
  }
  std::stable_sort(plan.begin(), plan.end(), [](const PlannedProfile& a, const PlannedProfile& b) {
    return Folded(a.name) != Folded(b.name) ? Folded(a.name) < Folded(b.name) : a.sid < b.sid;
  });
  return plan;
}

}  // namespace torvane::cli
