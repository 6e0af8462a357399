// This machine's Group Policy files as evidence of policy (Windows builds
// only): read whole, never through a link, and trusted only when no one but
// the system, the administrators or TrustedInstaller could have written them.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "registry/group_policy.h"
#include "registry/registry.h"

namespace torvane::registry {

// The Group Policy files of this machine, read once for every profile: the
// local policy object's two, then the domain's merged machine file. `domain`
// receives the domain's policy objects' names, empty when the history lists
// none.
PolicyEvidence LiveMachinePolicy(std::string* domain);

// The policy files of the profile in `folder` beside the machine's: the
// domain's merged user file (FOLDER\ntuser.pol) when `domain` names policy
// objects.
void AddLiveProfilePolicy(PolicyEvidence& evidence, const std::wstring& folder, const std::string& domain);

// The machine's policy files and those of the user this process runs as.
PolicyEvidence LiveOwnPolicy();

// Reads the policy file `path` (applying below `root`) into `evidence`; a file
// a standard user could have written is noted and not trusted.
void AddLivePolicyFile(PolicyEvidence& evidence, const std::wstring& path, HKey root, const std::string& scope,
                       const std::string& name);

// Why a standard user could have written a file with this owner (a SID) and
// these permissions (an ACL; null: everyone may): someone other than the
// system, the administrators or TrustedInstaller owns it or may change it.
// Empty when no one else could. Only such a file is evidence of policy.
std::string ForgeableBy(void* owner_sid, void* dacl_list);

// The same for a folder, adding or removing what it holds included. Its
// owner may be anyone when an OWNER RIGHTS entry limits what the owner may
// do (an owner otherwise may always change the permissions).
std::string ForgeableFolder(void* owner_sid, void* dacl_list);

// A Win32 or registry error code as the messages name it.
std::string Win32ErrorText(long code);

// The names of `key`'s subkeys that could be read.
std::vector<std::wstring> LiveSubkeyNames(HKEY key);

}  // namespace torvane::registry
