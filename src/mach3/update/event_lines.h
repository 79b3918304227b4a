// The board core's events as the debug log's per-cycle lines, as the plug-in has always written them.
#pragma once

#include "core/events.h"

// The board core's EventSink writer: one log line per event, and the status text for a word sent. The
// context is the HostLink whose lent state block the spindle dump reads.
void WriteCoreEvent(void* context, const board::Event& e) noexcept;
