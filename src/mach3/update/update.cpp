// myUpdate, the Mach3 adapter of the board core: the host's tables in, one frame bit out per Update.
#include "mach3/update/update.h"

#include <new>

#include "core/scheduler.h"
#include "mach3/assignments/assignments.h"
#include "mach3/forced_pins.h"
#include "mach3/log.h"
#include "mach3/pin_assignment.h"
#include "mach3/plugin_state.h"
#include "mach3/update/event_lines.h"

namespace {

void Rescan(void*) noexcept { ScanSignalAssignments(); }

// Set-up of the first cycle: the only place the per-cycle path allocates.
bool CreateChannels(PluginState& p) noexcept {
    Channels& ch = p.channels;
    CheckStepDirAssignment();
    p.core.ResetScheduler();
    ch.chargePump.reset(new (std::nothrow) OutputPinAssignment(p.host.engine, mach3::kChargePumpOutput));
    ch.estop.reset(new (std::nothrow) InputPinAssignment(p.host.engine, mach3::kEStopInput));
    if (!ch.chargePump || !ch.estop) {
        return false;
    }
    ch.chargePump->enabled = false;
    ch.chargePump->port = mach3::kChargePumpPort;
    ch.chargePump->pin = mach3::kChargePumpPin;
    ch.chargePump->activeLow = false;
    ch.chargePump->Apply();
    ch.estop->enabled = true;
    ch.estop->port = mach3::kEStopPort;
    ch.estop->pin = mach3::kEStopPin;
    ch.estop->activeLow = mach3::ForcedEStopActiveLow(p.settings);
    ch.estop->Apply();
    ch.firstUpdate = false;
    return true;
}

}  // namespace

void BindBoardCore(PluginState& p) noexcept {
    p.events.write = &WriteCoreEvent;
    p.events.context = &p.host;
    p.core.Bind(&p.settings, &p.inputs, &p.events, board::RescanHook{&Rescan, nullptr});
}

void myUpdate(PluginState& p) noexcept {
    myLog(LOG_ALL, "myUpdate");
    HostEngineBlock* engine = p.host.engine;
    if (engine == nullptr) {
        return;  // Update before InitControl is outside the host's contract
    }
    p.events.threshold = p.log.file != nullptr ? p.log.threshold : -1;
    if (p.channels.firstUpdate && !CreateChannels(p)) {
        return;  // out of memory: try again next cycle
    }
    const Settings& s = p.settings;
    Channels& ch = p.channels;

    engine->mode = s.IoMode == IO_EXPANDED_OUTPUT ? 0 : 999;

    const bool estop = engine->estop != 0;
    p.core.NoteEStop(estop);
    if (estop) {
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

    const int32_t bit = p.core.Clock(estop);

    if (s.IoMode == IO_EXPANDED_INPUT) {
        return;
    }
    // The user may have moved the output since the last scan; a frame bit belongs on port 1 pin 16
    // only, never on whatever the output now drives.
    const int32_t index = p.scan.bitStreamIndex;
    if (index >= 0 && index < HOST_OUTPUT_COUNT) {
        HostOutputSignal& out = engine->outputs[index];
        if (out.enabled != 0 && out.port == mach3::kStreamPort && out.pin == mach3::kStreamPin) {
            out.state = static_cast<uint8_t>(bit);
        }
    }
}
