// Removing a key with everything below it, through the registry operations
// alone, so that any store (and any decorator that notes each change) sees
// one RegDeleteKeyA per key.
#pragma once

#include <string>

#include "registry/registry.h"

namespace torvane::registry {

// Deletes `name` below `parent`, deepest keys first. A link anywhere in the
// tree is removed as a link; what it points at is never opened. Returns
// kSuccess when nothing of the tree remains, kFileNotFound when `name` was
// not there to begin with, otherwise the code of the first refusal:
// everything after it is left in place. A subkey whose listed name does not
// open it (a name the ANSI code page cannot spell) stops the delete with
// kAccessDenied, so that every delete ends.
long DeleteKeyTree(RegistryStore& store, HKey parent, const std::string& name);

}  // namespace torvane::registry
