// The wiring check: a run the simulator makes itself from the profile, judged by the board's latches.
#include "wiring_check.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "build_version.h"
#include "mach3/assignments/signal_names.h"
#include "mach3/settings.h"
#include "host_os.h"
#include "mach3/log.h"
#include "platform/file_io.h"
#include "profile_setup.h"
#include "simulation.h"

namespace sim {
namespace {

// Far beyond the board's worst latency at any sane IntraFrameDelay; a change not latched by then
// never will be.
constexpr int64_t kPatience = 2000;
constexpr int kProbeInput = 22;
constexpr int kDocumentedStreamOutput = 16;
constexpr size_t kLargeProfileBytes = size_t{2} << 20;  // "Output #7", which the guide sets to port 1 pin 16

const char* const kMotorNames[HOST_MOTOR_COUNT] = {"X", "Y", "Z", "A", "B", "C", "Spindle"};

std::string PortPin(int port, int pin) { return "port " + std::to_string(port) + " pin " + std::to_string(pin); }

std::string InputLabel(int index) {
    return "input " + std::to_string(index) + " \"" + InputSignalNames[index] + "\"";
}

class Check {
public:
    Check(HostRun& run, CheckTrace& trace) : run_(run), trace_(trace) {}

    void Host(EventKind kind, bool on, int index = 0, double ratio = 0.0, const std::string& actions = "") {
        sim::Event e;
        e.cycle = run_.Now();
        e.kind = kind;
        e.on = on;
        e.index = index;
        e.ratio = ratio;
        e.actions = actions;
        run_.Apply(e);
    }

    // Runs cycles until `done` holds after one, or the patience runs out. The step's cycles are
    // the account's: from the cycle whose Update first sees the change to the cycle of the latch.
    CheckStep RunUntil(const std::function<bool()>& done) {
        const int64_t from = run_.Now();
        while (run_.Now() - from < kPatience) {
            Cycle();
            if (done()) return CheckStep{true, from, run_.Now() - 1};
        }
        return CheckStep{false, from, from + kPatience};
    }

    // The board shows every expanded pin as the host drives it, after at least one frame.
    bool Settled() {
        if (run_.FramesReceived() == 0) return false;
        for (int i = 0; i < kExpandedOutputs; ++i) {
            if (run_.Latches().outputs[i] != PinLevel(run_.Engine(), ExpandedPort(i), ExpandedPin(i)).value_or(0))
                return false;
        }
        return true;
    }

    // Switches the output; the board's latch must move to the new pin level.
    CheckStep Switch(const CheckedOutput& s, bool on) {
        const uint8_t target = (on ? 1 : 0) ^ (s.activeLow ? 1 : 0);
        const bool already = run_.Latches().outputs[s.latch] == target;
        Host(EventKind::Output, on, s.output);
        CheckStep step = RunUntil([&] { return run_.Latches().outputs[s.latch] == target; });
        if (already) step.followed = false;
        return step;
    }

    CheckStep Spindle(const std::function<void()>& change) {
        change();
        return RunUntil([&] { return run_.Latches().SpindleWord() == ExpectedSpindleWord(run_.State()); });
    }

private:
    void Cycle() {
        run_.Cycle();
        const HostEngineBlock& engine = run_.Engine();
        trace_.wire.push_back(static_cast<uint8_t>(PinLevel(engine, 1, 16).value_or(1)));
        for (int i = 0; i < kExpandedOutputs; ++i) {
            trace_.host[i].push_back(static_cast<uint8_t>(PinLevel(engine, ExpandedPort(i), ExpandedPin(i)).value_or(0)));
            trace_.board[i].push_back(run_.Latches().outputs[i]);
        }
    }

    HostRun& run_;
    CheckTrace& trace_;
};

std::string Describe(const CheckedOutput& s, const std::string& notChecked) {
    if (!notChecked.empty()) return "not checked: " + notChecked;
    if (s.Followed()) {
        const char* onLevel = s.activeLow ? "off" : "on";
        const char* offLevel = s.activeLow ? "on" : "off";
        return std::string("followed: switched on, latched ") + onLevel + " in " + std::to_string(s.on.Cycles()) +
               " cycles; switched off, latched " + offLevel + " in " + std::to_string(s.off.Cycles()) + " cycles";
    }
    std::string why = !s.drives ? " (a higher output drives this pin)" : "";
    if (s.on.followed) return "NOT followed: latched when switched on, but not when switched off" + why;
    if (s.off.followed) return "NOT followed: no change when switched on" + why;
    return "NOT followed: no change when switched on or off" + why;
}

// The input rows of the dialog's printout: its J12 and J11 displays.
std::vector<std::string> InputRows(const std::string& dialog) {
    std::vector<std::string> rows;
    std::istringstream lines(dialog);
    std::string line;
    while (std::getline(lines, line))
        if (line.rfind("Connector J12", 0) == 0 || line.rfind("Connector J11", 0) == 0) rows.push_back(line);
    return rows;
}

// The board's input pins with the host input the dialog shows there: a later match wins, encoders
// over inputs, an encoder's B channel over its A channel.
std::array<CheckedInput, 8> BoardInputs(const HostEngineBlock& engine, int mode) {
    static const char* const kNames[8] = {"11", "12", "13", "15", "E", "F", "G", "H"};
    static const int kPins[4] = {11, 12, 13, 15};
    std::array<CheckedInput, 8> inputs;
    for (int k = 0; k < 8; ++k) {
        inputs[k] = CheckedInput{k < 4 ? "J12" : "J11", kNames[k], k < 4 ? 1 : 8, kPins[k & 3], "", "** unused **"};
        if (k >= 4 && mode == IO_EXPANDED_OUTPUT) inputs[k].shown = "Not Available";
    }
    auto place = [&](int port, int pin, const std::string& label, const char* name) {
        if (port == 8 && mode == IO_EXPANDED_OUTPUT) return;
        for (CheckedInput& in : inputs) {
            if (in.port == port && in.portPin == pin) {
                in.label = label;
                in.shown = name;
            }
        }
    };
    for (int i = 0; i < HOST_INPUT_COUNT; ++i)
        if (engine.inputs[i].enabled) place(engine.inputs[i].port, engine.inputs[i].pin, InputLabel(i), InputSignalNames[i]);
    for (int e = 0; e < HOST_ENCODER_COUNT; ++e) {
        const HostEncoder& enc = engine.encoders[e];
        if (!enc.enabled) continue;
        const std::string label = "encoder " + std::to_string(e) + " \"";
        place(enc.aPort, enc.aPin, label + EncoderSignalNames[e][0] + "\"", EncoderSignalNames[e][0]);
        place(enc.bPort, enc.bPin, label + EncoderSignalNames[e][1] + "\"", EncoderSignalNames[e][1]);
    }
    return inputs;
}

// With nothing on port 1 pin 16, the enabled output whose place says it was meant as the bit stream:
// Output #7, as the guide sets it, or else the only output on pin 16 of a port the board has no pin 16
// on; -1 when none. One on a board output is that output's, not a stray stream.
int MisplacedStreamOutput(const HostEngineBlock& engine) {
    auto stray = [&](int i) { return engine.outputs[i].enabled && ExpandedOutputIndex(engine.outputs[i].port, engine.outputs[i].pin) < 0; };
    if (stray(kDocumentedStreamOutput)) return kDocumentedStreamOutput;
    int found = -1;
    for (int i = 0; i < HOST_OUTPUT_COUNT; ++i) {
        if (!stray(i) || engine.outputs[i].pin != 16) continue;
        if (found >= 0) return -1;
        found = i;
    }
    return found;
}

std::string MotorName(int m) { return "motor " + std::to_string(m) + " (" + kMotorNames[m] + ")"; }

// What the profile itself tells, before anything runs.
void ProfileProblems(const HostEngineBlock& engine, const MotorPinTable& motorPins, WiringCheckResult& r, int demoMode,
                     int serialTest) {
    auto fault = [&](std::string part, std::string text, std::string fix, std::string unless = "") {
        r.problems.push_back({ProblemClass::Fault, std::move(part), std::move(text), std::move(fix), std::move(unless)});
    };
    auto note = [&](std::string text, std::string fix) {
        r.problems.push_back({ProblemClass::Note, "", std::move(text), std::move(fix), ""});
    };
    const std::string everything = "every board output and the spindle";
    const std::string outputSignals = "Config > Ports and Pins > Output Signals";
    const std::string portsAndPins = "in Mach3's " + outputSignals + ", ";

    if (r.streamOutput < 0) {
        const int misplaced = r.misplacedStreamOutput;
        const std::string where =
            misplaced >= 0 ? PortPin(engine.outputs[misplaced].port, engine.outputs[misplaced].pin) : "";
        std::string fix = r.disabledStreamOutput >= 0
                              ? portsAndPins + "enable " + OutputLabel(r.disabledStreamOutput) +
                                    ": it is already set to port 1, pin 16, but disabled"
                          : misplaced >= 0
                              ? portsAndPins + "move " + OutputLabel(misplaced) + " from " + where +
                                    " to port 1 pin 16, the pin the board listens on"
                              : portsAndPins + "enable one spare output (Output #7, say) on port 1, pin 16, not active-low";
        fault(everything,
              "nothing on port 1 pin 16, so the board hears nothing" +
                  (misplaced >= 0 && r.disabledStreamOutput < 0 ? "; " + OutputLabel(misplaced) + " is enabled on " + where
                                                                : ""),
              fix);
    }
    if (r.mode == IO_EXPANDED_INPUT) {
        fault(everything,
              std::string("ExpandedMode is 2 (") + ModeName(r.mode) + ")" +
                  (r.modeSet ? "" : ", the plug-in's default, as the profile sets none") +
                  ": the plug-in sends nothing to the board",
              "choose " + ModeName(IO_EXPANDED_IO) + " or " + ModeName(IO_EXPANDED_OUTPUT) +
                  " in the plug-in's configuration dialog");
    } else if (r.mode < 0 || r.mode > 2) {
        fault("the plug-in's mode",
              "ExpandedMode " + std::to_string(r.mode) +
                  " is none of the dialog's modes (0, 1, 2); the dialog shows no mode, and OK without a choice stores -1",
              "choose a mode in the plug-in's configuration dialog");
    }
    if (demoMode) fault(everything, "DemoMode is on: the frames carry the demo pattern, not the host's outputs", "set DemoMode to 0");
    if (serialTest) fault(everything, "zzzzz is on: the frames carry the serial test word, not the host's outputs", "set zzzzz to 0");

    // The motors' pins, which the outputs below must keep clear of.
    struct MotorPin {
        int port, pin;
        int motor;
        const char* what;
    };
    std::vector<MotorPin> motorUses;
    std::vector<int> pinsUnknown;
    const std::string motorOutputs = "Config > Ports and Pins > Motor Outputs";
    for (int m = 0; m < HOST_MOTOR_COUNT; ++m) {
        const HostMotor& motor = engine.motors[m];
        if (!motor.enabled) continue;
        const MotorPins& pins = motorPins[m];
        for (const auto& [what, port, pin] : {std::tuple{"step", int{motor.stepPort}, pins.stepPin},
                                              std::tuple{"direction", int{motor.dirPort}, pins.dirPin}}) {
            if (port == 8 || port == 9) {
                fault(MotorName(m),
                      std::string("its ") + what + " signal is on port " + std::to_string(port) +
                          ": the board's expanded ports WILL NOT WORK for step and direction signals",
                      "assign all step and direction signals to port 1 (" + motorOutputs + ")");
                continue;
            }
            if (pin < 0) {
                if (pinsUnknown.empty() || pinsUnknown.back() != m) pinsUnknown.push_back(m);
                continue;
            }
            if (port <= 0 || pin <= 0) continue;
            motorUses.push_back({port, pin, m, what});
            if (port == 1 && (pin == 17 || pin == 10))
                fault(MotorName(m),
                      std::string("its ") + what + " signal is on port 1 pin " + std::to_string(pin) +
                          (pin == 17 ? ", where the plug-in keeps the charge pump"
                                     : ", the board's EStop terminal, where the plug-in keeps the EStop input"),
                      "move it to a free pin (" + motorOutputs + ")");
        }
    }
    for (const int m : pinsUnknown)
        note(MotorName(m) + ": its step and direction pins are not known (the motor line names no step-pin or "
                            "dir-pin), so no output was checked against them",
             "");

    std::map<std::pair<int, int>, std::vector<int>> byPin;
    for (int i = 0; i < HOST_OUTPUT_COUNT; ++i) {
        const HostOutputSignal& out = engine.outputs[i];
        if (!out.enabled) continue;
        const int latch = ExpandedOutputIndex(out.port, out.pin);
        const std::string board = latch >= 0 ? LatchName(latch) : "";
        byPin[{out.port, out.pin}].push_back(i);
        if (latch >= 0 && out.activeLow)
            note(OutputLabel(i) + " on " + board + ": inverted by Active Low: on while Mach3 shows it off",
                 "if " + board + " should be on while Mach3 shows the output on, clear its Active Low in " + outputSignals);
        // The plug-in keeps the charge pump on port 1 pin 17 whatever the profile says.
        if (i != kChargePumpOutput) {
            for (const MotorPin& use : motorUses)
                if (use.port == out.port && use.pin == out.pin)
                    fault(OutputLabel(i) + " and " + MotorName(use.motor),
                          "the output is on " + PortPin(out.port, out.pin) + ", the motor's " + use.what +
                              " pin: both drive it",
                          "move the output to a free pin (" + outputSignals + ")");
            if (out.port == 1 && out.pin == 10)
                fault(OutputLabel(i), "it is on port 1 pin 10, the board's EStop terminal, where the plug-in keeps the EStop input",
                      "move it to a free pin");
        }
        if ((out.port == 8 || out.port == 9) && ExpandedOutputIndex(out.port, out.pin) < 0)
            fault(OutputLabel(i), "it is on " + PortPin(out.port, out.pin) + ", which the board does not have",
                  "ports 8 and 9 have pins 1, 14, 16 and 17 only: move it to one of those, or to port 1");
        if (i == kChargePumpOutput && !(out.port == 1 && out.pin == 17))
            note(OutputLabel(i) + " is on " + PortPin(out.port, out.pin) +
                     "; the plug-in moves it to port 1 pin 17 on every cycle",
                 "");
        if (i != kChargePumpOutput && out.port == 1 && out.pin == 17)
            fault(OutputLabel(i), "it is on port 1 pin 17, where the plug-in keeps the charge pump",
                  "move it to a free pin");
    }
    for (const DisabledOutput& d : r.disabledOutputs) {
        const std::string board = LatchName(d.latch);
        note(OutputLabel(d.output) + " is set to " + PortPin(ExpandedPort(d.latch), ExpandedPin(d.latch)) + " (" + board +
                 ") but disabled, so " + board + " does not follow it",
             "if " + board + " should follow it, enable it in " + outputSignals);
    }
    for (const auto& [where, outputs] : byPin) {
        if (outputs.size() < 2) continue;
        const int expanded = ExpandedOutputIndex(where.first, where.second);
        const std::string on = expanded >= 0                                     ? std::string(" (on ") + LatchName(expanded) + ")"
                               : where == std::pair{1, 16} ? std::string(" (on the bit stream's pin)")
                                                                                 : "";
        for (size_t k = 0; k + 1 < outputs.size(); ++k)
            fault(OutputLabel(outputs[k]) + on,
                  "it shares " + PortPin(where.first, where.second) + " with " + OutputLabel(outputs.back()) +
                      ", and the pin follows the higher output only",
                  "give each output a pin of its own");
    }
    // The EStop: the plug-in keeps input 25 enabled on port 1 pin 10, its polarity from SimMode.
    const CheckedEStop& estop = r.estop;
    const std::string button = "the EStop button";
    const std::string inputSignals = "Config > Ports and Pins > Input Signals";
    if (!estop.OnItsPin())
        fault(button,
              InputLabel(kEStopInput) +
                  (estop.enabled ? " is on " + PortPin(estop.port, estop.pin) + " in Ports and Pins"
                                 : " is disabled in Ports and Pins") +
                  ", and the plug-in moves it to port 1 pin 10 on every cycle",
              "wire the EStop button to the board's EStop terminal (port 1 pin 10), and set Input 25 (EStop) to "
              "port 1 pin 10 in " + inputSignals + ", enabled, so that profile and board agree",
              "unless it is wired to the board's EStop terminal (port 1 pin 10)");
    if (!estop.PolarityKept()) {
        const char* set = estop.activeLow ? "active-low" : "active-high";
        const char* forced = estop.simMode ? "active-low" : "active-high";
        fault(button,
              InputLabel(kEStopInput) + " is " + set + " in Ports and Pins (Input25Neg " + (estop.activeLow ? "1" : "0") +
                  "), but SimMode is " + (estop.simMode ? "1" : "0") + ", so the plug-in makes it " + forced +
                  " on every cycle: Mach3 reads the button the other way round",
              std::string("set SimMode to ") + (estop.activeLow ? "1" : "0") + " in section TRELVO40 of the profile, "
                  "which keeps the EStop " + set + " as Ports and Pins has it");
    }
    for (int i = 0; i < HOST_INPUT_COUNT; ++i) {
        const HostInputSignal& in = engine.inputs[i];
        if (!in.enabled) continue;
        if (i != kEStopInput && in.port == 1 && in.pin == 10)
            fault(InputLabel(i), "it is on port 1 pin 10, where the plug-in keeps the EStop input", "move it to a free pin");
        if (i == kProbeInput && in.port == 8 && r.mode == IO_EXPANDED_OUTPUT)
            fault(InputLabel(i), "it is on port 8, which " + ModeName(r.mode) + " ignores",
                  "assign the Probe input to a pin of port 1");
    }
}

// What the plug-in would do on the machine with the debug log the profile names: it starts afresh
// only a file that is empty or its own log, reached through no link another user may have planted,
// and refuses the profile itself.
void DebugLogProblems(const std::string& profilePath, WiringCheckResult& r) {
    namespace fs = std::filesystem;
    if (r.debugLogNamed.empty() || profilePath.empty()) return;
    fs::path named = FilePath(FromHostPath(r.debugLogNamed));
    // Mach3 runs in its own folder, where it keeps its profiles.
    if (named.is_relative()) named = FilePath(profilePath).parent_path() / named;
    const std::string fix = "set DebugLogFile in section TRELVO40 of the profile to a file of the log's own "
                            "(TRELVO-40.log beside the profile, say), or empty it";
    std::error_code ec;
    if (fs::equivalent(named, FilePath(profilePath), ec)) {
        r.problems.push_back({ProblemClass::Warning, "",
                              "DebugLogFile names the profile itself, which the plug-in will not write its log over: "
                              "no log will be written",
                              fix, ""});
        return;
    }
    try {
        CheckOutputPath(PathText(named));
    } catch (const std::runtime_error&) {
        r.problems.push_back({ProblemClass::Fault, "",
                              "the plug-in follows no such link and writes no debug log at all", fix, "",
                              "DebugLogFile names " + r.debugLogNamed + ", a link another user may have planted"});
        return;
    }
    if (!fs::is_regular_file(named, ec)) return;  // none yet, the plug-in makes it; a FIFO would hang the read
    std::ifstream in(named, std::ios::binary);
    char start[platform::kLogStartSize];
    in.read(start, sizeof start);
    const size_t size = static_cast<size_t>(in.gcount());
    if (size == 0 || IsLogStart(start, size)) return;
    r.problems.push_back({ProblemClass::Fault, "",
                          "the plug-in leaves that file as it is and writes no debug log at all", fix, "",
                          "DebugLogFile names " + r.debugLogNamed + ", a file that is not the plug-in's debug log"});
}

// Nothing but blanks and line ends, after a byte order mark if any.
bool Blank(const std::string& bytes) {
    const size_t from = bytes.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
    return bytes.find_first_not_of(" \t\r\n", from) == std::string::npos;
}

bool Mentions(const std::vector<CheckProblem>& problems, const std::string& text) {
    return std::any_of(problems.begin(), problems.end(),
                       [&](const CheckProblem& p) { return p.text.find(text) != std::string::npos; });
}

}  // namespace

std::string ModeName(int mode) {
    switch (mode) {
    case IO_EXPANDED_IO: return "Expanded I/O Mode";
    case IO_EXPANDED_OUTPUT: return "Expanded Output Mode";
    case IO_EXPANDED_INPUT: return "Expanded Input Mode";
    }
    return "no mode";
}

const char* const kSpindleOptionName = "Enable Spindle (TRELVO-17)";

std::string InputRow(const CheckedInput& in) { return "Connector " + in.connector + " \"" + in.pin + "\": " + in.shown; }

std::string DescribeEStop(const CheckedEStop& e) {
    const auto polarity = [](bool low) { return low ? "active-low" : "active-high"; };
    std::string text = "the plug-in keeps " + InputLabel(kEStopInput) + " on port 1 pin 10, " + polarity(e.simMode) +
                       " (SimMode " + (e.simMode ? "1" : "0") + "); the profile ";
    if (e.OnItsPin() && e.PolarityKept()) return text + "agrees";
    if (!e.enabled) return text + "has it disabled";
    return text + "has it on " + PortPin(e.port, e.pin) + ", " + polarity(e.activeLow) + " (Input25Neg " +
           (e.activeLow ? "1" : "0") + ")";
}

bool WiringCheckResult::SpindleFollowed() const {
    return std::all_of(spindle.begin(), spindle.end(), [](const CheckedSpindleStep& s) { return s.step.followed; });
}

int WiringCheckResult::Count(ProblemClass cls) const {
    return static_cast<int>(
        std::count_if(problems.begin(), problems.end(), [cls](const CheckProblem& p) { return p.cls == cls; }));
}

WiringCheckResult RunWiringCheck(const Scenario& builtin, const PluginModule& module, const std::string& profilePath,
                                 const std::string& logPath) {
    size_t size = 0;
    if (!profilePath.empty()) {
        const std::string bytes = ReadUserFile("profile", profilePath);
        // A file with nothing in it is no machine: checked, it would read as one with nothing wired.
        if (Blank(bytes))
            throw std::runtime_error(profilePath + ": this file is empty: not a profile. Check the profile Mach3 uses "
                                                   "(C:\\Mach3\\Mach3Mill.xml, say); if it is this one, restore it "
                                                   "from the copy Mach3 keeps or from a backup");
        size = bytes.size();
    }
    // A large profile takes seconds to read as the plug-in does: the console says what is going on.
    const bool large = size >= kLargeProfileBytes;
    if (large)
        std::cerr << "trelvo-sim: the profile is " << (size * 10 >> 20) / 10 << '.' << (size * 10 >> 20) % 10
                  << " MB; reading it as the plug-in does takes a while\n";
    Scenario setup;
    if (profilePath.empty()) {
        setup.wiring = builtin.wiring;
        setup.settings = builtin.settings;
    }
    RunOptions options;
    options.profilePath = profilePath;
    options.logPath = logPath;
    std::ostringstream account;  // the cycle-by-cycle account is not part of the report
    HostRun run(setup, module, options, account);
    if (large) std::cerr << "trelvo-sim: profile read; switching the outputs\n";
    WiringCheckResult r;
    Check check(run, r.trace);
    HostEngineBlock& engine = run.Engine();
    r.machine = profilePath.empty() ? "the built-in machine" : profilePath;
    r.model = run.Machine();

    // The settings as the plug-in reads them, from one read of the profile: each read is the whole file.
    const std::vector<int> settings = run.ReadSettings({{"ExpandedMode", IO_EXPANDED_INPUT},
                                                        {"ExpandedMode", -1},
                                                        {"EnableSpindle", 0},
                                                        {"SimMode", 0},
                                                        {"DemoMode", 0},
                                                        {"zzzzz", 0}});
    r.mode = settings[0];
    r.modeSet = !(r.mode == IO_EXPANDED_INPUT && settings[1] == -1);
    r.spindleEnabled = settings[2] != 0;

    // What the host wires to the board, taken before the plug-in forces its own pins.
    for (int latch = 0; latch < kExpandedOutputs; ++latch) {
        const int port = ExpandedPort(latch), pin = ExpandedPin(latch);
        for (int i = 0; i < HOST_OUTPUT_COUNT; ++i) {
            const HostOutputSignal& out = engine.outputs[i];
            if (out.enabled && out.port == port && out.pin == pin)
                r.outputs.push_back({latch, i, out.activeLow != 0, DrivingOutput(engine, port, pin) == i, {}, {}});
        }
    }
    r.streamOutput = DrivingOutput(engine, 1, 16);
    r.streamActiveLow = r.streamOutput >= 0 && engine.outputs[r.streamOutput].activeLow;
    for (int i = 0; i < HOST_OUTPUT_COUNT && r.streamOutput < 0; ++i)
        if (engine.outputs[i].port == 1 && engine.outputs[i].pin == 16) r.disabledStreamOutput = i;
    if (r.streamOutput < 0) r.misplacedStreamOutput = MisplacedStreamOutput(engine);
    for (int i = 0; i < HOST_OUTPUT_COUNT; ++i) {
        const HostOutputSignal& out = engine.outputs[i];
        const int latch = ExpandedOutputIndex(out.port, out.pin);
        if (!out.enabled && latch >= 0) r.disabledOutputs.push_back({latch, i});
    }
    const HostInputSignal& estop = engine.inputs[kEStopInput];
    r.estop = {estop.enabled != 0, estop.port, estop.pin, estop.activeLow != 0, settings[3] != 0};
    r.inputs = BoardInputs(engine, r.mode);
    r.debugLogNamed = run.Profile().NamedDebugLog();
    r.debugLogPath = run.Profile().DebugLogPath();
    r.debugLogKept = logPath;
    const int demoMode = settings[4], serialTest = settings[5];
    if (demoMode) r.notChecked = "DemoMode drives the board";
    else if (serialTest) r.notChecked = "zzzzz sends the serial test word";
    ProfileProblems(engine, run.MotorPinsOf(), r, demoMode, serialTest);
    DebugLogProblems(profilePath, r);
    if (r.mode == IO_EXPANDED_OUTPUT)
        r.problems.push_back({ProblemClass::Warning, "",
                              "in " + ModeName(r.mode) + " the charge pump stays on during EStop, so it will not stop the drives",
                              "if the machine relies on the charge pump to stop the drives in EStop, choose " +
                                  ModeName(IO_EXPANDED_IO) + " in the plug-in's configuration dialog",
                              ""});
    if (!profilePath.empty() && !CanWrite(profilePath))
        r.problems.push_back({ProblemClass::Note, "",
                              "the profile cannot be written by the user running this check: the settings chosen in the "
                              "plug-in's dialog will not be saved unless Mach3's user can write it",
                              "if Mach3 runs as this user, make the profile writable (clear its read-only attribute)", ""});

    // The run: the dialog once, as a user opens it, then out of EStop, then each output on its own.
    r.dialogText = module.setDialogHook != nullptr;
    if (r.dialogText) check.Host(EventKind::Config, false, 0, 0.0, "cancel");
    check.RunUntil([&] { return run.Now() >= 10; });
    check.Host(EventKind::EStop, false);
    check.RunUntil([&] { return check.Settled(); });
    for (CheckedOutput& s : r.outputs) {
        s.on = check.Switch(s, true);
        s.off = check.Switch(s, false);
    }
    // Expanded Input mode ignores the spindle option, as the dialog says.
    r.spindleChecked = r.spindleEnabled && r.mode != IO_EXPANDED_INPUT;
    if (r.spindleChecked) {
        r.spindle.push_back({"on at ratio 0.5", check.Spindle([&] {
                                 check.Host(EventKind::SpindleRatio, false, 0, 0.5);
                                 check.Host(EventKind::Spindle, true);
                             })});
        r.spindle.push_back({"ratio 0.25", check.Spindle([&] { check.Host(EventKind::SpindleRatio, false, 0, 0.25); })});
        r.spindle.push_back({"counter-clockwise", check.Spindle([&] { check.Host(EventKind::SpindleDir, false); })});
        r.spindle.push_back({"off", check.Spindle([&] { check.Host(EventKind::Spindle, false); })});
    }
    r.frames = run.FramesReceived();
    run.Finish();
    r.dialogRows = InputRows(run.LastDialog());
    // The rows are worked out here so that every build lists them; where the module shows its
    // dialog's text, the two must agree.
    std::vector<std::string> rows;
    for (const CheckedInput& in : r.inputs) rows.push_back(InputRow(in));
    if (!r.dialogRows.empty() && r.dialogRows != rows) {
        std::string shown;
        for (const std::string& row : r.dialogRows) shown += "\n" + row;
        r.problems.push_back({ProblemClass::Note, "", "the plug-in's dialog shows the inputs otherwise:" + shown, "", ""});
    }

    // What the run showed.
    auto fault = [&](std::string part, std::string text, std::string fix) {
        r.problems.push_back({ProblemClass::Fault, std::move(part), std::move(text), std::move(fix), ""});
    };
    if (r.frames == 0 && r.streamOutput >= 0 && r.mode != IO_EXPANDED_INPUT)
        fault("every board output and the spindle", "the board received no frames from " + OutputLabel(r.streamOutput),
              "check the plug-in's settings in section TRELVO40 of the profile");
    if (r.outputs.empty() && !r.spindleChecked)
        fault("the board's outputs", "no host output is on a board output (ports 8 and 9, pins 1, 14, 16, 17) and the spindle is not checked",
              "assign the outputs the board should drive in Config > Ports and Pins > Output Signals");
    const bool judged = r.frames > 0 && r.notChecked.empty();
    for (const CheckedOutput& s : r.outputs)
        if (!s.Followed() && s.drives && judged)
            fault(OutputLabel(s.output) + " (on " + LatchName(s.latch) + ")", "the board did not follow it", "");
    if (r.spindleChecked && !r.SpindleFollowed() && judged)
        fault("the spindle", "the board did not latch the speed or direction the host asked for", "");
    for (const std::string& warning : run.Warnings()) {
        // A box whose case is already a fault above says nothing new.
        if (warning.find("step or direction") != std::string::npos && Mentions(r.problems, "step and direction")) continue;
        if (warning.find("PROBE") != std::string::npos && Mentions(r.problems, ModeName(IO_EXPANDED_OUTPUT) + " ignores"))
            continue;
        r.problems.push_back({ProblemClass::Note, "", "the plug-in showed the warning box " + warning, "", ""});
    }
    std::stable_sort(r.problems.begin(), r.problems.end(),
                     [](const CheckProblem& a, const CheckProblem& b) { return a.cls < b.cls; });

    int followed = 0;
    for (const CheckedOutput& s : r.outputs) followed += s.Followed() ? 1 : 0;
    const std::string counted = r.notChecked.empty() ? std::to_string(followed) + " of " + std::to_string(r.outputs.size()) +
                                                           " wired board outputs followed the host"
                                                     : "board outputs not checked: " + r.notChecked;
    r.passed = r.Count(ProblemClass::Fault) == 0;
    const int warnings = r.Count(ProblemClass::Warning);
    const std::string warned = std::to_string(warnings) + (warnings == 1 ? " warning" : " warnings");
    if (r.passed) {
        r.verdict = counted + (r.spindleChecked ? ", and the spindle" : "") + (warnings ? "; " + warned + " below" : "");
    } else {
        const CheckProblem& first = r.problems.front();  // faults come first
        const int more = r.Count(ProblemClass::Fault) - 1;
        r.verdict = first.Lead() + ": " + first.text +
                    (more ? ", and " + std::to_string(more) + (more == 1 ? " more fault" : " more faults") : "") +
                    (warnings ? (more ? " and " : ", and ") + warned : "") + " (" + counted + ")";
    }
    // What no simulation can show.
    r.besideVerdict.push_back("after any change to the wiring or the profile, press the EStop button and see Mach3 enter EStop");
    return r;
}

std::string WrapText(const std::string& text, int columns) {
    if (columns <= 0) return text;
    const auto width = [](const std::string& s) {
        return static_cast<int>(std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
    };
    std::string out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (width(line) <= columns) {
            out += line + '\n';
            continue;
        }
        const size_t first = line.find_first_not_of(' ');
        const bool bullet = line.compare(first, 2, "- ") == 0;
        const std::string indent(first + 2, ' ');  // under the bullet's text, or a step in
        std::string row = line.substr(0, first + (bullet ? 2 : 0));
        bool rowHasWord = false;
        std::istringstream words(line.substr(row.size()));
        std::string word;
        while (words >> word) {
            if (rowHasWord && width(row) + 1 + width(word) > columns) {
                out += row + '\n';
                row = indent;
                rowHasWord = false;
            }
            row += (rowHasWord ? " " : "") + word;
            rowHasWord = true;
        }
        out += row + '\n';
    }
    return out;
}

void WriteCheckText(const WiringCheckResult& r, std::ostream& out, int columns) {
    std::ostringstream report;
    report << "TRELVO-40/41 wiring check of " << r.machine << '\n';
    report << "version: trelvo-sim " << TRELVO_BUILD_VERSION_TEXT << '\n';
    report << "settings: ExpandedMode " << r.mode << (r.modeSet ? "" : " (not set; the plug-in's default)")
           << ", EnableSpindle " << (r.spindleEnabled ? 1 : 0) << '\n';
    if (!r.debugLogNamed.empty()) {
        report << "debug log: the profile's DebugLogFile names " << r.debugLogNamed << "; the check wrote the log to "
               << (r.debugLogKept.empty() ? r.debugLogPath + " instead, removed with the temporary folder (--log FILE keeps it)"
                                          : r.debugLogKept + " instead (--log)")
               << ", so that file is not touched\n";
    } else if (!r.debugLogKept.empty()) {
        report << "debug log: written to " << r.debugLogKept << " (--log)\n";
    }
    report << '\n';
    if (r.streamOutput < 0) {
        report << "bit stream: nothing on port 1 pin 16, so the board hears nothing";
        if (r.disabledStreamOutput >= 0) report << " (" << OutputLabel(r.disabledStreamOutput) << " is set there, but disabled)";
        else if (r.misplacedStreamOutput >= 0) report << " (" << OutputLabel(r.misplacedStreamOutput) << " is on another pin)";
        report << "\n";
    } else {
        report << "bit stream: " << OutputLabel(r.streamOutput) << " on port 1 pin 16, "
               << (r.streamActiveLow ? "active-low in the host (the plug-in clears that flag when it leaves EStop, so "
                                       "the line idles high as the board needs)"
                                     : "not active-low")
               << "; the board received " << r.frames << " frames\n";
    }
    report << "EStop: " << DescribeEStop(r.estop) << '\n';
    report << '\n' << "board outputs:\n";
    for (int latch = 0; latch < kExpandedOutputs; ++latch) {
        std::string name = LatchName(latch);
        name.resize(7, ' ');
        bool any = false;
        for (const CheckedOutput& s : r.outputs) {
            if (s.latch != latch) continue;
            report << "  " << (any ? std::string(7, ' ') : name) << OutputLabel(s.output)
                   << (s.activeLow ? ", active-low" : "") << ": " << Describe(s, r.notChecked) << '\n';
            any = true;
        }
        if (any) continue;
        report << "  " << name << "not wired";
        for (const DisabledOutput& d : r.disabledOutputs)
            if (d.latch == latch) report << " (" << OutputLabel(d.output) << " is set here, but disabled)";
        report << '\n';
    }
    report << '\n' << "board inputs, as the dialog shows them:\n";
    for (const CheckedInput& in : r.inputs) report << "  " << InputRow(in) << '\n';
    report << '\n';
    if (!r.spindleChecked) {
        report << "spindle: not checked (" << (r.spindleEnabled ? "Expanded Input mode" : "EnableSpindle is 0") << ")\n";
    } else {
        report << "spindle:\n";
        for (const CheckedSpindleStep& s : r.spindle)
            report << "  " << s.what << ": "
                   << (!r.notChecked.empty() ? "not checked: " + r.notChecked
                       : s.step.followed     ? "latched in " + std::to_string(s.step.Cycles()) + " cycles"
                                             : std::string("NOT latched"))
                   << '\n';
    }
    report << '\n' << "problems (a fault fails the check, a warning does not but asks you to act; notes follow):\n";
    if (r.problems.empty()) report << "  none\n";
    for (const CheckProblem& p : r.problems) {
        const std::string head = p.cls == ProblemClass::Fault     ? "fault, " + p.Lead() + ": "
                                 : p.cls == ProblemClass::Warning ? "warning: "
                                                                  : "note: ";
        std::istringstream lines(head + p.text);
        std::string line;
        bool first = true;
        while (std::getline(lines, line)) {
            report << (first ? "  - " : "    ") << line << '\n';
            first = false;
        }
        if (!p.fix.empty()) report << "    fix: " << p.fix << '\n';
    }
    report << '\n' << (r.passed ? "check passed: " : "check failed: ") << r.verdict << '\n';
    for (const std::string& line : r.besideVerdict) report << "  " << line << '\n';
    out << WrapText(report.str(), columns);
}

}  // namespace sim
