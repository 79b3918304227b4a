// The plug-in set up in the steady states the benchmarks and the instruction-count driver measure.
#pragma once

#include <string>

namespace bench {

enum class Situation {
    Idle,        // Expanded Input: the transmitter halted, nothing to send
    MidFrame,    // serial test words back to back: always inside a frame
    Scheduler,   // relay outputs changing every frame: the scheduler picks a word each time
    LogAll,      // as Scheduler, with every line down to level ALL written to a file
    LinuxCnc,    // as Scheduler, through the LinuxCNC component's core call instead of Update
};

const char* Name(Situation s);
bool Parse(const std::string& name, Situation& s);

// Loads the settings, lends the host blocks and runs past EStop and the first frames.
void Start(Situation s, const std::string& scratchDir);
// One host update cycle, with the host changing an output as the situation needs.
void Cycle(Situation s);
// One call of the LinuxCNC component's core, K1 changing every ten; apart, so Update's loop stays as it was.
void CycleLinuxCnc();
// Closes the log and drops the channel objects.
void Stop();

// Host tables with outputs on every expanded pin, for the assignment scan.
void WireExpandedPins();

}  // namespace bench
