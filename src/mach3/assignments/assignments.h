// Which host outputs sit on the expanded pins and the bit-stream pin, the port words, and the warnings.
#pragma once

#include <cstdint>

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
