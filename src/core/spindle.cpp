// Spindle command word and the demo word pattern.
#include "core/spindle.h"

#include <bit>

namespace board {

namespace {

// n rounded to 53 significant bits, ties to even: what storing it in a double does.
uint64_t RoundToDouble(uint64_t n) noexcept {
    const int bits = 64 - std::countl_zero(n);
    if (bits <= 53) return n;
    const int shift = bits - 53;
    const uint64_t half = uint64_t{1} << (shift - 1);
    const uint64_t rest = n & ((uint64_t{1} << shift) - 1);
    uint64_t kept = n >> shift;
    if (rest > half || (rest == half && (kept & 1) != 0)) ++kept;
    return kept << shift;
}

}  // namespace

int32_t DutyFromRatio(double ratio) noexcept {
    // A ratio outside 0..1 would spill into the off and direction bits; NaN counts as stopped.
    if (!(ratio > 0.0)) return 0;
    if (ratio >= 1.0) return 1023;
    // int(ratio * 1023.0 + 0.5) as a double unit computes it, each step rounded to 53 bits, but in
    // integers: an x87 at 64-bit precision would round each step differently and send another duty.
    const uint64_t bits = std::bit_cast<uint64_t>(ratio);
    const int exponent = static_cast<int>(bits >> 52);
    // Below 2^-11 the product stays under 0.4996, and the sum under 1.
    if (exponent < 1023 - 11) return 0;
    const uint64_t mantissa = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
    const int scale = 1075 - exponent;  // ratio = mantissa / 2^scale, scale 53..63
    const uint64_t product = RoundToDouble(mantissa * 1023);
    const uint64_t sum = RoundToDouble(product + (uint64_t{1} << (scale - 1)));
    return static_cast<int32_t>(sum >> scale);
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
