// The board's latch changes and spindle word as the simulator's account writes them.
#include "board.h"

#include <cstdio>

namespace sim {

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
