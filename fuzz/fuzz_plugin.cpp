// The whole plug-in through its handlers over arbitrary host tables and call orders: it writes only its own
// fields of the blocks it is lent, frames stay whole.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "mach3/host_blocks.h"
#include "mach3/lifecycle.h"
#include "../tests/support/plugin_access.h"
#include "mach3/update/update.h"
#include "platform/file_io.h"
#include "platform/posix/dialog_script.h"

namespace {

// The host's memory. Each InitControl lends a newly allocated pair and the host then frees the pair
// before; after StopPlug the host lends its pair no more, and may free it or keep it.
struct HostMemory {
    std::unique_ptr<HostEngineBlock> engine = std::make_unique<HostEngineBlock>();
    std::unique_ptr<HostStateBlock> state = std::make_unique<HostStateBlock>();
    HostEngineBlock freedEngine{};  // what a freed pair held, for the host's next pair
    HostStateBlock freedState{};
    bool lent = false;

    void Free() {
        if (!engine) return;
        std::memcpy(&freedEngine, engine.get(), sizeof freedEngine);
        std::memcpy(&freedState, state.get(), sizeof freedState);
        engine.reset();
        state.reset();
    }
};

HostMemory g_host;

[[noreturn]] void Fail(const char* what, int index = -1) {
    std::fprintf(stderr, "fuzz_plugin invariant broken: %s (index %d)\n", what, index);
    std::abort();
}

bool OnBitStreamPin(const HostOutputSignal& o) { return o.enabled != 0 && o.port == 1 && o.pin == 16; }

// Compares the blocks after a plug-in call with the snapshot before it, field by field. A frame bit
// may land only in an output that sits on port 1, pin 16, even when the user rewired it since the
// last scan.
void CheckWrites(const HostEngineBlock& before, const HostStateBlock& stateBefore, int32_t streamBefore) {
    const HostEngineBlock& now = *g_host.engine;
    const int32_t stream = testsupport::State().scan.bitStreamIndex;
    if (stream != streamBefore && stream >= 0 && (stream >= HOST_OUTPUT_COUNT || !OnBitStreamPin(now.outputs[stream])))
        Fail("the scan chose an output not on port 1, pin 16", stream);
    auto mayCarryStream = [&](int i) { return OnBitStreamPin(now.outputs[i]); };
    for (int i = 0; i < HOST_OUTPUT_COUNT; ++i) {
        const HostOutputSignal& b = before.outputs[i];
        const HostOutputSignal& a = now.outputs[i];
        const bool assignmentChanged = a.enabled != b.enabled || a.pin != b.pin || a.port != b.port;
        if (i == 13) {
            if (assignmentChanged || a.activeLow != b.activeLow) {
                if (a.enabled > 1 || a.port != 1 || a.pin != 17 || a.activeLow != 0) Fail("charge pump assignment", i);
            }
            if (a.state != b.state && !(mayCarryStream(i) && a.state <= 1)) Fail("charge pump state written", i);
            continue;
        }
        if (assignmentChanged) Fail("output assignment changed", i);
        if (a.activeLow != b.activeLow && !(OnBitStreamPin(b) && a.activeLow == 0)) Fail("output active-low changed", i);
        if (a.state != b.state && !(mayCarryStream(i) && a.state <= 1)) Fail("output state written", i);
    }
    for (int i = 0; i < HOST_INPUT_COUNT; ++i) {
        const HostInputSignal& b = before.inputs[i];
        const HostInputSignal& a = now.inputs[i];
        if (a.state != b.state) Fail("input state written", i);
        const bool changed = a.enabled != b.enabled || a.pin != b.pin || a.port != b.port || a.activeLow != b.activeLow;
        if (!changed) continue;
        if (i != 25) Fail("input changed", i);
        if (a.enabled != 1 || a.port != 1 || a.pin != 10 || a.activeLow != (testsupport::State().settings.SimMode ? 1 : 0))
            Fail("EStop input assignment", i);
    }
    if (std::memcmp(before.encoders, now.encoders, sizeof now.encoders) != 0) Fail("encoder table written");
    if (std::memcmp(before.motors, now.motors, sizeof now.motors) != 0) Fail("motor table written");
    if (before.estop != now.estop) Fail("EStop flag written");
    if (now.mode != before.mode && now.mode != 0 && now.mode != 999) Fail("mode value");

    const HostStateBlock& s = *g_host.state;
    if (std::memchr(s.statusText, '\0', sizeof s.statusText) == nullptr) Fail("status text not terminated");
    if (s.m_SpindleOn != stateBefore.m_SpindleOn || s.SpinDir != stateBefore.SpinDir ||
        std::memcmp(&s.SpindleFM, &stateBefore.SpindleFM, sizeof s.SpindleFM) != 0)
        Fail("spindle fields written");
}

// The wire on port 1, pin 16 (the highest enabled output there drives it, undriven reads 1), with
// the frame starts taken from the transmitter, since the fuzzer rewires the pin and toggles EStop
// at any cycle.
struct Wire {
    std::vector<char> line;     // one sample per update cycle
    std::vector<char> start;    // the plug-in sent a start bit onto this pin in this cycle
    std::vector<int> epoch;     // cycles of one epoch saw no event that may cut a frame short
    int current = 0;

    void Sample() {
        if (!g_host.engine || !g_host.lent) {
            line.push_back(1);
            start.push_back(0);
            epoch.push_back(-1);
            return;
        }
        const HostEngineBlock& engine = *g_host.engine;
        int level = 1;
        int driver = -1;
        for (int i = HOST_OUTPUT_COUNT - 1; i >= 0; --i) {
            const HostOutputSignal& o = engine.outputs[i];
            if (OnBitStreamPin(o)) {
                level = (o.state ^ o.activeLow) & 1;
                driver = i;
                break;
            }
        }
        const PluginState& p = testsupport::State();
        const bool ours = driver >= 0 && driver == p.scan.bitStreamIndex && p.settings.IoMode != IO_EXPANDED_INPUT;
        line.push_back(static_cast<char>(level));
        start.push_back(ours && p.core.state == board::kTxData && p.core.countdown == 7);
        epoch.push_back(engine.estop ? -1 : current);
    }

    void Show(size_t at) const {
        const size_t from = at < 20 ? 0 : at - 20;
        std::fprintf(stderr, "wire from cycle %zu:", from);
        for (size_t k = from; k < line.size() && k < at + 20; ++k) std::fprintf(stderr, "%s%d", k == at ? " [" : " ", line[k]);
        const Settings& st = testsupport::State().settings;
        std::fprintf(stderr, "\nIoMode %d spindle %d demo %d test %d delays %d %d %d, bit stream output %d\n", st.IoMode,
                     st.EnableSpindle, st.DemoMode, st.zzzzz, st.PostEStopDelay, st.IdleDelay, st.IntraFrameDelay,
                     testsupport::State().scan.bitStreamIndex);
    }

    // Every frame sent whole within one epoch: start 0, seven data bits, odd parity, stop 1.
    size_t Check() const {
        size_t frames = 0;
        for (size_t i = 0; i + 9 < line.size(); ++i) {
            if (!start[i] || epoch[i] < 0 || epoch[i + 9] != epoch[i]) continue;
            int ones = 0;
            for (int b = 1; b <= 8; ++b) ones += line[i + b];
            const char* fault = line[i] != 0 ? "start bit" : ones % 2 != 1 ? "frame parity" : line[i + 9] != 1 ? "stop bit" : nullptr;
            if (fault) {
                Show(i);
                Fail(fault, static_cast<int>(i));
            }
            ++frames;
        }
        return frames;
    }
};

std::string ProfileText(FuzzedDataProvider& in) {
    static const char* const kKeys[] = {"ExpandedMode", "EnableSpindle", "DemoMode", "zzzzz",
                                        "EnableDebug", "SimMode", "PostEStopDelay", "IdleDelay",
                                        "IntraFrameDelay", "DebugLogLevel"};
    std::string xml = "<profile><TRELVO40>";
    const uint16_t present = in.ConsumeIntegral<uint16_t>();
    for (size_t k = 0; k < std::size(kKeys); ++k) {
        if (!(present >> k & 1)) continue;
        // Small values most of the time, so frames get sent; any 32-bit value now and then.
        const int32_t value = (present >> 12 & 1) ? in.ConsumeIntegral<int32_t>() : in.ConsumeIntegralInRange<int32_t>(-2, 12);
        xml += "<" + std::string(kKeys[k]) + ">" + std::to_string(value) + "</" + kKeys[k] + ">";
    }
    if (present >> 10 & 1) xml += "<DebugLogFile>/dev/null</DebugLogFile>";
    return xml + "</TRELVO40></profile>";
}

void SetProName(FuzzedDataProvider& in, const std::string& path) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << ProfileText(in);
    if (PlugSetProName(path.c_str()) == nullptr) Fail("SetProName returned no name");
}

std::string DialogScript(FuzzedDataProvider& in) {
    static const char* const kActions[] = {"mode 0", "mode 1", "mode 2", "mode none", "spindle on", "spindle off",
                                           "demo on", "demo off", "ok", "cancel", "refresh", "enter", "escape", "close"};
    std::string script;
    const int count = in.ConsumeIntegralInRange(0, 8);
    for (int i = 0; i < count; ++i) script += std::string(kActions[in.ConsumeIntegralInRange<size_t>(0, std::size(kActions) - 1)]) + " ";
    return script;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path =
        (std::filesystem::temp_directory_path() / ("trelvo-fuzz-plugin-" + std::to_string(getpid()) + ".xml")).string();
    FuzzedDataProvider in(data, size);
    ResetPluginState();
    platform::ResetFileIo();
    platform::ResetDialogScript();

    // The host's tables hold whatever the user and the host put there.
    g_host = HostMemory{};
    in.ConsumeData(g_host.engine.get(), sizeof(HostEngineBlock));
    in.ConsumeData(g_host.state.get(), sizeof(HostStateBlock));
    g_host.state->statusText[HOST_STATUS_TEXT_SIZE - 1] = '\0';

    Wire rx;
    HostEngineBlock before;
    HostStateBlock stateBefore;
    int32_t streamBefore = 0;
    // Each plug-in call runs between a snapshot and a check of what it wrote. A pair no longer lent
    // must stay as it was; a freed one the sanitizer watches.
    auto call = [&](auto&& fn) {
        if (!g_host.engine) {
            fn();
            return;
        }
        std::memcpy(&before, g_host.engine.get(), sizeof before);
        std::memcpy(&stateBefore, g_host.state.get(), sizeof stateBefore);
        streamBefore = testsupport::State().scan.bitStreamIndex;
        fn();
        if (g_host.lent) {
            CheckWrites(before, stateBefore, streamBefore);
        } else if (std::memcmp(&before, g_host.engine.get(), sizeof before) != 0 ||
                   std::memcmp(&stateBefore, g_host.state.get(), sizeof stateBefore) != 0) {
            Fail("a block no longer lent was written");
        }
    };
    // The host allocates a new pair holding what the old one held, lends it, then frees the old one.
    auto initControl = [&] {
        HostMemory old = std::move(g_host);
        g_host.engine = std::make_unique<HostEngineBlock>();
        g_host.state = std::make_unique<HostStateBlock>();
        std::memcpy(g_host.engine.get(), old.engine ? old.engine.get() : &old.freedEngine, sizeof(HostEngineBlock));
        std::memcpy(g_host.state.get(), old.state ? old.state.get() : &old.freedState, sizeof(HostStateBlock));
        g_host.lent = true;
        call([] {
            PlugInitControl(reinterpret_cast<intptr_t>(g_host.engine.get()), 0,
                            reinterpret_cast<intptr_t>(g_host.state.get()), 0);
        });
    };

    call([&] { SetProName(in, path); });
    initControl();
    call([] { PlugPostInitControl(); });

    for (int step = 0; step < 400 && in.remaining_bytes() > 0; ++step) {
        const int op = in.ConsumeIntegralInRange(0, 11);
        if (op >= 6 && op <= 9 && !g_host.engine) continue;  // the host has no tables to change
        switch (op) {
        case 0: case 1: case 2: {
            const int cycles = in.ConsumeIntegralInRange(1, 64);
            for (int c = 0; c < cycles; ++c) {
                call([] { myUpdate(testsupport::State()); });
                rx.Sample();
                // Every cycle forces both signals back into the pair lent now, whichever pair that is.
                if (g_host.lent && !testsupport::State().channels.firstUpdate) {
                    const HostOutputSignal& cp = g_host.engine->outputs[13];
                    const HostInputSignal& es = g_host.engine->inputs[25];
                    if (cp.port != 1 || cp.pin != 17 || cp.activeLow != 0) Fail("charge pump not forced", 13);
                    if (es.enabled != 1 || es.port != 1 || es.pin != 10) Fail("EStop input not forced", 25);
                }
            }
            break;
        }
        case 3:
            call([&] { myNotify(in.ConsumeBool() ? in.ConsumeIntegralInRange(-1, 14) : in.ConsumeIntegral<int32_t>()); });
            break;
        case 4:
            ++rx.current;  // new settings may change the mode in the middle of a frame
            call([&] { SetProName(in, path); });
            break;
        case 5:
            ++rx.current;
            platform::SetDialogScript(DialogScript(in));
            if (in.ConsumeIntegralInRange(0, 7) == 0) platform::FailNextDialogs(1);
            call([] { PlugConfig(); });
            break;
        case 6:
            ++rx.current;  // EStop cuts the frame in flight
            g_host.engine->estop = g_host.engine->estop ? 0 : 1;
            break;
        case 7:
            g_host.state->m_SpindleOn = in.ConsumeIntegral<uint8_t>();
            g_host.state->SpinDir = in.ConsumeIntegral<int32_t>();
            g_host.state->SpindleFM.ratio = in.ConsumeBool() ? in.ConsumeProbability<double>() * 1.5 - 0.25
                                                             : in.ConsumeFloatingPoint<double>();
            break;
        case 8: {
            HostOutputSignal& o = g_host.engine->outputs[in.ConsumeIntegralInRange(0, HOST_OUTPUT_COUNT - 1)];
            if (OnBitStreamPin(o)) ++rx.current;
            o.state = in.ConsumeIntegral<uint8_t>() & 1;
            break;
        }
        case 9: {
            // The user rewires an output at any time; the frame on the wire may be cut.
            ++rx.current;
            const int index = in.ConsumeIntegralInRange(0, HOST_OUTPUT_COUNT - 1);
            HostOutputSignal& o = g_host.engine->outputs[index];
            o.enabled = in.ConsumeBool();
            o.port = static_cast<int8_t>(in.ConsumeIntegralInRange(0, 10));
            o.pin = static_cast<int8_t>(in.ConsumeIntegralInRange(0, 17));
            o.activeLow = in.ConsumeBool();
            break;
        }
        case 10:
            // StopPlug; any call may still follow, while the host frees or keeps its pair.
            ++rx.current;
            call([] { myCleanUp(); });
            g_host.lent = false;
            if (in.ConsumeBool()) g_host.Free();
            break;
        case 11:
            ++rx.current;
            initControl();
            break;
        }
    }
    rx.Check();
    call([] { myCleanUp(); });
    ResetPluginState();
    std::error_code ignored;
    std::filesystem::remove(path, ignored);  // the profile is this input's only
    return 0;
}
