// Steady-state set-ups shared by trelvo-bench and the instruction-count driver.
#include "situations.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "linuxcnc/trelvo40_core.h"
#include "mach3/host_blocks.h"
#include "mach3/lifecycle.h"
#include "../tests/support/plugin_access.h"
#include "mach3/update/update.h"

namespace bench {
namespace {

HostEngineBlock g_engine{};
HostStateBlock g_state{};
unsigned g_tick = 0;
trelvo40_inputs g_hal{};
alignas(16) unsigned char g_halCore[4096];

std::string Settings(Situation s, const std::string& dir) {
    switch (s) {
    case Situation::Idle: return "<ExpandedMode>2</ExpandedMode>";
    case Situation::MidFrame: return "<ExpandedMode>0</ExpandedMode><zzzzz>1</zzzzz>";
    case Situation::Scheduler: return "<ExpandedMode>0</ExpandedMode><EnableSpindle>1</EnableSpindle>";
    case Situation::LogAll:
        return "<ExpandedMode>0</ExpandedMode><EnableSpindle>1</EnableSpindle><DebugLogLevel>5</DebugLogLevel>"
               "<DebugLogFile>" + dir + "/bench.log</DebugLogFile>";
    case Situation::LinuxCnc: return "";  // no profile: the component has parameters
    }
    return "";
}

}  // namespace

const char* Name(Situation s) {
    switch (s) {
    case Situation::Idle: return "idle";
    case Situation::MidFrame: return "midframe";
    case Situation::Scheduler: return "scheduler";
    case Situation::LogAll: return "logall";
    case Situation::LinuxCnc: return "linuxcnc";
    }
    return "?";
}

bool Parse(const std::string& name, Situation& s) {
    for (Situation c : {Situation::Idle, Situation::MidFrame, Situation::Scheduler, Situation::LogAll, Situation::LinuxCnc}) {
        if (name == Name(c)) {
            s = c;
            return true;
        }
    }
    return false;
}

void WireExpandedPins() {
    g_engine = HostEngineBlock{};
    g_engine.outputs[5] = HostOutputSignal{1, 16, 1, 0, 0};   // bit stream
    const int pins[4] = {1, 14, 16, 17};
    for (int i = 0; i < 4; ++i) {
        g_engine.outputs[6 + i] = HostOutputSignal{1, static_cast<int8_t>(pins[i]), 9, 0, 0};
        g_engine.outputs[18 + i] = HostOutputSignal{1, static_cast<int8_t>(pins[i]), 8, 0, 0};
    }
    testsupport::State().host.engine = &g_engine;
}

void Start(Situation s, const std::string& dir) {
    if (s == Situation::LinuxCnc) {
        if (trelvo40_core_size() > sizeof g_halCore || trelvo40_core_align() > 16) std::abort();
        g_hal = trelvo40_inputs{};
        g_hal.spindle_on = 1;
        g_hal.spindle_dir = 1;
        g_hal.spindle_duty = 0.5;
        g_hal.enable_spindle = 1;
        g_hal.post_estop_delay = 10;
        g_hal.idle_delay = 3;
        trelvo40_core_init(g_halCore, &g_hal);
        trelvo40_core_cycle(g_halCore, 0, 1);
        trelvo40_core_cycle(g_halCore, 0, 1);
        g_tick = 0;
        for (int i = 0; i < 1000; ++i) CycleLinuxCnc();
        return;
    }
    ResetPluginState();
    std::filesystem::create_directories(dir);
    const std::string profile = dir + "/profile.xml";
    std::ofstream(profile, std::ios::trunc) << "<profile><TRELVO40>" << Settings(s, dir) << "</TRELVO40></profile>";
    PlugSetProName(profile.c_str());
    WireExpandedPins();
    g_state = HostStateBlock{};
    g_state.SpinDir = 1;
    g_state.m_SpindleOn = 1;
    g_state.SpindleFM.ratio = 0.5;
    PlugInitControl(reinterpret_cast<intptr_t>(&g_engine), 0, reinterpret_cast<intptr_t>(&g_state), 0);
    g_engine.estop = 1;
    myUpdate(testsupport::State());
    myUpdate(testsupport::State());
    g_engine.estop = 0;
    g_tick = 0;
    for (int i = 0; i < 1000; ++i) Cycle(s);
}

void Cycle(Situation s) {
    // A frame takes ten cycles; a new relay level each frame keeps the scheduler busy.
    if ((s == Situation::Scheduler || s == Situation::LogAll) && ++g_tick == 10) {
        g_tick = 0;
        g_engine.outputs[6].state ^= 1;
    }
    myUpdate(testsupport::State());
}

void CycleLinuxCnc() {
    if (++g_tick == 10) {
        g_tick = 0;
        g_hal.outputs[4] ^= 1;  // K1
    }
    trelvo40_core_cycle(g_halCore, 1, trelvo40_cycle_reads(&g_hal, 1));
}

void Stop() {
    myCleanUp();
    ResetPluginState();
}

}  // namespace bench
