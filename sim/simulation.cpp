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

#include "board.h"
#include "host_os.h"
#include "profile_setup.h"
#include "receiver.h"

namespace sim {
namespace {

constexpr int kStreamPort = 1;
constexpr int kStreamPin = 16;
constexpr int kChargePumpOutput = 13;
constexpr int kSpindleSignal = kExpandedOutputs;  // index of the spindle in the latency tables

// Warnings and dialog displays arrive through C callbacks; they are queued and written into the
// account at the next point where the simulator knows the cycle.
class HookSink {
public:
    static void OnWarning(const char* caption, const char* text, void* context) {
        auto* self = static_cast<HookSink*>(context);
        std::lock_guard lock(self->mutex_);
        self->pending_.push_back("warning \"" + std::string(caption ? caption : "") + "\":\n" + (text ? text : ""));
        ++self->warnings_;
    }
    static void OnDialog(const char* displays, void* context) {
        auto* self = static_cast<HookSink*>(context);
        std::lock_guard lock(self->mutex_);
        self->pending_.push_back("dialog shows:\n" + std::string(displays ? displays : ""));
        ++self->dialogs_;
    }
    std::vector<std::string> Take() {
        std::lock_guard lock(mutex_);
        return std::exchange(pending_, {});
    }
    int Warnings() {
        std::lock_guard lock(mutex_);
        return warnings_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> pending_;
    int warnings_ = 0;
    int dialogs_ = 0;
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
        if (first) out_ << std::setw(11) << label << '\n';
    }
    static std::string Label(int64_t cycle) { return "cycle " + std::to_string(cycle); }

private:
    std::ostream& out_;
};

class VcdWriter {
public:
    explicit VcdWriter(const std::string& path) : out_(path, std::ios::binary) {
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

void ApplyWiring(HostEngineBlock& engine, const Wiring& wiring) {
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

// A fresh, empty profile file that is removed again when the run ends.
class TempProfile {
public:
    TempProfile() : path_(CreateTempXmlFile()) {}
    ~TempProfile() {
        std::error_code ec;
        std::filesystem::remove(path_, ec);
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

}  // namespace

std::optional<int> PinLevel(const HostEngineBlock& engine, int port, int pin) {
    for (int i = HOST_OUTPUT_COUNT - 1; i >= 0; --i) {
        const HostOutputSignal& out = engine.outputs[i];
        if (out.enabled && out.port == port && out.pin == pin) return ((out.state ? 1 : 0) ^ (out.activeLow ? 1 : 0));
    }
    return std::nullopt;
}

int ExpectedSpindleWord(const HostStateBlock& state) {
    // The same conversion the plug-in applies, clamped first so a wild ratio cannot overflow.
    const double scaled = std::clamp(state.SpindleFM.ratio * 1023.0 + 0.5, -1.0e6, 1.0e6);
    int word = static_cast<int>(scaled);
    if (!state.m_SpindleOn) word += 0x400;
    if (state.SpinDir != 1) word += 0x800;
    return word & 0xFFF;
}

void RunScenario(const Scenario& scenario, const PluginModule& module, const RunOptions& options,
                 std::ostream& out) {
    Account account(out);

    std::ofstream wire, frames;
    if (!options.wirePath.empty()) {
        wire.open(options.wirePath, std::ios::binary);  // "\n" on every system
        if (!wire) throw std::runtime_error("cannot write " + options.wirePath);
    }
    if (!options.framesPath.empty()) {
        frames.open(options.framesPath, std::ios::binary);
        if (!frames) throw std::runtime_error("cannot write " + options.framesPath);
        frames << "cycle,word,channel,parity_ok,stop_ok\n";
    }
    std::optional<VcdWriter> vcd;
    if (!options.vcdPath.empty()) vcd.emplace(options.vcdPath);

    std::optional<TempProfile> temp;
    std::string profile = options.profilePath;
    if (profile.empty()) {
        temp.emplace();
        profile = temp->Path();
    }
    WriteSettings(profile, scenario.settings);

    // The host's memory, alive from InitControl to StopPlug.
    HostEngineBlock engine{};
    HostStateBlock state{};
    const bool fromProfile = LoadPreferencesWiring(profile, engine);
    for (const Wiring& w : scenario.wiring) ApplyWiring(engine, w);
    engine.estop = 1;
    state.SpinDir = 1;
    state.SpindleFM.ratio = 0.0;

    HookSink hooks;
    if (module.setWarningHook) module.setWarningHook(&HookSink::OnWarning, &hooks);
    if (module.setDialogHook) module.setDialogHook(&HookSink::OnDialog, &hooks);
    auto flushHooks = [&](const std::string& label) {
        for (const std::string& text : hooks.Take()) account.Line(label, text);
    };

    account.Line("", "module " + module.path);
    account.Line("", "profile " + profile + (temp ? " (temporary)" : "") +
                         (fromProfile ? ", wiring from its Preferences" : ""));
    const char* name = module.setProName(profile.c_str());
    account.Line("", std::string("SetProName returned \"") + (name ? name : "(null)") + "\"");
    flushHooks("start");
    module.initControl(reinterpret_cast<intptr_t>(&engine), 0, reinterpret_cast<intptr_t>(&state), 0);
    flushHooks("start");
    module.postInitControl();
    flushHooks("start");

    Receiver receiver;
    Board board;
    std::array<int, 8> goodFrames{}, lastStart{}, longestGap{}, longestGapFrom{};
    lastStart.fill(-1);
    int framingErrors = 0, parityErrors = 0;
    std::array<int, kExpandedOutputs + 1> expected{};
    std::array<PendingChange, kExpandedOutputs + 1> pending{};
    LatencyStats outputLatency, spindleLatency;
    {
        // The board's power-up state is the baseline: anything else has to be sent.
        const BoardLatches powerUp;
        for (int i = 0; i < kExpandedOutputs; ++i) expected[i] = powerUp.outputs[i];
        expected[kSpindleSignal] = powerUp.SpindleWord();
    }
    int chargePump = engine.outputs[kChargePumpOutput].enabled ? 1 : 0;

    size_t nextEvent = 0;
    for (int64_t cycle = 0; cycle < scenario.cycles; ++cycle) {
        while (nextEvent < scenario.events.size() && scenario.events[nextEvent].cycle == cycle) {
            account.Line(cycle, ApplyEvent(scenario.events[nextEvent++], module, engine, state));
            flushHooks(Account::Label(cycle));
        }
        module.update();
        flushHooks(Account::Label(cycle));

        const std::optional<int> level = PinLevel(engine, kStreamPort, kStreamPin);
        if (wire.is_open()) wire << (level ? static_cast<char>('0' + *level) : 'z');
        const LineLevel line = !level ? LineLevel::Undriven : (*level ? LineLevel::High : LineLevel::Low);
        const int seen = line == LineLevel::Low ? 0 : 1;

        const int cp = engine.outputs[kChargePumpOutput].enabled ? 1 : 0;
        if (cp != chargePump) account.Line(cycle, cp ? "charge pump enabled" : "charge pump disabled");
        chargePump = cp;
        if (vcd) vcd->Sample(cycle, seen, engine.estop ? 1 : 0, cp);

        if (const std::optional<ReceivedFrame> frame = receiver.Sample(cycle, line)) {
            const int channel = (frame->word >> 4) & 7;
            if (frames.is_open())
                frames << frame->startCycle << ',' << Hex(frame->word, 2) << ',' << ChannelName(channel) << ','
                       << frame->parityOk << ',' << frame->stopOk << '\n';
            if (!frame->stopOk) {
                ++framingErrors;
                account.Line(cycle, "board: framing error, frame from cycle " + std::to_string(frame->startCycle) +
                                        " (bits " + Hex(frame->word, 2) + ") dropped");
            } else if (!frame->parityOk) {
                ++parityErrors;
                account.Line(cycle, "board: parity error, word " + Hex(frame->word, 2) + " from cycle " +
                                        std::to_string(frame->startCycle) + " dropped");
            } else {
                const BoardLatches before = board.Latches();
                board.Accept(frame->word);
                for (const std::string& change : DescribeLatchChanges(before, board.Latches()))
                    account.Line(cycle, "board: " + change);
                ++goodFrames[channel];
                const int start = static_cast<int>(frame->startCycle);
                if (lastStart[channel] >= 0 && start - lastStart[channel] > longestGap[channel]) {
                    longestGap[channel] = start - lastStart[channel];
                    longestGapFrom[channel] = lastStart[channel];
                }
                lastStart[channel] = start;
            }
        }

        // Latency: from the cycle a host change shows on an expanded pin (or in the spindle word)
        // to the cycle the board's latch holds it.
        std::array<int, kExpandedOutputs + 1> now{};
        for (int port : {8, 9})
            for (int pin : {1, 14, 16, 17}) now[ExpandedOutputIndex(port, pin)] = PinLevel(engine, port, pin).value_or(0);
        now[kSpindleSignal] = ExpectedSpindleWord(state);
        const BoardLatches& latches = board.Latches();
        for (int i = 0; i <= kExpandedOutputs; ++i) {
            LatencyStats& stats = i == kSpindleSignal ? spindleLatency : outputLatency;
            if (now[i] != expected[i]) {
                ++stats.changes;
                if (pending[i].active) ++stats.superseded;
                pending[i] = PendingChange{true, cycle, now[i]};
                expected[i] = now[i];
            }
            const int latched = i == kSpindleSignal ? latches.SpindleWord() : latches.outputs[i];
            if (pending[i].active && latched == pending[i].target) {
                const int64_t latency = cycle - pending[i].since;
                ++stats.shown;
                stats.total += latency;
                stats.max = std::max(stats.max, latency);
                pending[i].active = false;
            }
        }
    }
    if (wire.is_open()) wire << '\n';
    if (vcd) vcd->Finish(scenario.cycles);

    module.stopPlug();
    flushHooks("end");
    for (size_t i = nextEvent; i < scenario.events.size(); ++i)
        account.Line("", "not applied (after the last cycle): the event of scenario line " +
                             std::to_string(scenario.events[i].line));

    // Closing summary.
    account.Line("", "");
    account.Line("summary", std::to_string(scenario.cycles) + " cycles");
    std::string counts;
    for (int ch = 0; ch < 8; ++ch)
        if (goodFrames[ch]) counts += (counts.empty() ? "" : ", ") + std::string(ChannelName(ch)) + " " + std::to_string(goodFrames[ch]);
    account.Line("", "frames: " + (counts.empty() ? std::string("none") : counts));
    account.Line("", "framing errors " + std::to_string(framingErrors) + ", parity errors " + std::to_string(parityErrors));
    account.Line("", "warnings shown " + std::to_string(hooks.Warnings()) +
                         (module.setWarningHook ? "" : " (the module has no warning hook)"));
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
    latencyLine("expanded outputs", outputLatency);
    latencyLine("spindle", spindleLatency);
    for (int ch = 0; ch < 8; ++ch) {
        if (lastStart[ch] < 0) continue;
        int gap = longestGap[ch], from = longestGapFrom[ch];
        std::string tail;
        if (scenario.cycles - lastStart[ch] > gap) {
            gap = static_cast<int>(scenario.cycles - lastStart[ch]);
            from = lastStart[ch];
            tail = " (to the end of the run)";
        }
        account.Line("", "longest without a frame, " + std::string(ChannelName(ch)) + ": " + std::to_string(gap) +
                             " cycles from cycle " + std::to_string(from) + tail);
    }
}

}  // namespace sim
