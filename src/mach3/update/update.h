// The host's Update adapted to the board core: the host's tables in, one frame bit out per cycle.
#pragma once

struct PluginState;

void myUpdate() noexcept;
// Points the board core at the plug-in's settings, input view and log.
void BindBoardCore(PluginState& p) noexcept;
