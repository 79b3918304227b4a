// trelvo-sim --check: switches every wired output on its own and reports what the board latched.
#pragma once

#include <iosfwd>
#include <string>

#include "plugin_module.h"
#include "scenario.h"

namespace sim {

// Runs the check on the profile's wiring and settings, or on `builtin`'s without a profile, and
// writes the report. True when every wired board output followed the host. Throws
// std::runtime_error when the profile cannot be read or parsed.
bool RunWiringCheck(const Scenario& builtin, const PluginModule& module, const std::string& profilePath,
                    std::ostream& report);

}  // namespace sim
