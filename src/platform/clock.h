// Local time of day for log timestamps.
#pragma once

namespace platform {

struct TimeOfDay {
    int hour;
    int minute;
    int second;
    int millisecond;
};

// One reading of the clock, so the seconds and the milliseconds always agree.
TimeOfDay ReadLocalTime() noexcept;

}  // namespace platform
