// The frame transmitter: one bit of a serial frame per host update cycle.
#pragma once

struct PluginState;

void myUpdate() noexcept;
// Points the board core at the plug-in's settings, input view and log.
void BindBoardCore(PluginState& p) noexcept;
