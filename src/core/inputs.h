// What the core reads each time the scheduler asks: pointers an adapter aims at its own values.
#pragma once

#include <cstdint>

namespace board {

// Board output slots: J5 A-D (the PP2 word), then K1, K2, J6-16, J6-17 (the Relay/PP1 word).
inline constexpr int kOutputSlots = 8;

struct Inputs {
    // A slot is high when *level differs from *activeLow; an unassigned slot (null) is low.
    const uint8_t* level[kOutputSlots] = {};
    const uint8_t* activeLow[kOutputSlots] = {};
    // Null keeps the spindle as last read.
    const uint8_t* spindleOn = nullptr;
    const int32_t* spindleDir = nullptr;  // 1 is clockwise
    const double* spindleRatio = nullptr;  // 0..1 of full speed

    int32_t Nibble(int first) const noexcept {
        int32_t word = 0;
        for (int k = 0; k < 4; ++k) {
            const uint8_t* l = level[first + k];
            if (l != nullptr && *l != *activeLow[first + k]) {
                word |= 1 << k;
            }
        }
        return word;
    }
    int32_t Pp2Word() const noexcept { return Nibble(0); }
    int32_t RelayWord() const noexcept { return 16 + Nibble(4); }
};

}  // namespace board
