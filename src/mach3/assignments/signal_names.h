// Names of the host's signals and of the assignment markers, as the dialog shows them.
#pragma once

#include <cstdint>

// Index -5 to 29: markers first, then the host's 30 output signals.
const char* OutputSignalName(int32_t index) noexcept;
extern const char* const InputSignalNames[53];
extern const char* const EncoderSignalNames[7][2];  // [encoder][0 = A, 1 = B]
