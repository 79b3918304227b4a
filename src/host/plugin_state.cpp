// Owner of the plug-in-wide state.
#include "host/plugin_state.h"

#include <new>

#include "channels/expanded_data.h"
#include "channels/pin_assignment.h"
#include "channels/spindle_state.h"
#include "platform/file_io.h"

PluginState g_plugin;

PluginState::PluginState() = default;
PluginState::~PluginState() = default;

void ResetPluginState() {
    if (g_plugin.log.file != nullptr) {
        platform::fileIo().close(g_plugin.log.file);
    }
    g_plugin.~PluginState();
    new (&g_plugin) PluginState();
}
