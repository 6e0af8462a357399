// The release programs as an attacker and a verifier see them: which DLLs
// their import tables name, whether a DLL dropped beside them or in the
// working folder is loaded, and whether the file carries its link time.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/driver.h"

namespace torvane::wintest {
namespace {

// DLLs that Windows loads from the system folder whatever the search order:
// the KnownDLLs the programs may import. Anything else must be loaded by
// hand from the system folder.
const char* const kKnownDlls[] = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "msvcrt.dll",
                                  "shell32.dll",  "ole32.dll",  "oleaut32.dll", "comdlg32.dll", "shlwapi.dll"};

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
      std::string name;
      char c = 0;
      for (DWORD at = name_rva; CopyRva(at, &c, 1) && c != '\0' && name.size() < 260; ++at) name.push_back(c);
      names.push_back(name);
    }
  }

 private:
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
  EXPECT_EQ(program.tree().Nodes().size(), 25u);
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
