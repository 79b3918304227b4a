// The wiring check as one self-contained page: the board drawn with each pin's result.
#pragma once

#include <iosfwd>

#include "wiring_check.h"

namespace sim {

// Writes the page: XHTML-compatible markup, inline CSS and SVG, no script, nothing from elsewhere.
void WriteCheckPage(const WiringCheckResult& result, std::ostream& page);

}  // namespace sim
