/* trelvo40rx: the TRELVO-40/41 board as a HAL component, decoding trelvo40's stream into its outputs. */
#include "rtapi.h"
#include "rtapi_app.h"
#include "hal.h"

#include "instance_names.h"
#include "parameters.h"
#include "trelvo40rx_model.h"

MODULE_AUTHOR("the TRELVO-40 plug-in authors");
MODULE_DESCRIPTION("TRELVO-40/41 breakout board model: the outputs its bit stream sets");
MODULE_LICENSE("Dual MIT/GPL");

static int count = TRELVO_COUNT_UNSET;
RTAPI_MP_INT(count, "number of boards (1 to 8); not with names=");
static char *names[TRELVO_MAX_INSTANCES + 1];
RTAPI_MP_ARRAY_STRING(names, TRELVO_MAX_INSTANCES + 1, "names of the boards (at most 8); not with count=");

static const char *const output_names[8] = {"j5-a", "j5-b", "j5-c", "j5-d", "k1", "k2", "j6-16", "j6-17"};

typedef struct {
    hal_bit_t *stream;
    hal_bit_t *outputs[8];
    hal_bit_t *spindle_on;
    hal_bit_t *spindle_ccw;
    hal_float_t *spindle_duty;
    hal_u32_t *frames;
    hal_u32_t *framing_errors;
    hal_u32_t *parity_errors;
    hal_u32_t cycles_per_bit;
    void *model;
    trelvo_instance_name prefix;
} board_t;

static int comp_id;

static void show(board_t *b, const trelvo40rx_board *s) {
    int k;
    for (k = 0; k < 8; ++k) *b->outputs[k] = s->outputs[k] != 0;
    *b->spindle_on = s->spindle_on != 0;
    *b->spindle_ccw = s->spindle_ccw != 0;
    *b->spindle_duty = s->spindle_duty;
    *b->frames = s->frames;
    *b->framing_errors = s->framing_errors;
    *b->parity_errors = s->parity_errors;
}

static void update(void *arg, long period) {
    board_t *b = arg;
    trelvo40rx_board seen;
    (void)period;
    trelvo_clamp_u32(b->prefix, "cycles-per-bit", &b->cycles_per_bit, 1, TRELVO_MAX_CYCLES_PER_BIT);
    if (trelvo40rx_model_sample(b->model, *b->stream, b->cycles_per_bit, &seen)) show(b, &seen);
}

static int export_board(const char *prefix, void *instance) {
    board_t *b = instance;
    int r = 0, k;
    trelvo40rx_board power_up;
    rtapi_snprintf(b->prefix, sizeof b->prefix, "%s", prefix);
    r |= hal_pin_bit_newf(HAL_IN, &b->stream, comp_id, "%s.stream", prefix);
    for (k = 0; k < 8; ++k) r |= hal_pin_bit_newf(HAL_OUT, &b->outputs[k], comp_id, "%s.%s", prefix, output_names[k]);
    r |= hal_pin_bit_newf(HAL_OUT, &b->spindle_on, comp_id, "%s.spindle-on", prefix);
    r |= hal_pin_bit_newf(HAL_OUT, &b->spindle_ccw, comp_id, "%s.spindle-ccw", prefix);
    r |= hal_pin_float_newf(HAL_OUT, &b->spindle_duty, comp_id, "%s.spindle-duty", prefix);
    r |= hal_pin_u32_newf(HAL_OUT, &b->frames, comp_id, "%s.frames", prefix);
    r |= hal_pin_u32_newf(HAL_OUT, &b->framing_errors, comp_id, "%s.framing-errors", prefix);
    r |= hal_pin_u32_newf(HAL_OUT, &b->parity_errors, comp_id, "%s.parity-errors", prefix);
    r |= hal_param_u32_newf(HAL_RW, &b->cycles_per_bit, comp_id, "%s.cycles-per-bit", prefix);
    if (r != 0) return -1;
    b->cycles_per_bit = 1;
    b->model = trelvo_hal_aligned(trelvo40rx_model_size(), trelvo40rx_model_align());
    if (b->model == 0) return -1;
    trelvo40rx_model_init(b->model);
    trelvo40rx_model_read(b->model, &power_up);
    show(b, &power_up);
    return hal_export_funct(prefix, update, b, 1, 0, comp_id);
}

int rtapi_app_main(void) {
    return trelvo_load_instances("trelvo40rx", count, names, sizeof(board_t), export_board, &comp_id);
}

void rtapi_app_exit(void) { hal_exit(comp_id); }
