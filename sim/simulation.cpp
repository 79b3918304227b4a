// The simulated host: lends the blocks, calls the entry points per cycle, watches the bit-stream pin.
#include "simulation.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>
#include <mutex>
#include <ostream>
#include <sstream>
#include <vector>

#include "core/spindle.h"
#include "mach3/assignments/signal_names.h"
#include "mach3/settings.h"
#include "host_os.h"
#include "profile_setup.h"
#include "platform/xml_document.h"

namespace sim {
namespace {

constexpr int kStreamPort = 1;
constexpr int kStreamPin = 16;
constexpr int kSpindleSignal = kExpandedOutputs;  // index of the spindle in the latency tables

// Warnings and dialog displays arrive through C callbacks; they are queued and written into the
// account at the next point where the simulator knows the cycle.
class HookSink {
public:
    static void OnWarning(const char* caption, const char* text, void* context) {
        auto* self = static_cast<HookSink*>(context);
        std::lock_guard lock(self->mutex_);
        self->warnings_.push_back("\"" + std::string(caption ? caption : "") + "\":\n" + (text ? text : ""));
        self->pending_.push_back("warning " + self->warnings_.back());
    }
    static void OnDialog(const char* displays, void* context) {
        auto* self = static_cast<HookSink*>(context);
        std::lock_guard lock(self->mutex_);
        self->lastDialog_ = displays ? displays : "";
        self->pending_.push_back("dialog shows:\n" + self->lastDialog_);
    }
    std::vector<std::string> Take() {
        std::lock_guard lock(mutex_);
        return std::exchange(pending_, {});
    }
    std::vector<std::string> Warnings() {
        std::lock_guard lock(mutex_);
        return warnings_;
    }
    std::string LastDialog() {
        std::lock_guard lock(mutex_);
        return lastDialog_;
    }

private:
    HostLock mutex_;
    std::vector<std::string> pending_;
    std::vector<std::string> warnings_;
    std::string lastDialog_;
};

class Account {
public:
    explicit Account(std::ostream& out) : out_(out) {}
    void Line(int64_t cycle, const std::string& text) { Line(Label(cycle), text); }
    void Line(const std::string& label, const std::string& text) {
        std::istringstream lines(text);
        std::string line;
        bool first = true;
        while (std::getline(lines, line)) {
            out_ << std::setw(11) << (first ? label : "") << "  " << (first ? "" : "    ") << line << '\n';
            first = false;
        }
        if (!first) return;
        if (!label.empty()) out_ << std::setw(11) << label;  // an empty line carries no padding
        out_ << '\n';
    }
    static std::string Label(int64_t cycle) { return "cycle " + std::to_string(cycle); }

private:
    std::ostream& out_;
};

class VcdWriter {
public:
    explicit VcdWriter(const std::string& path) {
        CheckOutputPath(path);
        out_.open(FilePath(path), std::ios::binary);
        if (!out_) throw std::runtime_error("cannot write " + path);
        // One cycle is one microsecond, so a reader sees one sample per cycle at 1 MHz.
        out_ << "$version trelvo-sim $end\n$timescale 1 us $end\n$scope module host $end\n"
             << "$var wire 1 ! bitstream $end\n$var wire 1 \" estop $end\n"
             << "$var wire 1 # chargepump_enabled $end\n$upscope $end\n$enddefinitions $end\n";
    }
    void Sample(int64_t cycle, int bitstream, int estop, int chargePump) {
        const std::array<int, 3> now{bitstream, estop, chargePump};
        static const char ids[3] = {'!', '"', '#'};
        bool stamped = false;
        for (int i = 0; i < 3; ++i) {
            if (first_ || now[i] != last_[i]) {
                if (!stamped) out_ << '#' << cycle << '\n';
                stamped = true;
                out_ << now[i] << ids[i] << '\n';
            }
        }
        last_ = now;
        first_ = false;
    }
    void Finish(int64_t cycles) { out_ << '#' << cycles << '\n'; }

private:
    std::ofstream out_;
    std::array<int, 3> last_{};
    bool first_ = true;
};

struct LatencyStats {
    int changes = 0;
    int shown = 0;
    int superseded = 0;  // changed again before the board showed it
    int64_t max = 0;
    int64_t total = 0;
};

struct PendingChange {
    bool active = false;
    int64_t since = 0;
    int target = 0;
};

void ApplyOutputWiring(HostEngineBlock& engine, const OutputWiring& w) {
    HostOutputSignal& out = engine.outputs[w.index];
    out.enabled = w.enabled;
    out.port = static_cast<int8_t>(w.port);
    out.pin = static_cast<int8_t>(w.pin);
    out.activeLow = w.activeLow;
}

void ApplyWiring(HostEngineBlock& engine, MotorPinTable& motorPins, const Wiring& wiring) {
    if (const auto* o = std::get_if<OutputWiring>(&wiring)) {
        ApplyOutputWiring(engine, *o);
    } else if (const auto* i = std::get_if<InputWiring>(&wiring)) {
        HostInputSignal& in = engine.inputs[i->index];
        in.enabled = i->enabled;
        in.port = static_cast<int8_t>(i->port);
        in.pin = static_cast<int8_t>(i->pin);
        in.activeLow = i->activeLow;
    } else if (const auto* e = std::get_if<EncoderWiring>(&wiring)) {
        HostEncoder& enc = engine.encoders[e->index];
        enc.enabled = e->enabled;
        enc.aPort = e->aPort;
        enc.aPin = e->aPin;
        enc.bPort = e->bPort;
        enc.bPin = e->bPin;
    } else if (const auto* m = std::get_if<MotorWiring>(&wiring)) {
        HostMotor& motor = engine.motors[m->index];
        motor.enabled = m->enabled;
        motor.stepPort = static_cast<int8_t>(m->stepPort);
        motor.dirPort = static_cast<int8_t>(m->dirPort);
        motorPins[m->index] = MotorPins{m->stepPin, m->dirPin};
    }
}

std::string Hex(int value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
    return text;
}

std::string DescribeOutput(const OutputWiring& w) {
    return "output " + std::to_string(w.index) + " port " + std::to_string(w.port) + " pin " + std::to_string(w.pin) +
           (w.activeLow ? " active-low" : "") + (w.enabled ? "" : " disabled");
}

// Applies one timeline event to the host and says what happened.
std::string ApplyEvent(const Event& e, const PluginModule& module, HostEngineBlock& engine, HostStateBlock& state) {
    switch (e.kind) {
    case EventKind::EStop:
        engine.estop = e.on;
        return std::string("host: estop ") + (e.on ? "on" : "off");
    case EventKind::Output:
        engine.outputs[e.index].state = e.on;
        return "host: output " + std::to_string(e.index) + (e.on ? " on" : " off");
    case EventKind::Spindle:
        state.m_SpindleOn = e.on;
        state.SpindleFM.SpindleOn = e.on;
        return std::string("host: spindle ") + (e.on ? "on" : "off");
    case EventKind::SpindleDir:
        state.SpinDir = e.on ? 1 : 0;
        return std::string("host: spindle-dir ") + (e.on ? "cw" : "ccw");
    case EventKind::SpindleRatio: {
        state.SpindleFM.ratio = e.ratio;
        std::ostringstream text;
        text << "host: spindle-ratio " << e.ratio;
        if (e.ratio < 0.0 || e.ratio > 1.0)
            text << " (outside 0 to 1: the plug-in sends " << (e.ratio > 1.0 ? "1, full speed" : "0, stopped") << ")";
        return text.str();
    }
    case EventKind::Notify:
        module.notify(e.code);
        return "host: Notify(" + std::to_string(e.code) + ")";
    case EventKind::Config:
        if (module.setDialogScript) {
            module.setDialogScript(e.actions.c_str());
            module.config();
            return "host: Config() with " + e.actions;
        }
        if (DriveConfigDialog(module.config, e.actions)) return "host: Config() with " + e.actions + " on its window";
        module.config();
        return "host: Config() (the module takes no dialog actions; \"" + e.actions + "\" not given)";
    case EventKind::Rewire:
        ApplyOutputWiring(engine, e.rewire);
        return "host: rewire " + DescribeOutput(e.rewire);
    }
    return "";
}

// Cycle spans of one host condition (EStop, spindle off), for the notes on the silence lines.
class Spans {
public:
    void Observe(int64_t cycle, bool active) {
        if (active && !open_) spans_.push_back({cycle, -1});
        if (!active && open_) spans_.back().second = cycle;
        open_ = active;
    }
    // The spans that overlap [from, to), as "from cycle A to B" or "from cycle A on".
    std::string Overlapping(int64_t from, int64_t to) const {
        std::string text;
        for (const auto& [start, end] : spans_) {
            if (start >= to || (end >= 0 && end <= from)) continue;
            text += (text.empty() ? "" : ", ") + std::string("from cycle ") + std::to_string(start) +
                    (end >= 0 ? " to " + std::to_string(end) : std::string(" on"));
        }
        return text;
    }

private:
    std::vector<std::pair<int64_t, int64_t>> spans_;  // end -1 while still going
    bool open_ = false;
};

// The host's wiring on ports 1, 8 and 9, one line per enabled output, in port and pin order.
std::vector<std::string> WiringLines(const HostEngineBlock& engine) {
    std::vector<std::string> lines;
    for (int port : {1, 8, 9}) {
        for (int pin = 0; pin < 128; ++pin) {
            if (port == 1 && pin == 16 && DrivingOutput(engine, port, pin) < 0)
                lines.push_back("port 1 pin 16: nothing (the board hears no frames)");
            for (int i = 0; i < HOST_OUTPUT_COUNT; ++i) {
                const HostOutputSignal& out = engine.outputs[i];
                if (!out.enabled || out.port != port || out.pin != pin) continue;
                std::string role;
                const int expanded = ExpandedOutputIndex(port, pin);
                if (expanded >= 0) {
                    role = LatchName(expanded);
                } else if (port == 1 && pin == 16) {
                    role = "bit stream";
                } else if (port == 1 && pin == 17) {
                    role = "the charge pump's pin";
                } else if (port != 1) {
                    role = "no such pin on the board";
                }
                if (DrivingOutput(engine, port, pin) != i) role += (role.empty() ? "" : ", ") + std::string("overridden by a higher output");
                lines.push_back("port " + std::to_string(port) + " pin " + std::to_string(pin) + ": " + OutputLabel(i) +
                                (out.activeLow ? " active-low" : "") + (role.empty() ? "" : " (" + role + ")"));
            }
        }
    }
    return lines;
}

}  // namespace

std::optional<int> PinLevel(const HostEngineBlock& engine, int port, int pin) {
    const int i = DrivingOutput(engine, port, pin);
    if (i < 0) return std::nullopt;
    return (engine.outputs[i].state ? 1 : 0) ^ (engine.outputs[i].activeLow ? 1 : 0);
}

int DrivingOutput(const HostEngineBlock& engine, int port, int pin) {
    for (int i = HOST_OUTPUT_COUNT - 1; i >= 0; --i) {
        const HostOutputSignal& out = engine.outputs[i];
        if (out.enabled && out.port == port && out.pin == pin) return i;
    }
    return -1;
}

int ExpectedSpindleWord(const HostStateBlock& state) {
    // The plug-in's own conversion, so the check waits for the duty the board is sent.
    int word = board::DutyFromRatio(state.SpindleFM.ratio);
    if (!state.m_SpindleOn) word += 0x400;
    if (state.SpinDir != 1) word += 0x800;
    return word & 0xFFF;
}

std::string OutputLabel(int index) { return "output " + std::to_string(index) + " \"" + OutputSignalName(index) + "\""; }

// A run reads its copy of the profile several times; each parse of a large one costs seconds (under
// wine, tens of them). The copy's map is kept for the run, and given again while its bytes are unchanged.
struct RememberedMaps {
    RememberedMaps() { platform::RememberXmlMaps(true); }
    ~RememberedMaps() { platform::RememberXmlMaps(false); }
    RememberedMaps(const RememberedMaps&) = delete;
    RememberedMaps& operator=(const RememberedMaps&) = delete;
};

struct HostRun::Impl {
    Impl(const PluginModule& m, const RunOptions& o, std::ostream& out)
        : module(m), options(o), account(out), profile(o.profilePath) {}

    RememberedMaps maps;
    const PluginModule& module;
    RunOptions options;
    Account account;
    ProfileCopy profile;
    std::ofstream wire, frames, log;
    std::optional<VcdWriter> vcd;

    // The host's memory, alive from InitControl to StopPlug.
    HostEngineBlock engine{};
    HostStateBlock state{};
    MotorPinTable motorPins{};
    mach3::machine::Machine machine;
    HookSink hooks;

    Receiver receiver;
    Board board;
    int64_t cycle = 0;
    std::array<int, 8> goodFrames{}, lastStart{}, longestGap{}, longestGapFrom{};
    std::array<int, kExpandedOutputs + 1> expected{};
    std::array<PendingChange, kExpandedOutputs + 1> pending{};
    LatencyStats outputLatency, spindleLatency;
    int chargePump = 0;
    Spans estopSpans, spindleOffSpans;

    void FlushHooks(const std::string& label) {
        for (const std::string& text : hooks.Take()) account.Line(label, text);
    }

    // Which host output, or the spindle, a latch change on the board comes from.
    std::string Cause(int latch) const {
        if (latch == kExpandedOutputs) {
            std::ostringstream text;
            text << "from the host spindle (" << (state.m_SpindleOn ? "on" : "off") << ", ratio "
                 << state.SpindleFM.ratio << ", " << (state.SpinDir == 1 ? "cw" : "ccw") << ")";
            return text.str();
        }
        const int port = ExpandedPort(latch), pin = ExpandedPin(latch);
        const int i = DrivingOutput(engine, port, pin);
        if (i < 0) return "no host output on port " + std::to_string(port) + " pin " + std::to_string(pin);
        const HostOutputSignal& out = engine.outputs[i];
        return "from " + OutputLabel(i) + " (" + (out.activeLow ? "active-low, " : "") + (out.state ? "on" : "off") + ")";
    }
};

HostRun::HostRun(const Scenario& setup, const PluginModule& module, const RunOptions& options, std::ostream& out)
    : impl_(std::make_unique<Impl>(module, options, out)) {
    Impl& r = *impl_;
    // Checked again when it is written, at the end.
    if (!options.profileOutPath.empty()) CheckOutputPath(options.profileOutPath);
    if (!options.wirePath.empty()) {
        CheckOutputPath(options.wirePath);
        r.wire.open(FilePath(options.wirePath), std::ios::binary);  // "\n" on every system
        if (!r.wire) throw std::runtime_error("cannot write " + options.wirePath);
    }
    if (!options.framesPath.empty()) {
        CheckOutputPath(options.framesPath);
        r.frames.open(FilePath(options.framesPath), std::ios::binary);
        if (!r.frames) throw std::runtime_error("cannot write " + options.framesPath);
        r.frames << "cycle,word,channel,parity_ok,stop_ok\n";
    }
    if (!options.vcdPath.empty()) r.vcd.emplace(options.vcdPath);
    if (!options.logPath.empty()) {
        CheckOutputPath(options.logPath);
        r.log.open(FilePath(options.logPath), std::ios::binary);
        if (!r.log) throw std::runtime_error("cannot write " + options.logPath);
    }

    // An empty file is what the plug-in reads as a profile with nothing in it; anything else must be one.
    const bool fromProfile = !options.profilePath.empty() && !r.profile.Empty();
    if (fromProfile) {
        r.machine = LoadMachine(r.profile.Path(), options.profilePath);
        mach3::machine::FillEngine(r.machine, r.engine, r.motorPins);
    }
    r.profile.WriteSettings(setup.settings);
    const std::string asGiven = ReadUserFile("profile", r.profile.Path());
    r.profile.RedirectDebugLog(!options.logPath.empty());
    const std::string redirected = ReadUserFile("profile", r.profile.Path());
    for (const Wiring& w : setup.wiring) ApplyWiring(r.engine, r.motorPins, w);
    r.engine.estop = 1;
    r.state.SpinDir = 1;
    r.state.SpindleFM.ratio = 0.0;

    if (module.setWarningHook) module.setWarningHook(&HookSink::OnWarning, &r.hooks);
    if (module.setDialogHook) module.setDialogHook(&HookSink::OnDialog, &r.hooks);

    Account& account = r.account;
    account.Line("", "module " + module.path);
    if (options.profilePath.empty()) {
        account.Line("", "profile " + r.profile.Path() + " (temporary)");
    } else {
        account.Line("", "profile " + options.profilePath + " (read only; the plug-in runs on a copy in " +
                             r.profile.Folder() + ")" +
                             (r.profile.Empty() ? "; the file is empty, so the plug-in reads no settings and the "
                                                  "host no wiring from it"
                                                : ""));
    }
    const std::string kept = options.logPath.empty() ? ", which goes with the temporary folder (--log FILE keeps it)"
                                                     : ", copied to " + options.logPath + " after the run";
    if (!r.profile.NamedDebugLog().empty()) {
        const bool bySetting = std::any_of(setup.settings.begin(), setup.settings.end(),
                                           [](const auto& s) { return s.first == "DebugLogFile"; });
        account.Line("", "debug log: DebugLogFile names " + r.profile.NamedDebugLog() +
                             (bySetting ? " (a setting line of the scenario)" : " (the profile)") +
                             "; the plug-in writes its log to " + r.profile.DebugLogPath() + " instead" + kept);
    } else if (!options.logPath.empty()) {
        account.Line("", "debug log: the plug-in writes its log to " + r.profile.DebugLogPath() + kept);
    }
    const bool fromScenario = !setup.wiring.empty();
    account.Line("", std::string("wiring on ports 1, 8 and 9, from ") +
                         (fromProfile ? (fromScenario ? "the profile's Preferences and the scenario" : "the profile's Preferences")
                                      : (fromScenario ? "the scenario" : "nowhere (no Preferences, no wiring lines)")) +
                         ":");
    for (const std::string& line : WiringLines(r.engine)) account.Line("", "  " + line);

    const char* name = module.setProName(HostPath(r.profile.Path()).c_str());
    account.Line("", std::string("SetProName returned \"") + (name ? name : "(null)") + "\"");
    // The plug-in reads the log's name at start only: from here on the copy holds the user's
    // settings again, unless the start itself wrote to it.
    if (redirected != asGiven && ReadUserFile("profile", r.profile.Path()) == redirected) {
        std::ofstream back(FilePath(r.profile.Path()), std::ios::binary | std::ios::trunc);
        back.write(asGiven.data(), static_cast<std::streamsize>(asGiven.size()));
        if (!back.flush()) throw std::runtime_error("cannot put the settings back into the copy " + r.profile.Path());
    }
    r.FlushHooks("start");
    module.initControl(reinterpret_cast<intptr_t>(&r.engine), 0, reinterpret_cast<intptr_t>(&r.state), 0);
    r.FlushHooks("start");
    module.postInitControl();
    r.FlushHooks("start");

    r.lastStart.fill(-1);
    // The board's power-up state is the baseline: anything else has to be sent.
    const BoardLatches powerUp;
    for (int i = 0; i < kExpandedOutputs; ++i) r.expected[i] = powerUp.outputs[i];
    r.expected[kSpindleSignal] = powerUp.SpindleWord();
    r.chargePump = r.engine.outputs[kChargePumpOutput].enabled ? 1 : 0;
}

HostRun::~HostRun() {
    // The hooks point into this run.
    if (impl_->module.setWarningHook) impl_->module.setWarningHook(nullptr, nullptr);
    if (impl_->module.setDialogHook) impl_->module.setDialogHook(nullptr, nullptr);
}

void HostRun::Apply(const Event& event) {
    Impl& r = *impl_;
    r.account.Line(r.cycle, ApplyEvent(event, r.module, r.engine, r.state));
    r.FlushHooks(Account::Label(r.cycle));
}

void HostRun::Cycle() {
    if (const int interrupt = PendingInterrupt()) throw Interrupted{interrupt};
    Impl& r = *impl_;
    const int64_t cycle = r.cycle++;
    r.estopSpans.Observe(cycle, r.engine.estop != 0);
    r.spindleOffSpans.Observe(cycle, !r.state.m_SpindleOn);
    r.module.update();
    r.FlushHooks(Account::Label(cycle));

    const std::optional<int> level = PinLevel(r.engine, kStreamPort, kStreamPin);
    if (r.wire.is_open()) r.wire << (level ? static_cast<char>('0' + *level) : 'z');
    const LineLevel line = !level ? LineLevel::Undriven : (*level ? LineLevel::High : LineLevel::Low);
    const int seen = line == LineLevel::Low ? 0 : 1;

    const int cp = r.engine.outputs[kChargePumpOutput].enabled ? 1 : 0;
    if (cp != r.chargePump) r.account.Line(cycle, cp ? "charge pump enabled" : "charge pump disabled");
    r.chargePump = cp;
    if (r.vcd) r.vcd->Sample(cycle, seen, r.engine.estop ? 1 : 0, cp);

    if (const std::optional<ReceivedFrame> frame = r.receiver.Sample(cycle, line)) {
        const int channel = (frame->word >> 4) & 7;
        if (r.frames.is_open())
            r.frames << frame->startCycle << ',' << Hex(frame->word, 2) << ',' << ChannelName(channel) << ','
                     << frame->parityOk << ',' << frame->stopOk << '\n';
        const BoardLatches before = r.board.Latches();
        r.board.Take(*frame);
        if (!frame->stopOk) {
            r.account.Line(cycle, "board: framing error, frame from cycle " + std::to_string(frame->startCycle) +
                                      " (bits " + Hex(frame->word, 2) + ") dropped");
        } else if (!frame->parityOk) {
            r.account.Line(cycle, "board: parity error, word " + Hex(frame->word, 2) + " from cycle " +
                                      std::to_string(frame->startCycle) + " dropped");
        } else {
            for (const LatchChange& change : DescribeLatchChanges(before, r.board.Latches()))
                r.account.Line(cycle, "board: " + change.text + ", " + r.Cause(change.latch));
            ++r.goodFrames[channel];
            const int start = static_cast<int>(frame->startCycle);
            if (r.lastStart[channel] >= 0 && start - r.lastStart[channel] > r.longestGap[channel]) {
                r.longestGap[channel] = start - r.lastStart[channel];
                r.longestGapFrom[channel] = r.lastStart[channel];
            }
            r.lastStart[channel] = start;
        }
    }

    // Latency: from the cycle a host change shows on an expanded pin (or in the spindle word)
    // to the cycle the board's latch holds it.
    std::array<int, kExpandedOutputs + 1> now{};
    for (int i = 0; i < kExpandedOutputs; ++i) now[i] = PinLevel(r.engine, ExpandedPort(i), ExpandedPin(i)).value_or(0);
    now[kSpindleSignal] = ExpectedSpindleWord(r.state);
    const BoardLatches& latches = r.board.Latches();
    for (int i = 0; i <= kExpandedOutputs; ++i) {
        LatencyStats& stats = i == kSpindleSignal ? r.spindleLatency : r.outputLatency;
        if (now[i] != r.expected[i]) {
            ++stats.changes;
            if (r.pending[i].active) ++stats.superseded;
            r.pending[i] = PendingChange{true, cycle, now[i]};
            r.expected[i] = now[i];
        }
        const int latched = i == kSpindleSignal ? latches.SpindleWord() : latches.outputs[i];
        if (r.pending[i].active && latched == r.pending[i].target) {
            const int64_t latency = cycle - r.pending[i].since;
            ++stats.shown;
            stats.total += latency;
            stats.max = std::max(stats.max, latency);
            r.pending[i].active = false;
        }
    }
}

void HostRun::Finish() {
    Impl& r = *impl_;
    if (r.wire.is_open()) r.wire << '\n';
    if (r.vcd) r.vcd->Finish(r.cycle);
    r.module.stopPlug();
    r.FlushHooks("end");
    if (!r.options.profileOutPath.empty()) r.profile.SaveAs(r.options.profileOutPath);
    if (r.log.is_open()) {
        std::ifstream written(FilePath(r.profile.DebugLogPath()), std::ios::binary);
        if (!written)
            throw std::runtime_error("the plug-in wrote no debug log (" + r.profile.DebugLogPath() + "), so --log " +
                                     r.options.logPath + " has nothing to copy");
        if (written.peek() != std::ifstream::traits_type::eof()) r.log << written.rdbuf();
        if (!r.log.flush()) throw std::runtime_error("cannot write " + r.options.logPath);
    }
}

void HostRun::Summary() {
    Impl& r = *impl_;
    Account& account = r.account;
    account.Line("", "");
    account.Line("summary", std::to_string(r.cycle) + " cycles");
    std::string counts;
    for (int ch = 0; ch < 8; ++ch)
        if (r.goodFrames[ch]) counts += (counts.empty() ? "" : ", ") + std::string(ChannelName(ch)) + " " + std::to_string(r.goodFrames[ch]);
    std::string why;
    if (counts.empty() && DrivingOutput(r.engine, kStreamPort, kStreamPin) < 0) {
        why = " (no host output drives port 1 pin 16)";
    } else if (counts.empty() && r.profile.ReadSetting("ExpandedMode", IO_EXPANDED_INPUT) == IO_EXPANDED_INPUT) {
        why = " (ExpandedMode 2, Expanded Input: the plug-in sends nothing)";
    }
    account.Line("", "frames: " + (counts.empty() ? std::string("none") : counts) + why);
    account.Line("", "framing errors " + std::to_string(r.board.Counts().framingErrors) + ", parity errors " +
                         std::to_string(r.board.Counts().parityErrors));
    account.Line("", "warnings shown " + std::to_string(r.hooks.Warnings().size()) +
                         (r.module.setWarningHook ? "" : " (the module has no warning hook)"));
    auto latencyLine = [&](const char* what, const LatencyStats& s) {
        std::ostringstream text;
        text << "latency, " << what << ": " << s.changes << " changes";
        if (s.shown) {
            text << ", shown " << s.shown << ", max " << s.max << ", mean " << std::fixed << std::setprecision(1)
                 << static_cast<double>(s.total) / s.shown << " cycles";
        }
        const int never = s.changes - s.shown - s.superseded;
        if (never) text << ", " << never << " never shown";
        if (s.superseded) text << ", " << s.superseded << " overtaken by the next change";
        account.Line("", text.str());
    };
    account.Line("", "latency: update cycles from the cycle the host changed an output to the cycle the board latched "
                     "the frame that carries it");
    latencyLine("expanded outputs", r.outputLatency);
    latencyLine("spindle", r.spindleLatency);
    for (int ch = 0; ch < 8; ++ch) {
        if (r.lastStart[ch] < 0) continue;
        int gap = r.longestGap[ch], from = r.longestGapFrom[ch];
        std::string tail;
        if (r.cycle - r.lastStart[ch] > gap) {
            gap = static_cast<int>(r.cycle - r.lastStart[ch]);
            from = r.lastStart[ch];
            tail = " (to the end of the run)";
        }
        // The transmitter is silent in EStop; with the spindle off only PWM Hi is refreshed.
        std::string notes;
        const std::string estop = r.estopSpans.Overlapping(from, from + gap);
        if (!estop.empty()) notes += "; spans the EStop " + estop;
        if (ch == 2 || ch == 3) {
            const std::string off = r.spindleOffSpans.Overlapping(from, from + gap);
            if (!off.empty()) notes += "; spans the spindle being off " + off + ", when only PWM Hi is refreshed";
        }
        account.Line("", "longest without a frame, " + std::string(ChannelName(ch)) + ": " + std::to_string(gap) +
                             " cycles from cycle " + std::to_string(from) + tail + notes);
    }
}

int64_t HostRun::Now() const { return impl_->cycle; }
HostEngineBlock& HostRun::Engine() { return impl_->engine; }
const ProfileCopy& HostRun::Profile() const { return impl_->profile; }
const MotorPinTable& HostRun::MotorPinsOf() const { return impl_->motorPins; }
const mach3::machine::Machine& HostRun::Machine() const { return impl_->machine; }
const HostStateBlock& HostRun::State() const { return impl_->state; }
const BoardLatches& HostRun::Latches() const { return impl_->board.Latches(); }
int HostRun::FramesReceived() const {
    int total = 0;
    for (int n : impl_->goodFrames) total += n;
    return total;
}
std::vector<std::string> HostRun::Warnings() const { return impl_->hooks.Warnings(); }
std::string HostRun::LastDialog() const { return impl_->hooks.LastDialog(); }
std::vector<int> HostRun::ReadSettings(const std::vector<std::pair<std::string, int>>& keys) const {
    return impl_->profile.ReadSettings(keys);
}

int HostRun::ReadSetting(const std::string& key, int defaultValue) const {
    return impl_->profile.ReadSetting(key, defaultValue);
}

void RunScenario(const Scenario& scenario, const PluginModule& module, const RunOptions& options, std::ostream& out) {
    HostRun run(scenario, module, options, out);
    size_t next = 0;
    for (int64_t cycle = 0; cycle < scenario.cycles; ++cycle) {
        while (next < scenario.events.size() && scenario.events[next].cycle == cycle) run.Apply(scenario.events[next++]);
        run.Cycle();
    }
    run.Finish();
    Account account(out);
    for (size_t i = next; i < scenario.events.size(); ++i)
        account.Line("", "not applied (after the last cycle): the event of scenario line " +
                             std::to_string(scenario.events[i].line));
    run.Summary();
}

}  // namespace sim
