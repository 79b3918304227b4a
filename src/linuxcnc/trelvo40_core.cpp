// The board core behind the HAL component's C glue: one instance per component, in HAL's memory.
#include "linuxcnc/trelvo40_core.h"

#include <new>

#include "core/transmitter.h"

static constexpr bool SameState(int c, board::TxState core) { return c == static_cast<int>(core); }
static_assert(SameState(TRELVO40_CORE_ESTOP, board::kTxEStop) && SameState(TRELVO40_CORE_IDLE, board::kTxIdle) &&
              SameState(TRELVO40_CORE_DATA, board::kTxData) && SameState(TRELVO40_CORE_PARITY, board::kTxParity) &&
              SameState(TRELVO40_CORE_STOP, board::kTxStop));

namespace {

struct Instance {
    trelvo40_inputs* in;
    Settings settings;
    board::Inputs view;
    board::EventSink events;  // no sink: realtime code writes no log
    board::Transmitter core;
    uint8_t activeHigh = 0;
    bool spindleHeard = false;  // spindle words went out before this EStop: the board may still run it
};

}  // namespace

extern "C" {

size_t trelvo40_core_size(void) { return sizeof(Instance); }
size_t trelvo40_core_align(void) { return alignof(Instance); }

void trelvo40_core_init(void* memory, trelvo40_inputs* in) {
    Instance* i = new (memory) Instance{};
    i->in = in;
    for (int k = 0; k < board::kOutputSlots; ++k) {
        i->view.level[k] = &in->outputs[k];
        i->view.activeLow[k] = &i->activeHigh;
    }
    i->view.spindleOn = &in->spindle_on;
    i->view.spindleDir = &in->spindle_dir;
    i->view.spindleRatio = &in->spindle_duty;
    i->core.Bind(&i->settings, &i->view, &i->events, board::RescanHook{});
    i->core.ResetScheduler();
    in->state = i->core.state;
    in->loaded_word = -1;
    in->spindle_word = -1;
}

int trelvo40_core_cycle(void* memory, int enable, int reads) {
    Instance& i = *static_cast<Instance*>(memory);
    trelvo40_inputs& in = *i.in;
    if (reads) {
        Settings& s = i.settings;
        s.EnableSpindle = in.enable_spindle != 0;
        s.PostEStopDelay = in.post_estop_delay;
        s.IdleDelay = in.idle_delay;
        s.IntraFrameDelay = in.intra_frame_delay;
        // Out of EStop the Mach3 module applies the option only when it next leaves one; here the
        // machine switches it, and the board must not keep running the spindle it last heard.
        board::Scheduler& scheduler = i.core.scheduler;
        if (i.core.state != board::kTxEStop && scheduler.useSpindle != s.EnableSpindle) {
            if (s.EnableSpindle) {
                scheduler.UseSpindle(true);
            } else {
                scheduler.StopSpindle();
            }
        }
    }
    const bool wasEStop = i.core.state == board::kTxEStop;
    if (enable == 0 && !wasEStop) i.spindleHeard = i.core.scheduler.useSpindle;  // entering EStop
    const int bit = i.core.Cycle(enable == 0);
    // enable-spindle fell during EStop: leaving it, the board hears the spindle stop first, as it
    // would out of EStop.
    if (wasEStop && i.core.state != board::kTxEStop && i.spindleHeard && !i.core.scheduler.useSpindle) {
        i.core.scheduler.StopSpindle();
    }
    in.state = i.core.state;
    // A frame starts only in a cycle that reads, never from the data bits.
    if (reads && in.state == board::kTxData) {
        in.loaded_word = i.core.word;
        if (i.core.word >> 4 == 4) {
            in.spindle_word = i.core.scheduler.pwmData;
        }
    }
    return bit;
}

}  // extern "C"
