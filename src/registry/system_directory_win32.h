// The Windows system folder, for the Windows builds only.
#pragma once

#include <windows.h>

#include <string>

namespace torvane::registry {

// The system folder (C:\WINDOWS\system32) as the system names it; empty when
// it cannot be read. Each caller chooses what stands in for it then.
inline std::string SystemDirectory() {
  char directory[MAX_PATH] = {};
  const UINT length = ::GetSystemDirectoryA(directory, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  return std::string(directory, length);
}

}  // namespace torvane::registry
