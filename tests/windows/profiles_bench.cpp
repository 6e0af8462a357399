// What walking every profile costs: `torvane scan --live --all-users` over
// the prefix's signed-in user and one signed-out user whose hive is mounted
// for the run, against `torvane scan --live` on the signed-in user alone.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "support/driver.h"
#include "support/registry_seed.h"

namespace {

using namespace torvane::wintest;

const std::string kProfileList = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
const std::string kSid = "S-1-5-21-7-7-7-1201";
const std::string kFolder = "C:\\users\\benchuser";

double RunOnce(const std::string& arguments) {
  std::string command = "\"" + OwnDirectory() + "torvane.exe\" " + arguments;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE null = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = startup.hStdError = null;
  PROCESS_INFORMATION process{};
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    CloseHandle(null);
    return -1;
  }
  WaitForSingleObject(process.hProcess, 60000);
  QueryPerformanceCounter(&end);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  CloseHandle(null);
  return 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  CreateDirectoryA(kFolder.c_str(), nullptr);
  if (!SaveUserHive(kFolder + "\\NTUSER.DAT", [](const std::string& seed) {
        PutDword(HKEY_USERS, seed + "\\" + kSystemPolicy, "DisableTaskMgr", 1);
      })) {
    std::fprintf(stderr, "profiles_bench: cannot write the signed-out user's hive\n");
    return 1;
  }
  PutString(HKEY_LOCAL_MACHINE, kProfileList + "\\" + kSid, "ProfileImagePath", kFolder);

  RunOnce("scan --live");  // warm the prefix's caches
  RunOnce("scan --live --all-users");
  std::vector<double> one, all;
  for (int i = 0; i < runs; ++i) {
    one.push_back(RunOnce("scan --live --json"));
    all.push_back(RunOnce("scan --live --all-users --json"));
  }
  DeleteTree(HKEY_LOCAL_MACHINE, kProfileList + "\\" + kSid);
  DeleteFileA((kFolder + "\\NTUSER.DAT").c_str());
  RemoveDirectoryA(kFolder.c_str());
  std::printf("scan, median of %d taking turns: --live (1 profile) %.1f ms, --live --all-users (1 loaded + 1 signed "
              "out) %.1f ms, ratio %.2f\n",
              runs, Median(one), Median(all), Median(all) / Median(one));
  return 0;
}
