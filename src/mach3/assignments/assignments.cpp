// Assignment scan, port words and the wiring warnings.
#include "mach3/assignments/assignments.h"

#include <string>

#include "mach3/pin_assignment.h"
#include "platform/message_box.h"
#include "platform/module_file.h"

const char* const kProbeWarning =
    "WARNING:\nThe PROBE signal is assigned to port 8 and the\nplug-in is in Expanded Output mode.\n\nPort 8 is "
    "ignored when in Expanded Output mode, so the\nPROBE input will be ignored.\n\nIf you need the PROBE input, "
    "Assign it to a signal on port 1.";

const char* const kStepDirWarning =
    "WARNING:\nOne or more step or direction signals are\nassigned to an Expanded Output port (ports 8 & 9).\n"
    "Expanded Output ports WILL NOT WORK for step & dir signals.\n\nPlease go back to Config->Ports and Pins and "
    "correct this\nby assigning all step and direction signals to port 1.\n";

namespace {

// Handed over by BindAssignments; the owner of the plug-in state keeps them alive as long as the module.
struct Bound {
    const Settings* settings = nullptr;
    const HostLink* host = nullptr;
    ScanResults* scan = nullptr;
    board::Inputs* inputs = nullptr;
};
constinit Bound bound;

// Slot of an expanded pin within its port's four: pins 1, 14, 16, 17; -1 for any other pin.
int32_t PinSlot(int32_t pin) noexcept {
    switch (pin) {
        case 1: return 0;
        case 14: return 1;
        case 16: return 2;
        case 17: return 3;
        default: return -1;
    }
}

}  // namespace

void BindAssignments(const Settings& settings, const HostLink& host, ScanResults& scan, board::Inputs& inputs) noexcept {
    bound = Bound{&settings, &host, &scan, &inputs};
}

void ScanSignalAssignments() noexcept {
    if (bound.scan == nullptr) return;
    ScanResults& scan = *bound.scan;
    int32_t* slots = scan.ExpandedAssignments;
    if (bound.settings->IoMode == IO_EXPANDED_INPUT) {
        scan.bitStreamIndex = ASSIGN_NONE;
        for (int32_t k = 0; k < 8; ++k) {
            slots[k] = ASSIGN_NOT_AVAILABLE;
        }
        slots[4] = ASSIGN_DIPSW_JP1;
        slots[5] = ASSIGN_DIPSW_JP2;
        AimInputs();
        return;
    }
    scan.bitStreamIndex = ASSIGN_NO_STREAM;
    for (int32_t k = 0; k < 8; ++k) {
        slots[k] = ASSIGN_NONE;
    }
    HostEngineBlock* engine = bound.host->engine;
    if (engine == nullptr) {
        AimInputs();
        return;
    }
    // Ascending order, so the highest index on a pin wins.
    for (int32_t i = 0; i < HOST_OUTPUT_COUNT; ++i) {
        HostOutputSignal& out = engine->outputs[i];
        if (out.enabled == 0) {
            continue;
        }
        const int32_t slot = PinSlot(out.pin);
        switch (out.port) {
            case 1:
                if (out.pin == 16) {
                    out.activeLow = 0;  // so the pin level equals the frame bit we write
                    scan.bitStreamIndex = i;
                }
                break;
            case 8:
                if (slot >= 0) slots[slot] = i;
                break;
            case 9:
                if (slot >= 0) slots[4 + slot] = i;
                break;
            default:
                break;
        }
    }
    AimInputs();
}

void AimInputs() noexcept {
    if (bound.inputs == nullptr) return;
    board::Inputs& in = *bound.inputs;
    in = board::Inputs{};
    if (HostEngineBlock* engine = bound.host->engine) {
        for (int32_t k = 0; k < board::kOutputSlots; ++k) {
            const int32_t index = bound.scan->ExpandedAssignments[k];
            if (index >= 0 && index < HOST_OUTPUT_COUNT) {
                in.level[k] = &engine->outputs[index].state;
                in.activeLow[k] = &engine->outputs[index].activeLow;
            }
        }
    }
    if (HostStateBlock* state = bound.host->state) {
        in.spindleOn = &state->m_SpindleOn;
        in.spindleDir = &state->SpinDir;
        in.spindleRatio = &state->SpindleFM.ratio;
    }
}

int32_t GetPort8Word() noexcept { return bound.inputs != nullptr ? bound.inputs->Pp2Word() : 0; }

int32_t GetPort9Word() noexcept { return bound.inputs != nullptr ? bound.inputs->RelayWord() : 0; }

void CheckProbeAssignment() noexcept {
    if (bound.host == nullptr || bound.host->engine == nullptr) {
        return;
    }
    const InputPinAssignment probe(bound.host->engine, 22);
    const int32_t mode = bound.settings->IoMode;
    if (mode != IO_EXPANDED_IO && mode != IO_EXPANDED_INPUT && probe.port == 8) {
        ShowWarning(kProbeWarning);
    }
}

bool CheckStepDirAssignment() noexcept {
    const HostEngineBlock* engine = bound.host != nullptr ? bound.host->engine : nullptr;
    if (engine == nullptr) {
        return true;
    }
    for (const HostMotor& motor : engine->motors) {
        if (motor.enabled == 0) {
            continue;
        }
        if (motor.stepPort == 8 || motor.stepPort == 9 || motor.dirPort == 8 || motor.dirPort == 9) {
            ShowWarning(kStepDirWarning);
            return false;
        }
    }
    return true;
}

void ShowWarning(const char* text) noexcept {
    // Every box copies its caption before this call returns.
    std::string caption;
    try {
        caption = platform::ModuleName();
    } catch (...) {
    }
    platform::ShowMessageBoxAsync(caption.c_str(), text);
}
