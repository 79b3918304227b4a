// Monitor: one channel's value, its pending update and its refresh timer.
#include "core/monitor.h"

namespace board {

void Monitor::Update(int32_t value, const EventSink& sink) noexcept {
    if (value != data) {
        sink.Emit(enabled ? EventKind::MonitorNewData : EventKind::MonitorIgnored, name, value);
    }
    data = value;
    if (enabled && data != lastData && !needUpdate) {
        sink.Emit(EventKind::MonitorNeedsUpdate, name);
        needUpdate = true;
    }
}

int32_t Monitor::GetData(const EventSink& sink) noexcept {
    sink.Emit(EventKind::MonitorReport, name, data, needUpdate ? 1 : 0, needRefresh ? 1 : 0);
    needUpdate = false;
    needRefresh = false;
    refreshTimer = 0;
    lastData = data;
    return data;
}

void Monitor::Restart(const EventSink& sink) noexcept {
    sink.Emit(EventKind::MonitorRestart, name);
    needRefresh = enabled;
    needUpdate = false;
    data = -1;
    lastData = -1;
    refreshTimer = 0;
    if (!enabled) {
        sink.Emit(EventKind::MonitorRestartDisabled, name);
    }
}

}  // namespace board
