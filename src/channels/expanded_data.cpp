// ExpandedData: the scheduler that picks the next word for the board.
//
// Which channel goes next. Refresh timers run out every twelve update cycles while a frame takes ten,
// so a fixed priority that let refreshes cut in would starve the lower channels for good. The rule:
//   1. a PWM update (a new spindle command word) starts the PWM sequence over from Low;
//   2. a PWM sequence in progress runs to its Hi nibble; a refresh never cuts it;
//   3. then pending updates, Relay/PP1 before PP2;
//   4. then due refreshes, served in turn (PWM, Relay/PP1, PP2) starting after the channel that a
//      refresh served last; Restart begins the round at PWM.
// With nothing changing, every channel in use is heard at least once per round of five frames.
#include "channels/expanded_data.h"

#include "assignments/assignments.h"
#include "channels/spindle_state.h"
#include "host/plugin_state.h"
#include "log/log.h"

const char* const ChannelNames[8] = {"PP2",      "Relay/PP1", "PWM Low",  "PWM Mid",
                                     "PWM Hi",   "unknown5",  "unknown6", "unknown7"};

namespace {

enum : int32_t { kPwmLow = 0, kPwmMid = 1, kPwmHi = 2, kRelay = 3, kPp2 = 4 };
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
    nextRefresh = kRingPwm;
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
// an update skips the nibbles the board already has.
void ExpandedData::StartPwm() noexcept {
    const bool refresh = pwmMonitor.NeedRefresh();
    myLog(LOG_DEBUG, refresh ? "ExpandedData::GetData() PWM need REFRESH" : "ExpandedData::GetData() PWM need UPDATE");
    pwmData = pwmMonitor.GetData();
    state = kPwmLow;
    if (refresh) {
        ResetPwmNibbles();
        if (!SpindleIsOn()) {
            state = kPwmHi;
        }
    }
}

void ExpandedData::ServeRefresh() noexcept {
    for (int32_t k = 0; k < 3; ++k) {
        const int32_t ring = (nextRefresh + k) % 3;
        const Monitor& m = ring == kRingPwm ? pwmMonitor : ring == kRingRelay ? relayMonitor : pp2Monitor;
        if (!m.NeedRefresh()) {
            continue;
        }
        nextRefresh = (ring + 1) % 3;
        if (ring == kRingPwm) {
            StartPwm();
        } else if (ring == kRingRelay) {
            myLog(LOG_DEBUG, "ExpandedData::GetData() RelayPP1 need REFRESH/UPDATE");
            state = kRelay;
        } else {
            myLog(LOG_DEBUG, "ExpandedData::GetData() PP2 need REFRESH/UPDATE");
            state = kPp2;
        }
        return;
    }
}

int32_t ExpandedData::GetData() noexcept {
    if (pwmMonitor.NeedUpdate()) {
        StartPwm();
    } else if (pwmInProgress) {
        myLog(LOG_DEBUG, "ExpandedData::GetData() PWM in progress");
    } else if (relayMonitor.NeedUpdate()) {
        myLog(LOG_DEBUG, "ExpandedData::GetData() RelayPP1 need REFRESH/UPDATE");
        state = kRelay;
    } else if (pp2Monitor.NeedUpdate()) {
        myLog(LOG_DEBUG, "ExpandedData::GetData() PP2 need REFRESH/UPDATE");
        state = kPp2;
    } else if (NeedRefresh()) {
        ServeRefresh();
    } else {
        myLog(LOG_ERROR, "ExpandedData.GetData() called with no NeedUpdate or NeedRefresh, d=0xFE");
        return 0xFE;
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
            state = kRelay;
            return 0x40 + nibble;
        }
        case kRelay:
            state = kPp2;
            return relayMonitor.GetData();
        case kPp2:
            state = kPwmLow;
            return pp2Monitor.GetData();
        default:
            myLogf(LOG_ERROR, "ExpandedData.GetData() unknown state %d, returning dummy data 0x%X", state, 0xFFu);
            return 0xFF;
    }
}
