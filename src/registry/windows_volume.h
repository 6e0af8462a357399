// The Windows installation a volume holds: its SOFTWARE hive and its
// profiles' NTUSER.DAT files, found in any letter case and never through a
// link. Shared by the command line's --windows source and the dialog's
// choice of an installed Windows from a rescue system.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "registry/file_io.h"

namespace torvane::registry {

// A profile folder of the volume. `problem` says why its hive cannot be
// used (a link, no regular file, a folder that cannot be read, a second
// name of another profile's hive); `folder` is null for a profile that
// could not be looked into.
struct VolumeProfile {
  std::string name;  // the folder's name (UTF-8)
  std::shared_ptr<const Folder> folder;
  std::string hive;  // NTUSER.DAT's name in its folder
  std::string problem;
  FileId file{};
};

struct VolumeWindows {
  std::string windows_folder;  // the Windows folder's name ("Windows" when there is none)
  std::shared_ptr<const Folder> config;  // Windows\System32\config; null when missing
  std::optional<std::string> software;   // SOFTWARE's name in `config`; nullopt when missing
  // Every profile folder holding an NTUSER.DAT, and every link among the
  // profile folders that leads elsewhere (as a profile with a problem), in
  // the order of their names.
  std::vector<VolumeProfile> profiles;
};

// Walks the volume whose root is `root`. Throws FileError when a folder on
// the way cannot be read.
VolumeWindows FindWindowsOnVolume(const std::shared_ptr<const Folder>& root);

// The system directory `named` (from SystemRoot in the volume's SOFTWARE)
// held to the volume. SystemRoot there is a value like any other, which
// malware may point at a folder of its own, with Userinit in it: its folder
// must be the Windows folder the volume holds, or that folder is used. The
// drive letter cannot be told from the volume and is kept.
std::string SystemDirectoryOnVolume(const std::string& named, const std::string& windows_folder);

}  // namespace torvane::registry
