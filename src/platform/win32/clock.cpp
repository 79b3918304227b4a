// Windows clock: one GetLocalTime reading.
#include "platform/clock.h"

#include <windows.h>

namespace platform {

TimeOfDay ReadLocalTime() noexcept {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return TimeOfDay{now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

}  // namespace platform
