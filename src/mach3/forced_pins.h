// The pins the plug-in keeps for itself whatever the host's Ports and Pins say.
#pragma once

#include "core/settings.h"

namespace mach3 {

inline constexpr int kStreamPort = 1, kStreamPin = 16;  // the board's bit stream
inline constexpr int kChargePumpOutput = 13, kChargePumpPort = 1, kChargePumpPin = 17;
inline constexpr int kEStopInput = 25, kEStopPort = 1, kEStopPin = 10;
// The EStop input's polarity: the profile's own (Input25Neg) is overwritten every cycle.
inline bool ForcedEStopActiveLow(const Settings& s) { return s.SimMode; }

}  // namespace mach3
