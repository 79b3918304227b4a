// The settings the board core obeys, named by their profile keys in section TRELVO40.
#pragma once

#include <cstdint>

// IoMode values.
enum : int32_t {
    IO_EXPANDED_IO = 0,
    IO_EXPANDED_OUTPUT = 1,
    IO_EXPANDED_INPUT = 2,
};

struct Settings {
    int32_t IoMode = 0;          // key ExpandedMode
    bool EnableSpindle = false;
    bool DemoMode = false;
    bool zzzzz = false;          // serial test word on every frame
    bool EnableDebug = false;
    bool SimMode = false;        // read by the Mach3 adapter only
    int32_t PostEStopDelay = 0;
    int32_t IdleDelay = 0;
    int32_t IntraFrameDelay = 0;
};
