// ExpandedData: feeds the channel monitors and picks the next word the board hears.
#pragma once

#include <cstdint>

#include "channels/monitor.h"

// Channel names by (word >> 4) & 7.
extern const char* const ChannelNames[8];
inline const char* ChannelName(int32_t word) noexcept { return ChannelNames[(word >> 4) & 7]; }

class ExpandedData {
public:
    ExpandedData();
    ~ExpandedData();

    void UseSpindle(bool flag) noexcept;
    void Restart() noexcept;
    void Update() noexcept;
    void IncTime() noexcept;
    bool NeedUpdate() const noexcept;
    bool NeedRefresh() const noexcept;
    bool HasWork() const noexcept;
    int32_t GetData() noexcept;
    void ResetPwmNibbles() noexcept;

    int32_t state = 0;  // the PWM sequence's next nibble: 0 Low, 1 Mid, 2 Hi
    bool pwmInProgress = false;
    bool pwmRefresh = false;  // the sequence in progress resends what the board holds
    bool useSpindle = false;
    Monitor pwmMonitor{"PWM"};
    Monitor relayMonitor{"RelayPP1"};
    Monitor pp2Monitor{"PP2"};
    int32_t pwmData = -1;
    int32_t lastPwmLow = -1;
    int32_t lastPwmMid = -1;
    int32_t lastPwmHi = -1;
    // Due refreshes go to the channel that has waited longest: a stamp per channel (0 PWM,
    // 1 Relay/PP1, 2 PP2) from a count of the channels served.
    uint64_t serveCount = 0;
    uint64_t lastServed[3] = {0, 0, 0};

private:
    void StartPwm(bool interruptible) noexcept;
    int32_t SendOutputs(int32_t ring) noexcept;
    int32_t OldestDueRefresh() const noexcept;
    void Stamp(int32_t ring) noexcept { lastServed[ring] = ++serveCount; }
};
