// Board latches, independent of the plug-in.
#include "board/board.h"

namespace board_model {

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
