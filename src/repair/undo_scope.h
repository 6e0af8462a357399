// What an undo of the repairs can hold, and so all a restore may touch: the
// values the 23 items' repairs change, their keys, the image-hijack
// subkeys named after protected tools with everything below them, and the
// deletion of a key a repair made again.
//
// Paths and names are UTF-8 (see registry/utf.h) and compare without regard
// to the case of ASCII letters. A machine place of the 32-bit view
// (SOFTWARE\Wow6432Node\...) is the same place as its 64-bit one. User places are below HKEY_CURRENT_USER
// (a backup's HKEY_USERS\NAME keys carry that root too).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "registry/reg_file.h"
#include "registry/registry.h"

namespace torvane::repair {

// Empty when `entry` is a statement an undo of the repairs can hold;
// otherwise what is wrong with it, in one phrase.
std::string UndoRefusal(const registry::RegEntry& entry);

// Whether `name` names a protected tool as Windows would look it up: without
// regard to ASCII case, and without the trailing blanks some list entries
// carry (an exact match is one too).
bool NamesProtectedTool(std::string_view name);

// The items whose repair changes the value `name` of the key, or, for a key
// deleted or made whole (`name` null), the key.
std::vector<int> ItemsChanging(registry::HKey root, std::string_view path, const std::string* name);

}  // namespace torvane::repair
