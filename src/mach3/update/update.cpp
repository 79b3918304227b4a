// myUpdate, the Mach3 adapter of the board core: the host's tables in, one frame bit out per Update.
#include "mach3/update/update.h"

#include <cstdio>
#include <new>

#include "core/scheduler.h"
#include "mach3/assignments/assignments.h"
#include "mach3/log.h"
#include "mach3/pin_assignment.h"
#include "mach3/plugin_state.h"

static_assert(board::kError == LOG_ERROR && board::kInfo == LOG_INFO && board::kDebug == LOG_DEBUG &&
              board::kAll == LOG_ALL);

namespace {

// The debug log's per-cycle lines, as the plug-in has always written them.
void WriteCoreEvent(void*, const board::Event& e) noexcept {
    using K = board::EventKind;
    const int32_t level = e.level;
    const unsigned a = static_cast<unsigned>(e.a);
    switch (e.kind) {
        case K::EnterEStop: myLog(level, "myUpdate() entering EStop"); break;
        case K::LeaveEStopHalt: myLog(level, "myUpdate() out of EStop, after post-EStop delay, going to Tx_Halt"); break;
        case K::LeaveEStopStart: myLog(level, "myUpdate() out of EStop, after post-EStop delay, starting serial Tx"); break;
        case K::WordSent: {
            char text[96];
            if (e.a == board::kSerialTest) {
                std::snprintf(text, sizeof text, "TRELVO-40/41 sending SERIAL TEST data 0x%X #%d",
                              static_cast<unsigned>(e.b), e.c);
            } else {
                std::snprintf(text, sizeof text, "TRELVO-40/41 sending %s%s data 0x%X", e.a == board::kDemo ? "DEMO " : "",
                              board::ChannelName(e.b), static_cast<unsigned>(e.b & 0xF));
            }
            myLog(level, text);
            myStatus(text);
            break;
        }
        case K::SchedulerCreated: myLog(level, "ExpandedData constructor()"); break;
        case K::UseSpindle: myLogf(level, "ExpandedData::UseSpindle( %d )", e.a); break;
        case K::SchedulerRestart: myLog(level, "ExpandedData::Restart()"); break;
        case K::SchedulerUpdate: myLog(level, "ExpandedData::Update()"); break;
        case K::SchedulerTick: myLog(level, "ExpandedData::IncTime()"); break;
        case K::PwmNeedRefresh: myLog(level, "ExpandedData::GetData() PWM need REFRESH"); break;
        case K::PwmNeedUpdate: myLog(level, "ExpandedData::GetData() PWM need UPDATE"); break;
        case K::PwmInProgress: myLog(level, "ExpandedData::GetData() PWM in progress"); break;
        case K::RelaySent: myLog(level, "ExpandedData::GetData() RelayPP1 need REFRESH/UPDATE"); break;
        case K::Pp2Sent: myLog(level, "ExpandedData::GetData() PP2 need REFRESH/UPDATE"); break;
        case K::NothingPending:
            myLog(level, "ExpandedData.GetData() called with no NeedUpdate or NeedRefresh, d=0xFE");
            break;
        case K::UnknownState:
            myLogf(level, "ExpandedData.GetData() unknown state %d, returning dummy data 0x%X", e.a, 0xFFu);
            break;
        case K::MonitorNewData: myLogf(level, "Monitor '%s' got new data 0x%X", e.name, a); break;
        case K::MonitorIgnored:
            myLogf(level, "Monitor '%s' is disabled, net data (0x%X) stored but ignored", e.name, a);
            break;
        case K::MonitorNeedsUpdate: myLogf(level, "Monitor '%s' needs UPDATE", e.name); break;
        case K::MonitorReport:
            myLogf(level, "Monitor '%s' reporting data 0x%X (update %d, refresh %d)", e.name, a, e.b, e.c);
            break;
        case K::MonitorTimeout: myLogf(level, "Monitor '%s' got refresh timeout", e.name); break;
        case K::MonitorRestart: myLogf(level, "Monitor '%s' is restarting", e.name); break;
        case K::MonitorRestartDisabled:
            myLogf(level, "Monitor '%s' is disabled, overriding restart NeedUpdate value", e.name);
            break;
        case K::SpindleDump: {
            // The host's own spindle values come with the core's: only this adapter knows them.
            const HostStateBlock* host = plugin().host.state;
            if (host == nullptr) {
                break;
            }
            const HostSpindleFM& fm = host->SpindleFM;
            myLogf(level,
                   "Spindle State from %s:\nOur state: isOn %d, dirCW %d, PWM duty cycle %d\nMach3 State: m_SpindleOn = "
                   "%d, SpinDir = %d\nSpindleFM:\n  SpindleOn %d, MotorEnabled %d, PWMEnabled %d, SpindleMaxVel %f\n  "
                   "CW %d, CCW %d, PWMMin %d, PWMMax %f\n   dir %d, SpindleSpeed %f, ratio %f, TrueRPM %f\n",
                   e.name, e.a, e.b, e.c, host->m_SpindleOn, host->SpinDir, fm.SpindleOn, fm.MotorEnabled,
                   fm.PWMEnabled, fm.SpindleMaxVel, fm.CW, fm.CCW, fm.PWMMin, fm.PWMMax, fm.dir, fm.SpindleSpeed,
                   fm.ratio, fm.TrueRPM);
            break;
        }
        case K::Count: break;
    }
}

void Rescan(void*) noexcept { ScanSignalAssignments(); }

// Set-up of the first cycle: the only place the per-cycle path allocates.
bool CreateChannels(PluginState& p) noexcept {
    Channels& ch = p.channels;
    CheckStepDirAssignment();
    p.core.ResetScheduler();
    ch.chargePump.reset(new (std::nothrow) OutputPinAssignment(p.host.engine, 13));
    ch.estop.reset(new (std::nothrow) InputPinAssignment(p.host.engine, 25));
    if (!ch.chargePump || !ch.estop) {
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

}  // namespace

void BindBoardCore(PluginState& p) noexcept {
    p.events.write = &WriteCoreEvent;
    p.core.Bind(&p.settings, &p.inputs, &p.events, board::RescanHook{&Rescan, nullptr});
}

void myUpdate() noexcept {
    PluginState& p = plugin();
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
        if (out.enabled != 0 && out.port == 1 && out.pin == 16) {
            out.state = static_cast<uint8_t>(bit);
        }
    }
}
