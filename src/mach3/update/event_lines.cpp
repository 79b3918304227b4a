// The board core's events turned into the debug log's lines: the wording the plug-in's logs have always had.
#include "mach3/update/event_lines.h"

#include <cstdio>

#include "core/scheduler.h"
#include "mach3/host_link.h"
#include "mach3/log.h"

static_assert(board::kError == LOG_ERROR && board::kInfo == LOG_INFO && board::kDebug == LOG_DEBUG &&
              board::kAll == LOG_ALL);

void WriteCoreEvent(void* context, const board::Event& e) noexcept {
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
            const HostStateBlock* host = context != nullptr ? static_cast<const HostLink*>(context)->state : nullptr;
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
