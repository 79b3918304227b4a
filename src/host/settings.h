// The settings record: plug-in-wide values named by their profile keys in section TRELVO40.
#pragma once

#include <cstdint>

// IoMode values.
enum : int32_t {
    IO_EXPANDED_IO = 0,
    IO_EXPANDED_OUTPUT = 1,
    IO_EXPANDED_INPUT = 2,
};

inline constexpr const char* kProfileSection = "TRELVO40";

struct Settings {
    int32_t IoMode = 0;          // key ExpandedMode
    bool EnableSpindle = false;
    bool DemoMode = false;
    bool zzzzz = false;          // serial test word on every frame
    bool EnableDebug = false;
    bool SimMode = false;
    int32_t PostEStopDelay = 0;
    int32_t IdleDelay = 0;
    int32_t IntraFrameDelay = 0;
};
