/* trelvo40: the HAL component that clocks the TRELVO-40/41 board's frames out, one bit per call. */
#include "rtapi.h"
#include "rtapi_app.h"
#include "rtapi_math.h"
#include "hal.h"

#include "instance_names.h"
#include "parameters.h"
#include "trelvo40_core.h"

MODULE_AUTHOR("the TRELVO-40 plug-in authors");
MODULE_DESCRIPTION("TRELVO-40/41 breakout board bit stream");
MODULE_LICENSE("Dual MIT/GPL");

static int count = TRELVO_COUNT_UNSET;
RTAPI_MP_INT(count, "number of boards (1 to 8); not with names=");
static char *names[TRELVO_MAX_INSTANCES + 1];
RTAPI_MP_ARRAY_STRING(names, TRELVO_MAX_INSTANCES + 1, "names of the boards (at most 8); not with count=");

/* The delays' upper bound, as trelvo40(9) gives it. */
#define MAX_DELAY 1000

/* What `state` reports: the role of the bit on the wire in that period. */
enum { WIRE_ESTOP = 0, WIRE_IDLE = 1, WIRE_START = 2, WIRE_DATA = 3, WIRE_PARITY = 4, WIRE_STOP = 5, WIRE_WAIT = 6 };

static const char *const output_names[8] = {"j5-a", "j5-b", "j5-c", "j5-d", "k1", "k2", "j6-16", "j6-17"};

typedef struct {
    hal_bit_t *stream;
    hal_bit_t *enable;
    hal_bit_t *outputs[8];
    hal_bit_t *spindle_on;
    hal_bit_t *spindle_ccw;
    hal_float_t *spindle_duty;
    hal_float_t *spindle_speed;
    hal_float_t *spindle_scale;
    hal_bit_t *enable_spindle;
    hal_float_t *spindle_duty_sent;
    hal_u32_t *frames_sent;
    hal_s32_t *state;
    hal_s32_t post_estop_delay;
    hal_s32_t idle_delay;
    hal_s32_t intra_frame_delay;
    hal_u32_t cycles_per_bit;
    hal_u32_t phase; /* calls of the current bit done; 0: the next call starts a bit */
    trelvo40_inputs in;
    void *core;
    trelvo_instance_name prefix;
} board_t;

static int comp_id;

/* The parameters and their ranges, as trelvo40(9) gives them: (type, field, name, low, high). */
#define TRELVO40_PARAMETERS(X)                                          \
    X(s32, post_estop_delay, "post-estop-delay", 0, MAX_DELAY)          \
    X(s32, idle_delay, "idle-delay", 1, MAX_DELAY)                      \
    X(s32, intra_frame_delay, "intra-frame-delay", 0, MAX_DELAY)        \
    X(u32, cycles_per_bit, "cycles-per-bit", 1, TRELVO_MAX_CYCLES_PER_BIT)
#define OUTSIDE(type, field, name, lo, hi) | trelvo_outside_##type(b->field, lo, hi)
#define CLAMP(type, field, name, lo, hi) trelvo_clamp_##type(b->prefix, name, &b->field, lo, hi);

/* Writes a value outside its range back clamped, so it reads back as used, and says so once; one
   branch when all are in range. */
static void clamp_parameters(board_t *b) {
    if (!(0 TRELVO40_PARAMETERS(OUTSIDE))) return;
    TRELVO40_PARAMETERS(CLAMP)
}

/* spindle-duty when it is not zero, else |spindle-speed| / spindle-scale; the core clamps to 0..1. */
static double spindle_ratio(const board_t *b) {
    const double duty = *b->spindle_duty, scale = *b->spindle_scale;
    if (duty != 0.0) return duty;
    return scale != 0.0 ? fabs(*b->spindle_speed) / fabs(scale) : 0.0;
}

/* The core counts its waits from the cycle that ends them; the parameters count the bits on the wire. */
static void copy_inputs(board_t *b) {
    int k;
    for (k = 0; k < 8; ++k) b->in.outputs[k] = *b->outputs[k] ? 1 : 0;
    b->in.spindle_on = *b->spindle_on ? 1 : 0;
    b->in.spindle_dir = *b->spindle_ccw ? 0 : 1;
    b->in.spindle_duty = spindle_ratio(b);
    b->in.enable_spindle = *b->enable_spindle ? 1 : 0;
    b->in.post_estop_delay = b->post_estop_delay + 1;
    b->in.idle_delay = b->idle_delay + 1;
    b->in.intra_frame_delay = b->intra_frame_delay + 1;
}

static int wire_role(int before, int after, int enable) {
    if (!enable) return WIRE_ESTOP;
    if (before == TRELVO40_CORE_DATA || before == TRELVO40_CORE_PARITY || before == TRELVO40_CORE_STOP) return before;
    if (after == TRELVO40_CORE_DATA) return WIRE_START;
    if (after == TRELVO40_CORE_ESTOP) return WIRE_WAIT;
    return WIRE_IDLE;
}

static void update(void *arg, long period) {
    board_t *b = arg;
    const int enable = *b->enable != 0;
    int32_t before, role, reads;
    (void)period;
    clamp_parameters(b);
    /* EStop cuts the bit in the period it comes; out of it, the first call starts a bit. */
    if (enable && b->phase != 0) {
        if (++b->phase >= b->cycles_per_bit) b->phase = 0;
        return;
    }
    b->phase = enable && b->cycles_per_bit > 1;
    reads = trelvo40_cycle_reads(&b->in, enable);
    if (reads) copy_inputs(b);
    before = b->in.state;
    *b->stream = trelvo40_core_cycle(b->core, enable, reads) != 0;
    role = wire_role(before, b->in.state, enable);
    *b->state = role;
    if (role == WIRE_STOP) {
        ++*b->frames_sent;
        if (b->in.loaded_word >> 4 == 4) *b->spindle_duty_sent = (b->in.spindle_word & 0x3FF) / 1023.0;
    }
}

static int export_board(const char *prefix, void *instance) {
    board_t *b = instance;
    int r = 0, k;
    rtapi_snprintf(b->prefix, sizeof b->prefix, "%s", prefix);
    r |= hal_pin_bit_newf(HAL_OUT, &b->stream, comp_id, "%s.stream", prefix);
    r |= hal_pin_bit_newf(HAL_IN, &b->enable, comp_id, "%s.enable", prefix);
    for (k = 0; k < 8; ++k) r |= hal_pin_bit_newf(HAL_IN, &b->outputs[k], comp_id, "%s.%s", prefix, output_names[k]);
    r |= hal_pin_bit_newf(HAL_IN, &b->spindle_on, comp_id, "%s.spindle-on", prefix);
    r |= hal_pin_bit_newf(HAL_IN, &b->spindle_ccw, comp_id, "%s.spindle-ccw", prefix);
    r |= hal_pin_float_newf(HAL_IN, &b->spindle_duty, comp_id, "%s.spindle-duty", prefix);
    r |= hal_pin_float_newf(HAL_IN, &b->spindle_speed, comp_id, "%s.spindle-speed", prefix);
    r |= hal_pin_float_newf(HAL_IN, &b->spindle_scale, comp_id, "%s.spindle-scale", prefix);
    r |= hal_pin_bit_newf(HAL_IN, &b->enable_spindle, comp_id, "%s.enable-spindle", prefix);
    r |= hal_pin_float_newf(HAL_OUT, &b->spindle_duty_sent, comp_id, "%s.spindle-duty-sent", prefix);
    r |= hal_pin_u32_newf(HAL_OUT, &b->frames_sent, comp_id, "%s.frames-sent", prefix);
    r |= hal_pin_s32_newf(HAL_OUT, &b->state, comp_id, "%s.state", prefix);
    r |= hal_param_s32_newf(HAL_RW, &b->post_estop_delay, comp_id, "%s.post-estop-delay", prefix);
    r |= hal_param_s32_newf(HAL_RW, &b->idle_delay, comp_id, "%s.idle-delay", prefix);
    r |= hal_param_s32_newf(HAL_RW, &b->intra_frame_delay, comp_id, "%s.intra-frame-delay", prefix);
    r |= hal_param_u32_newf(HAL_RW, &b->cycles_per_bit, comp_id, "%s.cycles-per-bit", prefix);
    if (r != 0) return -1;
    /* The Mach3 module's default wire; the line starts in EStop and waits as it does on leaving one. */
    *b->spindle_scale = 1.0;
    b->post_estop_delay = 9;
    b->idle_delay = 2;
    b->intra_frame_delay = 0;
    b->cycles_per_bit = 1;
    b->phase = 0;
    b->core = trelvo_hal_aligned(trelvo40_core_size(), trelvo40_core_align());
    if (b->core == 0) return -1;
    trelvo40_core_init(b->core, &b->in);
    return hal_export_funct(prefix, update, b, 1, 0, comp_id);
}

int rtapi_app_main(void) {
    return trelvo_load_instances("trelvo40", count, names, sizeof(board_t), export_board, &comp_id);
}

void rtapi_app_exit(void) { hal_exit(comp_id); }
