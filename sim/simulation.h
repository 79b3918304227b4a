// One run of a scenario against the loaded plug-in: host blocks, pin and board models, outputs.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>

#include "host/host_blocks.h"
#include "plugin_module.h"
#include "scenario.h"

namespace sim {

struct RunOptions {
    std::string profilePath;  // empty: a fresh temporary file
    std::string wirePath;
    std::string framesPath;
    std::string vcdPath;
};

// The level a port/pin shows: state XOR active-low of the enabled output with the highest index on
// it, or nothing when no enabled output drives it.
std::optional<int> PinLevel(const HostEngineBlock& engine, int port, int pin);

// The spindle command word the host state asks for.
int ExpectedSpindleWord(const HostStateBlock& state);

// Runs the scenario to its last cycle; throws std::runtime_error when an output file or the
// profile cannot be written.
void RunScenario(const Scenario& scenario, const PluginModule& module, const RunOptions& options,
                 std::ostream& account);

}  // namespace sim
