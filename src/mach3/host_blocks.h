/* Host data blocks and entry-point signatures: the C layout shared by the plug-in, the simulator and the tests. */
#ifndef TRELVO_HOST_BLOCKS_H
#define TRELVO_HOST_BLOCKS_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HOST_OUTPUT_COUNT 30
#define HOST_INPUT_COUNT 53
#define HOST_ENCODER_COUNT 7
#define HOST_MOTOR_COUNT 7
#define HOST_STATUS_TEXT_SIZE 256

/* The host's calling convention: plain cdecl on the 32-bit Windows host, the default elsewhere. */
#if defined(_WIN32) && !defined(_WIN64)
#define HOST_CALL __cdecl
#else
#define HOST_CALL
#endif

typedef struct HostOutputSignal {
    uint8_t enabled;   /* non-zero: in use */
    int8_t pin;
    int8_t port;
    uint8_t activeLow;
    uint8_t state;     /* current value, 0 or 1 */
} HostOutputSignal;

typedef struct HostInputSignal {
    uint8_t enabled;
    int8_t pin;
    int8_t port;
    uint8_t activeLow;
    uint8_t state;     /* the host's own; never read by the plug-in */
} HostInputSignal;

typedef struct HostEncoder {
    uint8_t enabled;
    int32_t aPin;
    int32_t bPin;
    int32_t aPort;
    int32_t bPort;
} HostEncoder;

typedef struct HostMotor {
    uint8_t enabled;
    int8_t stepPort;
    int8_t dirPort;
} HostMotor;

/* The engine block lent at InitControl (first argument). */
typedef struct HostEngineBlock {
    HostOutputSignal outputs[HOST_OUTPUT_COUNT];
    HostInputSignal inputs[HOST_INPUT_COUNT];
    HostEncoder encoders[HOST_ENCODER_COUNT];
    HostMotor motors[HOST_MOTOR_COUNT];
    uint8_t estop;     /* non-zero during EStop */
    int32_t mode;      /* written by the plug-in every cycle: 0 or 999 */
} HostEngineBlock;

typedef struct HostSpindleFM {
    uint8_t SpindleOn;
    uint8_t MotorEnabled;
    uint8_t PWMEnabled;
    double SpindleMaxVel;
    int32_t CW;
    int32_t CCW;
    int32_t PWMMin;
    double PWMMax;
    int32_t dir;
    double SpindleSpeed;
    double ratio;      /* spindle speed as a fraction of full speed */
    double TrueRPM;
} HostSpindleFM;

/* The state block lent at InitControl (third argument). */
typedef struct HostStateBlock {
    char statusText[HOST_STATUS_TEXT_SIZE]; /* always NUL-terminated by the plug-in */
    uint8_t m_SpindleOn;
    int32_t SpinDir;   /* 1 is clockwise */
    HostSpindleFM SpindleFM;
} HostStateBlock;

/* The layout the 32-bit host lends: a change that moves a field must not compile. */
#ifdef __cplusplus
#define HOST_LAYOUT(what, value) static_assert((what) == (value), #what " is not the host's " #value)
#else
#define HOST_LAYOUT(what, value) _Static_assert((what) == (value), #what " is not the host's " #value)
#endif
HOST_LAYOUT(sizeof(HostOutputSignal), 5);
HOST_LAYOUT(offsetof(HostOutputSignal, pin), 1);
HOST_LAYOUT(offsetof(HostOutputSignal, port), 2);
HOST_LAYOUT(offsetof(HostOutputSignal, activeLow), 3);
HOST_LAYOUT(offsetof(HostOutputSignal, state), 4);
HOST_LAYOUT(sizeof(HostInputSignal), 5);
HOST_LAYOUT(offsetof(HostInputSignal, pin), 1);
HOST_LAYOUT(offsetof(HostInputSignal, port), 2);
HOST_LAYOUT(offsetof(HostInputSignal, activeLow), 3);
HOST_LAYOUT(offsetof(HostInputSignal, state), 4);
HOST_LAYOUT(sizeof(HostEncoder), 20);
HOST_LAYOUT(offsetof(HostEncoder, aPin), 4);
HOST_LAYOUT(offsetof(HostEncoder, bPin), 8);
HOST_LAYOUT(offsetof(HostEncoder, aPort), 12);
HOST_LAYOUT(offsetof(HostEncoder, bPort), 16);
HOST_LAYOUT(sizeof(HostMotor), 3);
HOST_LAYOUT(offsetof(HostMotor, stepPort), 1);
HOST_LAYOUT(offsetof(HostMotor, dirPort), 2);
HOST_LAYOUT(sizeof(HostEngineBlock), 584);
HOST_LAYOUT(offsetof(HostEngineBlock, inputs), 150);
HOST_LAYOUT(offsetof(HostEngineBlock, encoders), 416);
HOST_LAYOUT(offsetof(HostEngineBlock, motors), 556);
HOST_LAYOUT(offsetof(HostEngineBlock, estop), 577);
HOST_LAYOUT(offsetof(HostEngineBlock, mode), 580);
HOST_LAYOUT(sizeof(HostSpindleFM), 72);
HOST_LAYOUT(offsetof(HostSpindleFM, MotorEnabled), 1);
HOST_LAYOUT(offsetof(HostSpindleFM, PWMEnabled), 2);
HOST_LAYOUT(offsetof(HostSpindleFM, SpindleMaxVel), 8);
HOST_LAYOUT(offsetof(HostSpindleFM, CW), 16);
HOST_LAYOUT(offsetof(HostSpindleFM, CCW), 20);
HOST_LAYOUT(offsetof(HostSpindleFM, PWMMin), 24);
HOST_LAYOUT(offsetof(HostSpindleFM, PWMMax), 32);
HOST_LAYOUT(offsetof(HostSpindleFM, dir), 40);
HOST_LAYOUT(offsetof(HostSpindleFM, SpindleSpeed), 48);
HOST_LAYOUT(offsetof(HostSpindleFM, ratio), 56);
HOST_LAYOUT(offsetof(HostSpindleFM, TrueRPM), 64);
HOST_LAYOUT(sizeof(HostStateBlock), 336);
HOST_LAYOUT(offsetof(HostStateBlock, m_SpindleOn), 256);
HOST_LAYOUT(offsetof(HostStateBlock, SpinDir), 260);
HOST_LAYOUT(offsetof(HostStateBlock, SpindleFM), 264);
#undef HOST_LAYOUT

/* Host callbacks: stored, never called. */
typedef void(HOST_CALL* HostCallback)(void);

/* Entry points, as a host resolves them by name. */
typedef const char*(HOST_CALL* SetProNameFn)(const char* profilePath);
typedef bool(HOST_CALL* InitControlFn)(intptr_t engine, intptr_t arg2, intptr_t state, intptr_t arg4);
typedef void(HOST_CALL* VoidEntryFn)(void);
typedef void(HOST_CALL* NotifyFn)(int32_t code);
typedef void(HOST_CALL* SetCallbackFn)(HostCallback fn);

#ifdef __cplusplus
}
#endif

#endif
