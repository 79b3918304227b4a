// trelvo-sim --check: switches every wired output on its own and records what the board latched.
#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "board.h"
#include "plugin_module.h"
#include "mach3/machine/machine.h"
#include "scenario.h"

namespace sim {

// One switch of a host output, or one spindle step: the cycle the host changed it and the cycle
// the board latched the frame that carries it (both as the account counts them).
struct CheckStep {
    bool followed = false;
    int64_t changedAt = 0;
    int64_t latchedAt = 0;
    int64_t Cycles() const { return latchedAt - changedAt; }
};

// One host output wired to a board output, and what the board did when it was switched.
struct CheckedOutput {
    int latch = 0;  // board output 0..7, as board.h numbers them
    int output = 0;
    bool activeLow = false;
    bool drives = true;  // the pin follows this output (it has the highest index there)
    CheckStep on, off;
    bool Followed() const { return on.followed && off.followed; }
};

struct CheckedSpindleStep {
    std::string what;
    CheckStep step;
};

// A fault means a part of the machine will not work or a file of the user's would be lost, and fails
// the check; a warning asks the machinist to act without failing it; a note is for information.
// Faults and warnings are the check's problems.
enum class ProblemClass { Fault, Warning, Note };
struct CheckProblem {
    ProblemClass cls = ProblemClass::Note;
    std::string part;  // what will not work (faults only), e.g. "K2"
    std::string text;
    std::string fix;     // empty when there is nothing to do
    std::string unless;  // faults only: what would make the part work, e.g. "unless it is wired to ..."
    std::string lead = "";  // faults only: the words before the text when no part stops working
    // A fault's "PART will not work[ UNLESS]", the words before its text.
    std::string Lead() const {
        return !lead.empty() ? lead : part + " will not work" + (unless.empty() ? "" : " " + unless);
    }
};

// The EStop input as the profile sets it (input 25), and the polarity the plug-in forces on it:
// the plug-in keeps it enabled on port 1 pin 10, active-low when SimMode is on.
struct CheckedEStop {
    bool enabled = false;
    int port = 0, pin = 0;
    bool activeLow = false;
    bool simMode = false;
    bool OnItsPin() const { return enabled && port == 1 && pin == 10; }
    bool PolarityKept() const { return !enabled || activeLow == simMode; }
};

// A host output set to a board output's port and pin, but not enabled: the board output ignores it.
struct DisabledOutput {
    int latch = 0;
    int output = 0;
};

// A board input connector pin and the host input the dialog shows on it.
struct CheckedInput {
    std::string connector;  // "J12" or "J11"
    std::string pin;        // "11" or "E"
    int port = 0, portPin = 0;
    std::string label;  // input 2 "X Home", encoder 0 "Encoder #1-A", or empty
    std::string shown;  // the display's text: the name alone, "** unused **" or "Not Available"
};

// Levels per cycle of the check's run, from cycle 0: the bit-stream pin, and per board output the
// host's pin level and the board's latch.
struct CheckTrace {
    std::vector<uint8_t> wire;
    std::array<std::vector<uint8_t>, kExpandedOutputs> host, board;
};

struct WiringCheckResult {
    std::string machine;  // the profile's path, or "the built-in machine"
    mach3::machine::Machine model;  // the profile's machine, as the run read it
    int mode = 2;
    bool modeSet = false;
    bool spindleEnabled = false;
    int streamOutput = -1;          // the host output on port 1 pin 16, or -1
    bool streamActiveLow = false;
    int disabledStreamOutput = -1;  // a disabled output set to port 1 pin 16, when none is enabled there
    int misplacedStreamOutput = -1;  // an enabled output meant as the bit stream, on another pin, when none is there
    int frames = 0;
    std::vector<CheckedOutput> outputs;  // in board-output order
    std::vector<DisabledOutput> disabledOutputs;  // in output order
    CheckedEStop estop;
    std::string notChecked;  // why no board output or spindle step was judged ("DemoMode drives the board")
    std::string debugLogNamed;  // what DebugLogFile named, or empty
    std::string debugLogPath;   // where the plug-in wrote its log instead
    std::string debugLogKept;   // where --log copied it, or empty
    std::array<CheckedInput, 8> inputs;  // J12 11, 12, 13, 15, then J11 E to H
    bool dialogText = false;            // the module showed its dialog's text to the simulator
    std::vector<std::string> dialogRows;
    bool spindleChecked = false;
    std::vector<CheckedSpindleStep> spindle;
    std::vector<CheckProblem> problems;  // faults first
    CheckTrace trace;
    bool passed = false;
    std::string verdict;  // the verdict line of the text report, without "check passed: "/"check failed: "
    std::vector<std::string> besideVerdict;  // the lines under it: what the check cannot do for the machinist

    bool SpindleFollowed() const;
    int Count(ProblemClass cls) const;
};

// The mode and the spindle option as the configuration dialog names them.
std::string ModeName(int mode);
// What one of the board's input pins shows, as the dialog's row for it: Connector J12 "11": X Home.
std::string InputRow(const CheckedInput& input);
// The profile's own EStop and the one the plug-in forces, in a few words for the report and the page.
std::string DescribeEStop(const CheckedEStop& estop);
extern const char* const kSpindleOptionName;

// Runs the check on the profile's wiring and settings, or on `builtin`'s without a profile. Throws
// std::runtime_error when the profile cannot be read or parsed. `logPath`: where the plug-in's debug
// log of the run goes (--log), or empty.
WiringCheckResult RunWiringCheck(const Scenario& builtin, const PluginModule& module, const std::string& profilePath,
                                 const std::string& logPath = "");

// The text report, ending with the verdict line; lines wrap at word boundaries to `columns`, none
// when it is 0.
void WriteCheckText(const WiringCheckResult& result, std::ostream& report, int columns = 0);

// The text's lines cut at blanks to at most `columns` characters (UTF-8 letters counted once), each
// continuation indented as its line's first word; a word longer than a line stands on its own.
std::string WrapText(const std::string& text, int columns);

}  // namespace sim
