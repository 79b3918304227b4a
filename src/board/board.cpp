// Board latches and their names, independent of the plug-in.
#include "board/board.h"

namespace board_model {

const char* ChannelName(int channel) {
    static const char* const names[8] = {"PP2",     "Relay/PP1", "PWM Low",  "PWM Mid",
                                         "PWM Hi",  "unknown5",  "unknown6", "unknown7"};
    return names[channel & 7];
}

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

SpindleCommand DecodeSpindleWord(int word) {
    return SpindleCommand{word & 0x3FF, (word & 0x400) != 0, (word & 0x800) != 0};
}

bool Board::Accept(int word) {
    const int channel = (word >> 4) & 7;
    const int nibble = word & 0xF;
    switch (channel) {
    case 0:
    case 1:
        for (int bit = 0; bit < 4; ++bit) latches_.outputs[channel * 4 + bit] = (nibble >> bit) & 1;
        return true;
    case 2:
    case 3:
    case 4:
        latches_.pwm[channel - 2] = static_cast<uint8_t>(nibble);
        return true;
    default:
        return false;
    }
}

void Board::Take(const ReceivedFrame& frame) {
    if (!frame.stopOk) {
        ++counts_.framingErrors;
    } else if (!frame.parityOk) {
        ++counts_.parityErrors;
    } else {
        ++counts_.good;
        Accept(frame.word);
    }
}

}  // namespace board_model
