// Monitor: decides when one channel's value must go to the board (on change, or when a refresh is due).
#pragma once

#include <cstdint>

#include "core/events.h"

namespace board {

class Monitor {
public:
    explicit constexpr Monitor(const char* monitorName) : name(monitorName) {}

    void SetEnabled(bool flag) noexcept {
        enabled = flag;
        needUpdate = false;
    }
    void Update(int32_t value, const EventSink& sink) noexcept;
    int32_t GetData(const EventSink& sink) noexcept;
    // Runs on every cycle for each channel: the common path stays inline.
    void IncTime(const EventSink& sink) noexcept {
        if (enabled && !needRefresh && refreshTimer++ > 10) {
            needRefresh = true;
            sink.Emit(EventKind::MonitorTimeout, name);
        }
    }
    void Restart(const EventSink& sink) noexcept;
    bool NeedUpdate() const noexcept { return needUpdate; }
    bool NeedRefresh() const noexcept { return needRefresh; }

    const char* name;
    bool enabled = true;
    bool needUpdate = false;
    bool needRefresh = true;
    int32_t data = -1;
    int32_t lastData = -1;
    int32_t refreshTimer = 0;
};

}  // namespace board
