// The host's Update adapted to the board core: the host's tables in, one frame bit out per cycle.
#pragma once

struct PluginState;

// One host Update over the state its owner hands in.
void myUpdate(PluginState& p) noexcept;
// Points the board core at the plug-in's settings, input view and log, and the log's lines at the
// lent status block.
void BindBoardCore(PluginState& p) noexcept;
