// Scheduler: feeds the channel monitors from the inputs and picks the next word the board hears.
#pragma once

#include <cstdint>

#include "core/events.h"
#include "core/inputs.h"
#include "core/monitor.h"
#include "core/spindle.h"

namespace board {

// Channel names by (word >> 4) & 7.
extern const char* const ChannelNames[8];
inline const char* ChannelName(int32_t word) noexcept { return ChannelNames[(word >> 4) & 7]; }

class Scheduler {
public:
    // The state of a new scheduler (no spindle channel, every output channel due), reported as created.
    void Reset(const Inputs* inputs, const EventSink* events) noexcept;

    void UseSpindle(bool flag) noexcept;
    // Stops using the spindle channel after one last Hi nibble that tells the board to stop.
    void StopSpindle() noexcept;
    void Restart() noexcept;
    void Update() noexcept;
    void IncTime() noexcept {
        sink->Emit(EventKind::SchedulerTick);
        pwmMonitor.IncTime(*sink);
        relayMonitor.IncTime(*sink);
        pp2Monitor.IncTime(*sink);
    }
    bool NeedUpdate() const noexcept {
        return pwmMonitor.NeedUpdate() || relayMonitor.NeedUpdate() || pp2Monitor.NeedUpdate();
    }
    bool NeedRefresh() const noexcept {
        return pwmMonitor.NeedRefresh() || relayMonitor.NeedRefresh() || pp2Monitor.NeedRefresh();
    }
    bool HasWork() const noexcept { return NeedUpdate() || NeedRefresh() || pwmInProgress; }
    int32_t GetData() noexcept;

    const Inputs* in = nullptr;
    const EventSink* sink = nullptr;
    Spindle spindle;
    int32_t state = 0;  // the PWM sequence's next nibble: 0 Low, 1 Mid, 2 Hi
    bool pwmInProgress = false;
    bool pwmRefresh = false;  // the sequence in progress resends what the board holds
    bool useSpindle = false;
    Monitor pwmMonitor{"PWM"};
    Monitor relayMonitor{"RelayPP1"};
    Monitor pp2Monitor{"PP2"};
    int32_t pwmData = -1;
    int32_t lastPwmLow = -1;
    int32_t lastPwmMid = -1;
    int32_t lastPwmHi = -1;
    uint64_t serveCount = 0;
    uint64_t lastServed[3] = {0, 0, 0};

private:
    void ResetPwmNibbles() noexcept { lastPwmLow = lastPwmMid = lastPwmHi = -1; }
    void StartPwm(bool interruptible) noexcept;
    int32_t SendOutputs(int32_t ring) noexcept;
    int32_t OldestDueRefresh() const noexcept;
    void Stamp(int32_t ring) noexcept { lastServed[ring] = ++serveCount; }
};

}  // namespace board
