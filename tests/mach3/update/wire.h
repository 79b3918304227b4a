// A receiver for the bit stream the tests record: one sample per update cycle, as the board reads it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace wiretest {

struct Frame {
    size_t startCycle;  // index of the start bit in the recording
    int word;           // seven data bits
    bool parityOk;
    bool stopOk;
};

// Frames start at a 0 that follows a 1; after a bad stop bit the receiver waits for the line to rise.
inline std::vector<Frame> Decode(const std::string& wire) {
    std::vector<Frame> frames;
    size_t i = 1;
    while (i < wire.size()) {
        if (!(wire[i] == '0' && wire[i - 1] == '1') || i + 9 >= wire.size()) {
            ++i;
            continue;
        }
        int word = 0;
        int ones = 0;
        for (int b = 0; b < 7; ++b) {
            const int bit = wire[i + 1 + b] == '1';
            word |= bit << b;
            ones += bit;
        }
        const int parity = wire[i + 8] == '1';
        const bool stopOk = wire[i + 9] == '1';
        frames.push_back({i, word, (ones + parity) % 2 == 1, stopOk});
        i += stopOk ? 9 : 10;  // the stop bit is the idle level the next start bit follows
        if (!stopOk) {
            while (i < wire.size() && wire[i] != '1') ++i;
            ++i;
        }
    }
    return frames;
}

// The frame of a word as it must appear on the wire: start, data LSB first, odd parity, stop.
inline std::string FrameBits(int word) {
    std::string bits = "0";
    int ones = 0;
    for (int b = 0; b < 7; ++b) {
        const int bit = (word >> b) & 1;
        ones += bit;
        bits += bit ? '1' : '0';
    }
    bits += (ones % 2 == 0) ? '1' : '0';
    bits += '1';
    return bits;
}

}  // namespace wiretest
