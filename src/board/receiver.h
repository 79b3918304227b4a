// The board's serial receiver: 7 data bits, odd parity, one stop bit, read from line samples.
#pragma once

#include <cstdint>
#include <optional>

namespace board_model {

enum class LineLevel : uint8_t { Low, High, Undriven };

struct ReceivedFrame {
    int64_t startCycle = 0;
    int word = 0;  // the 7 data bits
    bool parityOk = false;
    bool stopOk = false;
    bool Good() const { return parityOk && stopOk; }
};

class Receiver {
public:
    // Feeds one sample; returns the frame whose stop bit this sample was.
    std::optional<ReceivedFrame> Sample(int64_t cycle, LineLevel level);
    bool InFrame() const { return state_ != State::WaitHigh && state_ != State::Idle; }
    // Samples per bit, at least 1; the bits of a frame are read at the rate its start bit found.
    void SetSamplesPerBit(uint32_t samples) { nextSamplesPerBit_ = samples < 1 ? 1 : samples; }

private:
    // Until the line has been seen high there is no edge to start a frame on, so power-up and a
    // framing error both wait for a 1 first.
    enum class State : uint8_t { WaitHigh, Idle, Data, Parity, Stop };
    State state_ = State::WaitHigh;
    ReceivedFrame current_;
    int bitsTaken_ = 0;
    int parityBit_ = 0;
    uint32_t samplesPerBit_ = 1;
    uint32_t nextSamplesPerBit_ = 1;
    uint32_t skip_ = 0;  // samples to let pass before the next bit's is taken
};

}  // namespace board_model
