// Scheduler: the rule that picks the next word for the board.
//
// Which channel goes next. Refresh timers run out every twelve update cycles while a frame takes ten,
// so a fixed priority that let refreshes cut in would starve the lower channels for good. The rule:
//   1. a PWM update (a new spindle command word) starts the PWM sequence over from Low;
//   2. a PWM update sequence in progress runs to its Hi nibble unbroken;
//   3. then pending output updates, Relay/PP1 before PP2, even between the nibbles of a PWM refresh:
//      a refresh resends what the board already holds, so it can wait a frame and go on after;
//   4. then a PWM refresh in progress, to its Hi nibble; a due refresh never cuts it;
//   5. then due refreshes, the channel that has gone longest without being sent (for an update or a
//      refresh) first; after Restart all are equal and the order is PWM, Relay/PP1, PP2.
// With nothing changing the refreshes go round in turn, every channel in use heard at least once per
// round of five frames; a channel just sent for an update waits its turn, so changes on one channel
// do not push the others back. A lone output change waits only for the frame already on the wire.
#include "core/scheduler.h"

namespace board {

const char* const ChannelNames[8] = {"PP2",      "Relay/PP1", "PWM Low",  "PWM Mid",
                                     "PWM Hi",   "unknown5",  "unknown6", "unknown7"};

namespace {

enum : int32_t { kPwmLow = 0, kPwmMid = 1, kPwmHi = 2 };
enum : int32_t { kRingPwm = 0, kRingRelay = 1, kRingPp2 = 2 };

}  // namespace

void Scheduler::Reset(const Inputs* inputs, const EventSink* events) noexcept {
    *this = Scheduler{};
    in = inputs;
    sink = events;
    sink->Emit(EventKind::SchedulerCreated);
    UseSpindle(false);
}

void Scheduler::UseSpindle(bool flag) noexcept {
    sink->Emit(EventKind::UseSpindle, nullptr, flag ? 1 : 0);
    useSpindle = flag;
    pwmMonitor.SetEnabled(flag);
    pwmMonitor.Restart(*sink);
}

// The Hi nibble goes next, whatever waits: the board holds the Low and Mid nibbles it has.
void Scheduler::StopSpindle() noexcept {
    const int32_t word = spindle.CommandWord(*in) | 0x400;
    UseSpindle(false);
    pwmData = word;
    state = kPwmHi;
    pwmInProgress = true;
    pwmRefresh = false;
}

void Scheduler::Restart() noexcept {
    sink->Emit(EventKind::SchedulerRestart);
    pwmMonitor.Restart(*sink);
    relayMonitor.Restart(*sink);
    pp2Monitor.Restart(*sink);
    serveCount = 0;
    lastServed[kRingPwm] = lastServed[kRingRelay] = lastServed[kRingPp2] = 0;
}

void Scheduler::Update() noexcept {
    sink->Emit(EventKind::SchedulerUpdate);
    pwmMonitor.Update(spindle.CommandWord(*in, sink), *sink);
    relayMonitor.Update(in->RelayWord(), *sink);
    pp2Monitor.Update(in->Pp2Word(), *sink);
}

// Takes the PWM monitor's word; a refresh sends every nibble again (only Hi when the spindle is off),
// an update skips the nibbles the board already has. Only a refresh may be interrupted: the board
// already holds each of its nibbles, so an output word between them leaves no mixed spindle word.
void Scheduler::StartPwm(bool interruptible) noexcept {
    const bool refresh = pwmMonitor.NeedRefresh();
    sink->Emit(refresh ? EventKind::PwmNeedRefresh : EventKind::PwmNeedUpdate);
    pwmData = pwmMonitor.GetData(*sink);
    Stamp(kRingPwm);
    pwmRefresh = interruptible;
    state = kPwmLow;
    if (refresh) {
        ResetPwmNibbles();
        if (!spindle.isOn) {
            state = kPwmHi;
        }
    }
}

// An output word leaves `state` alone, so a PWM refresh it interrupted goes on where it stopped.
int32_t Scheduler::SendOutputs(int32_t ring) noexcept {
    Stamp(ring);
    if (ring == kRingRelay) {
        sink->Emit(EventKind::RelaySent);
        return relayMonitor.GetData(*sink);
    }
    sink->Emit(EventKind::Pp2Sent);
    return pp2Monitor.GetData(*sink);
}

int32_t Scheduler::OldestDueRefresh() const noexcept {
    const Monitor* monitors[3] = {&pwmMonitor, &relayMonitor, &pp2Monitor};
    int32_t oldest = -1;
    for (int32_t ring = 0; ring < 3; ++ring) {
        if (monitors[ring]->NeedRefresh() && (oldest < 0 || lastServed[ring] < lastServed[oldest])) {
            oldest = ring;
        }
    }
    return oldest;
}

int32_t Scheduler::GetData() noexcept {
    if (pwmMonitor.NeedUpdate()) {
        StartPwm(false);
    } else if (pwmInProgress && !(pwmRefresh && (relayMonitor.NeedUpdate() || pp2Monitor.NeedUpdate()))) {
        sink->Emit(EventKind::PwmInProgress);
    } else if (relayMonitor.NeedUpdate()) {
        return SendOutputs(kRingRelay);
    } else if (pp2Monitor.NeedUpdate()) {
        return SendOutputs(kRingPp2);
    } else {
        const int32_t ring = OldestDueRefresh();
        if (ring < 0) {
            sink->Emit(EventKind::NothingPending);
            return 0xFE;
        }
        if (ring != kRingPwm) {
            return SendOutputs(ring);
        }
        StartPwm(true);
    }

    // The PWM rows fall through to the next nibble when the board already has this one.
    switch (state) {
        case kPwmLow: {
            pwmInProgress = true;
            const int32_t nibble = pwmData & 0xF;
            if (nibble != lastPwmLow) {
                lastPwmLow = nibble;
                state = kPwmMid;
                return 0x20 + nibble;
            }
        }
            [[fallthrough]];
        case kPwmMid: {
            pwmInProgress = true;
            const int32_t nibble = (pwmData >> 4) & 0xF;
            if (nibble != lastPwmMid) {
                lastPwmMid = nibble;
                state = kPwmHi;
                return 0x30 + nibble;
            }
        }
            [[fallthrough]];
        case kPwmHi: {
            const int32_t nibble = (pwmData >> 8) & 0xF;
            lastPwmHi = nibble;
            pwmInProgress = false;
            state = kPwmLow;
            return 0x40 + nibble;
        }
        default:
            sink->Emit(EventKind::UnknownState, nullptr, state);
            return 0xFF;
    }
}

}  // namespace board
