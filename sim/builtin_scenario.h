// The scenario run when none is named: a typical mill with relays, J5 outputs and a PWM spindle.
#pragma once

namespace sim {

inline constexpr const char* kBuiltinScenario = R"(# A typical machine on a TRELVO-40 board.
output 16 port 1 pin 16          # Output #7 carries the bit stream
output 7 port 9 pin 1            # Output #1: relay K1 (coolant)
output 8 port 9 pin 14           # Output #2: relay K2 (dust extraction)
output 9 port 8 pin 1            # Output #3..#6 on connector J5 A..D
output 10 port 8 pin 14
output 11 port 8 pin 16
output 12 port 8 pin 17 active-low
motor 0 step-port 1 dir-port 1 step-pin 2 dir-pin 3
motor 1 step-port 1 dir-port 1 step-pin 4 dir-pin 5
motor 2 step-port 1 dir-port 1 step-pin 6 dir-pin 7
input 25 port 1 pin 10
setting ExpandedMode 0
setting EnableSpindle 1

at 20 estop off
at 60 output 7 on                # coolant on
at 90 output 9 on
at 120 spindle-ratio 0.5
at 120 spindle on
at 200 output 8 on
at 200 output 11 on
at 260 spindle-ratio 0.75
at 320 spindle-dir ccw
at 360 output 7 off
at 400 estop on                  # the operator hits the red button
at 440 estop off
at 480 output 9 off
at 520 spindle off
at 520 output 12 on
run 640
)";

}  // namespace sim
