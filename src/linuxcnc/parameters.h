/* The parameter clamps trelvo40 and trelvo40rx share: a value outside its range is written back clamped, and said once. */
#ifndef TRELVO_PARAMETERS_H
#define TRELVO_PARAMETERS_H

#include "rtapi.h"
#include "hal.h"

/* cycles-per-bit's range in both components, so that trelvo40rx can match any rate trelvo40 sends at. */
#define TRELVO_MAX_CYCLES_PER_BIT 1000

static inline void trelvo_out_of_range(const char *prefix, const char *name, long long was, long long to, long long lo,
                                       long long hi) {
    rtapi_print_msg(RTAPI_MSG_ERR, "%s.%s %lld is outside %lld to %lld: set to %lld\n", prefix, name, was, lo, hi, to);
}

/* Outside lo..hi: one unsigned comparison, as the function checks each period. */
static inline int trelvo_outside_s32(hal_s32_t value, int lo, int hi) {
    return (uint32_t)value - (uint32_t)lo > (uint32_t)hi - (uint32_t)lo;
}
static inline int trelvo_outside_u32(hal_u32_t value, unsigned lo, unsigned hi) { return value - lo > hi - lo; }

static inline void trelvo_clamp_s32(const char *prefix, const char *name, hal_s32_t *value, int lo, int hi) {
    const hal_s32_t was = *value;
    if (!trelvo_outside_s32(was, lo, hi)) return;
    *value = was < lo ? lo : hi;
    trelvo_out_of_range(prefix, name, was, *value, lo, hi);
}

static inline void trelvo_clamp_u32(const char *prefix, const char *name, hal_u32_t *value, unsigned lo, unsigned hi) {
    const hal_u32_t was = *value;
    if (!trelvo_outside_u32(was, lo, hi)) return;
    *value = was < lo ? lo : hi;
    trelvo_out_of_range(prefix, name, was, *value, lo, hi);
}

#endif
