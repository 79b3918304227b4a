// PinAssignment family: copy a host signal's four assignment fields and force them back.
#include "mach3/pin_assignment.h"

namespace {

// Host bytes are signed; widen them the way the host meant them.
int32_t Widen(int8_t value) { return static_cast<int32_t>(value); }
int8_t Narrow(int32_t value) { return static_cast<int8_t>(static_cast<uint8_t>(value & 0xFF)); }

template <typename Entry>
void CopyFrom(PinAssignment& a, const Entry& e) {
    a.enabled = e.enabled != 0;
    a.pin = Widen(e.pin);
    a.port = Widen(e.port);
    a.activeLow = e.activeLow != 0;
}

template <typename Entry>
void CopyTo(const PinAssignment& a, Entry& e) {
    e.enabled = a.enabled ? 1 : 0;
    e.port = Narrow(a.port);
    e.pin = Narrow(a.pin);
    e.activeLow = a.activeLow ? 1 : 0;
}

}  // namespace

InputPinAssignment::InputPinAssignment(HostEngineBlock* block, int32_t index) : PinAssignment(index), engine(block) {
    CopyFrom(*this, engine->inputs[index]);
}

void InputPinAssignment::Apply() noexcept { CopyTo(*this, engine->inputs[signalIndex]); }

OutputPinAssignment::OutputPinAssignment(HostEngineBlock* block, int32_t index) : PinAssignment(index), engine(block) {
    CopyFrom(*this, engine->outputs[index]);
}

void OutputPinAssignment::Apply() noexcept { CopyTo(*this, engine->outputs[signalIndex]); }
