// What reaching a signed-out user's hive takes (Windows builds only): the
// backup and restore privileges, and the hive mounted under HKEY_USERS for
// the run. One owner each; both give back what they took when they go.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace torvane::registry {

// SeBackupPrivilege and SeRestorePrivilege enabled in the process token for
// as long as the object lives; the token's earlier state comes back after.
class EnabledPrivileges {
 public:
  EnabledPrivileges();
  EnabledPrivileges(const EnabledPrivileges&) = delete;
  EnabledPrivileges& operator=(const EnabledPrivileges&) = delete;
  ~EnabledPrivileges();
  // Both are enabled; otherwise why not (one line).
  bool enabled() const { return problem_.empty(); }
  const std::string& problem() const { return problem_; }

 private:
  HANDLE token_ = nullptr;
  TOKEN_PRIVILEGES* previous_ = nullptr;  // what AdjustTokenPrivileges changed
  std::string problem_;
};

// The HKEY_USERS name a run mounts a profile's hive under: the program, the
// process and its start, so that a later run can tell a mount whose process
// is gone from one of a copy still running: "torvane.exe pid=PID start=HEX SID".
std::wstring MountName(std::uint32_t pid, std::uint64_t start, const std::wstring& sid);
// The process part of a name MountName made; false for any other name.
bool ParseMountName(const std::wstring& name, std::uint32_t* pid, std::uint64_t* start);
// This process's id and start time as MountName takes them.
std::uint32_t OwnProcessId();
std::uint64_t OwnProcessStart();

// Notes that HKEY_USERS\<name> is a hive this tool mounted from `file`, in
// a volatile key; MountedHive does so for every mount, and forgets it at the
// unload. False when it could not be noted.
bool NoteMount(const std::wstring& name, const std::wstring& file);

// Unloads every mount under HKEY_USERS whose process has ended (a run that
// was killed) and that is known for a hive root (noted, or listed by
// Windows); mounts of running copies stay, and a key only named like a mount
// is left alone. Needs the privileges. Returns the names it could not
// unload, with why.
std::wstring UnloadStaleMounts();

// A hive file mounted at HKEY_USERS\<name> and unloaded when the object goes.
// Every key opened below it must be closed by then: Windows keeps a hive with
// open keys loaded (and writes it back at unload).
class MountedHive {
 public:
  MountedHive(std::wstring name, const std::wstring& file);
  MountedHive(const MountedHive&) = delete;
  MountedHive& operator=(const MountedHive&) = delete;
  ~MountedHive() { Unload(); }
  // The result of RegLoadKeyW.
  LONG error() const { return error_; }
  bool mounted() const { return error_ == ERROR_SUCCESS && !unloaded_; }
  const std::wstring& name() const { return name_; }
  // Unloads now; the result of RegUnLoadKeyW (ERROR_SUCCESS when not mounted).
  LONG Unload();

 private:
  std::wstring name_;
  LONG error_;
  bool unloaded_ = false;
};

}  // namespace torvane::registry
