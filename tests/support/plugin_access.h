// The tests', fuzz targets' and benchmarks' one way to the plug-in's state, which no room of the plug-in reaches.
#pragma once

#include "mach3/plugin_state.h"

namespace testsupport {

inline PluginState& State() noexcept { return plugin(); }

}  // namespace testsupport
