// The board's serial receiver: one line sample per host cycle, 7 data bits, odd parity, one stop bit.
#pragma once

#include <cstdint>
#include <optional>

namespace sim {

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
    // Feeds one cycle's sample; returns the frame whose stop bit this sample was.
    std::optional<ReceivedFrame> Sample(int64_t cycle, LineLevel level);
    bool InFrame() const { return state_ != State::WaitHigh && state_ != State::Idle; }

private:
    // Until the line has been seen high there is no edge to start a frame on, so power-up and a
    // framing error both wait for a 1 first.
    enum class State : uint8_t { WaitHigh, Idle, Data, Parity, Stop };
    State state_ = State::WaitHigh;
    ReceivedFrame current_;
    int bitsTaken_ = 0;
    int parityBit_ = 0;
};

}  // namespace sim
