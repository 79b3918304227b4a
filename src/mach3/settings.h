// The settings record: plug-in-wide values named by their profile keys in section TRELVO40.
#pragma once

#include "core/settings.h"

inline constexpr const char* kProfileSection = "TRELVO40";
