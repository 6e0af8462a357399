// The Group Policy files of a mounted Windows volume as evidence of policy.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "registry/file_io.h"
#include "registry/group_policy.h"

namespace torvane::registry {

// A local policy file as read, and its policy object's gpt.ini: what a run
// that takes values out of the file changes with it.
struct LocalPolicyFile {
  FilePlace place;
  std::string bytes;
  bool machine;  // Machine\Registry.pol (else User\Registry.pol)
  std::optional<FilePlace> gpt;
  std::string gpt_bytes;
  std::string gpt_problem;  // why there is no gpt.ini to change
};

// The machine's Group Policy files on a mounted Windows volume, each folder
// resolved once and each file read once for every profile. Only the local
// policy object's files are evidence: on a default install no standard user
// can write below Windows\System32\GroupPolicy. The merged results Group
// Policy keeps in ntuser.pol are named but never trusted: a user can replace
// the one in their own profile folder, and create the machine's under
// ProgramData where it is missing. Who owns a file cannot be told offline.
// `local_files` receives the local policy object's files as read.
PolicyEvidence MachinePolicyOfVolume(const std::shared_ptr<const Folder>& root, std::vector<LocalPolicyFile>* local_files);

// The machine's evidence, and the profile's own ntuser.pol (`profile`: its
// folder; null for none).
std::shared_ptr<PolicyEvidence> PolicyOfProfile(const PolicyEvidence& machine, const std::shared_ptr<const Folder>& profile);

}  // namespace torvane::registry
