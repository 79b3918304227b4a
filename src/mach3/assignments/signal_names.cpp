// Signal-name tables: the host's names for its signals, and the marker texts.
#include "mach3/assignments/signal_names.h"

namespace {

const char* const kOutputNames[35] = {
    "DIPSW & JP2", "DIPSW & JP1", "ERROR (none)", "** unused **", "Not Available",
    "Digit Trig",  "Enable 1",    "Enable 2",     "Enable 3",     "Enable 4",
    "Enable 5",    "Enable 6",    "Output #1",    "Output #2",    "Output #3",
    "Output #4",   "Output #5",   "Output #6",    "Charge Pump",  "Charge Pump2",
    "Current Hi/Low", "Output #7", "Output #8",   "Output #9",    "Output #10",
    "Output #11",  "Output #12",  "Output #13",   "Output #14",   "Output #15",
    "Output #16",  "Output #17",  "Output #18",   "Output #19",   "Output #20",
};

}  // namespace

const char* OutputSignalName(int32_t index) noexcept {
    if (index < -5 || index > 29) {
        return "";
    }
    return kOutputNames[index + 5];
}

const char* const InputSignalNames[53] = {
    "X++",         "X--",         "X Home",      "Y++",         "Y--",         "Y Home",      "Z++",
    "Z--",         "Z Home",      "A++",         "A--",         "A Home",      "B++",         "B--",
    "B Home",      "C++",         "C--",         "C Home",      "Input #1",    "Input #2",    "Input #3",
    "Input #4",    "Probe",       "Index",       "Limit Ovrd",  "EStop",       "THC On",      "THC Up",
    "THC Down",    "OEM Trig #1", "OEM Trig #2", "OEM Trig #3", "OEM Trig #4", "OEM Trig #5", "OEM Trig #6",
    "OEM Trig #7", "OEM Trig #8", "OEM Trig #9", "OEM Trig #10", "OEM Trig #11", "OEM Trig #12",
    "OEM Trig #13", "OEM Trig #14", "OEM Trig #15", "Timing",    "Jog X++",     "Jog X--",     "Jog Y++",
    "Jog Y--",     "Jog Z++",     "Jog Z--",     "Jog A++",     "Jog A--",
};

const char* const EncoderSignalNames[7][2] = {
    {"Encoder #1-A", "Encoder #1-B"}, {"Encoder #2-A", "Encoder #2-B"}, {"Encoder #3-A", "Encoder #3-B"},
    {"Encoder #4-A", "Encoder #4-B"}, {"MPG #1-A", "MPG #1-B"},         {"MPG #2-A", "MPG #2-B"},
    {"MPG #3-A", "MPG #3-B"},
};
