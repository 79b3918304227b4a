// The board's output latches as the decoded frames set them: J5, relays and J6, spindle command word.
#pragma once

#include <array>
#include <cstdint>

#include "board/receiver.h"

namespace board_model {

// The eight expanded outputs in nibble order: port 8 pins 1, 14, 16, 17 (J5 A..D), then port 9
// pins 1, 14, 16, 17 (K1, K2, J6 16, J6 17).
constexpr int kExpandedOutputs = 8;

struct SpindleCommand {
    int duty = 0;
    bool off = true;
    bool ccw = false;
};
SpindleCommand DecodeSpindleWord(int word);

struct BoardLatches {
    std::array<uint8_t, kExpandedOutputs> outputs{};
    // PWM Low, Mid, Hi nibbles; a board at power-up holds its spindle off.
    std::array<uint8_t, 3> pwm{0, 0, 0x4};
    int SpindleWord() const { return pwm[0] | pwm[1] << 4 | pwm[2] << 8; }
    bool operator==(const BoardLatches&) const = default;
};

struct FrameCounts {
    uint32_t good = 0;
    uint32_t framingErrors = 0;  // stop bit low
    uint32_t parityErrors = 0;   // stop bit high, parity wrong
};

class Board {
public:
    // Takes one received word into the latches; false for a channel without content.
    bool Accept(int word);
    // A frame as received: only a good one reaches the latches, every one is counted.
    void Take(const ReceivedFrame& frame);
    const BoardLatches& Latches() const { return latches_; }
    const FrameCounts& Counts() const { return counts_; }

private:
    BoardLatches latches_;
    FrameCounts counts_;
};

}  // namespace board_model
