// The board core: one bit of a serial frame per cycle, from the scheduler, the demo or the serial test.
#pragma once

#include <cstdint>

#include "core/events.h"
#include "core/inputs.h"
#include "core/scheduler.h"
#include "core/settings.h"
#include "core/spindle.h"

namespace board {

enum TxState : int32_t { kTxEStop = 0, kTxIdle = 1, kTxLoad = 2, kTxData = 3, kTxParity = 4, kTxStop = 5, kTxHalt = 6 };

// Asked for when the line leaves EStop, before the first frame may start in that same cycle.
struct RescanHook {
    void (*rescan)(void* context) = nullptr;
    void* context = nullptr;
};

class Transmitter {
public:
    // What the core reads and reports to; kept by pointer, so the adapter may change them in place.
    void Bind(const Settings* s, const Inputs* in, const EventSink* events, RescanHook hook) noexcept {
        settings = s;
        inputs = in;
        sink = events;
        rescanHook = hook;
        scheduler.in = in;
        scheduler.sink = events;
    }
    // A new scheduler, as at the first cycle of a session.
    void ResetScheduler() noexcept { scheduler.Reset(inputs, sink); }
    // The line, its counters and the demo as at load.
    void ResetLine() noexcept;

    // The cycle in two steps, so an adapter may act on the EStop between them.
    void NoteEStop(bool estop) noexcept {
        if (estop) {
            HoldInEStop();
        }
    }
    int32_t Clock(bool estop) noexcept {
        scheduler.IncTime();
        return StateStep(estop);
    }
    int32_t Cycle(bool estop) noexcept {
        NoteEStop(estop);
        return Clock(estop);
    }

    int32_t state = kTxEStop;
    int32_t countdown = 0;
    int32_t word = 0;
    int32_t ones = 0;
    int32_t serialTestCount = 0;
    Demo demo;
    Scheduler scheduler;

private:
    void HoldInEStop() noexcept;
    int32_t StateStep(bool estop) noexcept;
    int32_t EStopStep(bool estop) noexcept;
    int32_t IdleStep() noexcept;
    void LoadWord() noexcept;

    const Settings* settings = nullptr;
    const Inputs* inputs = nullptr;
    const EventSink* sink = nullptr;
    RescanHook rescanHook;
};

}  // namespace board
