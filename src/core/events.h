// What the board core reports while it runs: events for a sink, formatted (or not) by the adapter.
#pragma once

#include <cstdint>

namespace board {

// Levels as the Mach3 debug log numbers them: a sink's threshold passes levels at or below it.
inline constexpr int32_t kError = 1, kInfo = 3, kDebug = 4, kAll = 5;

enum class EventKind : int32_t {
    EnterEStop,
    LeaveEStopHalt,
    LeaveEStopStart,
    WordSent,          // a: source (WordSource), b: word, c: serial-test count
    SchedulerCreated,
    UseSpindle,        // a: 0 or 1
    SchedulerRestart,
    SchedulerUpdate,
    SchedulerTick,
    PwmNeedRefresh,
    PwmNeedUpdate,
    PwmInProgress,
    RelaySent,
    Pp2Sent,
    NothingPending,
    UnknownState,      // a: state
    MonitorNewData,    // a: value
    MonitorIgnored,    // a: value
    MonitorNeedsUpdate,
    MonitorReport,     // a: data, b: update flag, c: refresh flag
    MonitorTimeout,
    MonitorRestart,
    MonitorRestartDisabled,
    SpindleDump,       // name: the caller; a: isOn, b: dirCW, c: dutyCycle
    Count
};

enum WordSource : int32_t { kSerialTest = 0, kDemo = 1, kScheduler = 2 };

inline constexpr int32_t kEventLevel[static_cast<int>(EventKind::Count)] = {
    kDebug, kDebug, kDebug, kInfo,  kDebug, kDebug, kDebug, kDebug, kAll,  kDebug, kDebug, kDebug,
    kDebug, kDebug, kError, kError, kDebug, kDebug, kDebug, kDebug, kDebug, kDebug, kDebug, kDebug};

struct Event {
    EventKind kind;
    int32_t level;
    const char* name;  // the monitor's, for monitor events
    int32_t a, b, c;
};

// A plain function and its context: no allocation, nothing that crosses a C boundary badly.
struct EventSink {
    void (*write)(void* context, const Event& event) = nullptr;
    void* context = nullptr;
    int32_t threshold = -1;  // -1: nothing wanted

    bool Wants(int32_t level) const noexcept { return level <= threshold && write != nullptr; }
    void Emit(EventKind kind, const char* name = nullptr, int32_t a = 0, int32_t b = 0, int32_t c = 0) const noexcept {
        const int32_t level = kEventLevel[static_cast<int>(kind)];
        if (Wants(level)) {
            write(context, Event{kind, level, name, a, b, c});
        }
    }
    // WordSent goes out whenever EnableDebug asks, whatever the threshold: the adapter shows it as status.
    void Always(EventKind kind, int32_t a, int32_t b, int32_t c) const noexcept {
        if (write != nullptr) {
            write(context, Event{kind, kEventLevel[static_cast<int>(kind)], nullptr, a, b, c});
        }
    }
};

}  // namespace board
