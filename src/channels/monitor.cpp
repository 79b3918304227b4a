// Monitor: one channel's value, its pending update and its refresh timer.
#include "channels/monitor.h"

#include "log/log.h"

Monitor::Monitor(const char* monitorName) : name(monitorName) {}

void Monitor::SetEnabled(bool flag) noexcept {
    enabled = flag;
    needUpdate = false;
}

void Monitor::Update(int32_t value) noexcept {
    if (value != data) {
        if (enabled) {
            myLogf(LOG_DEBUG, "Monitor '%s' got new data 0x%X", name.c_str(), static_cast<unsigned>(value));
        } else {
            myLogf(LOG_DEBUG, "Monitor '%s' is disabled, net data (0x%X) stored but ignored", name.c_str(),
                   static_cast<unsigned>(value));
        }
    }
    data = value;
    if (enabled && data != lastData && !needUpdate) {
        myLogf(LOG_DEBUG, "Monitor '%s' needs UPDATE", name.c_str());
        needUpdate = true;
    }
}

int32_t Monitor::GetData() noexcept {
    myLogf(LOG_DEBUG, "Monitor '%s' reporting data 0x%X (update %d, refresh %d)", name.c_str(),
           static_cast<unsigned>(data), needUpdate ? 1 : 0, needRefresh ? 1 : 0);
    needUpdate = false;
    needRefresh = false;
    refreshTimer = 0;
    lastData = data;
    return data;
}

void Monitor::RefreshTimeout() noexcept {
    myLogf(LOG_DEBUG, "Monitor '%s' got refresh timeout", name.c_str());
    needRefresh = true;
}

void Monitor::Restart() noexcept {
    myLogf(LOG_DEBUG, "Monitor '%s' is restarting", name.c_str());
    needRefresh = true;
    needUpdate = false;
    data = -1;
    lastData = -1;
    refreshTimer = 0;
    if (!enabled) {
        needRefresh = false;
        myLogf(LOG_DEBUG, "Monitor '%s' is disabled, overriding restart NeedUpdate value", name.c_str());
    }
}
