// trelvo-hal-check INPUTS SAMPLES: the HAL component's sampled stream against the Mach3 module's wire.
//
// INPUTS is the file halstreamer fed the component, one period a line: enable j5-a j5-b j5-c j5-d k1 k2
// j6-16 j6-17 spindle-on spindle-ccw spindle-duty (the outputs in the board's nibble order). The same lines drive the Mach3 adapter, one Update
// a line; both wires go through the simulator's receiver and board. Prints the decoded latches; exits 1
// unless the bits are identical, the board ends as the last line says and every EStop line is low.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "board.h"
#include "mach3/host_blocks.h"
#include "mach3/lifecycle.h"
#include "../support/plugin_access.h"
#include "mach3/update/update.h"

namespace {

struct Line {
    bool enable = false;
    int outputs[8] = {};
    bool spindleOn = false, ccw = false;
    double duty = 0.0;
};

bool ReadInputs(const char* path, std::vector<Line>& lines) {
    std::ifstream in(path);
    std::string text;
    while (std::getline(in, text)) {
        std::istringstream fields(text);
        Line l;
        int enable = 0, on = 0, ccw = 0;
        fields >> enable;
        for (int& o : l.outputs) fields >> o;
        fields >> on >> ccw >> l.duty;
        if (!fields) return false;
        l.enable = enable != 0;
        l.spindleOn = on != 0;
        l.ccw = ccw != 0;
        lines.push_back(l);
    }
    return !lines.empty();
}

// halsampler: one sample a line, the bit first.
std::string ReadSamples(const char* path) {
    std::ifstream in(path);
    std::string wire, token, rest;
    while (in >> token) {
        wire += token == "1" || token == "TRUE" ? '1' : '0';
        std::getline(in, rest);
    }
    return wire;
}

// The Mach3 module with the board's eight outputs on ports 8 and 9, its settings as the component's.
std::string Mach3Wire(const std::vector<Line>& lines) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("trelvo-hal-check-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string profile = (dir / "profile.xml").string();
    std::ofstream(profile) << "<profile><TRELVO40><ExpandedMode>0</ExpandedMode><EnableSpindle>1</EnableSpindle>"
                              "</TRELVO40></profile>";
    PlugSetProName(profile.c_str());
    static HostEngineBlock engine{};
    static HostStateBlock state{};
    constexpr int kStream = 5;
    engine.outputs[kStream] = HostOutputSignal{1, 16, 1, 0, 0};
    const int8_t pins[4] = {1, 14, 16, 17};
    for (int k = 0; k < 8; ++k) engine.outputs[18 + k] = HostOutputSignal{1, pins[k % 4], int8_t(k < 4 ? 8 : 9), 0, 0};
    PlugInitControl(reinterpret_cast<intptr_t>(&engine), 0, reinterpret_cast<intptr_t>(&state), 0);
    std::string wire;
    for (const Line& l : lines) {
        engine.estop = l.enable ? 0 : 1;
        for (int k = 0; k < 8; ++k) engine.outputs[18 + k].state = static_cast<uint8_t>(l.outputs[k] != 0);
        state.m_SpindleOn = l.spindleOn ? 1 : 0;
        state.SpinDir = l.ccw ? 0 : 1;
        state.SpindleFM.ratio = l.duty;
        myUpdate(testsupport::State());
        wire += engine.outputs[kStream].state ? '1' : '0';
    }
    myCleanUp();
    std::filesystem::remove_all(dir);
    return wire;
}

// Decodes a wire and prints each good frame's latch changes; returns the board at the end.
// A frame cut by an EStop is no fault; any other bad frame counts.
sim::BoardLatches Decode(const std::string& wire, const std::vector<Line>& lines, int& bad) {
    sim::Receiver receiver;
    sim::Board board;
    for (size_t i = 0; i < wire.size(); ++i) {
        const auto frame = receiver.Sample(static_cast<int64_t>(i), wire[i] == '1' ? sim::LineLevel::High : sim::LineLevel::Low);
        if (!frame) continue;
        if (!frame->Good()) {
            bool cut = false;
            for (size_t c = static_cast<size_t>(frame->startCycle); c <= i && c < lines.size(); ++c) cut |= !lines[c].enable;
            bad += cut ? 0 : 1;
            continue;
        }
        const sim::BoardLatches before = board.Latches();
        board.Accept(frame->word);
        for (const sim::LatchChange& c : sim::DescribeLatchChanges(before, board.Latches())) {
            std::printf("period %6zu  word 0x%02X  %s\n", i, frame->word, c.text.c_str());
        }
    }
    return board.Latches();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<Line> lines;
    if (argc != 3 || !ReadInputs(argv[1], lines)) {
        std::fprintf(stderr, "usage: %s INPUTS SAMPLES (INPUTS: one line of 12 numbers a period)\n", argv[0]);
        return 2;
    }
    const std::string hal = ReadSamples(argv[2]);
    const std::string mach3 = Mach3Wire(lines);
    int failures = 0;
    if (hal.size() != lines.size()) {
        std::printf("FAIL: %zu samples for %zu input lines\n", hal.size(), lines.size());
        ++failures;
    }
    const size_t n = std::min(hal.size(), mach3.size());
    size_t differ = 0;
    while (differ < n && hal[differ] == mach3[differ]) ++differ;
    if (differ < n || hal.size() != mach3.size()) {
        const size_t from = differ > 20 ? differ - 20 : 0;
        std::printf("FAIL: the bits differ from the Mach3 module's from period %zu\n  HAL   %s\n  Mach3 %s\n", differ,
                    hal.substr(from, 40).c_str(), mach3.substr(from, 40).c_str());
        ++failures;
    } else {
        std::printf("identical bits: %zu periods, the HAL component's and the Mach3 module's\n", n);
    }
    for (size_t i = 1; i < n; ++i) {
        if (!lines[i].enable && !lines[i - 1].enable && hal[i] != '0') {
            std::printf("FAIL: period %zu: the line is high in EStop\n", i);
            ++failures;
            break;
        }
    }
    int bad = 0;
    std::printf("decoded from the HAL component's stream:\n");
    const sim::BoardLatches end = Decode(hal, lines, bad);
    if (bad != 0) {
        std::printf("FAIL: %d frames with a bad parity or stop bit, not cut by an EStop\n", bad);
        ++failures;
    }
    const Line& last = lines.back();
    sim::BoardLatches want;
    for (int k = 0; k < 8; ++k) want.outputs[k] = static_cast<uint8_t>(last.outputs[k] != 0);
    const double duty = last.duty > 1.0 ? 1.0 : (last.duty > 0.0 ? last.duty : 0.0);
    const int word = static_cast<int>(duty * 1023.0 + 0.5) | (last.spindleOn ? 0 : 0x400) | (last.ccw ? 0x800 : 0);
    want.pwm = {static_cast<uint8_t>(word & 0xF), static_cast<uint8_t>((word >> 4) & 0xF), static_cast<uint8_t>(word >> 8)};
    if (!(end == want)) {
        std::printf("FAIL: the board does not end as the last input line says (spindle word %s)\n",
                    sim::DescribeSpindleWord(want.SpindleWord()).c_str());
        ++failures;
    }
    std::printf("%s\n", failures == 0 ? "PASS" : "FAIL");
    return failures == 0 ? 0 : 1;
}
