// Spindle command word and the demo word pattern.
#include "core/spindle.h"

namespace board {

int32_t DutyFromRatio(double ratio) noexcept {
    // A ratio outside 0..1 would spill into the off and direction bits; NaN counts as stopped.
    if (!(ratio > 0.0)) {
        ratio = 0.0;
    } else if (ratio > 1.0) {
        ratio = 1.0;
    }
    return static_cast<int32_t>(ratio * 1023.0 + 0.5);
}

int32_t Spindle::CommandWord(const Inputs& in, const EventSink* sink) noexcept {
    if (in.spindleOn != nullptr) {
        isOn = *in.spindleOn != 0;
        dirCW = *in.spindleDir == 1;
        dutyCycle = DutyFromRatio(*in.spindleRatio);
    }
    if (sink != nullptr) {
        DumpState("GetCommandWord", *sink);
    }
    int32_t word = dutyCycle;
    if (!isOn) {
        word |= 0x400;
    }
    if (!dirCW) {
        word |= 0x800;
    }
    return word;
}

void Spindle::DumpState(const char* caller, const EventSink& sink) const noexcept {
    if (dumpEnabled) {
        sink.Emit(EventKind::SpindleDump, caller, isOn ? 1 : 0, dirCW ? 1 : 0, dutyCycle);
    }
}

const int32_t DemoSequence[12] = {0x01, 0x02, 0x04, 0x08, 0x00, -1, 0x11, 0x12, 0x14, 0x18, 0x10, -1};
const int32_t DemoPwmSequence[16] = {0x20, 0x30, 0x42, -1, 0x38, 0x40, -1, 0x30,
                                     0x43, -1,   0x44, -1, 0x4B, -1,   0x44, -1};

bool Demo::NextPwmWord(int32_t& word) noexcept {
    word = DemoPwmSequence[pwmIndex];
    pwmIndex = (pwmIndex + 1) % 16;
    if (DemoPwmSequence[pwmIndex] != -1) {
        return true;
    }
    pwmIndex = (pwmIndex + 1) % 16;
    return false;
}

int32_t Demo::NextWord() noexcept {
    int32_t word = DemoSequence[index++];
    if (word == -1) {
        --index;
        if (!NextPwmWord(word)) {
            ++index;
        }
    }
    if (index >= 12) {
        index = 0;
    }
    return word;
}

}  // namespace board
