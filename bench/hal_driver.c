/* trelvo-hal-driver N WARMUP MEASURED: the trelvo40 HAL function, loaded into a stand-in HAL, under callgrind. */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <valgrind/callgrind.h>

#include "hal.h"

/* The component's entry point and the stand-in HAL that it registers its pins and function with. */
int rtapi_app_main(void);

enum { kPins = 64 };
static struct { char name[48]; void *data; } g_pins[kPins];
static int g_pinCount;
static unsigned char g_arena[1 << 16];
static size_t g_used;
static void (*g_funct)(void *, long);
static void *g_arg;
static long g_mallocs;

void *__real_malloc(size_t size);
void *__wrap_malloc(size_t size) { ++g_mallocs; return __real_malloc(size); }

void *hal_malloc(long int size) {
    size_t at = (g_used + 15) & ~(size_t)15;
    if (at + (size_t)size > sizeof g_arena) return 0;
    g_used = at + (size_t)size;
    return g_arena + at;
}

static int add(void *data, const char *fmt, va_list ap) {
    if (g_pinCount == kPins) return -1;
    vsnprintf(g_pins[g_pinCount].name, sizeof g_pins[0].name, fmt, ap);
    g_pins[g_pinCount++].data = data;
    return 0;
}

/* A pin is a pointer to its value, which HAL keeps in its own memory; the table holds the value's address. */
#define PIN(type, fn)                                                                    \
    int fn(hal_pin_dir_t dir, type **ptr, int comp, const char *fmt, ...) {               \
        va_list ap;                                                                      \
        (void)dir; (void)comp;                                                           \
        *ptr = hal_malloc(sizeof(type));                                                 \
        memset((void *)*ptr, 0, sizeof(type));                                           \
        va_start(ap, fmt);                                                               \
        int r = add((void *)*ptr, fmt, ap);                                              \
        va_end(ap);                                                                      \
        return r;                                                                        \
    }
#define PARAM(type, fn)                                                                  \
    int fn(hal_param_dir_t dir, type *data, int comp, const char *fmt, ...) {             \
        va_list ap;                                                                      \
        (void)dir; (void)comp;                                                           \
        va_start(ap, fmt);                                                               \
        int r = add((void *)data, fmt, ap);                                              \
        va_end(ap);                                                                      \
        return r;                                                                        \
    }
PIN(hal_bit_t, hal_pin_bit_newf)
PIN(hal_float_t, hal_pin_float_newf)
PIN(hal_u32_t, hal_pin_u32_newf)
PIN(hal_s32_t, hal_pin_s32_newf)
PARAM(hal_bit_t, hal_param_bit_newf)
PARAM(hal_u32_t, hal_param_u32_newf)
PARAM(hal_s32_t, hal_param_s32_newf)

int hal_init(const char *name) { (void)name; return 1; }
int hal_ready(int comp) { (void)comp; return 0; }
int hal_exit(int comp) { (void)comp; return 0; }
int hal_export_funct(const char *name, void (*funct)(void *, long), void *arg, int fp, int re, int comp) {
    (void)name; (void)fp; (void)re; (void)comp;
    g_funct = funct;
    g_arg = arg;
    return 0;
}
int rtapi_snprintf(char *buf, unsigned long size, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    return n;
}
void rtapi_print_msg(msg_level_t level, const char *fmt, ...) { (void)level; (void)fmt; }

static void *pin(const char *name) {
    for (int i = 0; i < g_pinCount; ++i)
        if (strcmp(g_pins[i].name, name) == 0) return g_pins[i].data;
    fprintf(stderr, "no pin %s\n", name);
    exit(2);
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s WARMUP MEASURED\n", argv[0]);
        return 2;
    }
    const long warmup = atol(argv[1]), measured = atol(argv[2]);
    if (rtapi_app_main() != 0 || g_funct == 0) return 1;
    /* The scheduler situation of bench/run: spindle on at half speed, K1 changing every ten calls. */
    *(hal_bit_t *)pin("trelvo40.0.enable-spindle") = 1;
    *(hal_bit_t *)pin("trelvo40.0.spindle-on") = 1;
    *(hal_float_t *)pin("trelvo40.0.spindle-duty") = 0.5;
    hal_bit_t *enable = pin("trelvo40.0.enable");
    hal_bit_t *k1 = pin("trelvo40.0.k1");
    g_funct(g_arg, 1000000);
    *enable = 1;
    int tick = 0;
    for (long i = 0; i < warmup; ++i) {
        if (++tick == 10) { tick = 0; *k1 = !*k1; }
        g_funct(g_arg, 1000000);
    }
    const long before = g_mallocs;
    CALLGRIND_START_INSTRUMENTATION;
    for (long i = 0; i < measured; ++i) {
        if (++tick == 10) { tick = 0; *k1 = !*k1; }
        g_funct(g_arg, 1000000);
    }
    CALLGRIND_STOP_INSTRUMENTATION;
    printf("calls=%ld allocations=%ld frames=%u\n", measured, g_mallocs - before,
           (unsigned)*(hal_u32_t *)pin("trelvo40.0.frames-sent"));
    return 0;
}
