// Where the dialog keeps the undo of each repair it makes (Windows builds
// only): new files in %ProgramData%\TorvaneSafe\backups, a folder only the
// administrators and the system may change, never reached through a link.
#pragma once

#include <string>

namespace torvane::registry {

// The path (ANSI) of a backup file that does not exist yet, named by the
// local date and time; the two folders are made when missing. Empty, with
// `problem` set, when the folder is missing and cannot be made, is a link
// or not a folder, or could be changed by others than the administrators
// and the system.
std::string NewBackupFile(std::string* problem);

// The same under the ProgramData folder of the Windows volume whose root is
// `root` (UTF-8, "D:\\"), for a Windows repaired from a rescue system; that
// ProgramData must not be a link either.
std::string NewBackupFileOnVolume(const std::string& root, std::string* problem);

}  // namespace torvane::registry
