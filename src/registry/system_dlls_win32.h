// Where the programs load DLLs from: the system folder only. Users start
// them from a Downloads folder, as administrator, on machines where malware
// runs; a DLL dropped beside the program or in the working folder must never
// be loaded in its place.
#pragma once

#include <windows.h>

#include <string>

#include "registry/system_directory_win32.h"

namespace torvane::registry {

// From here on every DLL the process loads by name, by its own call or by a
// system DLL on its behalf, comes from the system folder. First thing in
// main, before anything may load a DLL. SetDefaultDllDirectories is looked
// up, not imported: Windows 7 without KB2533623 lacks it and would refuse to
// start the program; there the working folder at least leaves the search.
inline void RestrictDllSearch() {
  ::SetDllDirectoryA("");
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  const FARPROC found = ::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories");
  if (found) {
    reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void (*)()>(found))(LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
}

// The entry `name` of ntdll (loaded in every process), as a `Fn`; null when
// this Windows has none.
template <typename Fn>
Fn NtdllEntry(const char* name) {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll ? reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(ntdll, name))) : nullptr;
}

// A DLL of the system folder, never one of the same name elsewhere. Where the
// search flags are unknown (ERROR_INVALID_PARAMETER) it is named by its full
// path, and its own imports are looked up beside it. Null when it cannot be
// loaded; it stays loaded for the life of the process.
inline HMODULE LoadSystemDll(const char* name) {
  HMODULE module = ::LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module || ::GetLastError() != ERROR_INVALID_PARAMETER) return module;
  const std::string directory = SystemDirectory();
  if (directory.empty()) return nullptr;
  const std::string path = directory + "\\" + name;
  return ::LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace torvane::registry
