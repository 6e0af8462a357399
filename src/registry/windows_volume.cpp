#include "registry/windows_volume.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

#include "registry/names.h"

namespace torvane::registry {

namespace {

// What `name` in `folder` is, not following a link; false when nothing is there.
bool StatEntry(const Folder& folder, const std::string& name, EntryInfo* info) {
  *info = folder.Entry(name);
  return info->kind != EntryInfo::kMissing;
}

// Why a profile's hive cannot be read; empty for a regular file.
std::string HiveProblem(const std::string& path, const EntryInfo& info) {
  if (info.kind == EntryInfo::kRegular) return {};
  if (info.kind == EntryInfo::kLink) return path + ": is a symbolic link; refusing to follow it on the volume";
  if (info.kind == EntryInfo::kUnreadable) return path + ": " + info.what;
  return path + ": not a regular file (" + info.what + ")";
}

}  // namespace

VolumeWindows FindWindowsOnVolume(const std::shared_ptr<const Folder>& root) {
  VolumeWindows found;
  std::map<FileId, std::string> files;
  found.windows_folder = FindNoCase(*root, "Windows").value_or("Windows");
  found.config = FolderOf(root, "Windows");
  for (const char* part : {"System32", "config"}) found.config = FolderOf(found.config, part);
  EntryInfo info;
  if (found.config) {
    found.software = FindNoCase(*found.config, "SOFTWARE");
    if (found.software && !StatEntry(*found.config, *found.software, &info)) found.software.reset();
    // One file is one hive: a second name for it (a hard link) would be
    // changed twice, and the second change lost.
    if (found.software) files.emplace(info.id, FilePlace(found.config, *found.software).path());
  }
  std::vector<VolumeProfile>& profiles = found.profiles;

  // A link among the profile folders (All Users, Default User, a junction
  // an administrator made) that leads to a folder listed here hides
  // nothing. Any other is followed nowhere, and the profile it may stand
  // for is undetermined, never passed over. Where a link leads is only
  // looked at (stat), never opened.
  const auto refused_link = [](const std::string& path) {
    return path + ": is a symbolic link; refusing to follow it on the volume";
  };
  std::set<FileId> listed_folders;
  struct Link {
    std::string name, path;
    std::optional<FileId> target;  // a folder it leads to
  };
  std::vector<Link> links;
  const auto follows_to = [](const Folder& folder, const std::string& name) { return folder.FolderBehind(name); };
  for (const char* parent : {"Users", "Documents and Settings"}) {
    const auto name = FindNoCase(*root, parent);
    if (!name || !StatEntry(*root, *name, &info)) continue;
    if (info.kind == EntryInfo::kUnreadable) throw FileError(FilePlace(root, *name).path() + ": " + info.what);
    // Documents and Settings is Windows' own junction to Users: passed
    // over when it leads there, like any link among the profiles.
    if (info.kind == EntryInfo::kLink) {
      links.push_back(Link{*name, FilePlace(root, *name).path(), follows_to(*root, *name)});
    }
    if (info.kind != EntryInfo::kFolder) continue;
    listed_folders.insert(info.id);
    const auto folder = root->Child(*name);
    for (const std::string& entry : folder->Names()) {
      if (!StatEntry(*folder, entry, &info)) continue;
      // What cannot be looked at may be a profile: never passed over.
      if (info.kind == EntryInfo::kUnreadable) {
        profiles.push_back(VolumeProfile{entry, nullptr, "", FilePlace(folder, entry).path() + ": " + info.what, {}});
        continue;
      }
      if (info.kind == EntryInfo::kLink && FoldName(entry) != FoldName("All Users")) {
        links.push_back(Link{entry, FilePlace(folder, entry).path(), follows_to(*folder, entry)});
      }
      if (info.kind != EntryInfo::kFolder) continue;
      listed_folders.insert(info.id);
      std::shared_ptr<const Folder> profile;
      std::optional<std::string> hive;
      try {
        profile = folder->Child(entry);
        hive = FindNoCase(*profile, "NTUSER.DAT");
      } catch (const FileError& error) {
        // A folder that cannot be read may hold a profile: not passed over.
        profiles.push_back(VolumeProfile{entry, nullptr, "", error.what(), {}});
        continue;
      }
      if (!hive || !StatEntry(*profile, *hive, &info)) continue;
      const FilePlace place(profile, *hive);
      profiles.push_back(VolumeProfile{entry, profile, *hive, HiveProblem(place.path(), info), info.id});
    }
  }
  for (const Link& link : links) {
    if (link.target && listed_folders.count(*link.target) != 0) continue;
    profiles.push_back(VolumeProfile{link.name, nullptr, "", refused_link(link.path), {}});
  }
  std::sort(profiles.begin(), profiles.end(),
            [](const VolumeProfile& a, const VolumeProfile& b) { return FoldName(a.name) < FoldName(b.name); });
  for (VolumeProfile& profile : profiles) {
    if (!profile.problem.empty() || !profile.folder) continue;
    const std::string path = FilePlace(profile.folder, profile.hive).path();
    const auto [first, added] = files.emplace(profile.file, path);
    if (!added) {
      profile.problem = path + ": the same file as " + first->second + " (a hard link); a hive is one profile's";
    }
  }
  return found;
}

std::string SystemDirectoryOnVolume(const std::string& named, const std::string& windows_folder) {
  const std::string tail = "\\system32";
  std::string drive = "C:\\";
  if (named.size() > 3 + tail.size() && named[1] == ':' && named[2] == '\\' &&
      std::isalpha(static_cast<unsigned char>(named[0])) &&
      FoldName(named.substr(named.size() - tail.size())) == FoldName(tail)) {
    drive = named.substr(0, 3);
    const std::string folder = named.substr(3, named.size() - 3 - tail.size());
    if (FoldName(folder) == FoldName(windows_folder)) return named;
  }
  return drive + windows_folder + tail;
}

}  // namespace torvane::registry
