// The spindle's 12-bit command word, and the demo's word pattern.
#pragma once

#include <cstdint>

#include "core/events.h"
#include "core/inputs.h"

namespace board {

// The duty for a ratio of full speed; outside 0..1 (and NaN) it is clamped so the flags stay intact.
int32_t DutyFromRatio(double ratio) noexcept;

struct Spindle {
    // Duty in bits 0-9, bit 10 when off, bit 11 when not clockwise; refreshes the fields from the inputs,
    // then dumps them to `sink` when the dump is on.
    int32_t CommandWord(const Inputs& in, const EventSink* sink = nullptr) noexcept;
    // The state dump, a diagnostic that nothing switches on: off in every new spindle.
    void SetDumpEnabled(bool on) noexcept { dumpEnabled = on; }
    void DumpState(const char* caller, const EventSink& sink) const noexcept;

    bool dumpEnabled = false;
    bool isOn = false;
    bool dirCW = true;
    int32_t dutyCycle = 0;
};

extern const int32_t DemoSequence[12];
extern const int32_t DemoPwmSequence[16];

struct Demo {
    int32_t NextWord() noexcept;
    // Stores the next spindle step's word and tells whether its group goes on.
    bool NextPwmWord(int32_t& word) noexcept;
    void RestartPwm() noexcept { pwmIndex = 0; }

    int32_t index = 0;
    int32_t pwmIndex = 0;
};

}  // namespace board
