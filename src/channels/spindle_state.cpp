// Spindle command word and the demo word pattern.
#include "channels/spindle_state.h"

#include <cmath>

#include "host/plugin_state.h"
#include "log/log.h"

int32_t DutyFromRatio(double ratio) noexcept {
    // A ratio outside 0..1 would spill into the off and direction bits; NaN counts as stopped.
    if (!(ratio > 0.0)) {
        ratio = 0.0;
    } else if (ratio > 1.0) {
        ratio = 1.0;
    }
    return static_cast<int32_t>(ratio * 1023.0 + 0.5);
}

int32_t SpindleState::GetCommandWord() noexcept {
    const HostStateBlock* host = plugin().host.state;
    if (host != nullptr) {
        isOn = host->m_SpindleOn != 0;
        dirCW = host->SpinDir == 1;
        dutyCycle = DutyFromRatio(host->SpindleFM.ratio);
    }
    DumpState("GetCommandWord");
    int32_t word = dutyCycle;
    if (!isOn) {
        word |= 0x400;
    }
    if (!dirCW) {
        word |= 0x800;
    }
    return word;
}

void SpindleState::DumpState(const char* caller) noexcept {
    const HostStateBlock* host = plugin().host.state;
    if (!dumpEnabled || host == nullptr) {
        return;
    }
    const HostSpindleFM& fm = host->SpindleFM;
    myLogf(LOG_DEBUG,
           "Spindle State from %s:\nOur state: isOn %d, dirCW %d, PWM duty cycle %d\nMach3 State: m_SpindleOn = %d, "
           "SpinDir = %d\nSpindleFM:\n  SpindleOn %d, MotorEnabled %d, PWMEnabled %d, SpindleMaxVel %f\n  CW %d, "
           "CCW %d, PWMMin %d, PWMMax %f\n   dir %d, SpindleSpeed %f, ratio %f, TrueRPM %f\n",
           caller, isOn ? 1 : 0, dirCW ? 1 : 0, dutyCycle, host->m_SpindleOn, host->SpinDir, fm.SpindleOn,
           fm.MotorEnabled, fm.PWMEnabled, fm.SpindleMaxVel, fm.CW, fm.CCW, fm.PWMMin, fm.PWMMax, fm.dir,
           fm.SpindleSpeed, fm.ratio, fm.TrueRPM);
}

const int32_t DemoSequence[12] = {0x01, 0x02, 0x04, 0x08, 0x00, -1, 0x11, 0x12, 0x14, 0x18, 0x10, -1};
const int32_t DemoPwmSequence[16] = {0x20, 0x30, 0x42, -1, 0x38, 0x40, -1, 0x30,
                                     0x43, -1,   0x44, -1, 0x4B, -1,   0x44, -1};

bool NextDemoPwmWord(int32_t* word) noexcept {
    int32_t& index = plugin().demo.demoPwmIndex;
    if (word == nullptr) {
        index = 0;
        return false;
    }
    *word = DemoPwmSequence[index];
    index = (index + 1) % 16;
    if (DemoPwmSequence[index] != -1) {
        return true;
    }
    index = (index + 1) % 16;
    return false;
}

int32_t NextDemoWord() noexcept {
    int32_t& index = plugin().demo.demoIndex;
    int32_t word = DemoSequence[index++];
    if (word == -1) {
        --index;
        if (!NextDemoPwmWord(&word)) {
            ++index;
        }
    }
    if (index >= 12) {
        index = 0;
    }
    return word;
}
