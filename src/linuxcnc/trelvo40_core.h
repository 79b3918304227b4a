/* The board core as the HAL component's C glue sees it: plain C, sizes and one call per bit. */
#ifndef TRELVO40_CORE_H
#define TRELVO40_CORE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The core's frame states, as `state` below reports them (the core's own numbers: checked where it is built). */
enum { TRELVO40_CORE_ESTOP = 0, TRELVO40_CORE_IDLE = 1, TRELVO40_CORE_DATA = 3, TRELVO40_CORE_PARITY = 4, TRELVO40_CORE_STOP = 5 };

/* What one cycle reads; the component copies its pins in here before each bit. */
typedef struct trelvo40_inputs {
    uint8_t outputs[8]; /* J5 A-D, K1, K2, J6-16, J6-17 */
    uint8_t spindle_on;
    int32_t spindle_dir; /* 1 clockwise, 0 counter-clockwise */
    double spindle_duty; /* 0..1; the core clamps */
    int32_t enable_spindle; /* a change takes effect at the next frame, out of EStop too */
    int32_t post_estop_delay; /* the delays as the Mach3 module's settings count them */
    int32_t idle_delay;
    int32_t intra_frame_delay;
    int32_t state; /* out: the frame state after each cycle, a TRELVO40_CORE_ value */
    int32_t loaded_word;  /* out: the word of the frame last started, -1 none */
    int32_t spindle_word; /* out: the spindle command word of the last PWM Hi frame started, -1 none */
} trelvo40_inputs;

/* The core reads neither pins nor parameters while it sends data or parity bits, unless EStop comes:
   the component copies them only when this says the cycle may read them. */
static inline int trelvo40_cycle_reads(const trelvo40_inputs *in, int enable) {
    return !enable || (in->state != TRELVO40_CORE_DATA && in->state != TRELVO40_CORE_PARITY);
}

size_t trelvo40_core_size(void);
size_t trelvo40_core_align(void);
/* Builds the core in memory of trelvo40_core_size() bytes, reading from and reporting to *in from then on. */
void trelvo40_core_init(void *memory, trelvo40_inputs *in);
/* One cycle: enable false holds the line in EStop; reads is trelvo40_cycle_reads() of this cycle.
   Returns the bit for the stream. */
int trelvo40_core_cycle(void *memory, int enable, int reads);

#ifdef __cplusplus
}
#endif

#endif
