// The host profile around a run: the TRELVO40 settings written in, the host's own wiring read out.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "host/host_blocks.h"

namespace sim {

// Writes each (key, value) into the root's first TRELVO40 section, creating the file, root and
// section as needed. With no settings an existing file is left as it stands. Throws on I/O failure.
void WriteSettings(const std::string& path, const std::vector<std::pair<std::string, std::string>>& settings);

// Fills the engine block's signal tables from the profile's Preferences element, as the host does
// from its port and pin configuration; false (and the block untouched) when there is none.
bool LoadPreferencesWiring(const std::string& path, HostEngineBlock& engine);

}  // namespace sim
