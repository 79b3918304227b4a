// Owner of the plug-in-wide state.
#include "mach3/plugin_state.h"

#include <new>

#include "mach3/assignments/assignments.h"
#include "mach3/dialog/config_dialog.h"
#include "mach3/log.h"
#include "mach3/pin_assignment.h"
#include "mach3/update/update.h"
#include "platform/file_io.h"

namespace {
PluginState g_plugin;
}

PluginState& plugin() noexcept { return g_plugin; }

// Each room is handed its part here, once; none reaches back up to this state.
PluginState::PluginState() {
    BindBoardCore(*this);
    BindLog(log, host, id.ProfilePath);
    BindAssignments(settings, host, scan, inputs);
    BindConfigDialog(settings, scan, host);
}
PluginState::~PluginState() = default;

void ResetPluginState() {
    if (g_plugin.log.file != nullptr) {
        platform::fileIo().close(g_plugin.log.file);
    }
    g_plugin.~PluginState();
    new (&g_plugin) PluginState();
}

void BindHostBlocks(HostEngineBlock* engine, HostStateBlock* state) noexcept {
    PluginState& p = g_plugin;
    p.host.engine = engine;
    p.host.state = state;
    Channels& ch = p.channels;
    if (ch.chargePump) {
        ch.chargePump->engine = engine;
    }
    if (ch.estop) {
        ch.estop->engine = engine;
    }
    AimInputs();
}

void ReleaseChannelsAndBlocks() noexcept {
    Channels& ch = g_plugin.channels;
    ch.chargePump.reset();
    ch.estop.reset();
    ch.firstUpdate = true;
    g_plugin.host.engine = nullptr;
    g_plugin.host.state = nullptr;
    AimInputs();
}
