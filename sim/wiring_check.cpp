// The wiring check: a run the simulator makes itself from the profile, judged by the board's latches.
#include "wiring_check.h"

#include <functional>
#include <map>
#include <ostream>
#include <sstream>
#include <vector>

#include "assignments/signal_names.h"
#include "board.h"
#include "host/settings.h"
#include "simulation.h"

namespace sim {
namespace {

// Far beyond the board's worst latency at any sane IntraFrameDelay; a change not latched by then
// never will be.
constexpr int64_t kPatience = 2000;

struct Step {
    bool followed = false;
    int64_t cycles = 0;
};

// One host output wired to a board output, and what the board did when it was switched.
struct Switched {
    int latch = 0;
    int output = 0;
    bool activeLow = false;
    bool drives = true;  // the pin follows this output (it has the highest index there)
    Step on, off;
    bool Followed() const { return on.followed && off.followed; }
};

struct SpindleStep {
    std::string what;
    Step step;
};

std::string PortPin(int port, int pin) { return "port " + std::to_string(port) + " pin " + std::to_string(pin); }

class Check {
public:
    explicit Check(HostRun& run) : run_(run) {}

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

    // Runs cycles until `done` holds after one, or the patience runs out.
    Step RunUntil(const std::function<bool()>& done) {
        const int64_t from = run_.Now();
        while (run_.Now() - from < kPatience) {
            run_.Cycle();
            if (done()) return Step{true, run_.Now() - 1 - from};
        }
        return Step{false, kPatience};
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

    // Switches the output on, then off; each time the board's latch must move to the new pin level.
    Step Switch(Switched& s, bool on) {
        const uint8_t target = (on ? 1 : 0) ^ (s.activeLow ? 1 : 0);
        const bool already = run_.Latches().outputs[s.latch] == target;
        Host(EventKind::Output, on, s.output);
        Step step = RunUntil([&] { return run_.Latches().outputs[s.latch] == target; });
        if (already) step.followed = false;
        return step;
    }

    Step Spindle(const std::function<void()>& change) {
        change();
        return RunUntil([&] { return run_.Latches().SpindleWord() == ExpectedSpindleWord(run_.State()); });
    }

private:
    HostRun& run_;
};

std::string Describe(const Switched& s) {
    if (s.Followed()) {
        const char* onLevel = s.activeLow ? "off" : "on";
        const char* offLevel = s.activeLow ? "on" : "off";
        return std::string("followed: switched on, latched ") + onLevel + " in " + std::to_string(s.on.cycles) +
               " cycles; switched off, latched " + offLevel + " in " + std::to_string(s.off.cycles) + " cycles";
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

}  // namespace

bool RunWiringCheck(const Scenario& builtin, const PluginModule& module, const std::string& profilePath,
                    std::ostream& report) {
    Scenario setup;
    if (profilePath.empty()) {
        setup.wiring = builtin.wiring;
        setup.settings = builtin.settings;
    }
    RunOptions options;
    options.profilePath = profilePath;
    std::ostringstream account;  // the cycle-by-cycle account is not part of the report
    HostRun run(setup, module, options, account);
    Check check(run);
    HostEngineBlock& engine = run.Engine();

    // The settings as the plug-in reads them; a key that is missing reads as both defaults.
    const int mode = run.ReadSetting("ExpandedMode", IO_EXPANDED_INPUT);
    const bool modeMissing = mode == IO_EXPANDED_INPUT && run.ReadSetting("ExpandedMode", -1) == -1;
    const bool spindleEnabled = run.ReadSetting("EnableSpindle", 0) != 0;

    // What the host wires to the board, taken before the plug-in forces its own pins.
    std::vector<Switched> switched;
    for (int latch = 0; latch < kExpandedOutputs; ++latch) {
        const int port = ExpandedPort(latch), pin = ExpandedPin(latch);
        for (int i = 0; i < HOST_OUTPUT_COUNT; ++i) {
            const HostOutputSignal& out = engine.outputs[i];
            if (out.enabled && out.port == port && out.pin == pin)
                switched.push_back({latch, i, out.activeLow != 0, DrivingOutput(engine, port, pin) == i, {}, {}});
        }
    }
    const int streamOutput = DrivingOutput(engine, 1, 16);
    const bool streamActiveLow = streamOutput >= 0 && engine.outputs[streamOutput].activeLow;

    std::vector<std::string> problems;
    std::map<std::pair<int, int>, std::vector<int>> byPin;
    for (int i = 0; i < HOST_OUTPUT_COUNT; ++i) {
        const HostOutputSignal& out = engine.outputs[i];
        if (!out.enabled) continue;
        if (out.port == 1 || out.port == 8 || out.port == 9) byPin[{out.port, out.pin}].push_back(i);
        if ((out.port == 8 || out.port == 9) && ExpandedOutputIndex(out.port, out.pin) < 0)
            problems.push_back(OutputLabel(i) + " is on " + PortPin(out.port, out.pin) +
                               ", which the board does not have (ports 8 and 9 have pins 1, 14, 16 and 17)");
        if (i == kChargePumpOutput && !(out.port == 1 && out.pin == 17))
            problems.push_back(OutputLabel(i) + " is on " + PortPin(out.port, out.pin) +
                               "; the plug-in moves it to port 1 pin 17 on every cycle");
        if (i != kChargePumpOutput && out.port == 1 && out.pin == 17)
            problems.push_back(OutputLabel(i) + " is on port 1 pin 17, where the plug-in keeps the charge pump");
    }
    for (const auto& [where, outputs] : byPin) {
        if (outputs.size() < 2) continue;
        std::string names;
        for (size_t k = 0; k < outputs.size(); ++k)
            names += (k == 0 ? "" : k + 1 == outputs.size() ? " and " : ", ") + OutputLabel(outputs[k]);
        problems.push_back(names + " share " + PortPin(where.first, where.second) + "; the pin follows " +
                           OutputLabel(outputs.back()) + " only");
    }
    for (int i = 0; i < HOST_INPUT_COUNT; ++i) {
        const HostInputSignal& in = engine.inputs[i];
        if (!in.enabled) continue;
        if (i == kEStopInput && !(in.port == 1 && in.pin == 10))
            problems.push_back("input 25 \"EStop\" is on " + PortPin(in.port, in.pin) +
                               "; the plug-in moves it to port 1 pin 10 on every cycle");
        if (i != kEStopInput && in.port == 1 && in.pin == 10)
            problems.push_back("input " + std::to_string(i) + " \"" + InputSignalNames[i] +
                               "\" is on port 1 pin 10, where the plug-in keeps the EStop input");
    }
    if (mode == IO_EXPANDED_INPUT)
        problems.push_back(std::string("ExpandedMode is 2 (Expanded Input)") +
                           (modeMissing ? ", the plug-in's default, as the profile sets none" : "") +
                           ": the plug-in sends nothing to the board; choose Expanded I/O or Expanded Output "
                           "in the plug-in's configuration dialog");
    else if (mode < 0 || mode > 2)
        problems.push_back("ExpandedMode " + std::to_string(mode) +
                           " is none of the dialog's modes; the plug-in sends as in Expanded I/O");

    // The run: the dialog once, as a user opens it, then out of EStop, then each output on its own.
    const bool dialogText = module.setDialogHook != nullptr;
    if (dialogText) check.Host(EventKind::Config, false, 0, 0.0, "cancel");
    check.RunUntil([&] { return run.Now() >= 10; });
    check.Host(EventKind::EStop, false);
    check.RunUntil([&] { return check.Settled(); });
    for (Switched& s : switched) {
        s.on = check.Switch(s, true);
        s.off = check.Switch(s, false);
    }
    std::vector<SpindleStep> spindle;
    const bool spindleChecked = spindleEnabled && mode != IO_EXPANDED_INPUT;
    if (spindleChecked) {
        spindle.push_back({"on at ratio 0.5", check.Spindle([&] {
                               check.Host(EventKind::SpindleRatio, false, 0, 0.5);
                               check.Host(EventKind::Spindle, true);
                           })});
        spindle.push_back({"ratio 0.25", check.Spindle([&] { check.Host(EventKind::SpindleRatio, false, 0, 0.25); })});
        spindle.push_back({"counter-clockwise", check.Spindle([&] { check.Host(EventKind::SpindleDir, false); })});
        spindle.push_back({"off", check.Spindle([&] { check.Host(EventKind::Spindle, false); })});
    }
    const int frames = run.FramesReceived();
    run.Finish();
    for (const std::string& warning : run.Warnings()) problems.push_back("the plug-in showed the warning box " + warning);

    // The report.
    report << "TRELVO-40/41 wiring check of " << (profilePath.empty() ? "the built-in machine" : profilePath) << '\n';
    report << "settings: ExpandedMode " << mode << (modeMissing ? " (not set; the plug-in's default)" : "")
           << ", EnableSpindle " << (spindleEnabled ? 1 : 0) << '\n';
    report << '\n';
    if (streamOutput < 0) {
        report << "bit stream: nothing on port 1 pin 16, so the board hears nothing. In the host's Config > Ports "
                  "and Pins > Output Signals, enable one output (Output #7, say) on port 1, pin 16, not active-low.\n";
    } else {
        report << "bit stream: " << OutputLabel(streamOutput) << " on port 1 pin 16, "
               << (streamActiveLow ? "active-low in the host (the plug-in clears that flag when it leaves EStop, so "
                                     "the line idles high as the board needs)"
                                   : "not active-low")
               << "; the board received " << frames << " frames\n";
    }
    report << '\n' << "board outputs:\n";
    int followed = 0;
    std::string notFollowed;
    for (int latch = 0; latch < kExpandedOutputs; ++latch) {
        std::string name = LatchName(latch);
        name.resize(7, ' ');
        bool any = false;
        for (const Switched& s : switched) {
            if (s.latch != latch) continue;
            report << "  " << (any ? std::string(7, ' ') : name) << OutputLabel(s.output)
                   << (s.activeLow ? ", active-low" : "") << ": " << Describe(s) << '\n';
            any = true;
            if (s.Followed()) {
                ++followed;
            } else {
                notFollowed += (notFollowed.empty() ? "" : ", ") + OutputLabel(s.output) + " (" + LatchName(latch) + ")";
            }
        }
        if (!any) report << "  " << name << "not wired\n";
    }
    report << '\n' << "board inputs, as the dialog shows them:\n";
    if (!dialogText) report << "  (this module shows its dialog only on screen)\n";
    for (const std::string& row : InputRows(run.LastDialog())) report << "  " << row << '\n';
    report << '\n';
    bool spindleFollowed = true;
    if (!spindleChecked) {
        report << "spindle: not checked (" << (spindleEnabled ? "Expanded Input mode" : "EnableSpindle is 0") << ")\n";
    } else {
        report << "spindle:\n";
        for (const SpindleStep& s : spindle) {
            report << "  " << s.what << ": "
                   << (s.step.followed ? "latched in " + std::to_string(s.step.cycles) + " cycles" : "NOT latched") << '\n';
            spindleFollowed = spindleFollowed && s.step.followed;
        }
    }
    report << '\n' << "problems:\n";
    if (problems.empty()) report << "  none\n";
    for (const std::string& p : problems) {
        std::istringstream lines(p);
        std::string line;
        bool first = true;
        while (std::getline(lines, line)) {
            report << (first ? "  - " : "    ") << line << '\n';
            first = false;
        }
    }
    report << '\n';

    const int wired = static_cast<int>(switched.size());
    const std::string counted = std::to_string(followed) + " of " + std::to_string(wired) + " wired board outputs followed the host";
    std::string failure;
    if (frames == 0) {
        failure = streamOutput < 0 ? "nothing drives port 1 pin 16, so the board heard nothing"
                                   : "the board received no frames from " + OutputLabel(streamOutput) + " on port 1 pin 16";
    } else if (wired == 0 && !spindleChecked) {
        failure = "no host output is wired to a board output (ports 8 and 9, pins 1, 14, 16, 17)";
    }
    if (!notFollowed.empty()) failure += (failure.empty() ? "" : "; ") + counted + "; not followed: " + notFollowed;
    if (!spindleFollowed) failure += (failure.empty() ? "" : "; ") + std::string("the spindle did not follow the host");
    if (failure.empty()) {
        report << "check passed: " << counted << '\n';
        return true;
    }
    if (notFollowed.empty()) failure += " (" + counted + ")";
    report << "check failed: " << failure << '\n';
    return false;
}

}  // namespace sim
