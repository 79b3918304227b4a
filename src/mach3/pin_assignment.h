// PinAssignment family: one host signal's enabled flag, port, pin and active-low flag, forced back
// into the host's table by Apply.
#pragma once

#include <cstdint>

#include "mach3/host_blocks.h"

class PinAssignment {
public:
    bool enabled = false;
    int32_t port = 0;
    int32_t pin = 0;
    bool activeLow = false;
    int32_t signalIndex;

    virtual void Apply() noexcept = 0;

protected:
    explicit PinAssignment(int32_t index) : signalIndex(index) {}
    ~PinAssignment() = default;  // destroyed through the derived type only
};

class InputPinAssignment final : public PinAssignment {
public:
    InputPinAssignment(HostEngineBlock* engine, int32_t index);
    void Apply() noexcept override;

    HostEngineBlock* engine;
};

class OutputPinAssignment final : public PinAssignment {
public:
    OutputPinAssignment(HostEngineBlock* engine, int32_t index);
    void Apply() noexcept override;

    HostEngineBlock* engine;
};
