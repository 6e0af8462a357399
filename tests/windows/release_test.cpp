// The release programs as an attacker and a verifier see them: which DLLs
// their import tables name, whether a DLL dropped beside them or in the
// working folder is loaded, and whether the file carries its link time.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "repair/catalogue.h"
#include "support/driver.h"

namespace torvane::wintest {
namespace {

// DLLs that Windows loads from the system folder whatever the search order:
// the KnownDLLs the programs may import. Anything else must be loaded by
// hand from the system folder.
const char* const kKnownDlls[] = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "msvcrt.dll",
                                  "shell32.dll",  "ole32.dll",  "oleaut32.dll", "comdlg32.dll", "shlwapi.dll"};

// What the programs may import: every function here is exported by Windows 7
// SP1, 32-bit and 64-bit, the oldest Windows the programs support (README).
// An import not listed fails the check until it has been looked up for that
// version and added; one that version lacks must be looked up at run time.
const std::set<std::string> kWindows7Functions = {
    // advapi32.dll
    "advapi32!ConvertSidToStringSidW", "advapi32!ConvertStringSidToSidW", "advapi32!EqualSid", "advapi32!GetAce",
    "advapi32!GetSecurityInfo", "advapi32!IsValidSid", "advapi32!RegCloseKey", "advapi32!RegCreateKeyExA", "advapi32!RegDeleteValueA", "advapi32!RegEnumKeyA",
    "advapi32!RegEnumValueA", "advapi32!RegOpenKeyExA", "advapi32!RegQueryInfoKeyA",
    "advapi32!RegQueryValueExA", "advapi32!RegQueryValueExW", "advapi32!RegSetValueExA",
    // gdi32.dll
    "gdi32!BitBlt", "gdi32!CreateCompatibleBitmap", "gdi32!CreateCompatibleDC", "gdi32!CreateFontIndirectA",
    "gdi32!CreateRectRgnIndirect", "gdi32!DeleteDC", "gdi32!DeleteObject", "gdi32!GetClipBox",
    "gdi32!GetObjectA", "gdi32!GetStockObject", "gdi32!SelectClipRgn", "gdi32!SelectObject", "gdi32!SetBkColor",
    "gdi32!SetTextColor", "gdi32!TextOutA",
    // kernel32.dll
    "kernel32!GetEnvironmentVariableW", "kernel32!GetSystemWindowsDirectoryW", "kernel32!ReadFile",
    "kernel32!AddVectoredExceptionHandler", "kernel32!CloseHandle", "kernel32!CopyFileA",
    "kernel32!CreateEventA", "kernel32!CreateFileA", "kernel32!CreateSemaphoreA", "kernel32!CreateSemaphoreW",
    "kernel32!DeleteCriticalSection", "kernel32!DeleteFileA", "kernel32!DuplicateHandle",
    "kernel32!EnterCriticalSection", "kernel32!FlushFileBuffers", "kernel32!FormatMessageA",
    "kernel32!FreeLibrary", "kernel32!GetCurrentProcess", "kernel32!GetCurrentProcessId",
    "kernel32!GetCurrentThread", "kernel32!GetCurrentThreadId", "kernel32!IsWow64Process", "kernel32!GetFileAttributesA",
    "kernel32!GetDriveTypeW", "kernel32!GetHandleInformation", "kernel32!GetLastError", "kernel32!GetLogicalDrives",
    "kernel32!GetModuleHandleA",
    "kernel32!GetModuleHandleW", "kernel32!GetProcAddress", "kernel32!GetProcessAffinityMask",
    "kernel32!GetStartupInfoA", "kernel32!GetSystemDirectoryA", "kernel32!GetSystemTimeAsFileTime",
    "kernel32!GetThreadContext", "kernel32!GetThreadPriority", "kernel32!GetTickCount64",
    "kernel32!InitializeCriticalSection", "kernel32!IsDBCSLeadByteEx", "kernel32!IsDebuggerPresent",
    "kernel32!LeaveCriticalSection", "kernel32!LoadLibraryA", "kernel32!LoadLibraryExA",
    "kernel32!LoadLibraryW", "kernel32!LocalFree", "kernel32!MoveFileExA", "kernel32!MultiByteToWideChar",
    "kernel32!OpenProcess", "kernel32!OutputDebugStringA", "kernel32!RaiseException",
    "kernel32!ReleaseSemaphore", "kernel32!RemoveVectoredExceptionHandler", "kernel32!ResetEvent",
    "kernel32!ResumeThread", "kernel32!RtlCaptureContext", "kernel32!RtlLookupFunctionEntry",
    "kernel32!RtlUnwindEx", "kernel32!RtlVirtualUnwind", "kernel32!SetConsoleOutputCP",
    "kernel32!SetDllDirectoryA", "kernel32!SetEvent", "kernel32!SetLastError",
    "kernel32!SetProcessAffinityMask", "kernel32!SetThreadContext", "kernel32!SetThreadPriority",
    "kernel32!SetUnhandledExceptionFilter", "kernel32!Sleep", "kernel32!SuspendThread", "kernel32!TlsAlloc", "kernel32!TlsFree",
    "kernel32!TlsGetValue", "kernel32!TlsSetValue", "kernel32!TryEnterCriticalSection",
    "kernel32!VirtualProtect", "kernel32!VirtualQuery", "kernel32!WaitForMultipleObjects",
    "kernel32!WaitForSingleObject", "kernel32!WideCharToMultiByte", "kernel32!WriteFile",
    "kernel32!__C_specific_handler",
    // msvcrt.dll
    "msvcrt!___lc_codepage_func", "msvcrt!___mb_cur_max_func", "msvcrt!__getmainargs", "msvcrt!__initenv",
    "msvcrt!__iob_func", "msvcrt!__mb_cur_max", "msvcrt!__p__acmdln", "msvcrt!__p__commode",
    "msvcrt!__p__fmode", "msvcrt!__set_app_type", "msvcrt!__setusermatherr", "msvcrt!_acmdln",
    "msvcrt!_amsg_exit", "msvcrt!_beginthreadex", "msvcrt!_cexit", "msvcrt!_close", "msvcrt!_commode",
    "msvcrt!_endthreadex", "msvcrt!_errno", "msvcrt!_fileno", "msvcrt!_fmode", "msvcrt!_initterm",
    "msvcrt!_iob", "msvcrt!_isatty", "msvcrt!_lock", "msvcrt!_onexit", "msvcrt!_read", "msvcrt!_setjmp",
    "msvcrt!_setjmp3", "msvcrt!_strdup", "msvcrt!_ultoa", "msvcrt!_unlock", "msvcrt!abort", "msvcrt!atoi",
    "msvcrt!calloc", "msvcrt!exit", "msvcrt!fclose", "msvcrt!ferror", "msvcrt!fopen", "msvcrt!fprintf",
    "msvcrt!fputc", "msvcrt!fputs", "msvcrt!fread", "msvcrt!free", "msvcrt!fwrite", "msvcrt!iswctype",
    "msvcrt!localeconv", "msvcrt!longjmp", "msvcrt!malloc", "msvcrt!memchr", "msvcrt!memcmp", "msvcrt!memcpy",
    "msvcrt!memmove", "msvcrt!memset", "msvcrt!printf", "msvcrt!realloc", "msvcrt!setlocale", "msvcrt!signal",
    "msvcrt!strchr", "msvcrt!strcmp", "msvcrt!strcoll", "msvcrt!strerror", "msvcrt!strftime", "msvcrt!strlen",
    "msvcrt!strncmp", "msvcrt!strtol", "msvcrt!strxfrm", "msvcrt!towlower", "msvcrt!towupper",
    "msvcrt!vfprintf", "msvcrt!wcscoll", "msvcrt!wcsftime", "msvcrt!wcslen", "msvcrt!wcsxfrm",
    // user32.dll
    "user32!AppendMenuA", "user32!BeginPaint", "user32!CallWindowProcA", "user32!CreateWindowExA",
    "user32!DefWindowProcA", "user32!DialogBoxParamA", "user32!DrawIcon", "user32!EndDialog", "user32!EndPaint",
    "user32!GetClientRect", "user32!GetCursorPos", "user32!GetDlgItem", "user32!GetMonitorInfoA",
    "user32!GetPropA", "user32!GetSysColor", "user32!GetSystemMenu", "user32!GetSystemMetrics",
    "user32!GetWindow", "user32!GetWindowLongA", "user32!GetWindowLongPtrA", "user32!GetWindowRect",
    "user32!InvalidateRect", "user32!IsIconic", "user32!IsWindowVisible", "user32!LoadIconA",
    "user32!LoadStringA", "user32!MessageBoxA", "user32!MonitorFromWindow", "user32!RemovePropA",
    "user32!ScreenToClient", "user32!SendMessageA", "user32!SetDlgItemTextA", "user32!SetPropA",
    "user32!SetWindowLongA", "user32!SetWindowLongPtrA", "user32!SetWindowPos", "user32!SetWindowTextA",
    "user32!UpdateWindow",
    // files, volumes and wide registry names
    "advapi32!RegCreateKeyExW", "advapi32!RegDeleteValueW", "advapi32!RegEnumKeyExW", "advapi32!RegEnumValueW",
    "advapi32!RegOpenKeyExW", "advapi32!RegQueryInfoKeyW", "advapi32!RegSetValueExW", "kernel32!CreateFileW", "kernel32!GetLocalTime",
    "kernel32!CreateHardLinkW", "kernel32!DeleteFileW", "kernel32!FindFirstVolumeW", "kernel32!FindNextVolumeW",
    "kernel32!FindVolumeClose", "kernel32!GetDiskFreeSpaceExW", "kernel32!GetFileAttributesW",
    "kernel32!GetFileInformationByHandle", "kernel32!GetFileSizeEx", "kernel32!GetFileType",
    "kernel32!GetFullPathNameW", "kernel32!GetTempPathW", "kernel32!GetVolumeInformationW",
    "kernel32!MoveFileExW", "kernel32!RemoveDirectoryW", "kernel32!SetEndOfFile", "kernel32!SetFilePointer",
    "msvcrt!_fdopen", "msvcrt!_findclose", "msvcrt!_fstat64", "msvcrt!_get_osfhandle", "msvcrt!_lseeki64",
    "msvcrt!_telli64", "msvcrt!_wchdir", "msvcrt!_wchmod", "msvcrt!_wfindfirst", "msvcrt!_wfindfirst64",
    "msvcrt!_wfindnext", "msvcrt!_wfindnext64", "msvcrt!_wfopen", "msvcrt!_wfullpath", "msvcrt!_wgetcwd",
    "msvcrt!_wmkdir", "msvcrt!_wopen", "msvcrt!_write", "msvcrt!_wstat64", "msvcrt!_wutime", "msvcrt!_wutime64",
    "msvcrt!fflush", "msvcrt!setvbuf", "msvcrt!wcscat", "msvcrt!wcscmp", "msvcrt!wcscpy",
    // profiles and their hives: privileges, hive loading
    "advapi32!AdjustTokenPrivileges", "advapi32!GetTokenInformation", "advapi32!IsWellKnownSid",
    "advapi32!LookupPrivilegeValueW", "advapi32!OpenProcessToken", "advapi32!RegDeleteKeyW",
    "advapi32!RegLoadKeyW", "advapi32!RegUnLoadKeyW", "kernel32!ExpandEnvironmentStringsW",
    "kernel32!GetExitCodeProcess", "kernel32!GetProcessTimes", "msvcrt!fputwc", "msvcrt!fwprintf",
    // offline Windows volumes: folders held, files locked, moved aside and in
    // by their handles, given the original's security; wide arguments
    "advapi32!GetKernelObjectSecurity", "advapi32!SetKernelObjectSecurity", "kernel32!CreateDirectoryW",
    "advapi32!ConvertStringSecurityDescriptorToSecurityDescriptorW",
    "kernel32!FindClose", "kernel32!FindFirstFileW", "kernel32!FindNextFileW", "kernel32!GetFileInformationByHandleEx",
    "kernel32!LockFileEx", "kernel32!SetFileInformationByHandle", "kernel32!SetFilePointerEx", "kernel32!VirtualAlloc",
    "kernel32!VirtualFree", "kernel32!GetStartupInfoW", "msvcrt!__wgetmainargs", "msvcrt!__winitenv",
    "msvcrt!_wcmdln", "msvcrt!__p__wcmdln", "msvcrt!_open_osfhandle", "msvcrt!_time64", "msvcrt!time",
    "msvcrt!isalpha",
};

constexpr const char* kMarker = "planted-dll-loaded.txt";

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::vector<char> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A PE file, 32 or 64 bits, read as bytes, every offset checked.
class PeFile {
 public:
  explicit PeFile(std::vector<char> bytes) : bytes_(std::move(bytes)) {
    IMAGE_DOS_HEADER dos{};
    if (!Copy(0, &dos, sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0) return;
    const std::size_t nt = static_cast<std::size_t>(dos.e_lfanew);
    DWORD signature = 0;
    if (!Copy(nt, &signature, sizeof signature) || signature != IMAGE_NT_SIGNATURE) return;
    const std::size_t optional = nt + sizeof signature + sizeof(IMAGE_FILE_HEADER);
    WORD magic = 0;
    if (!Copy(nt + sizeof signature, &file_, sizeof file_) || !Copy(optional, &magic, sizeof magic)) return;
    wide_ = magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC;
    if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
      IMAGE_OPTIONAL_HEADER64 header{};
      if (!Copy(optional, &header, sizeof header)) return;
      std::memcpy(directories_, header.DataDirectory, sizeof directories_);
    } else if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
      IMAGE_OPTIONAL_HEADER32 header{};
      if (!Copy(optional, &header, sizeof header)) return;
      std::memcpy(directories_, header.DataDirectory, sizeof directories_);
    } else {
      return;
    }
    sections_.resize(file_.NumberOfSections);
    if (!Copy(optional + file_.SizeOfOptionalHeader, sections_.data(), sections_.size() * sizeof(IMAGE_SECTION_HEADER))) {
      return;
    }
    valid_ = true;
  }

  bool valid() const { return valid_; }
  DWORD TimeDateStamp() const { return file_.TimeDateStamp; }

  // The DLL names of the import table, or of the delay-load table.
  std::vector<std::string> Imports(bool delayed) const {
    std::vector<std::string> names;
    const IMAGE_DATA_DIRECTORY directory =
        directories_[delayed ? IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT : IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) return names;
    const std::size_t entry_size = delayed ? sizeof(IMAGE_DELAYLOAD_DESCRIPTOR) : sizeof(IMAGE_IMPORT_DESCRIPTOR);
    for (DWORD rva = directory.VirtualAddress;; rva += static_cast<DWORD>(entry_size)) {
      DWORD name_rva = 0;
      if (delayed) {
        IMAGE_DELAYLOAD_DESCRIPTOR entry{};
        if (!CopyRva(rva, &entry, sizeof entry)) return {"<import table out of bounds>"};
        name_rva = entry.DllNameRVA;
      } else {
        IMAGE_IMPORT_DESCRIPTOR entry{};
        if (!CopyRva(rva, &entry, sizeof entry)) return {"<import table out of bounds>"};
        name_rva = entry.Name;
      }
      if (name_rva == 0) return names;
      names.push_back(ReadName(name_rva));
    }
  }

  // Every function the import table names, as "dll!name" (the DLL in lower
  // case, without ".dll"), or "dll!#ordinal".
  std::vector<std::string> ImportedFunctions() const {
    std::vector<std::string> names;
    const IMAGE_DATA_DIRECTORY directory = directories_[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) return names;
    const DWORD thunk_size = wide_ ? 8 : 4;
    for (DWORD rva = directory.VirtualAddress;; rva += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
      IMAGE_IMPORT_DESCRIPTOR entry{};
      if (!CopyRva(rva, &entry, sizeof entry)) return {"<import table out of bounds>"};
      if (entry.Name == 0) return names;
      std::string dll = Lower(ReadName(entry.Name));
      if (dll.size() > 4 && dll.compare(dll.size() - 4, 4, ".dll") == 0) dll.resize(dll.size() - 4);
      DWORD thunk = entry.OriginalFirstThunk != 0 ? entry.OriginalFirstThunk : entry.FirstThunk;
      for (;; thunk += thunk_size) {
        ULONGLONG value = 0;
        if (!CopyRva(thunk, &value, thunk_size)) return {"<import thunks out of bounds>"};
        if (value == 0) break;
        const bool by_ordinal = wide_ ? (value >> 63) != 0 : (value & 0x80000000u) != 0;
        // A name entry: a two-byte hint, then the name.
        names.push_back(dll + "!" + (by_ordinal ? "#" + std::to_string(value & 0xFFFF)
                                                : ReadName(static_cast<DWORD>(value) + 2)));
      }
    }
  }

 private:
  std::string ReadName(DWORD rva) const {
    std::string name;
    char c = 0;
    for (DWORD at = rva; CopyRva(at, &c, 1) && c != '\0' && name.size() < 260; ++at) name.push_back(c);
    return name;
  }
  bool Copy(std::size_t offset, void* out, std::size_t size) const {
    if (offset > bytes_.size() || size > bytes_.size() - offset) return false;
    std::memcpy(out, bytes_.data() + offset, size);
    return true;
  }
  bool CopyRva(DWORD rva, void* out, std::size_t size) const {
    for (const IMAGE_SECTION_HEADER& section : sections_) {
      const DWORD extent = std::max(section.Misc.VirtualSize, section.SizeOfRawData);
      if (rva >= section.VirtualAddress && rva - section.VirtualAddress < extent) {
        return Copy(section.PointerToRawData + (rva - section.VirtualAddress), out, size);
      }
    }
    return false;
  }

  std::vector<char> bytes_;
  IMAGE_FILE_HEADER file_{};
  IMAGE_DATA_DIRECTORY directories_[IMAGE_NUMBEROF_DIRECTORY_ENTRIES]{};
  std::vector<IMAGE_SECTION_HEADER> sections_;
  bool valid_ = false;
  bool wide_ = false;  // a 64-bit image: eight-byte import thunks
};

bool Known(const std::string& dll) {
  return std::any_of(std::begin(kKnownDlls), std::end(kKnownDlls), [&](const char* known) { return Lower(dll) == known; });
}

TEST(ImportTableTest, TheProgramsImportOnlyKnownDllsAndDelayLoadNothing) {
  for (const char* program : {"TorvaneSafe.exe", "torvane.exe"}) {
    const PeFile file(ReadAll(OwnDirectory() + program));
    ASSERT_TRUE(file.valid()) << program;
    const std::vector<std::string> imports = file.Imports(false);
    EXPECT_FALSE(imports.empty()) << program;
    for (const std::string& dll : imports) EXPECT_TRUE(Known(dll)) << program << " imports " << dll;
    EXPECT_EQ(file.Imports(true), std::vector<std::string>{}) << program;
  }
}

TEST(ImportTableTest, TheProgramsImportNothingTheOldestSupportedWindowsLacks) {
  for (const char* program : {"TorvaneSafe.exe", "torvane.exe"}) {
    const PeFile file(ReadAll(OwnDirectory() + program));
    ASSERT_TRUE(file.valid()) << program;
    const std::vector<std::string> functions = file.ImportedFunctions();
    EXPECT_GT(functions.size(), 20u) << program;
    for (const std::string& function : functions) {
      EXPECT_EQ(kWindows7Functions.count(function), 1u)
          << program << " imports " << function << ", not known to be in Windows 7 SP1";
    }
  }
}

TEST(ImportTableTest, TheFunctionCheckReadsNamesAndSeesOnesOutsideTheList) {
  const PeFile file(ReadAll(OwnDirectory() + "bare_dialog.exe"));
  ASSERT_TRUE(file.valid());
  const std::vector<std::string> functions = file.ImportedFunctions();
  EXPECT_NE(std::find(functions.begin(), functions.end(), "comctl32!InitCommonControlsEx"), functions.end());
  EXPECT_NE(std::find(functions.begin(), functions.end(), "user32!DialogBoxParamA"), functions.end());
  EXPECT_EQ(kWindows7Functions.count("comctl32!InitCommonControlsEx"), 0u);
  // Windows 8 and later only: never to be listed.
  for (const char* later : {"kernel32!SetDefaultDllDirectories", "kernel32!GetSystemTimePreciseAsFileTime",
                            "kernel32!CreateFile2", "kernelbase!PathCchCombine"}) {
    EXPECT_EQ(kWindows7Functions.count(later), 0u) << later;
  }
}

TEST(ImportTableTest, TheCheckSeesAComctl32Import) {
  // The bare dialog of the start-up benchmark imports comctl32 as the
  // program once did.
  const PeFile file(ReadAll(OwnDirectory() + "bare_dialog.exe"));
  ASSERT_TRUE(file.valid());
  const std::vector<std::string> imports = file.Imports(false);
  EXPECT_TRUE(std::any_of(imports.begin(), imports.end(), [](const std::string& dll) { return !Known(dll); }));
  EXPECT_TRUE(std::any_of(imports.begin(), imports.end(),
                          [](const std::string& dll) { return Lower(dll) == "comctl32.dll"; }));
}

TEST(ImportTableTest, TheHeadersCarryNoLinkTime) {
  for (const char* program : {"TorvaneSafe.exe", "torvane.exe"}) {
    const PeFile file(ReadAll(OwnDirectory() + program));
    ASSERT_TRUE(file.valid()) << program;
    EXPECT_EQ(file.TimeDateStamp(), 0u) << program;
  }
}

// ---------------------------------------------------------------- planted DLLs

// Two scratch folders, one for the program and one to start it in, each with
// the planted DLL as comctl32.dll. Wine must prefer a DLL found on the search
// path over its own, as Windows does for a DLL that is not known: Wine reads
// that from the environment it was started in (scripts/wine_tests.sh), not
// from an environment given to CreateProcess.
//
// Known Wine difference: Wine's own user32 imports version.dll and imm32.dll,
// and its comctl32 delay-loads uxtheme.dll; planted under those names with
// n,b they are found beside the program, before the program's first line or
// whatever search it sets. On Windows imm32 is a known DLL and user32
// imports no version.dll. So only comctl32, the program's own concern, is
// planted here.
class PlantedDllTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char overrides[256] = {};
    GetEnvironmentVariableA("WINEDLLOVERRIDES", overrides, sizeof overrides);
    ASSERT_NE(std::string(overrides).find("comctl32=n,b"), std::string::npos)
        << "run with WINEDLLOVERRIDES=comctl32=n,b, or the planted DLL is never even looked at";
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    const std::string base = std::string(temp) + "torvane-planted-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(GetTickCount64());
    program_dir_ = base + "-program\\";
    working_dir_ = base + "-working\\";
    for (const std::string& dir : {program_dir_, working_dir_}) {
      ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr)) << dir;
      ASSERT_TRUE(CopyFileA((OwnDirectory() + "planted_dll.dll").c_str(), (dir + "comctl32.dll").c_str(), TRUE));
    }
  }

  void TearDown() override {
    for (const std::string& dir : {program_dir_, working_dir_}) {
      for (const char* name : {"comctl32.dll", kMarker, "TorvaneSafe.exe", "bare_dialog.exe"}) {
        DeleteFileA((dir + name).c_str());
      }
      RemoveDirectoryA(dir.c_str());
    }
  }

  Launch Place(const char* program) {
    EXPECT_TRUE(CopyFileA((OwnDirectory() + program).c_str(), (program_dir_ + program).c_str(), TRUE));
    return Launch{program_dir_ + program, working_dir_};
  }

  bool Planted(const std::string& dir) const { return GetFileAttributesA((dir + kMarker).c_str()) != INVALID_FILE_ATTRIBUTES; }

  std::string program_dir_, working_dir_;
};

TEST_F(PlantedDllTest, AComctl32BesideTheProgramOrInItsWorkingFolderIsNeverLoaded) {
  Program program(Place("TorvaneSafe.exe"));
  ASSERT_TRUE(program.started()) << "no dialog with its tree appeared";
  EXPECT_EQ(program.tree().Nodes().size(), static_cast<std::size_t>(repair::kItemCount + repair::kGroupCount));
  EXPECT_FALSE(Planted(program_dir_));
  EXPECT_FALSE(Planted(working_dir_));

  char system[MAX_PATH] = {};
  GetSystemDirectoryA(system, MAX_PATH);
  std::vector<std::string> comctl32;
  for (const std::string& module : program.Modules()) {
    if (Lower(module.substr(module.find_last_of('\\') + 1)) == "comctl32.dll") comctl32.push_back(Lower(module));
  }
  EXPECT_EQ(comctl32, std::vector<std::string>{Lower(std::string(system) + "\\comctl32.dll")});

  PostMessageA(program.dialog(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  ASSERT_TRUE(program.WaitForExit());
  DWORD code = 1;
  GetExitCodeProcess(program.process(), &code);
  EXPECT_EQ(code, 0u);
  EXPECT_FALSE(Planted(program_dir_));
}

TEST_F(PlantedDllTest, AProgramThatImportsComctl32LoadsThePlantedOne) {
  // The same setting against the bare dialog, which imports comctl32: the
  // planted DLL is loaded, so the test above would see it if it were. (It
  // exports a harmless InitCommonControlsEx, so the dialog still comes up.)
  const Launch launch = Place("bare_dialog.exe");
  std::string command = "\"" + launch.program + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             launch.directory.c_str(), &startup, &process));
  EXPECT_TRUE(WaitUntil([&] { return Planted(program_dir_); }));
  if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(process.hProcess, 1);
  WaitForSingleObject(process.hProcess, 10000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

}  // namespace
}  // namespace torvane::wintest
