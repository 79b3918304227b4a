// The board's latch changes and spindle word as the simulator's account writes them.
#include "board.h"

#include <cstdio>

#include "core/scheduler.h"

namespace sim {

const char* ChannelName(int channel) { return board::ChannelNames[channel & 7]; }

const char* LatchName(int output) {
    static const char* const names[kExpandedOutputs] = {"J5 A", "J5 B", "J5 C",  "J5 D",
                                                        "K1",   "K2",   "J6 16", "J6 17"};
    return output >= 0 && output < kExpandedOutputs ? names[output] : "?";
}

namespace {
const int kExpandedPins[4] = {1, 14, 16, 17};
}

int ExpandedOutputIndex(int port, int pin) {
    if (port != 8 && port != 9) return -1;
    for (int bit = 0; bit < 4; ++bit) {
        if (kExpandedPins[bit] == pin) return (port == 8 ? 0 : 4) + bit;
    }
    return -1;
}

int ExpandedPort(int output) { return output < 4 ? 8 : 9; }
int ExpandedPin(int output) { return kExpandedPins[output & 3]; }

std::string DescribeSpindleWord(int word) {
    const SpindleCommand c = DecodeSpindleWord(word);
    char text[80];
    std::snprintf(text, sizeof text, "0x%03X (duty %d, %s, %s)", word & 0xFFF, c.duty, c.off ? "off" : "on",
                  c.ccw ? "ccw" : "cw");
    return text;
}

std::vector<LatchChange> DescribeLatchChanges(const BoardLatches& before, const BoardLatches& after) {
    std::vector<LatchChange> lines;
    for (int i = 0; i < kExpandedOutputs; ++i) {
        if (before.outputs[i] != after.outputs[i])
            lines.push_back({i, std::string(LatchName(i)) + (after.outputs[i] ? " on" : " off")});
    }
    if (before.SpindleWord() != after.SpindleWord())
        lines.push_back({kExpandedOutputs, "spindle word " + DescribeSpindleWord(after.SpindleWord())});
    return lines;
}

}  // namespace sim
