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
// not there to begin with, otherwise the code of the first refusal. The
// whole tree is walked first: a key that will not open for deleting, a
// subkey whose listed name does not open it (a name the ANSI code page
// cannot spell, or one holding a NUL) or nesting deeper than the registry
// allows refuses the delete before any key goes (kAccessDenied for a name).
// A refusal of the delete itself, or a key changed in between, can still
// leave part of the tree. Where the store deletes a tree in one step
// (TreeRemovable), it does, and the names below never need spelling.
long DeleteKeyTree(RegistryStore& store, HKey parent, const std::string& name);

}  // namespace torvane::registry
