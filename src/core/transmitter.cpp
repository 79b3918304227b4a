// The frame state machine: EStop and its waits, the idle line, start, data, parity and stop bits.
#include "core/transmitter.h"

namespace board {

namespace {

constexpr int32_t kSerialTestWord = 0x6B;

}  // namespace

void Transmitter::ResetLine() noexcept {
    state = kTxEStop;
    countdown = 0;
    word = 0;
    ones = 0;
    serialTestCount = 0;
    demo = Demo{};
}

void Transmitter::HoldInEStop() noexcept {
    if (state != kTxEStop) {
        sink->Emit(EventKind::EnterEStop);
    }
    state = kTxEStop;
    demo.RestartPwm();
    countdown = settings->PostEStopDelay;
}

// Takes the next word from the source in force and starts the frame (the start bit is this cycle's 0).
void Transmitter::LoadWord() noexcept {
    const Settings& s = *settings;
    int32_t source;
    if (s.zzzzz) {
        word = kSerialTestWord;
        source = kSerialTest;
    } else if (s.DemoMode) {
        word = demo.NextWord();
        source = kDemo;
    } else {
        scheduler.Update();
        word = scheduler.GetData();
        source = kScheduler;
    }
    if (s.EnableDebug) {
        sink->Always(EventKind::WordSent, source, word, source == kSerialTest ? serialTestCount++ : 0);
    }
    countdown = 7;
    ones = 0;
    state = kTxData;
}

// The idle line: delay, then the readiness test; may start a frame in the same cycle.
int32_t Transmitter::IdleStep() noexcept {
    if (countdown > 0 && --countdown > 0) {
        return 1;
    }
    scheduler.Update();
    if (!settings->zzzzz && !scheduler.HasWork()) {
        return 1;
    }
    LoadWord();
    return 0;
}

int32_t Transmitter::EStopStep(bool estop) noexcept {
    if (estop) {
        return 0;
    }
    if (countdown > 0 && --countdown > 0) {
        return 0;
    }
    if (rescanHook.rescan != nullptr) {
        rescanHook.rescan(rescanHook.context);
    }
    if (settings->IoMode == IO_EXPANDED_INPUT) {
        sink->Emit(EventKind::LeaveEStopHalt);
        state = kTxHalt;
        return 0;
    }
    sink->Emit(EventKind::LeaveEStopStart);
    scheduler.UseSpindle(settings->EnableSpindle);
    scheduler.Restart();
    state = kTxIdle;
    // The board finds a start bit by its falling edge: after the EStop's 0 the line must be 1 for
    // at least one cycle, or the first frame is misread (and a misread word can switch a relay).
    countdown = settings->IdleDelay > 2 ? settings->IdleDelay : 2;
    return IdleStep();
}

int32_t Transmitter::StateStep(bool estop) noexcept {
    switch (state) {
        case kTxEStop:
            return EStopStep(estop);
        case kTxIdle:
            return IdleStep();
        case kTxData: {
            const int32_t bit = word & 1;
            ones += bit;
            word >>= 1;
            if (--countdown == 0) {
                state = kTxParity;
            }
            return bit;
        }
        case kTxParity:
            state = kTxStop;
            return (ones % 2 == 0) ? 1 : 0;
        case kTxStop:
            state = kTxIdle;
            countdown = settings->IntraFrameDelay;
            return 1;
        case kTxHalt:
        default:
            return 1;
    }
}

}  // namespace board
