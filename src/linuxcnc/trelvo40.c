/* trelvo40: the HAL component that clocks the TRELVO-40/41 board's frames out, one bit per call. */
#include "rtapi.h"
#include "rtapi_app.h"
#include "hal.h"
#include "rtapi_errno.h"

#include "trelvo40_core.h"

MODULE_AUTHOR("the TRELVO-40 plug-in authors");
MODULE_DESCRIPTION("TRELVO-40/41 breakout board bit stream");
MODULE_LICENSE("Dual MIT/GPL");

#define MAX_BOARDS 8
static int count = 1;
RTAPI_MP_INT(count, "number of boards (1 to 8)");

static const char *const output_names[8] = {"j5-a", "j5-b", "j5-c", "j5-d", "k1", "k2", "j6-16", "j6-17"};

typedef struct {
    hal_bit_t *stream;
    hal_bit_t *enable;
    hal_bit_t *outputs[8];
    hal_bit_t *spindle_on;
    hal_bit_t *spindle_ccw;
    hal_float_t *spindle_duty;
    hal_u32_t *frames_sent;
    hal_s32_t *state;
    hal_s32_t mode;
    hal_bit_t enable_spindle;
    hal_s32_t post_estop_delay;
    hal_s32_t idle_delay;
    hal_s32_t intra_frame_delay;
    hal_u32_t cycles_per_bit;
    hal_u32_t phase;
    trelvo40_inputs in;
    void *core;
} board_t;

static int comp_id;

static void update(void *arg, long period) {
    board_t *b = arg;
    const int enable = *b->enable;
    int k;
    int32_t before;
    (void)period;
    if (++b->phase < b->cycles_per_bit) return; /* the line holds its bit for cycles-per-bit calls */
    b->phase = 0;
    if (trelvo40_cycle_reads(&b->in, enable)) {
        for (k = 0; k < 8; ++k) b->in.outputs[k] = *b->outputs[k] ? 1 : 0;
        b->in.spindle_on = *b->spindle_on ? 1 : 0;
        b->in.spindle_dir = *b->spindle_ccw ? 0 : 1;
        b->in.spindle_duty = *b->spindle_duty;
        b->in.mode = b->mode;
        b->in.enable_spindle = b->enable_spindle;
        b->in.post_estop_delay = b->post_estop_delay;
        b->in.idle_delay = b->idle_delay;
        b->in.intra_frame_delay = b->intra_frame_delay;
    }
    before = b->in.state;
    *b->stream = trelvo40_core_cycle(b->core, enable) != 0;
    *b->state = b->in.state;
    if (b->in.state == 3 && before != 3) ++*b->frames_sent;
}

static int export_board(int n, board_t *b) {
    char prefix[HAL_NAME_LEN + 1];
    int r = 0, k;
    size_t align = trelvo40_core_align();
    char *memory;
    rtapi_snprintf(prefix, sizeof prefix, "trelvo40.%d", n);
    r |= hal_pin_bit_newf(HAL_OUT, &b->stream, comp_id, "%s.stream", prefix);
    r |= hal_pin_bit_newf(HAL_IN, &b->enable, comp_id, "%s.enable", prefix);
    for (k = 0; k < 8; ++k) r |= hal_pin_bit_newf(HAL_IN, &b->outputs[k], comp_id, "%s.%s", prefix, output_names[k]);
    r |= hal_pin_bit_newf(HAL_IN, &b->spindle_on, comp_id, "%s.spindle-on", prefix);
    r |= hal_pin_bit_newf(HAL_IN, &b->spindle_ccw, comp_id, "%s.spindle-ccw", prefix);
    r |= hal_pin_float_newf(HAL_IN, &b->spindle_duty, comp_id, "%s.spindle-duty", prefix);
    r |= hal_pin_u32_newf(HAL_OUT, &b->frames_sent, comp_id, "%s.frames-sent", prefix);
    r |= hal_pin_s32_newf(HAL_OUT, &b->state, comp_id, "%s.state", prefix);
    r |= hal_param_s32_newf(HAL_RW, &b->mode, comp_id, "%s.mode", prefix);
    r |= hal_param_bit_newf(HAL_RW, &b->enable_spindle, comp_id, "%s.enable-spindle", prefix);
    r |= hal_param_s32_newf(HAL_RW, &b->post_estop_delay, comp_id, "%s.post-estop-delay", prefix);
    r |= hal_param_s32_newf(HAL_RW, &b->idle_delay, comp_id, "%s.idle-delay", prefix);
    r |= hal_param_s32_newf(HAL_RW, &b->intra_frame_delay, comp_id, "%s.intra-frame-delay", prefix);
    r |= hal_param_u32_newf(HAL_RW, &b->cycles_per_bit, comp_id, "%s.cycles-per-bit", prefix);
    if (r != 0) return -1;
    /* The plug-in's defaults; the line starts in EStop and waits as it does on leaving one. */
    b->mode = 0;
    b->enable_spindle = 0;
    b->post_estop_delay = 10;
    b->idle_delay = 3;
    b->intra_frame_delay = 0;
    b->cycles_per_bit = 1;
    b->phase = 0;
    memory = hal_malloc(trelvo40_core_size() + align);
    if (memory == 0) return -1;
    b->core = memory + (align - (uintptr_t)memory % align) % align;
    trelvo40_core_init(b->core, &b->in);
    return hal_export_funct(prefix, update, b, 1, 0, comp_id);
}

int rtapi_app_main(void) {
    board_t *boards;
    int n;
    if (count < 1 || count > MAX_BOARDS) {
        rtapi_print_msg(RTAPI_MSG_ERR, "trelvo40: count must be 1 to %d\n", MAX_BOARDS);
        return -EINVAL;
    }
    comp_id = hal_init("trelvo40");
    if (comp_id < 0) return comp_id;
    boards = hal_malloc(count * sizeof(board_t));
    if (boards == 0) {
        hal_exit(comp_id);
        return -ENOMEM;
    }
    for (n = 0; n < count; ++n) {
        if (export_board(n, &boards[n]) != 0) {
            rtapi_print_msg(RTAPI_MSG_ERR, "trelvo40: cannot export board %d\n", n);
            hal_exit(comp_id);
            return -EINVAL;
        }
    }
    hal_ready(comp_id);
    return 0;
}

void rtapi_app_exit(void) { hal_exit(comp_id); }
