// The built-in demo registry: a stock Windows XP after a typical infection.
#pragma once

#include "registry/memory_store.h"

namespace torvane::registry {

// Fills `store` with the healthy places of a stock system and the damage a
// typical piece of malware leaves: several policies, an image hijack of a
// security tool beside a harmless image option, a changed Shell and a
// changed "www" prefix.
void LoadDemoRegistry(MemoryStore& store);

}  // namespace torvane::registry
