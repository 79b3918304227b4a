// Monitor: decides when one channel's value must go to the board (on change, or when a refresh is due).
#pragma once

#include <cstdint>
#include <string>

class Monitor {
public:
    explicit Monitor(const char* name);

    void SetEnabled(bool flag) noexcept;
    void Update(int32_t value) noexcept;
    int32_t GetData() noexcept;
    // Runs on every update cycle for each channel: the common path stays inline.
    void IncTime() noexcept {
        if (enabled && !needRefresh && refreshTimer++ > 10) {
            RefreshTimeout();
        }
    }
    void Restart() noexcept;
    bool NeedUpdate() const noexcept { return needUpdate; }
    bool NeedRefresh() const noexcept { return needRefresh; }

    std::string name;
    bool enabled = true;
    bool needUpdate = false;
    bool needRefresh = true;
    int32_t data = -1;
    int32_t lastData = -1;
    int32_t refreshTimer = 0;

private:
    void RefreshTimeout() noexcept;
};
