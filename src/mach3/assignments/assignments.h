// Which host outputs sit on the expanded pins and the bit-stream pin, the port words, and the warnings.
#pragma once

#include <cstdint>

#include "core/inputs.h"
#include "mach3/host_link.h"
#include "mach3/settings.h"

// Markers held by ExpandedAssignments and bitStreamIndex instead of an output index.
enum : int32_t {
    ASSIGN_NOT_AVAILABLE = -1,
    ASSIGN_NONE = -2,
    ASSIGN_NO_STREAM = -3,
    ASSIGN_DIPSW_JP1 = -4,
    ASSIGN_DIPSW_JP2 = -5,
};

// Results of the last assignment scan. Before the first scan nothing is assigned, so no frame
// bit can land in host output 0.
struct ScanResults {
    int32_t ExpandedAssignments[8] = {ASSIGN_NONE, ASSIGN_NONE, ASSIGN_NONE, ASSIGN_NONE,
                                      ASSIGN_NONE, ASSIGN_NONE, ASSIGN_NONE, ASSIGN_NONE};
    int32_t bitStreamIndex = ASSIGN_NO_STREAM;
};

// Hands the scan what it reads (the mode, the lent blocks) and what it writes (its results and the
// board core's input view). Until then every call below does nothing.
void BindAssignments(const Settings& settings, const HostLink& host, ScanResults& scan, board::Inputs& inputs) noexcept;

void ScanSignalAssignments() noexcept;
// Points the board core's input view at the scanned outputs and the spindle fields of the lent blocks.
void AimInputs() noexcept;
int32_t GetPort8Word() noexcept;
int32_t GetPort9Word() noexcept;
void CheckProbeAssignment() noexcept;
bool CheckStepDirAssignment() noexcept;
void ShowWarning(const char* text) noexcept;

extern const char* const kProbeWarning;
extern const char* const kStepDirWarning;
