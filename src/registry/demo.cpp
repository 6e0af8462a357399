#include "registry/demo.h"

namespace torvane::registry {

void LoadDemoRegistry(MemoryStore& store) {
  const std::string current_version = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
  const std::string winlogon = current_version + "\\Winlogon";
  const std::string url = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\URL";

  // What a stock system holds.
  store.PutString(kLocalMachine, current_version, "SystemRoot", "C:\\WINDOWS");
  store.PutString(kLocalMachine, winlogon, "Userinit", "C:\\WINDOWS\\system32\\userinit.exe,");
  store.PutString(kLocalMachine, current_version + "\\Windows", "AppInit_DLLs", "");
  store.PutDword(kLocalMachine,
                 "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\\SHOWALL",
                 "CheckedValue", 1);
  store.PutString(kLocalMachine, url + "\\DefaultPrefix", "", "http://");
  store.PutString(kLocalMachine, url + "\\Prefixes", "ftp", "ftp://");
  store.PutString(kLocalMachine, url + "\\Prefixes", "gopher", "gopher://");
  store.PutString(kLocalMachine, url + "\\Prefixes", "home", "http://");
  store.PutString(kLocalMachine, url + "\\Prefixes", "mosaic", "http://");
  store.PutString(kLocalMachine, current_version + "\\Image File Execution Options\\Your Image File Name Here without a path",
                  "Debugger", "ntsd -d");
  store.PutDword(kLocalMachine, current_version + "\\Image File Execution Options\\winword.exe",
                 "DisableHeapLookaside", 1);
  store.CreateKey(kCurrentUser, "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer");
  store.CreateKey(kCurrentUser, "Software\\Microsoft\\Internet Explorer\\Main");

  // What the malware changed.
  store.PutDword(kCurrentUser, "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System",
                 "DisableTaskMgr", 1);
  store.PutDword(kCurrentUser, "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System",
                 "DisableRegistryTools", 1);
  store.PutDword(kCurrentUser, "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer",
                 "NoRun", 1);
  store.PutDword(kCurrentUser, "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer",
                 "NoFolderOptions", 1);
  store.PutString(kLocalMachine, current_version + "\\Image File Execution Options\\IceSword.exe",
                  "Debugger", "C:\\WINDOWS\\system32\\svch0st.exe");
  store.PutString(kLocalMachine, current_version + "\\Image File Execution Options\\360Safe.exe",
                  "Debugger", "C:\\WINDOWS\\system32\\svch0st.exe");
  store.PutString(kLocalMachine, winlogon, "Shell",
                  "Explorer.exe C:\\WINDOWS\\system32\\svch0st.exe");
  store.PutString(kLocalMachine, url + "\\Prefixes", "www", "http://www.nav-hijack.example/?u=");
  store.PutString(kCurrentUser, "Software\\Microsoft\\Internet Explorer\\Main", "Window title",
                  "Hacked by svch0st");
}

}  // namespace torvane::registry
