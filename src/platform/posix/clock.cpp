// POSIX clock: one CLOCK_REALTIME reading split into local time and milliseconds.
#include "platform/clock.h"

#include <ctime>

namespace platform {

TimeOfDay ReadLocalTime() noexcept {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm local{};
    const time_t seconds = now.tv_sec;
    localtime_r(&seconds, &local);
    return TimeOfDay{local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(now.tv_nsec / 1000000)};
}

}  // namespace platform
