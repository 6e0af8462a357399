/* Stands in for a DLL that an attacker drops beside a program under the name
 * of a system DLL. Once loaded it appends the name it was loaded as to
 * "planted-dll-loaded.txt" beside itself. Its one export stands in for
 * comctl32's initialiser, so that a program that imports it keeps running. */
#include <windows.h>

__declspec(dllexport) BOOL WINAPI InitCommonControlsEx(const void* classes) {
  (void)classes;
  return TRUE;
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  char path[MAX_PATH + 32];
  const DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return TRUE;
  DWORD cut = length;
  while (cut > 0 && path[cut - 1] != '\\' && path[cut - 1] != '/') --cut;
  char line[MAX_PATH + 2];
  lstrcpynA(line, path + cut, MAX_PATH);
  lstrcatA(line, "\r\n");
  lstrcpyA(path + cut, "planted-dll-loaded.txt");
  HANDLE marker = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
  if (marker != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(marker, line, (DWORD)lstrlenA(line), &written, NULL);
    CloseHandle(marker);
  }
  return TRUE;
}
