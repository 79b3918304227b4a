// SpindleState: the 12-bit spindle command word from the host's spindle state; and the demo pattern.
#pragma once

#include <cstdint>

class SpindleState {
public:
    SpindleState() = default;

    void SetDumpEnabled(bool flag) noexcept { dumpEnabled = flag; }
    // Duty in bits 0-9, bit 10 when off, bit 11 when not clockwise; refreshes isOn.
    int32_t GetCommandWord() noexcept;
    void DumpState(const char* caller) noexcept;

    bool dumpEnabled = false;
    bool isOn = false;
    bool dirCW = true;
    int32_t dutyCycle = 0;
};

// The duty for a host ratio; ratios outside 0..1 (and NaN) are clamped so the flags stay intact.
int32_t DutyFromRatio(double ratio) noexcept;

extern const int32_t DemoSequence[12];
extern const int32_t DemoPwmSequence[16];

int32_t NextDemoWord() noexcept;
// Null resets the PWM position; otherwise stores the next word and tells whether the group goes on.
bool NextDemoPwmWord(int32_t* word) noexcept;
