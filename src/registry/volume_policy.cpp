#include "registry/volume_policy.h"

#include <utility>

#include "registry/preg.h"

namespace torvane::registry {

namespace {

// Reads the policy file `path` below `folder` into `evidence`; a file that
// cannot be read, or is malformed, is named in a note instead. Returns
// where it was found and its bytes, for a trusted file a run may change.
std::optional<std::pair<FilePlace, std::string>> AddPolicyFile(PolicyEvidence& evidence,
                                                               const std::shared_ptr<const Folder>& folder,
                                                               const std::vector<std::string>& path, HKey hive,
                                                               const char* scope, const char* name, bool trusted) {
  std::string where = folder ? folder->path() : std::string();
  try {
    std::optional<FilePlace> place;
    auto bytes = ReadBelow(folder, path, kMaxPregFileBytes, &where, &place);
    if (!bytes) return std::nullopt;
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes->data());
    evidence.Add(hive, PolicyOrigin{scope, name, where, false}, PregFile::Parse({data, bytes->size()}), trusted);
    if (!trusted) evidence.Note(where + ": not evidence of policy: a standard user can write it");
    return std::make_pair(*place, std::move(*bytes));
  } catch (const FileError& error) {
    evidence.Note(std::string(error.what()) + "; not read as evidence of policy");
  } catch (const PregError& error) {
    evidence.Note(where + ": " + error.what() + "; not read as evidence of policy");
  }
  return std::nullopt;
}

}  // namespace

PolicyEvidence MachinePolicyOfVolume(const std::shared_ptr<const Folder>& root, std::vector<LocalPolicyFile>* local_files) {
  PolicyEvidence evidence;
  std::shared_ptr<const Folder> local;
  try {
    local = FolderOf(FolderOf(FolderOf(root, "Windows"), "System32"), "GroupPolicy");
  } catch (const FileError& error) {
    evidence.Note(std::string(error.what()) + "; not read as evidence of policy");
  }
  // The local policy object's version, raised where a run takes a value out.
  std::optional<FilePlace> gpt_place;
  std::optional<std::string> gpt;
  std::string gpt_problem;
  try {
    std::string where = local ? FilePlace(local, "gpt.ini").path() : std::string();
    if (local) gpt = ReadBelow(local, {"gpt.ini"}, 1 << 20, &where, &gpt_place);
    if (!gpt) gpt_problem = where + ": missing";
  } catch (const FileError& error) {
    gpt_problem = error.what();
  }
  const auto keep = [&](std::optional<std::pair<FilePlace, std::string>> read, bool machine) {
    if (!read) return;
    local_files->push_back({std::move(read->first), std::move(read->second), machine, gpt ? gpt_place : std::nullopt,
                            gpt.value_or(""), gpt_problem});
  };
  if (local) {
    keep(AddPolicyFile(evidence, local, {"Machine", "Registry.pol"}, kLocalMachine, "local", "Local Group Policy", true),
         true);
  }
  AddPolicyFile(evidence, root, {"ProgramData", "ntuser.pol"}, kLocalMachine, "domain",
                "Group Policy (the machine's applied settings)", false);
  if (local) {
    keep(AddPolicyFile(evidence, local, {"User", "Registry.pol"}, kCurrentUser, "local", "Local Group Policy", true),
         false);
  }
  return evidence;
}

std::shared_ptr<PolicyEvidence> PolicyOfProfile(const PolicyEvidence& machine,
                                                const std::shared_ptr<const Folder>& profile) {
  auto evidence = std::make_shared<PolicyEvidence>(machine);
  if (profile) {
    AddPolicyFile(*evidence, profile, {"ntuser.pol"}, kCurrentUser, "domain",
                  "Group Policy (the user's applied settings)", false);
  }
  return evidence;
}

}  // namespace torvane::registry
