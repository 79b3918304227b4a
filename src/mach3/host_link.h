// What InitControl lends: the host's blocks, which the rooms that read them are handed a view of.
#pragma once

#include <cstdint>

#include "mach3/host_blocks.h"

// Kept from InitControl on; the pointers follow each new InitControl and are cleared by StopPlug.
struct HostLink {
    HostEngineBlock* engine = nullptr;
    intptr_t arg2 = 0;
    HostStateBlock* state = nullptr;
    intptr_t arg4 = 0;
};
