// myUpdate: one transmitter cycle per host Update call, one frame bit onto the bit-stream output.
#include "transmitter/transmitter.h"

#include <cstdio>
#include <memory>
#include <new>

#include "assignments/assignments.h"
#include "channels/expanded_data.h"
#include "channels/pin_assignment.h"
#include "channels/spindle_state.h"
#include "host/plugin_state.h"
#include "log/log.h"

namespace {

constexpr int32_t kSerialTestWord = 0x6B;

// Set-up of the first cycle: the only place the per-cycle path allocates.
bool CreateChannels(PluginState& p) noexcept {
    Channels& ch = p.channels;
    CheckStepDirAssignment();
    ch.spindle.reset(new (std::nothrow) SpindleState());
    if (ch.spindle) {
        ch.spindle->SetDumpEnabled(false);
    }
    ch.expandedData.reset(new (std::nothrow) ExpandedData());
    ch.chargePump.reset(new (std::nothrow) OutputPinAssignment(p.host.engine, 13));
    ch.estop.reset(new (std::nothrow) InputPinAssignment(p.host.engine, 25));
    if (!ch.spindle || !ch.expandedData || !ch.chargePump || !ch.estop) {
        return false;
    }
    ch.chargePump->enabled = false;
    ch.chargePump->port = 1;
    ch.chargePump->pin = 17;
    ch.chargePump->activeLow = false;
    ch.chargePump->Apply();
    ch.estop->enabled = true;
    ch.estop->port = 1;
    ch.estop->pin = 10;
    ch.estop->activeLow = p.settings.SimMode;
    ch.estop->Apply();
    ch.firstUpdate = false;
    return true;
}

// Takes the next word from the source in force and starts the frame (the start bit is this cycle's 0).
void LoadWord(PluginState& p) noexcept {
    TransmitterVars& tx = p.tx;
    const Settings& s = p.settings;
    char text[96];  // formed only when EnableDebug asks for the per-frame line
    if (s.zzzzz) {
        tx.txWord = kSerialTestWord;
        if (s.EnableDebug) {
            std::snprintf(text, sizeof text, "TRELVO-40/41 sending SERIAL TEST data 0x%X #%d",
                          static_cast<unsigned>(tx.txWord), tx.serialTestCount++);
        }
    } else if (s.DemoMode) {
        tx.txWord = NextDemoWord();
        if (s.EnableDebug) {
            std::snprintf(text, sizeof text, "TRELVO-40/41 sending DEMO %s data 0x%X", ChannelName(tx.txWord),
                          static_cast<unsigned>(tx.txWord & 0xF));
        }
    } else {
        ExpandedData& data = *p.channels.expandedData;
        data.Update();
        tx.txWord = data.GetData();
        if (s.EnableDebug) {
            std::snprintf(text, sizeof text, "TRELVO-40/41 sending %s data 0x%X", ChannelName(tx.txWord),
                          static_cast<unsigned>(tx.txWord & 0xF));
        }
    }
    if (s.EnableDebug) {
        myLog(LOG_INFO, text);
        myStatus(text);
    }
    tx.txCountdown = 7;
    tx.txOnes = 0;
    tx.txState = Tx_Data;
}

// The idle line: delay, then the readiness test; may start a frame in the same cycle.
int32_t IdleStep(PluginState& p) noexcept {
    TransmitterVars& tx = p.tx;
    if (tx.txCountdown > 0 && --tx.txCountdown > 0) {
        return 1;
    }
    ExpandedData& data = *p.channels.expandedData;
    data.Update();
    if (!p.settings.zzzzz && !data.HasWork()) {
        return 1;
    }
    LoadWord(p);
    return 0;
}

int32_t EStopStep(PluginState& p, bool estop) noexcept {
    TransmitterVars& tx = p.tx;
    if (estop) {
        return 0;
    }
    if (tx.txCountdown > 0 && --tx.txCountdown > 0) {
        return 0;
    }
    ScanSignalAssignments();
    if (p.settings.IoMode == IO_EXPANDED_INPUT) {
        myLog(LOG_DEBUG, "myUpdate() out of EStop, after post-EStop delay, going to Tx_Halt");
        tx.txState = Tx_Halt;
        return 0;
    }
    myLog(LOG_DEBUG, "myUpdate() out of EStop, after post-EStop delay, starting serial Tx");
    ExpandedData& data = *p.channels.expandedData;
    data.UseSpindle(p.settings.EnableSpindle);
    data.Restart();
    tx.txState = Tx_Idle;
    // The board finds a start bit by its falling edge: after the EStop's 0 the line must be 1 for
    // at least one cycle, or the first frame is misread (and a misread word can switch a relay).
    tx.txCountdown = p.settings.IdleDelay > 2 ? p.settings.IdleDelay : 2;
    return IdleStep(p);
}

int32_t StateStep(PluginState& p, bool estop) noexcept {
    TransmitterVars& tx = p.tx;
    switch (tx.txState) {
        case Tx_EStop:
            return EStopStep(p, estop);
        case Tx_Idle:
            return IdleStep(p);
        case Tx_Data: {
            const int32_t bit = tx.txWord & 1;
            tx.txOnes += bit;
            tx.txWord >>= 1;
            if (--tx.txCountdown == 0) {
                tx.txState = Tx_Parity;
            }
            return bit;
        }
        case Tx_Parity:
            tx.txState = Tx_Stop;
            return (tx.txOnes % 2 == 0) ? 1 : 0;
        case Tx_Stop:
            tx.txState = Tx_Idle;
            tx.txCountdown = p.settings.IntraFrameDelay;
            return 1;
        case Tx_Halt:
        default:
            return 1;
    }
}

}  // namespace

void myUpdate() noexcept {
    PluginState& p = plugin();
    myLog(LOG_ALL, "myUpdate");
    HostEngineBlock* engine = p.host.engine;
    if (engine == nullptr) {
        return;  // Update before InitControl is outside the host's contract
    }
    if (p.channels.firstUpdate && !CreateChannels(p)) {
        return;  // out of memory: try again next cycle
    }
    const Settings& s = p.settings;
    Channels& ch = p.channels;
    TransmitterVars& tx = p.tx;

    engine->mode = s.IoMode == IO_EXPANDED_OUTPUT ? 0 : 999;

    const bool estop = engine->estop != 0;
    if (estop) {
        if (tx.txState != Tx_EStop) {
            myLog(LOG_DEBUG, "myUpdate() entering EStop");
        }
        tx.txState = Tx_EStop;
        NextDemoPwmWord(nullptr);
        tx.txCountdown = s.PostEStopDelay;
        if (s.IoMode != IO_EXPANDED_OUTPUT) {
            if (engine->outputs[13].enabled != 0) {
                myLog(LOG_INFO, "myUpdate() disabling Charge Pump");
            }
            ch.chargePump->enabled = false;
        }
    } else {
        if (!ch.chargePump->enabled) {
            myLog(LOG_INFO, "myUpdate() enabling Charge Pump");
        }
        ch.chargePump->enabled = true;
    }
    ch.chargePump->Apply();
    ch.estop->Apply();
    ch.expandedData->IncTime();

    const int32_t bit = StateStep(p, estop);

    if (s.IoMode == IO_EXPANDED_INPUT) {
        return;
    }
    // The user may have moved the output since the last scan; a frame bit belongs on port 1 pin 16
    // only, never on whatever the output now drives.
    const int32_t index = p.scan.bitStreamIndex;
    if (index >= 0 && index < HOST_OUTPUT_COUNT) {
        HostOutputSignal& out = engine->outputs[index];
        if (out.enabled != 0 && out.port == 1 && out.pin == 16) {
            out.state = static_cast<uint8_t>(bit);
        }
    }
}
