/* The board model as trelvo40rx's C glue sees it: plain C, sizes and one call per line sample. */
#ifndef TRELVO40RX_MODEL_H
#define TRELVO40RX_MODEL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct trelvo40rx_board {
    uint8_t outputs[8];   /* J5 A-D, K1, K2, J6-16, J6-17 */
    uint8_t spindle_on;   /* the spindle command word, decoded */
    uint8_t spindle_ccw;
    double spindle_duty;  /* 0..1 */
    uint32_t frames;      /* good frames */
    uint32_t framing_errors;
    uint32_t parity_errors;
} trelvo40rx_board;

size_t trelvo40rx_model_size(void);
size_t trelvo40rx_model_align(void);
/* Builds a board at power-up in memory of trelvo40rx_model_size() bytes. */
void trelvo40rx_model_init(void *memory);
/* One sample of the line, a bit lasting samples_per_bit samples (taken at the next start bit).
   Returns nonzero when the sample ended a frame; *board is then what the board holds. */
int trelvo40rx_model_sample(void *memory, int level, uint32_t samples_per_bit, trelvo40rx_board *board);
void trelvo40rx_model_read(const void *memory, trelvo40rx_board *board);

#ifdef __cplusplus
}
#endif

#endif
