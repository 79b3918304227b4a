// The settings record read from section TRELVO40 by any reader of int keys, with the plug-in's defaults.
#pragma once

#include "mach3/settings.h"

// `read(key, default)` gives the key's int value, or the default when the section lacks it.
template <typename ReadInt>
void ReadSettingsKeys(ReadInt&& read, Settings& s) {
    s.IoMode = read("ExpandedMode", IO_EXPANDED_INPUT);
    s.EnableSpindle = read("EnableSpindle", 0) != 0;
    s.DemoMode = read("DemoMode", 0) != 0;
    s.zzzzz = read("zzzzz", 0) != 0;
    s.EnableDebug = read("EnableDebug", 0) != 0;
    s.SimMode = read("SimMode", 0) != 0;
    s.PostEStopDelay = read("PostEStopDelay", 10);
    s.IdleDelay = read("IdleDelay", 3);
    s.IntraFrameDelay = read("IntraFrameDelay", 0);
}
