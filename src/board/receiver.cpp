// Frame decoding as the board's receiver does it, sample by sample.
#include "board/receiver.h"

#include <bit>

namespace board_model {

std::optional<ReceivedFrame> Receiver::Sample(int64_t cycle, LineLevel level) {
    if (skip_ > 0) {
        --skip_;
        return std::nullopt;
    }
    // The receiver's input is pulled up, so a pin nobody drives reads as 1.
    const int bit = level == LineLevel::Low ? 0 : 1;
    // Each data, parity and stop bit is read in its middle, counted from the start bit's edge; between
    // frames every sample is watched.
    switch (state_) {
    case State::WaitHigh:
        if (bit == 1) state_ = State::Idle;
        return std::nullopt;
    case State::Idle:
        if (bit == 0) {
            current_ = ReceivedFrame{};
            current_.startCycle = cycle;
            bitsTaken_ = 0;
            samplesPerBit_ = nextSamplesPerBit_;
            state_ = State::Data;
            skip_ = samplesPerBit_ - 1 + samplesPerBit_ / 2;
        }
        return std::nullopt;
    case State::Data:
        skip_ = samplesPerBit_ - 1;
        current_.word |= bit << bitsTaken_;
        if (++bitsTaken_ == 7) state_ = State::Parity;
        return std::nullopt;
    case State::Parity:
        skip_ = samplesPerBit_ - 1;
        parityBit_ = bit;
        state_ = State::Stop;
        return std::nullopt;
    case State::Stop:
        // The rest of the stop bit is idle line.
        current_.stopOk = bit == 1;
        current_.parityOk = (std::popcount(static_cast<unsigned>(current_.word)) + parityBit_) % 2 == 1;
        state_ = current_.stopOk ? State::Idle : State::WaitHigh;
        return current_;
    }
    return std::nullopt;
}

}  // namespace board_model
