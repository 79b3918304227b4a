// ExpandedData: the scheduler that picks the next word for the board.
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
#include "channels/expanded_data.h"

#include "assignments/assignments.h"
#include "channels/spindle_state.h"
#include "host/plugin_state.h"
#include "log/log.h"

const char* const ChannelNames[8] = {"PP2",      "Relay/PP1", "PWM Low",  "PWM Mid",
                                     "PWM Hi",   "unknown5",  "unknown6", "unknown7"};

namespace {

enum : int32_t { kPwmLow = 0, kPwmMid = 1, kPwmHi = 2 };
enum : int32_t { kRingPwm = 0, kRingRelay = 1, kRingPp2 = 2 };

bool SpindleIsOn() noexcept {
    const SpindleState* spindle = plugin().channels.spindle.get();
    return spindle != nullptr && spindle->isOn;
}

}  // namespace

ExpandedData::ExpandedData() {
    myLog(LOG_DEBUG, "ExpandedData constructor()");
    ResetPwmNibbles();
    UseSpindle(useSpindle);
}

ExpandedData::~ExpandedData() = default;

void ExpandedData::ResetPwmNibbles() noexcept {
    lastPwmLow = -1;
    lastPwmMid = -1;
    lastPwmHi = -1;
}

void ExpandedData::UseSpindle(bool flag) noexcept {
    myLogf(LOG_DEBUG, "ExpandedData::UseSpindle( %d )", flag ? 1 : 0);
    useSpindle = flag;
    pwmMonitor.SetEnabled(flag);
    pwmMonitor.Restart();
}

void ExpandedData::Restart() noexcept {
    myLog(LOG_DEBUG, "ExpandedData::Restart()");
    pwmMonitor.Restart();
    relayMonitor.Restart();
    pp2Monitor.Restart();
    serveCount = 0;
    lastServed[kRingPwm] = lastServed[kRingRelay] = lastServed[kRingPp2] = 0;
}

void ExpandedData::Update() noexcept {
    myLog(LOG_DEBUG, "ExpandedData::Update()");
    SpindleState* spindle = plugin().channels.spindle.get();
    pwmMonitor.Update(spindle != nullptr ? spindle->GetCommandWord() : 0x400);
    relayMonitor.Update(GetPort9Word());
    pp2Monitor.Update(GetPort8Word());
}

void ExpandedData::IncTime() noexcept {
    myLog(LOG_ALL, "ExpandedData::IncTime()");
    pwmMonitor.IncTime();
    relayMonitor.IncTime();
    pp2Monitor.IncTime();
}

bool ExpandedData::NeedUpdate() const noexcept {
    return pwmMonitor.NeedUpdate() || relayMonitor.NeedUpdate() || pp2Monitor.NeedUpdate();
}

bool ExpandedData::NeedRefresh() const noexcept {
    return pwmMonitor.NeedRefresh() || relayMonitor.NeedRefresh() || pp2Monitor.NeedRefresh();
}

bool ExpandedData::HasWork() const noexcept { return NeedUpdate() || NeedRefresh() || pwmInProgress; }

// Takes the PWM monitor's word; a refresh sends every nibble again (only Hi when the spindle is off),
// an update skips the nibbles the board already has. Only a refresh may be interrupted: the board
// already holds each of its nibbles, so an output word between them leaves no mixed spindle word.
void ExpandedData::StartPwm(bool interruptible) noexcept {
    const bool refresh = pwmMonitor.NeedRefresh();
    myLog(LOG_DEBUG, refresh ? "ExpandedData::GetData() PWM need REFRESH" : "ExpandedData::GetData() PWM need UPDATE");
    pwmData = pwmMonitor.GetData();
    Stamp(kRingPwm);
    pwmRefresh = interruptible;
    state = kPwmLow;
    if (refresh) {
        ResetPwmNibbles();
        if (!SpindleIsOn()) {
            state = kPwmHi;
        }
    }
}

// An output word leaves `state` alone, so a PWM refresh it interrupted goes on where it stopped.
int32_t ExpandedData::SendOutputs(int32_t ring) noexcept {
    Stamp(ring);
    if (ring == kRingRelay) {
        myLog(LOG_DEBUG, "ExpandedData::GetData() RelayPP1 need REFRESH/UPDATE");
        return relayMonitor.GetData();
    }
    myLog(LOG_DEBUG, "ExpandedData::GetData() PP2 need REFRESH/UPDATE");
    return pp2Monitor.GetData();
}

int32_t ExpandedData::OldestDueRefresh() const noexcept {
    const Monitor* monitors[3] = {&pwmMonitor, &relayMonitor, &pp2Monitor};
    int32_t oldest = -1;
    for (int32_t ring = 0; ring < 3; ++ring) {
        if (monitors[ring]->NeedRefresh() && (oldest < 0 || lastServed[ring] < lastServed[oldest])) {
            oldest = ring;
        }
    }
    return oldest;
}

int32_t ExpandedData::GetData() noexcept {
    if (pwmMonitor.NeedUpdate()) {
        StartPwm(false);
    } else if (pwmInProgress && !(pwmRefresh && (relayMonitor.NeedUpdate() || pp2Monitor.NeedUpdate()))) {
        myLog(LOG_DEBUG, "ExpandedData::GetData() PWM in progress");
    } else if (relayMonitor.NeedUpdate()) {
        return SendOutputs(kRingRelay);
    } else if (pp2Monitor.NeedUpdate()) {
        return SendOutputs(kRingPp2);
    } else {
        const int32_t ring = OldestDueRefresh();
        if (ring < 0) {
            myLog(LOG_ERROR, "ExpandedData.GetData() called with no NeedUpdate or NeedRefresh, d=0xFE");
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
            myLogf(LOG_ERROR, "ExpandedData.GetData() unknown state %d, returning dummy data 0x%X", state, 0xFFu);
            return 0xFF;
    }
}
